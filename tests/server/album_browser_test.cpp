// The album page in headless Chromium: every picture must load, and a screenshot is kept for people to look at.
#include <gtest/gtest.h>

#include <regex>

#include "sample_png.h"
#include "test_pictures.h"
#include "test_support.h"

namespace {

// Headless Chromium on a fresh profile, with `args` after the common switches.
ProcessResult run_chromium(const std::vector<std::string>& args) {
    TempFolder profile;
    std::vector<std::string> argv{CHROMIUM_EXE, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                                  "--no-first-run", "--disable-background-networking", "--disable-component-update",
                                  "--disable-sync", "--disable-dev-shm-usage", "--hide-scrollbars",
                                  "--user-data-dir=" + profile.path.string()};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_process(argv, {}, 90);
}

std::ptrdiff_t count(const std::string& text, const std::string& pattern) {
    std::regex re(pattern);
    return std::distance(std::sregex_iterator(text.begin(), text.end(), re), std::sregex_iterator());
}

struct LoggedRequest {
    std::string target;
    int status = 0;
    std::uint64_t bytes = 0;
};

// The requests an access log holds after its first `skip` bytes.
std::vector<LoggedRequest> logged_requests(const std::string& log, std::size_t skip) {
    std::vector<LoggedRequest> requests;
    std::string rest = log.substr(std::min(skip, log.size()));
    std::regex line("\"GET ([^\" ]+)\" (\\d+) in=\\d+ out=(\\d+)");
    for (auto it = std::sregex_iterator(rest.begin(), rest.end(), line); it != std::sregex_iterator(); ++it)
        requests.push_back(LoggedRequest{(*it)[1].str(), std::stoi((*it)[2].str()), std::stoull((*it)[3].str())});
    return requests;
}

// A camera folder as the uploader sends it from "Open with": full paths, photos, two portraits
// turned by EXIF, a transparent PNG, an animation and a long Unicode name.
std::vector<BodyFile> camera_folder() {
    std::vector<BodyFile> files;
    for (int i = 1; i <= 33; ++i)
        files.push_back({"C:\\Users\\me\\Pictures\\Holiday\\IMG_" + std::to_string(100 + i) + ".jpg", photo_jpeg(2400, 1800, i)});
    files.push_back({"C:\\Users\\me\\Pictures\\Holiday\\PORTRAIT_01.jpg", quarters_jpeg(2400, 1800, 6)});
    files.push_back({"C:\\Users\\me\\Pictures\\Holiday\\PORTRAIT_02.jpg", quarters_jpeg(2400, 1800, 8)});
    files.push_back({"C:\\Users\\me\\Pictures\\Holiday\\logo.png", half_transparent_png(800, 600)});
    files.push_back({"C:\\Users\\me\\Pictures\\Holiday\\waves.gif", animated_gif(320, 240, 4)});
    files.push_back({"C:\\Users\\me\\Pictures\\Holiday\\Ünïcödé — a rather long name for a picture of the sea at dusk.jpg",
                     photo_jpeg(1600, 1200, 99)});
    return files;
}

}  // namespace

// The album page at phone and desktop widths, loaded as a first visitor loads it: what it costs is
// read from the access log, and no original may be among it.
TEST(AlbumBrowser, AFirstViewLoadsThumbnailsOnlyAtPhoneAndDesktopWidths) {
    if (!std::filesystem::exists(CHROMIUM_EXE)) GTEST_SKIP() << CHROMIUM_EXE << " is not installed";
    TempFolder data, logs;
    std::filesystem::path log = logs.path / "gallery.log";
    LocalGallery gallery = start_local_gallery(data.path, log);
    ASSERT_GT(gallery.port, 0) << read_whole_file(log);
    std::vector<BodyFile> files = camera_folder();
    ASSERT_EQ(files.size(), 38u);
    std::uint64_t originals = 0;
    for (const BodyFile& file : files) originals += file.contents.size();
    HttpReply upload = raw_exchange(gallery.port, upload_request(upload_body("L", "true", files)), 60000);
    ASSERT_EQ(upload.status, 200) << upload.body;
    // A visitor's address: the album's, without the owner's secret.
    std::string address = "http://127.0.0.1:" + std::to_string(gallery.port) + album_path(upload.body);

    std::filesystem::create_directories(GALLERY_ARTEFACTS);
    for (auto [width, height] : {std::pair{390, 844}, std::pair{1280, 800}}) {
        SCOPED_TRACE(std::to_string(width) + " px wide");
        std::string size = "--window-size=" + std::to_string(width) + "," + std::to_string(height);
        std::size_t seen = read_whole_file(log).size();
        std::filesystem::path shot = std::filesystem::path(GALLERY_ARTEFACTS) / ("album-" + std::to_string(width) + ".png");
        std::filesystem::remove(shot);
        ProcessResult run = run_chromium({"--virtual-time-budget=15000", size, "--screenshot=" + shot.string(), address});
        ASSERT_EQ(run.exit_code, 0) << run.err;
        EXPECT_TRUE(read_whole_file(shot).starts_with("\x89PNG")) << "no screenshot at " << shot;

        std::uint64_t bytes = 0;
        std::size_t thumbnails = 0;
        for (const LoggedRequest& request : logged_requests(read_whole_file(log), seen)) {
            bytes += request.bytes;
            EXPECT_FALSE(request.target.ends_with("/original")) << "an original was loaded: " << request.target;
            if (request.target != "/favicon.ico") {
                EXPECT_EQ(request.status, 200) << request.target;
            }
            thumbnails += request.target.ends_with("px");
        }
        // Headless Chromium may fetch lazy cards below the fold too, so the budget holds for all 38.
        EXPECT_GT(thumbnails, 0u);
        EXPECT_LE(bytes, 2u << 20) << "first view of " << files.size() << " pictures (" << originals << " bytes)";
        std::cout << "[ measure  ] first view at " << width << " px: " << bytes << " bytes in " << thumbnails
                  << " thumbnails; originals " << originals << " bytes\n";

        ProcessResult dom = run_chromium({"--virtual-time-budget=15000", size, "--dump-dom", address});
        ASSERT_EQ(dom.exit_code, 0) << dom.err;
        EXPECT_EQ(count(dom.out, "<img "), 38);
        EXPECT_EQ(count(dom.out, "<img [^>]*loading=\"lazy\"[^>]*width=\"\\d+\" height=\"\\d+\"|<img [^>]*width=\"\\d+\" height=\"\\d+\"[^>]*loading=\"lazy\""), 38)
            << "every card sized ahead";
        EXPECT_EQ(dom.out.find("data-state=\"broken\""), std::string::npos);
        EXPECT_NE(dom.out.find("<h1>Holiday</h1>"), std::string::npos);
    }

    // The picture view: its picture loads, and its links lead on.
    ProcessResult dom = run_chromium({"--virtual-time-budget=15000", "--window-size=390,844", "--dump-dom", address + "/1"});
    ASSERT_EQ(dom.exit_code, 0) << dom.err;
    EXPECT_EQ(count(dom.out, "<img [^>]*data-state=\"loaded\""), 1) << dom.out;
    EXPECT_NE(dom.out.find("rel=\"next\""), std::string::npos);
}

// The page's escaping is held by gallery_http_test.
TEST(AlbumBrowser, EveryPictureLoadsAndTheScreenshotIsKept) {
    if (!std::filesystem::exists(CHROMIUM_EXE)) GTEST_SKIP() << CHROMIUM_EXE << " is not installed";
    auto g = start_gallery();
    std::vector<BodyFile> files{{"sunrise.png", make_sample_png(320, 240, 1)},
                                {"<b>bold & co.png", make_sample_png(200, 300, 2)},
                                {"été.png", make_sample_png(240, 160, 3)},
                                {"readme.txt", "not a picture"}};
    HttpReply upload = raw_exchange(g->port, upload_request(upload_body("L", "true", files)));
    ASSERT_EQ(upload.status, 200) << upload.body;
    std::string address = upload.body.substr(upload.body.find("*****\r\n") + 7);

    ProcessResult dom = run_chromium({"--virtual-time-budget=10000", "--dump-dom", address});
    ASSERT_FALSE(dom.timed_out) << dom.err;
    ASSERT_EQ(dom.exit_code, 0) << dom.err;
    EXPECT_EQ(count(dom.out, "<img "), 3) << dom.out;
    EXPECT_EQ(count(dom.out, "<img [^>]*data-state=\"loaded\""), 3) << dom.out;
    EXPECT_EQ(dom.out.find("data-state=\"broken\""), std::string::npos);
    EXPECT_NE(dom.out.find("320 × 240"), std::string::npos);
    EXPECT_NE(dom.out.find("200 × 300"), std::string::npos);
    EXPECT_EQ(count(dom.out, "src=\"/a/[A-Za-z0-9_-]{22}/\\d/480px\""), 3) << "cards show thumbnails";

    std::filesystem::create_directories(GALLERY_ARTEFACTS);
    std::filesystem::path shot = std::filesystem::path(GALLERY_ARTEFACTS) / "album-page.png";
    std::filesystem::remove(shot);
    ProcessResult shot_run = run_chromium({"--virtual-time-budget=10000", "--window-size=1100,800", "--screenshot=" + shot.string(), address});
    EXPECT_EQ(shot_run.exit_code, 0) << shot_run.err;
    EXPECT_TRUE(read_whole_file(shot).starts_with("\x89PNG")) << "no screenshot at " << shot;
}
