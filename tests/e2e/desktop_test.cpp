// The Linux desktop as a user has it: an X server (Xvfb), the real zenity, a key press that closes
// the box, and the real gallery on loopback. Xvfb, zenity and xdotool come from scripts/install-deps;
// without them this fails rather than passes, so that no host's answer depends on what it has.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "sample_png.h"
#include "server/test_support.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const std::string xvfb = "/usr/bin/Xvfb", zenity = "/usr/bin/zenity", xdotool = "/usr/bin/xdotool";

// The display number Xvfb chose and wrote (-displayfd 1) into its log, or empty.
std::string display_from_log(const fs::path& log) {
    for (int i = 0; i < 200; ++i) {
        const std::string text = read_whole_file(log);
        std::size_t start = 0;
        for (std::size_t end = text.find('\n'); end != std::string::npos; start = end + 1, end = text.find('\n', start)) {
            const std::string line = text.substr(start, end - start);
            if (!line.empty() && line.find_first_not_of("0123456789") == std::string::npos) return ":" + line;
        }
        std::this_thread::sleep_for(50ms);
    }
    return {};
}

// The windows titled exactly so, as xdotool lists them.
std::string windows_titled(const std::string& display, const std::string& title) {
    return run_process({xdotool, "search", "--name", "^" + title + "$"}, {"DISPLAY=" + display}, 20).out;
}

// Waits up to a minute for a window with this title while the run goes on; empty when none came.
std::string await_window(const std::string& display, const std::string& title, const std::atomic<bool>& finished) {
    std::string found;
    for (auto deadline = std::chrono::steady_clock::now() + 60s; found.empty() && !finished;) {
        if (std::chrono::steady_clock::now() > deadline) break;
        found = windows_titled(display, title);
        std::this_thread::sleep_for(200ms);
    }
    return found;
}

// What a user does to answer a box: gives it the keyboard and presses Enter.
void press_enter_in(const std::string& display, const std::string& windows) {
    const std::string window = windows.substr(0, windows.find('\n'));
    run_process({xdotool, "windowfocus", "--sync", window}, {"DISPLAY=" + display}, 20);
    run_process({xdotool, "key", "Return"}, {"DISPLAY=" + display}, 20);
}

TEST(LinuxDesktop, AWarningBoxWaitsForAKeyAndTheUploadThenCompletes) {
    for (const std::string& program : {xvfb, zenity, xdotool}) {
        ASSERT_TRUE(fs::exists(program)) << program << " is missing: scripts/install-deps installs it";
    }
    TempFolder work;
    const fs::path album = work.path / "album", bin = work.path / "bin", opened = work.path / "opened";
    // The X server picks a free display of its own and listens on its local socket only.
    const auto x_server = start_program({xvfb, "-displayfd", "1", "-nolisten", "tcp", "-screen", "0", "800x600x24"},
                                        work.path / "xvfb.log");
    const std::string display = display_from_log(work.path / "xvfb.log");
    ASSERT_FALSE(display.empty()) << read_whole_file(work.path / "xvfb.log");

    const auto gallery = start_server_process({"--listen", "127.0.0.1:" + std::to_string(TEST_GALLERY_PORT), "--data",
                                               (work.path / "data").string(), "--largest-file", "100000"},
                                              work.path / "gallery.log");
    ASSERT_TRUE(wait_for_port(TEST_GALLERY_PORT, 10000)) << read_whole_file(work.path / "gallery.log");

    // Two pictures and one the gallery's limit turns away, which brings the warning mid-walk; and
    // a bus launcher planted where a PATH ending in ':' would find it from the walked folder (the
    // gallery then reports it as no picture).
    const std::string first = make_sample_png(40, 30, 1), second = make_sample_png(50, 35, 2);
    write_file(album / "first.png", first);
    write_file(album / "second.png", second);
    write_file(album / "huge.png", std::string(200000, 'h'));
    write_file(album / "dbus-launch", "#!/bin/sh\ntouch '" + (work.path / "planted-ran").string() + "'\n");
    ::chmod((album / "dbus-launch").c_str(), 0755);
    write_file(bin / "xdg-open", "#!/bin/sh\nprintf '%s' \"$1\" > '" + opened.string() + "'\n");
    ::chmod((bin / "xdg-open").c_str(), 0755);
    fs::create_directories(work.path / "home");
    fs::create_directories(work.path / "appdata");

    std::atomic<bool> finished = false;
    ProcessResult upload;
    std::thread uploader([&] {
        upload = run_process({UPLOADER_PROBE_EXE, album.string()},
                             {"DISPLAY=" + display, "WAYLAND_DISPLAY", "DBUS_SESSION_BUS_ADDRESS",
                              "HOME=" + (work.path / "home").string(), "APPDATA=" + (work.path / "appdata").string(),
                              "PATH=" + bin.string() + ":/usr/bin:/bin:"},
                             200);
        finished = true;
    });

    // No early return while the run goes on: the thread is joined whatever happens.
    const std::string box = await_window(display, "Uploader error", finished);
    EXPECT_FALSE(box.empty()) << "no box appeared";
    if (!box.empty()) {
        // Nobody answers for over a minute: the box and the run both wait.
        std::this_thread::sleep_for(65s);
        EXPECT_FALSE(finished) << upload.err;
        EXPECT_EQ(windows_titled(display, "Uploader error"), box);
        press_enter_in(display, box);
        // The gallery's report on the planted program, which is no picture; then the album opens.
        const std::string report = await_window(display, "Error uploading files", finished);
        EXPECT_FALSE(report.empty()) << "no report appeared";
        if (!report.empty()) press_enter_in(display, report);
    }
    uploader.join();

    EXPECT_EQ(upload.exit_code, 0) << upload.err;
    // The warning was seen in the box, so it did not fall back to standard error.
    EXPECT_EQ(upload.err.find("Uploader error"), std::string::npos) << upload.err;
    EXPECT_FALSE(fs::exists(work.path / "planted-ran"));
    EXPECT_TRUE(read_whole_file(opened).starts_with("http://127.0.0.1:" + std::to_string(TEST_GALLERY_PORT) + "/a/"))
        << read_whole_file(opened);
    auto stored = stored_pictures(work.path / "data");
    std::sort(stored.begin(), stored.end());
    EXPECT_EQ(stored, (std::vector<std::pair<std::string, std::string>>{{"first.png", first}, {"second.png", second}}))
        << read_whole_file(work.path / "gallery.log");
}

}  // namespace
