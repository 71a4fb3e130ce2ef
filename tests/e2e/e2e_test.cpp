// The whole program against a scripted gallery: the bytes it sends, the boxes it shows, the address
// it opens and its exit status, for the native build and for the Windows build under Wine.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "e2e/program_runner.h"
#include "platform/utf8.h"
#include "support/temp_folder.h"
#include "support/wire_text.h"

namespace {

// The scripted gallery is not on port 80, so the Host line names its port.
const std::string test_port = std::to_string(TEST_GALLERY_PORT);

namespace fs = std::filesystem;
using namespace std::string_literals;

std::string reply(const std::string& status_line, const std::string& body) {
    return status_line + "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}
std::string limits(const std::string& numbers) { return reply("HTTP/1.1 200 OK", numbers); }
const std::string roomy_limits = limits("104857600:500:20971520");
const std::string album = "http://127.0.0.1/album/1";
const std::string album_reply = reply("HTTP/1.1 200 OK", album);

struct Listed {
    std::string name, contents;
};
// The upload body the gallery should receive for these settings and files.
std::string body(const std::vector<Listed>& files, const std::string& letters = "L", const std::string& word = "true") {
    std::string text = "2.0\n" + letters + "\n" + word + "\n", contents;
    for (const Listed& file : files) {
        text += list_line(file.contents.size(), file.name);
        contents += file.contents;
    }
    return utf16le(text + "\n") + contents;
}

// The file list lines of an upload request, sorted: folder listings come in the file system's order.
std::vector<std::string> sorted_list(const std::string& request) {
    const std::string sent = request.substr(request.find("\r\n\r\n") + 4);
    std::u16string text;
    for (std::size_t i = 0; i + 1 < sent.size(); i += 2) {
        const char16_t c = static_cast<char16_t>(static_cast<unsigned char>(sent[i]) | static_cast<unsigned char>(sent[i + 1]) << 8);
        if (c == u'\n' && !text.empty() && text.back() == u'\n') break;  // the empty line ends the list
        text += c;
    }
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end = text.find(u'\n'); end != std::u16string::npos; start = end + 1, end = text.find(u'\n', start)) {
        lines.push_back(platform::utf16_to_utf8(text.substr(start, end - start)));
    }
    lines.erase(lines.begin(), lines.begin() + std::min<std::size_t>(3, lines.size()));  // version and settings
    std::sort(lines.begin(), lines.end());
    return lines;
}

std::string error_box(const std::string& text) { return "Uploader error: " + text + "\n"; }

struct Case {
    std::string name;
    std::vector<Listed> files = {};  // made in the run's folder; a name ending in '/' is a folder
    std::vector<std::string> arguments = {};
    std::vector<ScriptedExchange> script = {{roomy_limits}, {album_reply}};
    int exit_status = 0;
    std::string messages = {};
    std::vector<std::string> opened = {album};
    std::optional<std::string> body = {};  // of the upload request
};

ProgramRun run_case(const Case& c, const fs::path& folder) {
    for (const Listed& file : c.files) {
        if (file.name.ends_with('/')) fs::create_directories(folder / file.name);
        else write_file(folder / file.name, file.contents);
    }
    return run_program({c.arguments, std::nullopt, c.script, folder});
}

void check(const Case& c) {
    TempFolder folder;
    const ProgramRun run = run_case(c, folder.path);
    EXPECT_EQ(run.exit_status, c.exit_status) << c.name;
    EXPECT_EQ(run.messages, c.messages) << c.name;
    EXPECT_EQ(run.opened, c.opened) << c.name;
    if (c.body) {
        ASSERT_EQ(run.requests.size(), 2u) << c.name;
        const std::string& upload = run.requests[1];
        const auto head_end = upload.find("\r\n\r\n");
        ASSERT_NE(head_end, std::string::npos) << c.name;
        EXPECT_EQ(upload.substr(head_end + 4), *c.body) << c.name;
        EXPECT_NE(upload.find("\r\nContent-Length: " + std::to_string(c.body->size()) + "\r\n"), std::string::npos)
            << c.name;
    }
}

const std::string jpeg_1234 = [] {
    std::string bytes(1234, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 31 + 7);
    return bytes;
}();

TEST(Upload, RequestToTheByte) {
    TempFolder folder;
    write_file(folder.path / "a.jpg", jpeg_1234);
    const ProgramRun run = run_program({{"a.jpg"}, std::nullopt, {{roomy_limits}, {album_reply}}, folder.path});
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(run.messages, "");
    EXPECT_EQ(run.opened, std::vector<std::string>{album});
    ASSERT_EQ(run.requests.size(), 2u);
    const std::string agent = run.requests[0].substr(run.requests[0].find("User-Agent: "));
    EXPECT_EQ(run.requests[0], "GET /add/limits.aspx HTTP/1.1\r\nHost: 127.0.0.1:" + test_port + "\r\n" + agent);
    EXPECT_TRUE(agent.starts_with(under_wine() ? "User-Agent: Quillomark/2.0 (Windows NT " : "User-Agent: Quillomark/2.0 ("));
    EXPECT_TRUE(agent.ends_with(")\r\n\r\n"));
    const std::string upload_head = "POST /add/Client.aspx HTTP/1.1\r\nHost: 127.0.0.1:" + test_port + "\r\n" +
                                    agent.substr(0, agent.size() - 2) + "Content-Length: 1290\r\n" +
                                    "Content-Type: application/octet-stream; charset=utf-16\r\n\r\n";
    EXPECT_EQ(run.requests[1], upload_head + body({{"a.jpg", jpeg_1234}}));
}

TEST(Upload, GatheringAndLimits) {
    const std::string k1(1024, 'k');
    const Case cases[] = {
        {.name = "nothing accepted", .arguments = {"missing.jpg"}, .body = body({})},
        {.name = "no arguments at all", .arguments = {}, .body = body({})},
        {.name = "empty file", .files = {{"e.png", ""}}, .arguments = {"e.png"}, .body = body({{"e.png", ""}})},
        {.name = "named twice", .files = {{"a.gif", "GIF"}}, .arguments = {"a.gif", "a.gif"},
         .body = body({{"a.gif", "GIF"}, {"a.gif", "GIF"}})},
        {.name = "count limit warns once",
         .files = {{"1.jpg", "1"}, {"2.jpg", "2"}, {"3.jpg", "3"}, {"4.jpg", "4"}},
         .arguments = {"1.jpg", "2.jpg", "3.jpg", "4.jpg"},
         .script = {{limits("104857600:2:20971520")}, {album_reply}},
         .messages = error_box("server refuses to accept more than 2 files per session, the rest is ignored"),
         .body = body({{"1.jpg", "1"}, {"2.jpg", "2"}})},
        {.name = "size limit warns once; the limit itself fits",
         .files = {{"fits.jpg", k1}, {"big1.jpg", k1 + "x"}, {"big2.jpg", k1 + "xx"}},
         .arguments = {"big1.jpg", "fits.jpg", "big2.jpg"},
         .script = {{limits("104857600:500:1024")}, {album_reply}},
         .messages = error_box("server refuses to accept files bigger than 1K, big images ignored"),
         .body = body({{"fits.jpg", k1}})},
        {.name = "count is checked before size",
         .files = {{"a.jpg", "a"}, {"big.jpg", k1 + "x"}},
         .arguments = {"a.jpg", "big.jpg"},
         .script = {{limits("104857600:1:1024")}, {album_reply}},
         .messages = error_box("server refuses to accept more than 1 files per session, the rest is ignored"),
         .body = body({{"a.jpg", "a"}})},
        {.name = "negative limits mean no limit",
         .files = {{"a.jpg", k1 + k1}},
         .arguments = {"a.jpg"},
         .script = {{limits("-1:-1:-1")}, {album_reply}},
         .body = body({{"a.jpg", k1 + k1}})},
        {.name = "upload exactly at the limit",
         .files = {{"a.jpg", jpeg_1234}},
         .arguments = {"a.jpg"},
         .script = {{limits("1290:500:20971520")}, {album_reply}},
         .body = body({{"a.jpg", jpeg_1234}})},
        {.name = "non-ASCII names",
         .files = {{"\u00c6r\u00f8 \u0444\u043e\u0442\u043e \u5199\u771f.jpg", "N"}},
         .arguments = {"\u00c6r\u00f8 \u0444\u043e\u0442\u043e \u5199\u771f.jpg"},
         .body = body({{"\u00c6r\u00f8 \u0444\u043e\u0442\u043e \u5199\u771f.jpg", "N"}})},
    };
    for (const Case& c : cases) check(c);
}

TEST(Upload, FolderWalks) {
    {
        // Listing order is the file system's: compare the lines as a set.
        TempFolder folder;
        write_file(folder.path / "album" / "one" / "photo.jpg", "P1");
        write_file(folder.path / "album" / "two" / "photo.jpg", "P2");
        write_file(folder.path / "album" / ".hidden.jpg", "H");
        write_file(folder.path / "album" / ".cache" / "c.jpg", "C");
        write_file(folder.path / ".top.jpg", "T");
        const ProgramRun run = run_program({{"album", ".top.jpg"}, std::nullopt, {{roomy_limits}, {album_reply}}, folder.path});
        ASSERT_EQ(run.requests.size(), 2u);
        EXPECT_EQ(sorted_list(run.requests[1]),
                  (std::vector<std::string>{"000000001:.top.jpg", "000000002:photo.jpg", "000000002:photo.jpg"}));
        EXPECT_TRUE(run.requests[1].ends_with("P1P2T") || run.requests[1].ends_with("P2P1T"));
        EXPECT_EQ(run.messages, "");
    }
    {
        // After a folder named by its full path, a relative name still means the current folder.
        TempFolder folder;
        write_file(folder.path / "rel.jpg", "right");
        write_file(folder.path / "sub" / "rel.jpg", "wrong");
        write_file(folder.path / "sub" / "pics" / "p.jpg", "p");
        const std::string pics = (folder.path / "sub" / "pics").string();
        const ProgramRun run = run_program({{pics, "rel.jpg"}, std::nullopt, {{roomy_limits}, {album_reply}}, folder.path});
        ASSERT_EQ(run.requests.size(), 2u);
        EXPECT_TRUE(run.requests[1].ends_with(body({{"p.jpg", "p"}, {"rel.jpg", "right"}})));
    }
    {
        // A link back to an enclosing folder is not followed round again.
        TempFolder folder;
        write_file(folder.path / "loop" / "a.jpg", "A");
        fs::create_directory_symlink("..", folder.path / "loop" / "back");
        const ProgramRun run = run_program({{"loop"}, std::nullopt, {{roomy_limits}, {album_reply}}, folder.path});
        EXPECT_EQ(run.exit_status, 0);
        ASSERT_EQ(run.requests.size(), 2u);
        EXPECT_TRUE(run.requests[1].ends_with(body({{"a.jpg", "A"}})));
    }
    {
        // Eleven files and more are all kept; a very deep tree stops with one warning.
        TempFolder folder;
        std::vector<std::string> expected;
        fs::path deep = folder.path / "d";
        for (int level = 1; level <= 70; ++level) {
            if (level <= 12) {
                const std::string name = "f" + std::to_string(level) + ".jpg";
                write_file(deep / name, name);
                expected.push_back("00000000" + std::to_string(name.size()) + ":" + name);  // sizes below 10
            }
            deep /= "d";
        }
        write_file(deep / "too-deep.jpg", "x");
        const ProgramRun run = run_program({{"d"}, std::nullopt, {{roomy_limits}, {album_reply}}, folder.path});
        EXPECT_EQ(run.messages, error_box("folders nested too deeply, deeper folders ignored"));
        ASSERT_EQ(run.requests.size(), 2u);
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(sorted_list(run.requests[1]), expected);
    }
}

TEST(Upload, LongPaths) {
    // Folders whose full path passes 260 characters, and a name of 200 characters.
    TempFolder folder;
    const std::string long_name(200, 'n');
    fs::path deep = folder.path / "top";
    write_file(deep / (long_name + ".jpg"), "L");
    for (int level = 0; level < 6; ++level) deep /= std::string(60, static_cast<char>('a' + level));
    write_file(deep / "deep.jpg", "D");
    const ProgramRun run = run_program({{"top"}, std::nullopt, {{roomy_limits}, {album_reply}}, folder.path});
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(run.messages, "");
    ASSERT_EQ(run.requests.size(), 2u);
    const std::vector<std::string> lines = sorted_list(run.requests[1]);
    EXPECT_NE(std::find(lines.begin(), lines.end(), "000000001:" + long_name + ".jpg"), lines.end());
    EXPECT_NE(std::find(lines.begin(), lines.end(), "000000001:deep.jpg"), lines.end());
}

TEST(Upload, Settings) {
    const std::string defaults = under_wine() ? "2.0\r\nL\r\ntrue" : "2.0\nL\ntrue";
    struct SettingsCase {
        std::string name;
        std::optional<std::string> before;
        std::string letters, word;
        std::optional<std::string> after;  // the file afterwards; none: as before
    };
    const SettingsCase cases[] = {
        {"missing file created", std::nullopt, "L", "true", defaults},
        {"LG and false kept", "2.0\nLG\nfalse\n", "LG", "false", std::nullopt},
        {"repeats in any order", "2.0 GGL yes", "GGL", "yes", std::nullopt},
        {"another version reset", "2.1\nLG\nfalse", "L", "true", defaults},
        {"lower-case letter reset", "2.0\nLl\nfalse", "L", "true", defaults},
        {"letter outside the set reset", "2.0\nLX\nfalse", "L", "true", defaults},
        {"25 letters cut after 20", "2.0\nLLLLLGGGGGIIIIIBBBBBZZZZZ\nfalse", "LLLLLGGGGGIIIIIBBBBB", "ZZZZZ", std::nullopt},
        {"third word cut after 10", "2.0 L abcdefghijklmnop", "L", "abcdefghij", std::nullopt},
        {"two words reset", "2.0\nL", "L", "true", defaults},
    };
    for (const SettingsCase& c : cases) {
        TempFolder folder;
        const ProgramRun run = run_program({{}, c.before, {{roomy_limits}, {album_reply}}, folder.path});
        ASSERT_EQ(run.requests.size(), 2u) << c.name;
        EXPECT_TRUE(run.requests[1].ends_with(body({}, c.letters, c.word))) << c.name;
        EXPECT_EQ(run.settings_after, c.after ? c.after : c.before) << c.name;
        EXPECT_EQ(run.messages, "") << c.name;
    }
}

TEST(Upload, SettingsThatCannotBeWritten) {
    // A file where the settings folder should be: the defaults are used, and the user is told.
    TempFolder folder;
    std::error_code ignored;
    fs::remove_all(settings_folder(), ignored);
    write_file(settings_folder(), "not a folder");
    ProgramSetup setup{{}, std::nullopt, {{roomy_limits}, {album_reply}}, folder.path};
    setup.keep_settings_folder = true;
    const ProgramRun run = run_program(setup);
    fs::remove_all(settings_folder(), ignored);
    EXPECT_EQ(run.messages, error_box("cannot create configuration file"));
    ASSERT_EQ(run.requests.size(), 2u);
    EXPECT_TRUE(run.requests[1].ends_with(body({})));
    EXPECT_EQ(run.exit_status, 0);
}

TEST(Upload, Replies) {
    const std::string not_web = "the gallery did not return a web address: ";
    const Case cases[] = {
        {.name = "report then address",
         .script = {{roomy_limits}, {reply("HTTP/1.1 200 OK", "notes.txt is not a picture\n*****\r\n" + album)}},
         .messages = "Error uploading files: notes.txt is not a picture\n\n"},
        {.name = "marker first", .script = {{roomy_limits}, {reply("HTTP/1.1 200 OK", "*****\r\n" + album)}},
         .messages = "Error uploading files: \n"},
        {.name = "server error page",
         .script = {{roomy_limits}, {reply("HTTP/1.1 500 Internal Server Error", "<html><body>boom</body></html>")}},
         .messages = error_box("<html><body>boom</body></html>"), .opened = {}},
        {.name = "201 is not success", .script = {{roomy_limits}, {reply("HTTP/1.1 201 Created", album)}},
         .messages = error_box(album), .opened = {}},
        {.name = "interim 100 then 200",
         .script = {{roomy_limits}, {"HTTP/1.1 100 Continue\r\n\r\n" + album_reply}}},
        {.name = "body breaks off",
         .script = {{roomy_limits}, {"HTTP/1.1 200 OK\r\nContent-Length: 99\r\n\r\nhttp://127.0.0.1/"}},
         .messages = error_box("server response terminated unexpectedly"), .opened = {}},
        {.name = "address that is not a web address",
         .script = {{roomy_limits}, {reply("HTTP/1.1 200 OK", "\\\\evil\\share\\setup.exe")}},
         .messages = error_box(not_web + "\\\\evil\\share\\setup.exe"), .opened = {}},
        {.name = "rejected upload still exits 0",
         .script = {{roomy_limits}, {reply("HTTP/1.1 413 Too Large", "album too large")}},
         .messages = error_box("album too large"), .opened = {}},
    };
    for (const Case& c : cases) check(c);
}

TEST(Upload, FailuresThatEndTheRun) {
    const std::string k2(2048, 'z');
    const Case cases[] = {
        {.name = "no gallery", .script = {}, .exit_status = 1,
         .messages = error_box("cannot connect to the gallery"), .opened = {}},
        {.name = "bad limit response", .script = {{limits("1 :2:3")}}, .exit_status = 1,
         .messages = error_box("bad limit response"), .opened = {}},
        {.name = "limits body breaks off", .script = {{"HTTP/1.1 200 OK\r\nContent-Length: 30\r\n\r\n1:2:3"}},
         .exit_status = 1,
         .messages = error_box("server response terminated unexpectedly") + error_box("bad limit response"),
         .opened = {}},
        {.name = "gallery gone before the upload", .script = {{roomy_limits}}, .exit_status = 1,
         .messages = error_box("cannot connect to the gallery"), .opened = {}},
        {.name = "upload one byte above the limit", .files = {{"a.jpg", jpeg_1234}}, .arguments = {"a.jpg"},
         .script = {{limits("1289:500:20971520")}, {album_reply}}, .exit_status = 1,
         .messages = error_box("server refuses to accept archives bigger than 0M"), .opened = {}},
        {.name = "limit shown in whole MiB", .files = {{"a.jpg", k2}}, .arguments = {"a.jpg"},
         .script = {{limits("3145727:500:-1")}, {album_reply}}, .exit_status = 0, .messages = "",
         .body = body({{"a.jpg", k2}})},
    };
    for (const Case& c : cases) check(c);

    // The too-large upload stops after the three first head lines.
    TempFolder folder;
    write_file(folder.path / "a.jpg", jpeg_1234);
    const ProgramRun refused = run_program({{"a.jpg"}, std::nullopt, {{limits("1200:9:9999")}, {album_reply}}, folder.path});
    ASSERT_EQ(refused.requests.size(), 2u);
    EXPECT_TRUE(refused.requests[1].starts_with("POST /add/Client.aspx HTTP/1.1\r\nHost: 127.0.0.1:" + test_port + "\r\nUser-Agent: "));
    EXPECT_TRUE(refused.requests[1].ends_with(")\r\n")) << refused.requests[1];
}

TEST(Upload, LinuxDesktop) {
    if (under_wine()) GTEST_SKIP() << "the Windows build shows its boxes and opens addresses through the system";
    // Each run walks "album", whose too-big picture brings a message while the walk is inside
    // album/inner; both folders hold a zenity and a dbus-launch that must never run. PATH holds
    // only folders the test made, so what the host has installed cannot change the outcome.
    struct DesktopCase {
        std::string name;
        std::optional<std::string> zenity;  // a stand-in zenity on PATH: its shell script
        std::vector<std::string> environment;
        std::string messages;
        std::string path_before = {}, path_after = {};  // around the test's own PATH folders
        bool start_in_album = false;                    // the run starts inside the folder it uploads
    };
    const std::string too_big = error_box("server refuses to accept files bigger than 1K, big images ignored");
    const std::string by_hand = error_box("cannot open the web browser, open this address by hand: " + album);
    // As the real zenity does without a session bus: it looks up a bus launcher on PATH.
    const std::string searching_zenity =
        "[ -e big.jpg ] && echo zenity ran inside the uploaded folder >&2\n"
        "command -v dbus-launch >/dev/null && dbus-launch\nexit 0";
    const DesktopCase cases[] = {
        {"zenity shows the box", "exit 0", {"DISPLAY=:99"}, ""},
        {"zenity cannot reach the display", "exit 1", {"DISPLAY=:99"}, too_big},
        {"zenity killed", "kill -9 $$", {"WAYLAND_DISPLAY=wayland-9"}, too_big},
        {"browser cannot be started", std::nullopt, {"UPLOADER_OPEN_STATUS=3"}, too_big + by_hand},
        {"empty and relative PATH entries", std::nullopt, {"DISPLAY=:99"}, too_big, ":.:album:"},
        {"zenity searches PATH ending in an empty entry", searching_zenity, {"DISPLAY=:99"}, "", {}, ":"},
        {"the same, started inside the uploaded folder", searching_zenity, {"DISPLAY=:99"}, "", {}, ":", true},
    };
    for (const DesktopCase& c : cases) {
        TempFolder folder;
        write_file(folder.path / "album" / "inner" / "big.jpg", std::string(2048, 'b'));
        write_file(folder.path / "album" / "small.jpg", "s");
        for (const fs::path& where : {folder.path / "album", folder.path / "album" / "inner"}) {
            for (const char* planted : {"zenity", "dbus-launch"}) {
                write_file(where / planted, "#!/bin/sh\necho planted " + std::string(planted) + " ran >&2\n");
                fs::permissions(where / planted, fs::perms::owner_all);
            }
        }
        std::string path = stand_in_programs().string();
        if (c.zenity) {
            write_file(folder.path / "desktop" / "zenity", "#!/bin/sh\n" + *c.zenity + "\n");
            fs::permissions(folder.path / "desktop" / "zenity", fs::perms::owner_all);
            path = (folder.path / "desktop").string() + ":" + path;
        }
        std::vector<std::string> environment = c.environment;
        environment.push_back("PATH=" + c.path_before + path + c.path_after);
        ProgramSetup setup{{"album"}, std::nullopt, {{limits("104857600:500:1024")}, {album_reply}}, folder.path};
        if (c.start_in_album) setup = {{"."}, std::nullopt, setup.script, folder.path / "album"};
        setup.environment = environment;
        const ProgramRun run = run_program(setup);
        EXPECT_EQ(run.exit_status, 0) << c.name;
        EXPECT_EQ(run.messages, c.messages) << c.name;
        EXPECT_EQ(run.opened, std::vector<std::string>{album}) << c.name;
    }
}

TEST(Upload, ContentsCutOffByTheGallery) {
    TempFolder folder;
    write_file(folder.path / "big.jpg", std::string(8 << 20, 'b'));
    // The gallery drops the connection once it has the head and a little of the body.
    const ProgramRun run = run_program({{"big.jpg"}, std::nullopt, {{roomy_limits}, {"", true, 400}}, folder.path});
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(run.messages.substr(0, run.messages.find('\n') + 1), error_box("send error"));
    EXPECT_TRUE(run.opened.empty());
}

}  // namespace
