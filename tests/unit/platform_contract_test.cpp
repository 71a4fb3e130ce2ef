// What the core relies on from the platform layer, checked the same way on Linux and under Wine.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <future>
#include <filesystem>
#include <string>
#include <vector>

#if !defined(_WIN32)
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "platform/platform.h"
#include "support/loopback.h"
#include "support/temp_folder.h"

namespace {

namespace fs = std::filesystem;

// Every name a listing gives, sorted; fails when the folder cannot be listed.
std::vector<platform::NativePath> listing(const fs::path& folder) {
    std::vector<platform::NativePath> names;
    std::optional<platform::DirWalker> walker = platform::dir_open(native_path_of(folder));
    if (!walker) {
        ADD_FAILURE() << "cannot list " << folder;
        return names;
    }
    while (const auto name = platform::dir_next(*walker)) names.push_back(*name);
    EXPECT_FALSE(platform::dir_next(*walker)) << "a finished listing goes on";
    platform::dir_close(*walker);
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::u16string> listed_text(const fs::path& folder) {
    std::vector<std::u16string> names;
    for (const platform::NativePath& name : listing(folder)) names.push_back(platform::path_to_utf16(name));
    return names;
}

std::string read_native_path_of(const platform::NativePath& path) {
    std::FILE* file = platform::open_file(path, "rb");
    if (file == nullptr) return "<cannot open>";
    std::string bytes;
    char buffer[256];
    std::size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) bytes.append(buffer, got);
    std::fclose(file);
    return bytes;
}

TEST(PlatformFiles, ListsQueriesAndOpensNamesThatAreNotAscii) {
    TempFolder temp;
    const fs::path picture = temp.path / u8"Ærø-фото-写真.jpg";
    const std::string bytes("JFIF\0\xff\r\n", 8);
    write_file(picture, bytes);
    fs::create_directories(temp.path / u8"папка");
    write_file(temp.path / "plain.txt", "t");

    EXPECT_EQ(listed_text(temp.path), (std::vector<std::u16string>{u"plain.txt", u"Ærø-фото-写真.jpg", u"папка"}));
    EXPECT_TRUE(listing(temp.path / u8"папка").empty()) << "an empty folder lists nothing, not even dot entries";

    const auto status = platform::file_status(native_path_of(picture));
    ASSERT_TRUE(status);
    EXPECT_EQ(status->kind, platform::FileKind::regular);
    EXPECT_EQ(status->size, bytes.size());
    EXPECT_EQ(read_native_path_of(native_path_of(picture)), bytes);

    // A name from a listing opens the file it names.
    write_file(temp.path / u8"папка" / u8"雪.png", "snow");
    const std::vector<platform::NativePath> names = listing(temp.path / u8"папка");
    ASSERT_EQ(names.size(), 1u);
    EXPECT_EQ(platform::path_to_utf16(names[0]), u"雪.png");
    EXPECT_EQ(read_native_path_of(native_path_of(temp.path / u8"папка") + platform::path_separator + names[0]), "snow");

    EXPECT_FALSE(platform::file_status(native_path_of(temp.path / "missing.jpg")));
    EXPECT_FALSE(platform::dir_open(native_path_of(temp.path / "missing")));
    EXPECT_EQ(platform::open_file(native_path_of(temp.path / "missing.jpg"), "rb"), nullptr);
}

TEST(PlatformFiles, FoldersHaveOneIdentityWhateverPathReachesThem) {
    TempFolder temp;
    fs::create_directories(temp.path / "sub" / "deeper");
    fs::create_directories(temp.path / "sibling");
    write_file(temp.path / "sub" / "file.jpg", "");

    const auto sub = platform::file_status(native_path_of(temp.path / "sub"));
    const auto again = platform::file_status(native_path_of(temp.path / "sub" / "deeper" / ".."));
    const auto deeper = platform::file_status(native_path_of(temp.path / "sub" / "deeper"));
    const auto sibling = platform::file_status(native_path_of(temp.path / "sibling"));
    const auto file = platform::file_status(native_path_of(temp.path / "sub" / "file.jpg"));
    ASSERT_TRUE(sub && again && deeper && sibling && file);
    EXPECT_EQ(sub->kind, platform::FileKind::folder);
    EXPECT_EQ(sibling->kind, platform::FileKind::folder);
    EXPECT_EQ(file->kind, platform::FileKind::regular);
    EXPECT_EQ(file->size, 0u);
    EXPECT_EQ(sub->identity, again->identity);
    EXPECT_NE(sub->identity, deeper->identity);
    EXPECT_NE(sub->identity, sibling->identity);
    EXPECT_EQ(listed_text(temp.path / "sub"), (std::vector<std::u16string>{u"deeper", u"file.jpg"}));
}

TEST(PlatformFiles, CurrentDirectoryIsSavedChangedAndRestored) {
    TempFolder temp;
    fs::create_directories(temp.path / "sub" / "deeper");
    const fs::path before = fs::current_path();

    auto saved = platform::save_current_dir();
    ASSERT_TRUE(saved);
    EXPECT_TRUE(platform::change_dir(native_path_of(temp.path / "sub")));
    EXPECT_TRUE(fs::equivalent(fs::current_path(), temp.path / "sub"));
    EXPECT_TRUE(platform::change_dir(native_path_of("deeper")));  // relative to the new current directory
    EXPECT_TRUE(fs::equivalent(fs::current_path(), temp.path / "sub" / "deeper"));
    EXPECT_FALSE(platform::change_dir(native_path_of("missing")));
    EXPECT_FALSE(platform::change_dir(platform::NativePath()));
    EXPECT_TRUE(fs::equivalent(fs::current_path(), temp.path / "sub" / "deeper"));

    EXPECT_TRUE(platform::restore_current_dir(*saved));
    platform::release_saved_dir(*saved);
    EXPECT_EQ(fs::current_path(), before);
}

TEST(PlatformFiles, SavedDirectoryOutlivesARename) {
    // Renamed while the walk is elsewhere, and another folder made at the old path: restoring may
    // fail where the system cannot follow a folder, but never lands in the other one.
    TempFolder temp;
    fs::create_directories(temp.path / "before");
    fs::create_directories(temp.path / "other");
    const fs::path start = fs::current_path();
    ASSERT_TRUE(platform::change_dir(native_path_of(temp.path / "before")));
    auto saved = platform::save_current_dir();
    ASSERT_TRUE(saved);
    ASSERT_TRUE(platform::change_dir(native_path_of(temp.path / "other")));
    fs::rename(temp.path / "before", temp.path / "after");
    fs::create_directories(temp.path / "before");
    const bool restored = platform::restore_current_dir(*saved);
    platform::release_saved_dir(*saved);
    if (restored) {
        EXPECT_TRUE(fs::equivalent(fs::current_path(), temp.path / "after"));
    }
#if !defined(_WIN32)
    EXPECT_TRUE(restored) << "a descriptor follows its folder";
#endif
    fs::current_path(start);
}

TEST(PlatformNetwork, ConnectsRefusesAndFailsToResolve) {
    ASSERT_TRUE(platform::net_start());
    ScriptedGallery gallery;
    ASSERT_TRUE(gallery_start(gallery, 0, {{"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok"}}));
    const std::uint16_t port = gallery.port;

    const std::string request = "GET /x HTTP/1.1\r\nContent-Length: 3\r\n\r\nabc";
    std::string reply;
    const platform::Connection connection = platform::connect_ipv4("127.0.0.1", port);
    EXPECT_EQ(connection.status, platform::ConnectStatus::connected);
    if (connection.status == platform::ConnectStatus::connected) {
        // A silent gallery must not keep the program waiting for ever.
        EXPECT_EQ(receive_limit_seconds(connection.socket), platform::SILENCE_LIMIT_SECONDS);
        std::size_t sent = 0;
        long result = 1;
        while (sent < request.size() && result > 0) {
            result = platform::net_send(connection.socket, request.data() + sent, request.size() - sent);
            if (result > 0) sent += static_cast<std::size_t>(result);
        }
        EXPECT_EQ(sent, request.size());
        char buffer[7];  // smaller than the reply: it arrives over several calls
        while ((result = platform::net_recv(connection.socket, buffer, sizeof buffer)) > 0) {
            reply.append(buffer, static_cast<std::size_t>(result));
        }
        EXPECT_EQ(result, 0) << "the peer's close reads as 0";
        platform::net_close(connection.socket);
    }
    gallery_stop(gallery);
    EXPECT_EQ(reply, "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok");
    EXPECT_EQ(gallery_requests(gallery), std::vector<std::string>{request});

    // The script is over and its listener closed: nothing listens on the port any more.
    const platform::Connection refused = platform::connect_ipv4("127.0.0.1", port);
    EXPECT_EQ(refused.status, platform::ConnectStatus::refused);
    EXPECT_EQ(refused.socket, platform::invalid_socket);

    const platform::Connection unresolved = platform::connect_ipv4("no-such-host.invalid", port);
    EXPECT_EQ(unresolved.status, platform::ConnectStatus::unresolved);
    EXPECT_EQ(unresolved.socket, platform::invalid_socket);
    platform::net_stop();
}

#if defined(_WIN32)
TEST(PlatformText, AsciiPassesThroughTheCodePage) {
    EXPECT_EQ(platform::ansi_to_utf16("cannot connect: 127.0.0.1"), u"cannot connect: 127.0.0.1");
    EXPECT_EQ(platform::ansi_to_utf16(""), u"");
}
#else
TEST(PlatformText, DecodesUtf8AndReplacesEachBadByte) {
    struct Case {
        std::string text;
        std::u16string expected;
    };
    const Case cases[] = {
        {"", u""},
        {"plain", u"plain"},
        {"Ærø-фото-写真", u"Ærø-фото-写真"},
        {"\xF0\x9F\x93\xB7", u"\U0001F4F7"},                // outside the first plane: a surrogate pair
        {"a\xFF" "b", u"a\uFFFDb"},
        {"\x80\x80", u"\uFFFD\uFFFD"},                      // continuation bytes alone
        {"\xE5\x86", u"\uFFFD\uFFFD"},                      // cut short at the end
        {"\xE5\x86" "x", u"\uFFFD\uFFFDx"},                 // cut short by an ASCII byte
        {"\xC0\xAF", u"\uFFFD\uFFFD"},                      // overlong
        {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},            // an encoded surrogate
        {"\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},  // past U+10FFFF
        {"\xC3\xA6\xC3", u"æ\uFFFD"},
    };
    for (const Case& c : cases) EXPECT_EQ(platform::ansi_to_utf16(c.text), c.expected) << c.text;
}

TEST(PlatformFiles, NamesThatAreNotUtf8StillOpen) {
    TempFolder temp;
    const std::string name = "bad\xFF.jpg";
    write_file(temp.path / name, "raw");
    const std::vector<platform::NativePath> names = listing(temp.path);
    ASSERT_EQ(names, std::vector<platform::NativePath>{name});
    EXPECT_EQ(platform::path_to_utf16(names[0]), u"bad\uFFFD.jpg");
    const auto status = platform::file_status(native_path_of(temp.path) + "/" + names[0]);
    ASSERT_TRUE(status);
    EXPECT_EQ(status->size, 3u);
    EXPECT_EQ(read_native_path_of(native_path_of(temp.path) + "/" + names[0]), "raw");
}

TEST(PlatformFiles, OpensOnlyRegularFilesAndNeverWaits) {
    // A name checked as a file may be something else by the time it is opened: a FIFO without a
    // writer (or reader) would hold a blocking open for ever.
    TempFolder temp;
    const fs::path fifo = temp.path / "fifo.jpg";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    fs::create_directories(temp.path / "folder.jpg");
    struct Case {
        fs::path path;
        const char* mode;
    };
    const Case refused[] = {{fifo, "rb"}, {fifo, "w"}, {temp.path / "folder.jpg", "rb"}, {"/dev/null", "rb"},
                            {"/dev/null", "w"}};
    for (const Case& c : refused) {
        auto opened = std::async(std::launch::async, [&] { return platform::open_file(native_path_of(c.path), c.mode); });
        if (opened.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
            ADD_FAILURE() << c.path << " " << c.mode << " blocks";
            ::close(::open(fifo.c_str(), O_RDWR));  // lets the blocked open through
        }
        std::FILE* file = opened.get();
        EXPECT_EQ(file, nullptr) << c.path << " " << c.mode;
        if (file != nullptr) std::fclose(file);
    }
    // With the other end open the FIFO's open would not block, but it is still no file.
    const int writer = ::open(fifo.c_str(), O_RDWR);
    EXPECT_EQ(platform::open_file(native_path_of(fifo), "rb"), nullptr);
    ::close(writer);

    // Regular files open as the mode says, and the streams block as usual.
    std::FILE* written = platform::open_file(native_path_of(temp.path / "new.ini"), "w");
    ASSERT_NE(written, nullptr);
    std::fputs("2.0 L true", written);
    std::fclose(written);
    EXPECT_EQ(read_native_path_of(native_path_of(temp.path / "new.ini")), "2.0 L true");
}

#endif

}  // namespace
