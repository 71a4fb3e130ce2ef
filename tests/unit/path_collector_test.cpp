// Gathering paths into a batch: names as reached, hidden entries, limits warned about once, and
// walks that end and come back to where they started.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#if !defined(_WIN32)
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#endif

#include "common/constants.h"
#include "gather/path_collector.h"
#include "stubs/ui_recorder.h"
#include "support/temp_folder.h"
#include "support/wire_text.h"
#include "platform/utf8.h"

namespace {

namespace fs = std::filesystem;

constexpr ServerLimits unlimited{0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF};

// One gathered file: its list line and the contents held for it.
using Gathered = std::pair<std::u16string, std::string>;

// Pairs each list line with the file held for it, sorted, since folders list in no fixed order.
// Also checks that the batch's byte count agrees with what it holds.
std::vector<Gathered> gathered(const UploadBatch& batch) {
    std::vector<std::u16string> lines;
    std::u16string line;
    for (const char16_t c : batch_list(batch)) {
        line += c;
        if (c == u'\n') lines.push_back(std::move(line)), line.clear();
    }
    EXPECT_TRUE(line.empty()) << "the list ends inside a line";
    const std::span<const HeldFile> files = batch_files(batch);
    EXPECT_EQ(lines.size(), files.size());
    std::uint64_t total = 2 + 2 * batch_list(batch).size();
    std::vector<Gathered> result;
    for (std::size_t i = 0; i < lines.size() && i < files.size(); ++i) {
        const HeldFile& held = files[i];
        total += held.size;
        result.emplace_back(lines[i], std::string(reinterpret_cast<const char*>(held.bytes),
                                                  static_cast<std::size_t>(held.size)));
    }
    EXPECT_EQ(batch.total, total);
    std::sort(result.begin(), result.end());
    return result;
}

std::vector<Gathered> sorted(std::vector<Gathered> files) {
    std::sort(files.begin(), files.end());
    return files;
}

// The list line of a name, as the batch holds it.
std::u16string utf16_line(std::size_t size, const std::string& name) {
    return platform::utf8_to_utf16(list_line(size, name));
}

UiEvent error_box(std::u16string text) { return {std::u16string(captions::error), std::move(text), false}; }

// Works in a folder for one test and returns to the previous current directory afterwards.
class InFolder {
public:
    explicit InFolder(const fs::path& folder) : before_(fs::current_path()) { fs::current_path(folder); }
    ~InFolder() { fs::current_path(before_); }
    InFolder(const InFolder&) = delete;
    InFolder& operator=(const InFolder&) = delete;

private:
    fs::path before_;
};

TEST(CollectPath, GathersFilesAndFoldersUnderTheNamesTheyWereReachedBy) {
    recorded_ui().clear();
    TempFolder temp;
    write_file(temp.path / "a.jpg", "aaa");
    write_file(temp.path / "album" / "photo.jpg", "album photo");
    write_file(temp.path / "album" / ".hidden.jpg", "hidden");
    write_file(temp.path / "album" / ".cache" / "thumb.jpg", "cached");
    write_file(temp.path / "album" / "inner" / "photo.jpg", "inner photo");
    write_file(temp.path / "album" / "inner" / "empty.gif", "");
    write_file(temp.path / "other" / "photo.jpg", "other photo!");
    fs::create_directories(temp.path / "album" / "nothing");
    fs::create_directories(temp.path / "elsewhere");
    const InFolder in(temp.path / "elsewhere");

    UploadBatch batch;
    batch_init(batch);
    for (const fs::path& path : {fs::path("../a.jpg"), temp.path / "album", fs::path("../missing.jpg"),
                                 fs::path("../a.jpg"), fs::path("../other")}) {
        collect_path(batch, native_path_of(path), unlimited);
        // Relative paths given later still name what they named before the walk.
        EXPECT_TRUE(fs::equivalent(fs::current_path(), temp.path / "elsewhere")) << path;
    }

    EXPECT_EQ(gathered(batch), sorted({
                                   {u"000000003:../a.jpg\n", "aaa"},
                                   {u"000000003:../a.jpg\n", "aaa"},  // named twice, gathered twice
                                   {u"000000011:photo.jpg\n", "album photo"},
                                   {u"000000011:photo.jpg\n", "inner photo"},
                                   {u"000000000:empty.gif\n", ""},
                                   {u"000000012:photo.jpg\n", "other photo!"},
                               }));
    EXPECT_TRUE(recorded_ui().empty());
    batch_release(batch);
}

TEST(CollectPath, EnforcesLimitsWithOneWarningEach) {
    struct Case {
        const char* what;
        ServerLimits limits;
        std::vector<std::pair<const char*, std::size_t>> files;  // offered one by one, in order
        std::vector<const char*> kept;
        std::vector<std::u16string> messages;
    };
    const std::u16string two_files = u"server refuses to accept more than 2 files per session, the rest is ignored";
    const std::u16string two_k = u"server refuses to accept files bigger than 2K, big images ignored";
    const Case cases[] = {
        {"count", {0xFFFFFFFF, 2, 0xFFFFFFFF}, {{"a", 1}, {"b", 2}, {"c", 3}, {"d", 4}}, {"a", "b"}, {two_files}},
        {"none at all", {0xFFFFFFFF, 0, 0xFFFFFFFF}, {{"a", 1}, {"b", 1}}, {},
         {u"server refuses to accept more than 0 files per session, the rest is ignored"}},
        {"size", {0xFFFFFFFF, 0xFFFFFFFF, 2048}, {{"a", 2049}, {"b", 2048}, {"c", 5000}, {"d", 0}}, {"b", "d"}, {two_k}},
        {"size in whole K", {0xFFFFFFFF, 0xFFFFFFFF, 3071}, {{"a", 3071}, {"b", 3072}}, {"a"}, {two_k}},
        {"count before size", {0xFFFFFFFF, 2, 2048}, {{"a", 1}, {"b", 2}, {"c", 3000}, {"d", 3000}}, {"a", "b"},
         {two_files}},
        {"size, then count", {0xFFFFFFFF, 2, 2048},
         {{"a", 1}, {"big", 3000}, {"b", 2}, {"c", 3}, {"big2", 3000}}, {"a", "b"}, {two_k, two_files}},
        {"unlimited", unlimited, {{"a", 0}, {"b", 70000}}, {"a", "b"}, {}},
    };
    for (const Case& c : cases) {
        recorded_ui().clear();
        TempFolder temp;
        for (const auto& [name, size] : c.files) write_file(temp.path / name, std::string(size, 'p'));
        const InFolder in(temp.path);
        UploadBatch batch;
        batch_init(batch);
        for (const auto& [name, size] : c.files) collect_path(batch, native_path_of(name), c.limits);

        std::vector<Gathered> expected;
        for (const char* name : c.kept) {
            const auto size = std::find_if(c.files.begin(), c.files.end(), [&](const auto& f) {
                                  return std::string(f.first) == name;
                              })->second;
            expected.emplace_back(utf16_line(size, name), std::string(size, 'p'));
        }
        EXPECT_EQ(gathered(batch), sorted(expected)) << c.what;
        std::vector<UiEvent> shown;
        for (const std::u16string& message : c.messages) shown.push_back(error_box(message));
        EXPECT_EQ(recorded_ui(), shown) << c.what;
        batch_release(batch);
    }
}

TEST(CollectPath, StopsAtTheDepthLimitWithOneWarning) {
    recorded_ui().clear();
    TempFolder temp;
    // Level n holds "n.jpg"; level 64 holds two folders, both too deep, each leading further down.
    fs::path level = temp.path;
    for (int n = 1; n <= 70; ++n) {
        level /= "d";
        write_file(level / (std::to_string(n) + ".jpg"), "x");
        if (n == 64) write_file(level / "e" / "65e.jpg", "x");
    }
    UploadBatch batch;
    batch_init(batch);
    const fs::path before = fs::current_path();
    collect_path(batch, native_path_of(temp.path / "d"), unlimited);

    std::vector<Gathered> expected;
    for (int n = 1; n <= 64; ++n) {
        expected.emplace_back(utf16_line(1, std::to_string(n) + ".jpg"), "x");
    }
    EXPECT_EQ(gathered(batch), sorted(expected));
    EXPECT_EQ(recorded_ui(), std::vector<UiEvent>{error_box(std::u16string(messages::too_deep))});
    EXPECT_EQ(fs::current_path(), before);
    batch_release(batch);
}

TEST(CollectPath, KeepsNamesThatAreNotAscii) {
    recorded_ui().clear();
    TempFolder temp;
    write_file(temp.path / u8"Ærø-фото-写真.jpg", "1234");
    write_file(temp.path / u8"папка" / u8"雪.png", "56");
    const InFolder in(temp.path);
    UploadBatch batch;
    batch_init(batch);
    collect_path(batch, native_path_of(u8"Ærø-фото-写真.jpg"), unlimited);
    collect_path(batch, native_path_of(u8"папка"), unlimited);
    EXPECT_EQ(gathered(batch), sorted({{u"000000004:Ærø-фото-写真.jpg\n", "1234"}, {u"000000002:雪.png\n", "56"}}));
    batch_release(batch);
}

#if !defined(_WIN32)
TEST(CollectPath, FollowsLinksButNeverAroundALoop) {
    recorded_ui().clear();
    TempFolder temp;
    write_file(temp.path / "root" / "a.jpg", "a");
    write_file(temp.path / "root" / "sub" / "b.jpg", "bb");
    write_file(temp.path / "shared" / "c.jpg", "ccc");
    write_file(temp.path / "outside.jpg", "dddd");
    fs::create_directory_symlink(temp.path / "root", temp.path / "root" / "sub" / "back");
    fs::create_directory_symlink(".", temp.path / "root" / "sub" / "self");
    // The same folder twice side by side is not a loop: it is gathered twice.
    fs::create_directory_symlink(temp.path / "shared", temp.path / "root" / "x");
    fs::create_directory_symlink(temp.path / "shared", temp.path / "root" / "y");
    fs::create_symlink(temp.path / "outside.jpg", temp.path / "root" / "link.jpg");
    fs::create_symlink(temp.path / "nowhere.jpg", temp.path / "root" / "dangling.jpg");

    const InFolder in(temp.path);
    UploadBatch batch;
    batch_init(batch);
    collect_path(batch, native_path_of("root"), unlimited);
    EXPECT_EQ(gathered(batch), sorted({
                                   {u"000000001:a.jpg\n", "a"},
                                   {u"000000002:b.jpg\n", "bb"},
                                   {u"000000003:c.jpg\n", "ccc"},
                                   {u"000000003:c.jpg\n", "ccc"},
                                   {u"000000004:link.jpg\n", "dddd"},
                               }));
    EXPECT_TRUE(recorded_ui().empty());
    EXPECT_TRUE(fs::equivalent(fs::current_path(), temp.path));
    batch_release(batch);
}

TEST(CollectPath, SkipsWhatCannotBeReadWithoutAMessage) {
    if (const std::string why = superuser_skip_reason(); !why.empty()) GTEST_SKIP() << why;
    recorded_ui().clear();
    TempFolder temp;
    write_file(temp.path / "top" / "ok.jpg", "ok");
    write_file(temp.path / "top" / "locked.jpg", "no");
    write_file(temp.path / "top" / "closed" / "inside.jpg", "no");
    fs::permissions(temp.path / "top" / "locked.jpg", fs::perms::none);
    fs::permissions(temp.path / "top" / "closed", fs::perms::none);
    UploadBatch batch;
    batch_init(batch);
    collect_path(batch, native_path_of(temp.path / "top"), unlimited);
    fs::permissions(temp.path / "top" / "closed", fs::perms::owner_all);
    EXPECT_EQ(gathered(batch), sorted({{u"000000002:ok.jpg\n", "ok"}}));
    EXPECT_TRUE(recorded_ui().empty());
    batch_release(batch);
}

TEST(CollectPath, WalksFromACurrentFolderThatCannotBeListed) {
    if (const std::string why = superuser_skip_reason(); !why.empty()) GTEST_SKIP() << why;
    recorded_ui().clear();
    TempFolder temp;
    write_file(temp.path / "here" / "album" / "a.jpg", "aa");
    write_file(temp.path / "here" / "b.jpg", "b");
    const InFolder in(temp.path / "here");
    // Mode 0311: names can be looked up in it, but it cannot be listed or opened for reading.
    fs::permissions(temp.path / "here", fs::perms::owner_write | fs::perms::owner_exec | fs::perms::group_exec |
                                            fs::perms::others_exec);
    UploadBatch batch;
    batch_init(batch);
    collect_path(batch, native_path_of("album"), unlimited);
    collect_path(batch, native_path_of("b.jpg"), unlimited);
    const bool back = fs::equivalent(fs::current_path(), temp.path / "here");
    fs::permissions(temp.path / "here", fs::perms::owner_all);
    EXPECT_TRUE(back);
    EXPECT_EQ(gathered(batch), sorted({{u"000000002:a.jpg\n", "aa"}, {u"000000001:b.jpg\n", "b"}}));
    EXPECT_TRUE(recorded_ui().empty());
}

TEST(CollectPath, OnlyTheStartingFolderLostStopsRelativeArguments) {
    if (const std::string why = superuser_skip_reason(); !why.empty()) GTEST_SKIP() << why;
    // The walk is in start/top/mid/inner when its too-big picture brings a box; meanwhile one
    // folder on the way back is locked. Then a relative and an absolute argument follow.
    struct Case {
        const char* what;
        fs::path locked;  // below the starting folder; empty: the starting folder itself
        bool relative_gathered;
        std::vector<std::u16string> messages;
    };
    const std::u16string too_big = u"server refuses to accept files bigger than 1K, big images ignored";
    const Case cases[] = {
        {"a folder inside the walk", "top/mid", true, {too_big, std::u16string(messages::folder_left)}},
        {"the starting folder", "", false, {too_big, std::u16string(messages::folder_lost)}},
    };
    for (const Case& c : cases) {
        recorded_ui().clear();
        TempFolder temp, elsewhere;
        const fs::path start = temp.path / "start";
        write_file(start / "top" / "mid" / "inner" / "big.jpg", std::string(1025, 'b'));
        write_file(start / "later.jpg", "later");
        write_file(elsewhere.path / "absolute.jpg", "abs");
        const fs::path locked = start / c.locked;
        UploadBatch batch;
        batch_init(batch);
        {
            const InFolder in(start);
            while_next_box_is_open() = [&] { fs::permissions(locked, fs::perms::none); };
            for (const fs::path& path : {fs::path("top"), fs::path("later.jpg"), elsewhere.path / "absolute.jpg"}) {
                collect_path(batch, native_path_of(path), {0xFFFFFFFF, 0xFFFFFFFF, 1024});
            }
            fs::permissions(locked, fs::perms::owner_all);
        }
        std::vector<Gathered> expected{{utf16_line(3, (elsewhere.path / "absolute.jpg").string()), "abs"}};
        if (c.relative_gathered) expected.push_back({u"000000005:later.jpg\n", "later"});
        EXPECT_EQ(gathered(batch), sorted(expected)) << c.what;
        std::vector<UiEvent> shown;
        for (const std::u16string& message : c.messages) shown.push_back(error_box(message));
        EXPECT_EQ(recorded_ui(), shown) << c.what;
    }
}

TEST(CollectPath, LeavesOutNamesWithALineFeedOnce) {
    // Such a name would end its list line early and forge the next one.
    recorded_ui().clear();
    TempFolder temp;
    write_file(temp.path / "album" / "evil\n000000005:x.jpg", "forged");
    write_file(temp.path / "album" / "two\nlines.jpg", "x");
    write_file(temp.path / "album" / "fine.jpg", "fine");
    write_file(temp.path / "top\n.jpg", "top");
    const InFolder in(temp.path);
    UploadBatch batch;
    batch_init(batch);
    collect_path(batch, native_path_of("album"), unlimited);
    collect_path(batch, native_path_of("top\n.jpg"), unlimited);
    EXPECT_EQ(gathered(batch), sorted({{u"000000004:fine.jpg\n", "fine"}}));
    EXPECT_EQ(recorded_ui(), std::vector<UiEvent>{error_box(std::u16string(messages::line_break_in_name))});
}

#if !defined(__SANITIZE_ADDRESS__)  // the sanitizer's shadow memory does not fit under a small limit
// What the process has mapped now, from /proc: "VmSize:" (address space) or "VmData:" (data).
std::size_t mapped_now(const std::string& field) {
    std::ifstream status("/proc/self/status");
    std::string key;
    std::size_t kib = 0;
    while (status >> key) {
        if (key == field && status >> kib) break;
    }
    return kib * 1024;
}

// The batch's lines, held files and byte count agree; at most the one memory message was shown.
bool consistent(const UploadBatch& batch) {
    std::size_t lines = 0;
    for (const char16_t c : batch_list(batch)) lines += c == u'\n';
    std::uint64_t total = 2 + 2 * batch_list(batch).size();
    for (const HeldFile& held : batch_files(batch)) total += held.size;
    const std::vector<UiEvent> none, once{error_box(std::u16string(messages::cannot_hold_file))};
    return lines == batch_count(batch) && total == batch.total && (recorded_ui() == none || recorded_ui() == once);
}

TEST(CollectPath, LeavesOutWhatMemoryCannotHoldAndGoesOn) {
    // Many small files with short names (no name needs memory of its own) under a range of
    // address-space limits: contents, table slots and list lines each run out somewhere.
    TempFolder temp;
    constexpr std::size_t file_count = 3000;
    for (std::size_t i = 0; i < file_count; ++i) {
        write_file(temp.path / "small" / ("s" + std::to_string(i)), std::string(1024 + i * 7 % 3072, 's'));
    }
    const platform::NativePath small = native_path_of(temp.path / "small");

    const pid_t child = ::fork();
    if (child == 0) {
        // As in the program, nothing catches what escapes: an exception ends the child abnormally.
        [&]() noexcept {
            // The child reports through its exit status only: 2 for a batch that does not add
            // up, 3 when no limit left anything out (the test would prove nothing).
            recorded_ui().reserve(8);
            recorded_ui().push_back(error_box(std::u16string(messages::cannot_hold_file)));
            recorded_ui().clear();  // the message's memory is at hand for the run that needs it
            // The data limit too: heap room that an earlier test's thread left reserved counts as
            // address space already, but not as data until it is used.
            rlimit unlimited_space{}, unlimited_data{};
            ::getrlimit(RLIMIT_AS, &unlimited_space);
            ::getrlimit(RLIMIT_DATA, &unlimited_data);
            const std::size_t space = mapped_now("VmSize:"), data = mapped_now("VmData:");
            bool something_left_out = false;
            for (std::size_t extra = 1 << 20; extra <= 12 << 20; extra += 192 << 10) {
                UploadBatch batch;
                rlimit space_limit = unlimited_space, data_limit = unlimited_data;
                space_limit.rlim_cur = space + extra;
                data_limit.rlim_cur = data + extra;
                ::setrlimit(RLIMIT_AS, &space_limit);
                ::setrlimit(RLIMIT_DATA, &data_limit);
                batch_init(batch);
                collect_path(batch, small, unlimited);
                ::setrlimit(RLIMIT_AS, &unlimited_space);
                ::setrlimit(RLIMIT_DATA, &unlimited_data);
                if (!consistent(batch)) ::_exit(2);
                something_left_out = something_left_out || batch_count(batch) < file_count;
                recorded_ui().clear();
            }
            ::_exit(something_left_out ? 0 : 3);
        }();
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "the run was ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
}
#endif
#endif

TEST(CollectPath, AfterLosingTheCurrentFolderGathersOnlyAbsolutePaths) {
    // A walk that could not return leaves the current folder elsewhere: relative names would then
    // name other files than the user meant.
    recorded_ui().clear();
    TempFolder temp;
    write_file(temp.path / "a.jpg", "a");
    write_file(temp.path / "sub" / "b.jpg", "bb");
    const InFolder in(temp.path);
    UploadBatch batch;
    batch_init(batch);
    batch.current_dir_lost = true;
    for (const fs::path& path : {fs::path("a.jpg"), fs::path("sub"), temp.path / "a.jpg", temp.path / "sub"}) {
        collect_path(batch, native_path_of(path), unlimited);
    }
    const std::string absolute = platform::utf16_to_utf8(platform::path_to_utf16(native_path_of(temp.path / "a.jpg")));
    EXPECT_EQ(gathered(batch), sorted({{utf16_line(1, absolute), "a"}, {u"000000002:b.jpg\n", "bb"}}));
    EXPECT_TRUE(recorded_ui().empty());
}

}  // namespace
