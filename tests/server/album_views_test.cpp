// What a visitor gets around an album: order, titles, addresses, downloads with names, the picture
// view's links, zips that unpack to the same bytes, and pictures refused by their headers.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <unistd.h>

#include <map>
#include <regex>

#include "album_keys.h"
#include "album_zip.h"
#include "gallery_pages.h"
#include "test_pictures.h"
#include "test_support.h"

namespace {

std::vector<std::string> matches(const std::string& text, const std::string& pattern) {
    std::vector<std::string> found;
    std::regex re(pattern);
    for (auto it = std::sregex_iterator(text.begin(), text.end(), re); it != std::sregex_iterator(); ++it)
        found.push_back((*it)[1].str());
    return found;
}

std::string first_match(const std::string& text, const std::string& pattern) {
    auto found = matches(text, pattern);
    return found.empty() ? "" : found.front();
}

}  // namespace

TEST(AlbumOrder, NamesSortAsAFileManagerListsThem) {
    struct Case {
        const char* before;
        const char* after;
    };
    for (const Case& c : std::vector<Case>{{"IMG_2.jpg", "IMG_10.jpg"},
                                           {"img_2.jpg", "IMG_3.jpg"},
                                           {"holiday-9", "holiday-17"},
                                           {"a.jpg", "a1.jpg"},
                                           {"x09.png", "x10.png"},
                                           {"IMG_0099.jpg", "IMG_100.jpg"},
                                           {"2024-1-5 b", "2024-01-12 a"},
                                           {"PORTRAIT_01", "portrait_2"},
                                           {"Zebra", "été"}}) {
        EXPECT_TRUE(natural_less(c.before, c.after)) << c.before << " before " << c.after;
        EXPECT_FALSE(natural_less(c.after, c.before)) << c.before << " before " << c.after;
    }
    // Names equal but for case or zeros still sort one way, so the order never depends on upload order.
    EXPECT_NE(natural_less("a01", "a1"), natural_less("a1", "a01"));
    EXPECT_NE(natural_less("A", "a"), natural_less("a", "A"));
    // Digit runs longer than any integer still compare.
    EXPECT_TRUE(natural_less("n99999999999999999999998", "n99999999999999999999999"));
}

TEST(AlbumAddresses, EachAddressUnderAKeyIsReadBackAndNothingElseIs) {
    const std::string key = "AbCdEfGhIjKlMnOpQrSt-w";  // a key's last character carries no unused bits
    ASSERT_TRUE(is_album_key(key));
    using K = AlbumTarget;
    struct Case {
        std::string rest;
        K::Kind kind;
        std::int64_t number;
        int size;
    };
    for (const Case& c : std::vector<Case>{
             {key, K::album_page, 0, 0},
             {key + "/7", K::picture_view, 7, 0},
             {key + "/7/original", K::original, 7, 0},
             {key + "/7/download", K::download, 7, 0},
             {key + "/7/480px", K::thumbnail, 7, 480},
             {key + "/album.zip", K::album_zip, 0, 0},
             {key + "/rename", K::rename, 0, 0},
             {key + "/delete", K::remove_album, 0, 0},
             {key + "/7/remove", K::remove, 7, 0},
             // Not addresses: sizes that are not made, numbers that are not positive, stray slashes,
             // keys of another length or alphabet, and the old numbered forms.
             {key + "/7/500px", K::none, 0, 0},
             {key + "/7/480", K::none, 0, 0},
             {key + "/0", K::none, 0, 0},
             {key + "/7/", K::none, 0, 0},
             {key + "/99999999999999999999", K::none, 0, 0},
             {key + ".zip", K::none, 0, 0},
             {key.substr(1), K::none, 0, 0},
             {"AbCdEfGhIjKlMnOpQrSt+w", K::none, 0, 0},
             {"AbCdEfGhIjKlMnOpQrSt-x", K::none, 0, 0},
             {"", K::none, 0, 0},
         }) {
        SCOPED_TRACE(c.rest);
        AlbumTarget read = read_album_target(c.rest);
        EXPECT_EQ(read.kind, c.kind);
        if (c.kind == K::none) continue;
        EXPECT_EQ(read.key, key);
        EXPECT_EQ(read.number, c.number);
        EXPECT_EQ(read.size, c.size);
    }
}

TEST(Downloads, TheNameGoesOutAsUtf8WithASafeAsciiFallback) {
    struct Case {
        const char* label;
        const char* disposition;
    };
    for (const Case& c : std::vector<Case>{
             {"IMG_1.jpg", "attachment; filename=\"IMG_1.jpg\"; filename*=UTF-8''IMG_1.jpg"},
             {"été 1.jpg", "attachment; filename=\"_t_ 1.jpg\"; filename*=UTF-8''%C3%A9t%C3%A9%201.jpg"},
             {"a\"b\\c;d%e.png", "attachment; filename=\"a_b_c_d_e.png\"; filename*=UTF-8''a%22b%5Cc%3Bd%25e.png"},
             {"日本", "attachment; filename=\"picture\"; filename*=UTF-8''%E6%97%A5%E6%9C%AC"},
             {"x\r\nSet-Cookie: a", "attachment; filename=\"x__Set-Cookie: a\"; filename*=UTF-8''x%0D%0ASet-Cookie%3A%20a"},
         })
        EXPECT_EQ(attachment_disposition(c.label), c.disposition) << c.label;
}

TEST(AlbumZipNames, LabelsThatMeetAnEarlierOneAreNumbered) {
    struct Case {
        std::vector<std::string> labels;
        std::vector<std::string> names;
    };
    for (const Case& c : std::vector<Case>{
             {{"a.jpg", "b.jpg"}, {"a.jpg", "b.jpg"}},
             {{"a.jpg", "A.JPG", "a.jpg"}, {"a.jpg", "A (2).JPG", "a (3).jpg"}},
             {{"a (2).jpg", "a.jpg", "a.jpg"}, {"a (2).jpg", "a.jpg", "a (3).jpg"}},
             {{".hidden", ".hidden"}, {".hidden", ".hidden (2)"}},
             {{"noext", "noext"}, {"noext", "noext (2)"}},
         }) {
        std::vector<StoredPicture> pictures;
        for (const std::string& label : c.labels) pictures.push_back(StoredPicture{1, label, "image/png", 1});
        EXPECT_EQ(distinct_names(pictures), c.names);
    }
}

TEST(AlbumTitle, TheFolderOfTheFirstFullPathNamesTheAlbum) {
    struct Case {
        std::vector<std::string> names;
        const char* folder;
    };
    for (const Case& c : std::vector<Case>{
             {{"C:\\Users\\me\\Pictures\\Holiday\\IMG_1.jpg"}, "Holiday"},
             {{"/home/me/Été 2026/a.png"}, "Été 2026"},
             {{"IMG_1.jpg", "D:\\Trips\\Rome\\b.jpg"}, "Rome"},
             {{"IMG_1.jpg"}, ""},
             {{"C:\\IMG_1.jpg"}, ""},
             {{"\\\\server\\share\\x.jpg"}, "share"},
         }) {
        std::vector<BodyFile> files;
        for (const std::string& name : c.names) files.push_back(BodyFile{name, "x"});
        std::string body = upload_body("L", "true", files);
        UploadHeadReader reader = start_upload_head(UploadLimits{}, body.size());
        std::string_view rest = body;
        ASSERT_FALSE(read_upload_head(reader, rest));
        EXPECT_EQ(reader.head.folder, c.folder) << c.names.front();
    }
    StoredAlbum untitled{5, "2026-12-09 07:05:00", "", "", {}, {}};
    EXPECT_EQ(album_title(untitled), "Pictures of 9 December 2026, 07:05 UTC");
}

// --- Through a running gallery ----------------------------------------------------------------------

TEST(AlbumViews, PicturesWithTooManyPixelsAreRefusedAtUploadWithAReason) {
    auto g = start_gallery();
    std::string photo = quarters_jpeg(400, 300, 1);
    HttpReply mixed = raw_exchange(g->port, upload_request(upload_body("L", "true", {{"bomb.png", png_announcing(50000, 50000)},
                                                                                     {"fine.jpg", photo}})));
    ASSERT_EQ(mixed.status, 200) << mixed.body;
    EXPECT_NE(mixed.body.find("bomb.png: the picture is 50000 x 50000 pixels"), std::string::npos) << mixed.body;
    EXPECT_EQ(stored_pictures(g->data.path), (std::vector<std::pair<std::string, std::string>>{{"fine.jpg", photo}}));

    HttpReply only = raw_exchange(g->port, upload_request(upload_body("L", "true", {{"bomb.png", png_announcing(20000, 20000)}})));
    EXPECT_EQ(only.status, 422) << only.body;
    EXPECT_NE(only.body.find("20000 x 20000"), std::string::npos) << only.body;
    EXPECT_EQ(count_rows(g->data.path, "albums"), 1);
}

TEST(AlbumViews, AnUndecodablePictureIsStoredAndShownByItsOriginal) {
    auto g = start_gallery();
    std::string broken = "\xFF\xD8\xFF\xE0 not really a JPEG";
    HttpReply upload = raw_exchange(g->port, upload_request(upload_body("L", "true", {{"broken.jpg", broken},
                                                                                      {"good.jpg", quarters_jpeg(640, 480, 1)}})));
    ASSERT_EQ(upload.status, 200) << upload.body;
    HttpReply page = http_get(g->port, album_path(upload.body));
    ASSERT_EQ(page.status, 200);
    const std::string album = album_path(upload.body);
    std::string broken_number = first_match(page.body, "<a href=\"/a/[^/]+/(\\d+)\"><img src=\"/a/[^/]+/\\d+/original\"");
    ASSERT_FALSE(broken_number.empty()) << page.body;
    EXPECT_EQ(matches(page.body, "src=\"/a/[^/]+/(\\d+)/480px\"").size(), 1u);
    EXPECT_EQ(http_get(g->port, album + "/" + broken_number + "/480px").status, 404);
    HttpReply view = http_get(g->port, album + "/" + broken_number);
    EXPECT_EQ(view.status, 200);
    EXPECT_NE(view.body.find("src=\"" + album + "/" + broken_number + "/original\""), std::string::npos) << view.body;
    EXPECT_EQ(http_get(g->port, album + "/" + broken_number + "/original").body, broken);
}

TEST(AlbumViews, ThePictureViewIsFollowedToTheEndAndBack) {
    auto g = start_gallery();
    std::vector<BodyFile> files;
    for (const char* name : {"IMG_10.jpg", "IMG_2.gif", "holiday-17.jpg", "IMG_1.jpg"})
        files.push_back({std::string("C:\\Pictures\\Summer\\") + name,
                         std::string(name).ends_with(".gif") ? animated_gif(320, 240, 3) : quarters_jpeg(320, 240, 1)});
    HttpReply upload = raw_exchange(g->port, upload_request(upload_body("L", "true", files)));
    ASSERT_EQ(upload.status, 200) << upload.body;
    HttpReply album = http_get(g->port, album_path(upload.body));
    EXPECT_NE(album.body.find("<h1>Summer</h1>"), std::string::npos);
    std::vector<std::string> views = matches(album.body, "<a href=\"(/a/[^/\"]+/\\d+)\">");
    ASSERT_EQ(views.size(), 4u);

    std::vector<std::string> names;
    std::string at = views.front();
    for (int steps = 0; !at.empty() && steps < 10; ++steps) {
        HttpReply view = http_get(g->port, at);
        ASSERT_EQ(view.status, 200) << at;
        names.push_back(first_match(view.body, "<h1>([^<]*)</h1>"));
        // An animation is shown as it is, so it moves; the others by their view-sized copy.
        bool animated = names.back().ends_with(".gif");
        EXPECT_EQ(first_match(view.body, "<main><img src=\"/a/[^/]+/\\d+/(original|\\d+px)\""), animated ? "original" : std::to_string(view_size) + "px") << at;
        EXPECT_NE(view.body.find("rel=\"up\" href=\"" + album_path(upload.body) + "\""), std::string::npos);
        at = first_match(view.body, "<a rel=\"next\" href=\"([^\"]+)\"");
    }
    EXPECT_EQ(names, (std::vector<std::string>{"holiday-17.jpg", "IMG_1.jpg", "IMG_2.gif", "IMG_10.jpg"}));
    at = views.back();
    std::size_t back = 1;
    while (!(at = first_match(http_get(g->port, at).body, "<a rel=\"prev\" href=\"([^\"]+)\"")).empty()) ++back;
    EXPECT_EQ(back, 4u);
}

TEST(AlbumViews, DownloadsAndTheZipUnpackToTheSameNamesAndBytes) {
    for (const char* tool : {"/usr/bin/unzip", "/usr/bin/bsdtar"})
        if (!std::filesystem::exists(tool)) GTEST_SKIP() << tool << " is not installed (scripts/install-deps)";
    auto g = start_gallery();
    std::vector<BodyFile> files{{"été 2.jpg", quarters_jpeg(300, 200, 6)},
                                {"a.png", half_transparent_png(50, 40)},
                                {"A.PNG", animated_gif(30, 20, 2)},
                                {"a.png", png_announcing(1, 1)},
                                {"IMG_10.jpg", photo_jpeg(600, 400, 3)}};
    HttpReply upload = raw_exchange(g->port, upload_request(upload_body("L", "true", files)));
    ASSERT_EQ(upload.status, 200) << upload.body;

    HttpReply download = http_get(g->port, album_path(upload.body) + "/1/download");
    EXPECT_EQ(download.body, files[0].contents);
    EXPECT_EQ(header_value(download, "Content-Disposition"),
              "attachment; filename=\"_t_ 2.jpg\"; filename*=UTF-8''%C3%A9t%C3%A9%202.jpg");

    HttpReply zip = http_get(g->port, album_path(upload.body) + "/album.zip");
    ASSERT_EQ(zip.status, 200);
    EXPECT_EQ(header_value(zip, "Content-Type"), "application/zip");
    EXPECT_NE(header_value(zip, "Content-Disposition").find("attachment; filename=\"Pictures of "), std::string::npos);
    TempFolder out;
    write_file(out.path / "album.zip", zip.body);
    ProcessResult test = run_process({"/usr/bin/unzip", "-t", (out.path / "album.zip").string()}, {}, 30);
    EXPECT_EQ(test.exit_code, 0) << test.out << test.err;
    std::filesystem::create_directories(out.path / "x");
    ProcessResult extract =
        run_process({"/usr/bin/bsdtar", "-xf", (out.path / "album.zip").string(), "-C", (out.path / "x").string()}, {}, 30);
    ASSERT_EQ(extract.exit_code, 0) << extract.err;
    // Shown order puts A.PNG first; the two a.png after it are numbered in upload order.
    std::map<std::string, std::string> expected{{"été 2.jpg", files[0].contents}, {"a (2).png", files[1].contents},
                                                {"A.PNG", files[2].contents}, {"a (3).png", files[3].contents},
                                                {"IMG_10.jpg", files[4].contents}};
    std::map<std::string, std::string> unpacked;
    for (const auto& entry : std::filesystem::directory_iterator(out.path / "x"))
        unpacked[entry.path().filename().string()] = read_whole_file(entry.path());
    EXPECT_EQ(unpacked.size(), expected.size());
    for (const auto& [name, bytes] : expected) EXPECT_TRUE(unpacked[name] == bytes) << name;
}

// Four sparse pictures of 1.3 GiB: the zip needs ZIP64, and the server's memory stays where it was.
TEST(AlbumViews, AFiveGibibyteAlbumStreamsAsAZip64WithFlatMemory) {
    TempFolder data;
    constexpr std::uint64_t picture_bytes = 1300ull << 20;
    {
        GalleryStore store;
        ASSERT_FALSE(open_store(data.path, store));
        NewAlbum album = album_of(store, {{"a.jpg", "1"}, {"b.jpg", "2"}, {"c.jpg", "3"}, {"d.jpg", "4"}});
        album.key = "BigZipAlbumAAAAAAAAAAA";
        StoreFailure failure;
        ASSERT_EQ(store_album(store, album, failure), 1) << failure.detail;
        for (int id = 1; id <= 4; ++id) std::filesystem::resize_file(picture_path(store, id), picture_bytes);
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open((data.path / "gallery.sqlite").c_str(), &db), SQLITE_OK);
        std::string sql = "UPDATE pictures SET size = " + std::to_string(picture_bytes);
        EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
        sqlite3_close(db);
    }
    TempFolder logs;
    LocalGallery gallery = start_local_gallery(data.path, logs.path / "gallery.log");
    ASSERT_GT(gallery.port, 0) << read_whole_file(logs.path / "gallery.log");
    ASSERT_EQ(http_get(gallery.port, "/static/album.css").status, 200) << read_whole_file(logs.path / "gallery.log");
    long before = static_cast<long>(peak_memory_kib(gallery.process->pid));

    int fd = connect_loopback(gallery.port);
    ASSERT_GE(fd, 0);
    std::string request = "GET /a/BigZipAlbumAAAAAAAAAAA/album.zip HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    ASSERT_EQ(::send(fd, request.data(), request.size(), MSG_NOSIGNAL), static_cast<ssize_t>(request.size()));
    std::uint64_t received = 0;
    std::string tail;
    std::vector<char> buffer(1 << 20);
    for (ssize_t n; (n = ::recv(fd, buffer.data(), buffer.size(), 0)) > 0;) {
        received += static_cast<std::uint64_t>(n);
        tail.append(buffer.data(), static_cast<std::size_t>(n));
        if (tail.size() > 4096) tail.erase(0, tail.size() - 4096);
    }
    ::close(fd);
    long after = static_cast<long>(peak_memory_kib(gallery.process->pid));

    EXPECT_GT(received, 4 * picture_bytes);
    EXPECT_LT(received, 4 * picture_bytes + (1 << 20));
    EXPECT_NE(tail.find("PK\x06\x06"), std::string::npos) << "no ZIP64 end of central directory";
    EXPECT_NE(tail.find("PK\x05\x06"), std::string::npos) << "no end of central directory";
    ASSERT_GT(before, 0);
    // Flat: the growth is a few pieces in flight, not the album (the absolute bar is bench/views').
    EXPECT_LT(after - before, 16 * 1024) << "peak RSS grew from " << before << " KiB to " << after << " KiB";
}

// A long album is paged: an album of one card more than a page, and one of 5000 long, escaped names.
TEST(AlbumViews, LongAlbumsArePagedWithLinksBetweenPagesAndEachPageStaysSmall) {
    TempFolder data;
    std::string long_name(180, '&');  // five bytes each once escaped, twice per card
    {
        GalleryStore store;
        ASSERT_FALSE(open_store(data.path, store));
        std::vector<std::pair<std::string, std::string>> pictures;
        for (std::size_t i = 1; i <= album_page_cards + 1; ++i) pictures.emplace_back("p" + std::to_string(i) + ".png", "x");
        NewAlbum just_over = album_of(store, pictures);
        pictures.clear();
        for (int i = 1; i <= 5000; ++i) pictures.emplace_back(long_name + std::to_string(i) + ".png", "x");
        NewAlbum long_album = album_of(store, pictures);
        just_over.key = "PagedAlbumOneAAAAAAAAA";
        long_album.key = "PagedAlbumTwoAAAAAAAAA";
        StoreFailure failure;
        ASSERT_EQ(store_album(store, just_over, failure), 1) << failure.detail;
        ASSERT_EQ(store_album(store, long_album, failure), 2) << failure.detail;
    }
    TempFolder logs;
    LocalGallery gallery = start_local_gallery(data.path, logs.path / "gallery.log");
    ASSERT_GT(gallery.port, 0) << read_whole_file(logs.path / "gallery.log");

    std::string last = std::to_string(album_page_cards + 1);
    const std::string one = "/a/PagedAlbumOneAAAAAAAAA", two = "/a/PagedAlbumTwoAAAAAAAAA";
    struct Case {
        std::string target;
        std::size_t cards;
        std::string first_card, last_card, shown, prev, next;  // "" for none
    };
    for (const Case& c : std::vector<Case>{
             {one, album_page_cards, "p1.png", "p200.png", "Page 1 of 2", "", one + "?page=2"},
             {one + "?page=1", album_page_cards, "p1.png", "p200.png", "Page 1 of 2", "", one + "?page=2"},
             {one + "?page=2", 1, "p" + last + ".png", "p" + last + ".png", "Page 2 of 2", one, ""},
             {one + "?utm_source=x&page=2", 1, "p" + last + ".png", "p" + last + ".png", "Page 2 of 2", one, ""},
             {two + "?page=25", album_page_cards, long_name + "4801.png", long_name + "5000.png", "Page 25 of 25",
              two + "?page=24", ""},
         }) {
        HttpReply page = http_get(gallery.port, c.target);
        ASSERT_EQ(page.status, 200) << c.target;
        std::vector<std::string> names = matches(page.body, "alt=\"([^\"]*)\"");
        ASSERT_EQ(names.size(), c.cards) << c.target;
        EXPECT_EQ(names.front(), html_escape(c.first_card)) << c.target;
        EXPECT_EQ(names.back(), html_escape(c.last_card)) << c.target;
        EXPECT_NE(page.body.find(c.shown), std::string::npos) << c.target;
        EXPECT_EQ(first_match(page.body, "<a rel=\"prev\" href=\"([^\"]*)\""), c.prev) << c.target;
        EXPECT_EQ(first_match(page.body, "<a rel=\"next\" href=\"([^\"]*)\""), c.next) << c.target;
    }
    // Pages that are not there: past the end, not positive, not a number, no number.
    for (const char* query : {"?page=3", "?page=0", "?page=-1", "?page=2x", "?page=", "?page", "?page=99999999999999999999"})
        EXPECT_EQ(http_get(gallery.port, one + query).status, 404) << query;

    // Every page of the long album is bounded by the page's cards, not the album's.
    HttpReply first = http_get(gallery.port, two);
    ASSERT_EQ(first.status, 200);
    EXPECT_NE(first.body.find("5000 pictures"), std::string::npos);
    EXPECT_LT(first.body.size(), album_page_cards * 4 * 1024) << "a card takes well under 4 KiB";
    // A picture on page 2 links back to page 2, and its previous picture is the last one of page 1.
    std::string card = first_match(http_get(gallery.port, one + "?page=2").body, "<a href=\"(" + one + "/\\d+)\"");
    HttpReply view = http_get(gallery.port, card);
    ASSERT_EQ(view.status, 200) << card;
    EXPECT_EQ(first_match(view.body, "<a rel=\"up\" href=\"([^\"]*)\""), one + "?page=2");
    std::string previous = first_match(view.body, "<a rel=\"prev\" href=\"([^\"]*)\"");
    EXPECT_EQ(matches(http_get(gallery.port, one).body, "<a href=\"(" + one + "/\\d+)\"").back(), previous);
}
