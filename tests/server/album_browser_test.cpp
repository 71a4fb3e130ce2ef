// The album page in headless Chromium: every picture must load, and a screenshot is kept for people to look at.
#include <gtest/gtest.h>

#include <regex>

#include "sample_png.h"
#include "test_support.h"

namespace {

std::vector<std::string> chromium_command(const std::filesystem::path& profile) {
    return {CHROMIUM_EXE,
            "--headless",
            "--no-sandbox",
            "--disable-gpu",
            "--disable-quic",
            "--no-first-run",
            "--disable-background-networking",
            "--disable-component-update",
            "--disable-sync",
            "--disable-dev-shm-usage",
            "--hide-scrollbars",
            "--user-data-dir=" + profile.string()};
}

}  // namespace

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

    TempFolder profile;
    std::vector<std::string> dump = chromium_command(profile.path);
    dump.insert(dump.end(), {"--virtual-time-budget=10000", "--dump-dom", address});
    ProcessResult dom = run_process(dump, {}, 90);
    ASSERT_FALSE(dom.timed_out) << dom.err;
    ASSERT_EQ(dom.exit_code, 0) << dom.err;

    std::regex loaded_picture("<img [^>]*data-state=\"loaded\"");
    auto count = [&dom](const std::regex& pattern) {
        return std::distance(std::sregex_iterator(dom.out.begin(), dom.out.end(), pattern), std::sregex_iterator());
    };
    EXPECT_EQ(count(std::regex("<img ")), 3) << dom.out;
    EXPECT_EQ(count(loaded_picture), 3) << dom.out;
    EXPECT_EQ(dom.out.find("data-state=\"broken\""), std::string::npos);
    EXPECT_NE(dom.out.find("320 × 240"), std::string::npos);
    EXPECT_NE(dom.out.find("200 × 300"), std::string::npos);
    EXPECT_NE(dom.out.find("&lt;b&gt;bold &amp; co.png"), std::string::npos);

    std::filesystem::create_directories(GALLERY_ARTEFACTS);
    std::filesystem::path shot = std::filesystem::path(GALLERY_ARTEFACTS) / "album-page.png";
    std::filesystem::remove(shot);
    TempFolder profile2;
    std::vector<std::string> screenshot = chromium_command(profile2.path);
    screenshot.insert(screenshot.end(),
                      {"--virtual-time-budget=10000", "--window-size=1100,800", "--screenshot=" + shot.string(), address});
    ProcessResult shot_run = run_process(screenshot, {}, 90);
    EXPECT_EQ(shot_run.exit_code, 0) << shot_run.err;
    EXPECT_TRUE(read_whole_file(shot).starts_with("\x89PNG")) << "no screenshot at " << shot;
}
