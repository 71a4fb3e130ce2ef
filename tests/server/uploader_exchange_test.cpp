// The real uploader against the real gallery-server on 127.0.0.1:TEST_GALLERY_PORT.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <map>
#include <regex>

#include "browser_driver.h"
#include "sample_png.h"
#include "test_support.h"
#include "upload_receiver.h"

namespace {

struct Exchange {
    TempFolder work;
    std::filesystem::path data, pictures, opened;
    std::map<std::string, std::string> originals;
    std::unique_ptr<ServerProcess> server;

    explicit Exchange(std::vector<std::string> server_options = {}) {
        data = work.path / "data";
        pictures = work.path / "pictures";
        opened = work.path / "opened";
        std::filesystem::create_directories(pictures);
        std::filesystem::create_directories(work.path / "bin");
        std::filesystem::create_directories(work.path / "appdata");
        // Stands in for the desktop's opener and records the address it was handed.
        std::filesystem::path opener = work.path / "bin" / "xdg-open";
        write_file(opener, "#!/bin/sh\nprintf '%s' \"$1\" > '" + opened.string() + "'\n");
        ::chmod(opener.c_str(), 0755);

        std::vector<std::string> args{"--listen", "127.0.0.1:" + std::to_string(TEST_GALLERY_PORT), "--data",
                                      data.string()};
        args.insert(args.end(), server_options.begin(), server_options.end());
        server = start_server_process(args, work.path / "server.log");
    }

    void add_picture(const std::string& name, std::uint32_t seed) {
        originals[name] = make_sample_png(40 + seed * 10, 30 + seed * 5, seed);
        write_file(pictures / name, originals[name]);
    }

    // Our server, not some other listener on the port: it prints its start-up line once bound.
    bool ready() const {
        for (int i = 0; i < 100; ++i) {
            if (read_whole_file(work.path / "server.log").find("listening on") != std::string::npos)
                return wait_for_port(TEST_GALLERY_PORT, 2000);
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }

    ProcessResult upload(const std::vector<std::string>& paths) {
        std::vector<std::string> argv{UPLOADER_PROBE_EXE};
        argv.insert(argv.end(), paths.begin(), paths.end());
        const char* path = std::getenv("PATH");
        std::vector<std::string> env{"APPDATA=" + (work.path / "appdata").string(), "WAYLAND_DISPLAY",
                                     "PATH=" + (work.path / "bin").string() + ":" + (path ? path : "/usr/bin:/bin")};
        env.push_back(boxes_stay_open_seconds > 0 ? "DISPLAY=:0" : "DISPLAY");
        return run_process(argv, env, 60);
    }

    // Message boxes from now on are a stand-in desktop's, which records each text and stays open
    // as long as a person reading it would.
    void boxes_stay_open(int seconds) {
        boxes_stay_open_seconds = seconds;
        std::filesystem::path box = work.path / "bin" / "zenity";
        write_file(box, "#!/bin/sh\nfor a; do case \"$a\" in --text=*) printf '%s\\n' \"${a#--text=}\" >> '" +
                            boxes.string() + "';; esac; done\nsleep " + std::to_string(seconds) + "\n");
        ::chmod(box.c_str(), 0755);
    }

    int boxes_stay_open_seconds = 0;
    std::filesystem::path boxes = work.path / "boxes";

    // The owner link of a new album: its key, and the owner's secret.
    bool opened_owner_link() const {
        static const std::regex link("^http://127\\.0\\.0\\.1:" + std::to_string(TEST_GALLERY_PORT) +
                                     "/a/[A-Za-z0-9_-]{22}\\?owner=[A-Za-z0-9_-]{43}$");
        return std::regex_match(read_whole_file(opened), link);
    }
};

}  // namespace

TEST(UploaderExchange, AFolderOfPicturesArrivesByteIdenticalAndItsAlbumIsOpened) {
    Exchange exchange;
    ASSERT_TRUE(exchange.ready()) << read_whole_file(exchange.work.path / "server.log");
    for (std::uint32_t i = 1; i <= 4; ++i) exchange.add_picture("picture-" + std::to_string(i) + ".png", i);

    ProcessResult run = exchange.upload({exchange.pictures.string()});
    EXPECT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(run.err.find("Error uploading files"), std::string::npos) << run.err;
    EXPECT_TRUE(exchange.opened_owner_link()) << read_whole_file(exchange.opened);

    auto stored = stored_pictures(exchange.data);
    ASSERT_EQ(stored.size(), exchange.originals.size()) << read_whole_file(exchange.work.path / "server.log");
    for (const auto& [name, bytes] : stored) {
        ASSERT_TRUE(exchange.originals.contains(name)) << name;
        EXPECT_EQ(bytes, exchange.originals[name]) << name;
    }
}

TEST(UploaderExchange, ARefusedNonPictureIsReportedAndTheAlbumStillOpens) {
    Exchange exchange;
    ASSERT_TRUE(exchange.ready()) << read_whole_file(exchange.work.path / "server.log");
    exchange.add_picture("kept.png", 2);
    write_file(exchange.pictures / "notes.txt", "a shopping list, not a picture\n");

    ProcessResult run = exchange.upload({exchange.pictures.string()});
    EXPECT_EQ(run.exit_code, 0) << run.err;
    EXPECT_NE(run.err.find("Error uploading files: 1 file was not added:\nnotes.txt: not a JPEG, PNG, GIF or WebP picture"),
              std::string::npos)
        << run.err;
    EXPECT_TRUE(exchange.opened_owner_link()) << read_whole_file(exchange.opened);
    auto stored = stored_pictures(exchange.data);
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(stored[0].first, "kept.png");
    EXPECT_EQ(stored[0].second, exchange.originals["kept.png"]);
}

TEST(UploaderExchange, TheUploaderKeepsToTheLimitsTheServerAnnounces) {
    Exchange exchange({"--most-files", "2"});
    ASSERT_TRUE(exchange.ready()) << read_whole_file(exchange.work.path / "server.log");
    for (std::uint32_t i = 1; i <= 3; ++i) exchange.add_picture("p" + std::to_string(i) + ".png", i);

    ProcessResult run = exchange.upload({exchange.pictures.string()});
    EXPECT_EQ(run.exit_code, 0) << run.err;
    EXPECT_NE(run.err.find("more than 2 files"), std::string::npos) << run.err;
    EXPECT_TRUE(exchange.opened_owner_link()) << read_whole_file(exchange.opened);
    EXPECT_EQ(stored_pictures(exchange.data).size(), 2u);
}

TEST(UploaderExchange, FilesHandedOverByFullAndRelativePathArriveUnderTheirOwnNames) {
    // Send To, drag and drop and "Open with" hand over paths, which the uploader lists as given.
    Exchange exchange;
    ASSERT_TRUE(exchange.ready()) << read_whole_file(exchange.work.path / "server.log");
    exchange.add_picture("by-full-path.png", 1);
    exchange.add_picture("by-relative-path.png", 2);
    std::string relative =
        std::filesystem::relative(exchange.pictures / "by-relative-path.png", std::filesystem::current_path()).string();
    ASSERT_NE(relative.find('/'), std::string::npos) << relative;

    ProcessResult run = exchange.upload({(exchange.pictures / "by-full-path.png").string(), relative});
    EXPECT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(run.err.find("Error"), std::string::npos) << run.err;
    EXPECT_TRUE(exchange.opened_owner_link()) << read_whole_file(exchange.opened);
    auto stored = stored_pictures(exchange.data);
    ASSERT_EQ(stored.size(), 2u) << read_whole_file(exchange.work.path / "server.log");
    EXPECT_EQ(stored[0].first, "by-full-path.png");
    EXPECT_EQ(stored[0].second, exchange.originals["by-full-path.png"]);
    EXPECT_EQ(stored[1].first, "by-relative-path.png");
    EXPECT_EQ(stored[1].second, exchange.originals["by-relative-path.png"]);
}

TEST(UploaderExchange, AWarningBoxLeftOpenOutlastsAShortIdleTimeButNotTheDefault) {
    // Too many files makes the uploader warn while gathering, with its upload connection open and idle.
    struct Case {
        std::vector<std::string> options;
        bool stored;
    };
    for (const Case& c : std::vector<Case>{{{"--most-files", "2", "--idle-timeout", "1"}, false},
                                           {{"--most-files", "2"}, true}}) {
        Exchange exchange(c.options);
        ASSERT_TRUE(exchange.ready()) << read_whole_file(exchange.work.path / "server.log");
        for (std::uint32_t i = 1; i <= 3; ++i) exchange.add_picture("p" + std::to_string(i) + ".png", i);
        exchange.boxes_stay_open(3);

        ProcessResult run = exchange.upload({exchange.pictures.string()});
        std::string boxes = read_whole_file(exchange.boxes);
        EXPECT_NE(boxes.find("more than 2 files"), std::string::npos) << boxes;
        EXPECT_EQ(stored_pictures(exchange.data).size(), c.stored ? 2u : 0u) << boxes;
        if (c.stored) {
            EXPECT_TRUE(exchange.opened_owner_link()) << read_whole_file(exchange.opened) << boxes;
        } else {
            EXPECT_FALSE(std::filesystem::exists(exchange.opened)) << boxes;
            EXPECT_NE(boxes.find("error"), std::string::npos) << "the user is told: " << boxes;
        }
    }
}

TEST(UploaderExchange, NothingToUploadMakesNoAlbumAndTheReasonIsShown) {
    Exchange exchange;
    ASSERT_TRUE(exchange.ready()) << read_whole_file(exchange.work.path / "server.log");
    ProcessResult run = exchange.upload({(exchange.work.path / "no-such-file.png").string()});
    EXPECT_NE(run.err.find("no album was made: the upload holds no files"), std::string::npos) << run.err;
    EXPECT_FALSE(std::filesystem::exists(exchange.opened));
    EXPECT_EQ(count_rows(exchange.data, "albums"), 0);
}

namespace {

// Posts a form from the page the browser shows, the way a page's own form goes (the page's policy
// lets forms go to the gallery alone); the heading of the answer.
std::string post_from_page(Browser& browser, const std::string& action) {
    bool left = leave_page_by(browser, "(() => { const f = document.createElement('form'); f.method = 'post'; f.action = " +
                                           json_quote(action) + "; const i = document.createElement('input'); i.name = 'title'; "
                                           "i.value = 'taken'; f.append(i); document.body.append(f); f.submit(); })()");
    if (!left) return "(no answer)";
    return evaluate(browser, "document.querySelector('h1') ? document.querySelector('h1').textContent : document.body.textContent");
}

}  // namespace

// The owner's whole day in a real browser: the uploader's link makes this browser the owner, whose
// page renames, removes and deletes through its own forms; nobody else can, from anywhere.
TEST(OwnerInTheBrowser, TheUploadersLinkLetsThisBrowserAloneRenameRemoveAndDelete) {
    std::string why;
    auto owner = start_browser(why);
    if (!owner) GTEST_SKIP() << why;
    auto stranger = start_browser(why);
    ASSERT_TRUE(stranger) << why;
    Exchange exchange;
    ASSERT_TRUE(exchange.ready()) << read_whole_file(exchange.work.path / "server.log");
    for (std::uint32_t i = 1; i <= 3; ++i) exchange.add_picture("picture-" + std::to_string(i) + ".png", i);
    ProcessResult run = exchange.upload({exchange.pictures.string()});
    ASSERT_EQ(run.exit_code, 0) << run.err;
    ASSERT_TRUE(exchange.opened_owner_link()) << read_whole_file(exchange.opened);
    const std::string link = read_whole_file(exchange.opened);
    const std::string clean = link.substr(0, link.find('?'));
    const std::string path = clean.substr(clean.find("/a/"));

    // The link lands on the clean address with the capability in a cookie script cannot read.
    ASSERT_TRUE(open_page(*owner, link));
    EXPECT_EQ(evaluate(*owner, "location.href"), clean);
    std::optional<std::string> cookie = browser_cookie(*owner, "owner");
    ASSERT_TRUE(cookie) << "no owner cookie";
    for (const std::string& attribute : {"\"path\":\"" + path + "\"", std::string("\"sameSite\":\"Strict\"")})
        EXPECT_NE(cookie->find(attribute), std::string::npos) << attribute << " in " << *cookie;
    EXPECT_EQ(evaluate(*owner, "document.cookie"), "") << "script reads the owner cookie";
    EXPECT_EQ(evaluate(*owner, "document.querySelectorAll('figure').length"), "3");

    // Rename through the page's form.
    ASSERT_TRUE(leave_page_by(*owner, "(() => { document.querySelector('form.rename input[name=title]').value = "
                                      "'Été at the sea'; document.querySelector('form.rename button').click(); })()"));
    EXPECT_EQ(evaluate(*owner, "document.querySelector('h1').textContent"), "Été at the sea");

    // A browser without the cookie sees the album without the tools, and every change is refused.
    ASSERT_TRUE(open_page(*stranger, clean));
    EXPECT_EQ(evaluate(*stranger, "document.querySelectorAll('form').length"), "0");
    for (const std::string& change : {path + "/rename", path + "/1/remove", path + "/delete"})
        EXPECT_EQ(post_from_page(*stranger, change), "Not allowed") << change;
    // The owner's own browser on another site: SameSite keeps the cookie home.
    ASSERT_TRUE(open_page(*owner, "about:blank"));
    EXPECT_EQ(post_from_page(*owner, clean + "/delete"), "Not allowed");

    // Remove one picture, then delete the album, both through the page.
    ASSERT_TRUE(open_page(*owner, clean));
    ASSERT_TRUE(leave_page_by(*owner, "document.querySelector('form.remove button').click()"));
    EXPECT_EQ(evaluate(*owner, "document.querySelectorAll('figure').length"), "2");
    ASSERT_TRUE(leave_page_by(*owner, "document.querySelector('form.delete button').click()"));
    EXPECT_EQ(evaluate(*owner, "document.querySelector('h1').textContent"), "Album deleted");
    EXPECT_FALSE(browser_cookie(*owner, "owner")) << "the capability goes with the album";

    const std::string secret = link.substr(link.find("owner=") + 6);
    EXPECT_EQ(read_whole_file(exchange.work.path / "server.log").find(secret), std::string::npos)
        << "the owner secret is in the access log";
}

TEST(UploaderExchange, AnUploadFromOutsideTheAllowListShowsTheGallerysReason) {
    Exchange exchange({"--upload-allow", "192.0.2.0/24"});
    ASSERT_TRUE(exchange.ready()) << read_whole_file(exchange.work.path / "server.log");
    exchange.add_picture("kept-out.png", 1);
    ProcessResult run = exchange.upload({exchange.pictures.string()});
    EXPECT_NE(run.err.find(std::string(upload_not_allowed) + " (127.0.0.1)"), std::string::npos) << run.err;
    EXPECT_FALSE(std::filesystem::exists(exchange.opened));
}
