// Gathering paths into a batch: names as reached, hidden entries, limits warned about once, and
// walks that end and come back to where they started.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#if !defined(_WIN32)
#include <unistd.h>
#endif

#include "common/constants.h"
#include "gather/path_collector.h"
#include "stubs/ui_recorder.h"
#include "support/temp_folder.h"

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
    for (const char16_t c : batch.list) {
        line += c;
        if (c == u'\n') lines.push_back(std::move(line)), line.clear();
    }
    EXPECT_TRUE(line.empty()) << "the list ends inside a line";
    EXPECT_EQ(lines.size(), batch.files.size());
    std::uint64_t total = 2 + 2 * batch.list.size();
    std::vector<Gathered> result;
    for (std::size_t i = 0; i < lines.size() && i < batch.files.size(); ++i) {
        const HeldFile& held = batch.files[i];
        total += held.size;
        result.emplace_back(lines[i], std::string(reinterpret_cast<const char*>(held.bytes.get()),
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

// The list line of an ASCII name.
std::u16string list_line(std::size_t size, const std::string& name) {
    std::string digits = std::to_string(size);
    if (digits.size() < 9) digits.insert(0, 9 - digits.size(), '0');
    const std::string line = digits + ":" + name + "\n";
    return std::u16string(line.begin(), line.end());
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
            expected.emplace_back(list_line(size, name), std::string(size, 'p'));
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
        expected.emplace_back(list_line(1, std::to_string(n) + ".jpg"), "x");
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
    if (::geteuid() == 0) GTEST_SKIP() << "permissions do not stop the superuser";
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
#endif

}  // namespace
