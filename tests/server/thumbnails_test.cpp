// Thumbnails: upright by orientation, no metadata, still copies of animations, alpha kept, lying
// headers refused before decoding, one maker per copy (undecodable files: album_views_test).
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <future>
#include <set>

#include "test_pictures.h"
#include "test_support.h"
#include "thumbnails.h"

namespace {

// A picture file with an open descriptor, as the store hands one out.
struct OpenPicture {
    std::filesystem::path path;
    int fd = -1;
    OpenPicture(const std::filesystem::path& p, const std::string& bytes) : path(p) {
        write_file(path, bytes);
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    }
    ~OpenPicture() { ::close(fd); }
};

struct Maker {
    TempFolder folder;
    ThumbnailMaker maker;
    Maker() { maker.dir = folder.path / "derived"; }
    std::string copy_of(const OpenPicture& picture, std::int64_t id, int size) {
        std::string error;
        std::filesystem::path made = thumbnail_path(maker, id, picture.fd, size, error);
        return made.empty() ? "" : read_whole_file(made);
    }
};

bool near(const std::array<double, 4>& pixel, std::array<double, 3> colour) {
    for (std::size_t i = 0; i < 3; ++i)
        if (std::abs(pixel[i] - colour[i]) > 40) return false;
    return true;
}

}  // namespace

TEST(Thumbnails, EveryOrientationComesOutUprightWithoutMetadata) {
    Maker m;
    const std::array<double, 3> red{255, 0, 0}, green{0, 255, 0}, blue{0, 0, 255}, white{255, 255, 255};
    for (int orientation = 1; orientation <= 8; ++orientation) {
        SCOPED_TRACE("orientation " + std::to_string(orientation));
        OpenPicture picture(m.folder.path / std::to_string(orientation), quarters_jpeg(800, 600, orientation));
        PictureFacts facts = read_picture_facts(picture.fd);
        EXPECT_EQ(facts.width, 800);
        EXPECT_EQ(facts.height, 600);
        std::string copy = m.copy_of(picture, orientation, card_size);
        ASSERT_FALSE(copy.empty());
        Decoded decoded = decode(copy);
        EXPECT_EQ(decoded.width, 480);
        EXPECT_EQ(decoded.height, 360);
        EXPECT_FALSE(decoded.has_metadata);
        EXPECT_TRUE(near(pixel_at(copy, 0.1, 0.1), red));
        EXPECT_TRUE(near(pixel_at(copy, 0.9, 0.1), green));
        EXPECT_TRUE(near(pixel_at(copy, 0.1, 0.9), blue));
        EXPECT_TRUE(near(pixel_at(copy, 0.9, 0.9), white));
    }
}

TEST(Thumbnails, AnimationsGetAStillCopyAndTransparencyIsKept) {
    Maker m;
    OpenPicture gif(m.folder.path / "a.gif", animated_gif(600, 400, 3));
    PictureFacts facts = picture_facts(m.maker, 1, gif.fd);
    EXPECT_TRUE(facts.animated);
    EXPECT_EQ(facts.height, 400) << "one frame's height, not the strip's";
    Decoded still = decode(m.copy_of(gif, 1, card_size));
    EXPECT_EQ(still.pages, 1);
    EXPECT_EQ(still.width, 480);

    OpenPicture png(m.folder.path / "a.png", half_transparent_png(1000, 500));
    std::string copy = m.copy_of(png, 2, card_size);
    EXPECT_EQ(decode(copy).bands, 4);
    EXPECT_GT(pixel_at(copy, 0.1, 0.5)[3], 200);
    EXPECT_LT(pixel_at(copy, 0.9, 0.5)[3], 10);
}

TEST(Thumbnails, SmallPicturesAreNeverEnlarged) {
    Maker m;
    OpenPicture picture(m.folder.path / "small.jpg", quarters_jpeg(300, 200, 6));
    EXPECT_EQ(fitted_size(read_picture_facts(picture.fd), view_size), (std::pair{300, 200}));
    Decoded decoded = decode(m.copy_of(picture, 1, view_size));
    EXPECT_EQ(decoded.width, 300);
    EXPECT_EQ(decoded.height, 200);
}

// A PNG of a few bytes announcing 2.5 gigapixels: refused from its header at upload, and never
// decoded for a copy either should it be in the store already.
TEST(Thumbnails, AHeaderAnnouncingTooManyPixelsIsRefusedWithoutDecoding) {
    Maker m;
    OpenPicture picture(m.folder.path / "bomb.png", png_announcing(50000, 50000));
    // Its reason is checked where an upload is refused (album_views_test).
    EXPECT_TRUE(refuse_by_header(picture.path, 2499999999u));
    EXPECT_FALSE(refuse_by_header(picture.path, 2500000000u)) << "exactly the limit is allowed";

    std::string error;
    EXPECT_TRUE(thumbnail_path(m.maker, 1, picture.fd, card_size, error).empty());
    EXPECT_NE(error.find("more pixels"), std::string::npos) << error;
}

TEST(Thumbnails, ConcurrentFirstRequestsMakeOneCopyAndAStaleCopyIsRemade) {
    Maker m;
    OpenPicture picture(m.folder.path / "p.jpg", photo_jpeg(2000, 1500, 1));
    std::vector<std::future<std::filesystem::path>> requests;
    for (int i = 0; i < 8; ++i)
        requests.push_back(std::async(std::launch::async, [&] {
            std::string error;
            return thumbnail_path(m.maker, 7, picture.fd, card_size, error);
        }));
    std::set<std::filesystem::path> paths;
    for (auto& request : requests) paths.insert(request.get());
    EXPECT_EQ(paths.size(), 1u);
    EXPECT_FALSE(paths.begin()->empty());
    EXPECT_EQ(m.maker.made, 1u);

    // An original newer than its copy (a cache refilled from another store) gets a new copy.
    struct timespec later[2] = {{0, UTIME_OMIT}, {0, 0}};
    ::clock_gettime(CLOCK_REALTIME, &later[1]);
    later[1].tv_sec += 10;
    ASSERT_EQ(::utimensat(AT_FDCWD, picture.path.c_str(), later, 0), 0);
    std::string error;
    thumbnail_path(m.maker, 7, picture.fd, card_size, error);
    EXPECT_EQ(m.maker.made, 2u);
}
