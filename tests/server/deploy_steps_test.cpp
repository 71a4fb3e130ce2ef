// The operator's steps of docs/deploy.md that involve the gallery's stores, run as written: the
// check and the album commands with the unit's own environment file for both stores, and
// PostgreSQL's dump and restore.
#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <sstream>

#include "postgres_cluster.h"
#include "sample_png.h"
#include "test_support.h"

namespace {

const std::filesystem::path project = PROJECT_DIR;
const std::filesystem::path postgres_bin = "/usr/lib/postgresql/15/bin";

// The shell text of the first /bin/sh -c line in docs/deploy.md that matches, with this build's program.
std::string documented_shell(const std::string& pattern, const std::string& after = "") {
    std::string doc = read_whole_file(project / "docs" / "deploy.md");
    std::smatch match;
    if (!std::regex_search(doc, match, std::regex("/bin/sh -c '(" + pattern + ")'" + after))) return {};
    std::string text = match[1];
    const std::string installed = "/usr/local/bin/gallery-server";
    if (std::size_t at = text.find(installed); at != std::string::npos) text.replace(at, installed.size(), GALLERY_SERVER_EXE);
    return text;
}

std::string documented_check() { return documented_shell("[^']*--check"); }

// What the operator's album commands run through; the command comes as "$@".
std::string documented_album_command() { return documented_shell("exec [^']*\\$GALLERY_OPTIONS", " sh \"\\$@\""); }

// The value of GALLERY_OPTIONS on the line of the shipped environment file that starts as given.
std::string shipped_options(const std::string& line_start) {
    std::string env = read_whole_file(project / "deploy" / "gallery-server.env");
    std::size_t at = env.find("\n" + line_start);
    if (at == std::string::npos) return {};
    at += 1 + line_start.size();
    return env.substr(at, env.find('\n', at) - at);
}

// The same database as a URI, which, unlike "key=value" text, is one word in GALLERY_OPTIONS.
std::string as_uri(const std::string& conninfo) {
    std::smatch host, name;
    std::regex_search(conninfo, host, std::regex("host=(\\S+)"));
    std::regex_search(conninfo, name, std::regex("dbname=(\\S+)"));
    return "postgresql:///" + name[1].str() + "?host=" + host[1].str() + "&user=postgres";
}

std::vector<std::string> words(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string word; in >> word;) out.push_back(word);
    return out;
}

// Runs the gallery the way the unit does (its folder, then the environment's options), stores one
// album and stops it; returns the stored pictures by name.
std::map<std::string, std::string> run_like_the_unit(const std::filesystem::path& state, const std::string& options,
                                                     const std::filesystem::path& log) {
    LocalGallery gallery = start_local_gallery(state, log, {}, words(options));
    EXPECT_GT(gallery.port, 0) << read_whole_file(log);
    std::map<std::string, std::string> pictures{{"one.png", make_sample_png(90, 60, 1)}, {"two.png", make_sample_png(70, 80, 2)}};
    std::vector<BodyFile> files;
    for (const auto& [name, bytes] : pictures) files.push_back({name, bytes});
    HttpReply reply = raw_exchange(gallery.port, upload_request(upload_body("L", "true", files)), 20000);
    EXPECT_EQ(reply.status, 200) << reply.body << read_whole_file(log);
    return pictures;
}

}  // namespace

TEST(DeploySteps, TheDocumentedCheckAndAlbumCommandsWorkWithTheUnitsEnvironmentForBothStores) {
    const std::string check = documented_check(), album_command = documented_album_command();
    ASSERT_FALSE(check.empty()) << "docs/deploy.md has no /bin/sh -c '... --check' line";
    ASSERT_FALSE(album_command.empty()) << "docs/deploy.md has no /bin/sh -c 'exec ... $GALLERY_OPTIONS' sh \"$@\" line";
    struct Case {
        const char* layout;
        std::string options;
    };
    std::vector<Case> cases{{"SQLite", shipped_options("#GALLERY_OPTIONS=")}};
    if (postgres_missing().empty()) {
        std::string options = shipped_options("GALLERY_OPTIONS=");
        const std::string shipped_database = "postgresql:///gallery?host=/run/postgresql";
        ASSERT_NE(options.find(shipped_database), std::string::npos) << options;
        options.replace(options.find(shipped_database), shipped_database.size(), as_uri(fresh_postgres_database()));
        cases.push_back({"PostgreSQL", options});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.layout);
        ASSERT_FALSE(c.options.empty());
        TempFolder state;
        run_like_the_unit(state.path / "8080", c.options, state.path / "gallery.log");
        // systemd-run hands the shell the state folder and the environment file's variables.
        auto run = [&](const std::string& shell, std::vector<std::string> words) {
            words.insert(words.begin(), {"/bin/sh", "-c", shell, "sh"});
            return run_process(words, {"STATE_DIRECTORY=" + (state.path / "8080").string(), "GALLERY_OPTIONS=" + c.options},
                               60);
        };
        ProcessResult checked = run(check, {});
        EXPECT_EQ(checked.exit_code, 0) << checked.out << checked.err;
        EXPECT_NE(checked.out.find("albums: 1, pictures: 2"), std::string::npos) << checked.out;
        EXPECT_NE(checked.out.find("state: ok"), std::string::npos) << checked.out;

        // Removing a reported album: its key as listed, then deleted.
        ProcessResult listed = run(album_command, {"list"});
        ASSERT_EQ(listed.exit_code, 0) << listed.out << listed.err;
        std::smatch key;
        ASSERT_TRUE(std::regex_search(listed.out, key, std::regex("\n([A-Za-z0-9_-]{22})\t"))) << listed.out;
        ProcessResult deleted = run(album_command, {"delete", key[1]});
        EXPECT_EQ(deleted.exit_code, 0) << deleted.out << deleted.err;
        EXPECT_NE(deleted.out.find("deleted album " + key[1].str() + ": 2 pictures"), std::string::npos) << deleted.out;
    }
}

TEST(DeploySteps, PostgresDumpAndRestoreCarryEveryPicture) {
    SKIP_WITHOUT_POSTGRES();
    TempFolder work;
    const std::string original = fresh_postgres_database();
    auto pictures = run_like_the_unit(work.path / "first", "--database=" + as_uri(original), work.path / "first.log");

    // The commands docs/deploy.md gives, pointed at the test's cluster.
    const std::string dump = (work.path / "gallery.dump").string();
    auto shell = [](const std::string& command) { return run_process({"/bin/sh", "-c", command}, {}, 60); };
    ProcessResult dumped = shell((postgres_bin / "pg_dump").string() + " --format=custom --compress=0 '" + original + "' > " + dump);
    ASSERT_EQ(dumped.exit_code, 0) << dumped.err;
    const std::string restored = fresh_postgres_database();
    ProcessResult loaded = shell((postgres_bin / "pg_restore").string() + " --dbname='" + restored + "' < " + dump);
    ASSERT_EQ(loaded.exit_code, 0) << loaded.err;

    ProcessResult check = run_process({GALLERY_SERVER_EXE, "--data", (work.path / "check").string(), "--database", restored,
                                       "--check"}, {}, 60);
    EXPECT_EQ(check.exit_code, 0) << check.out << check.err;
    EXPECT_NE(check.out.find("albums: 1, pictures: 2"), std::string::npos) << check.out;

    // A fresh instance on the restored database serves every picture as it was uploaded.
    LocalGallery gallery = start_local_gallery(work.path / "second", work.path / "second.log", {}, {"--database", restored});
    ASSERT_GT(gallery.port, 0) << read_whole_file(work.path / "second.log");
    std::map<std::string, std::string> addresses;
    for (const auto& [name, address] : picture_addresses(StoreLocation{work.path / "lister", restored, {}}))
        addresses[name] = address;
    for (const auto& [name, bytes] : pictures) {
        HttpReply file = http_get(gallery.port, addresses[name] + "/original");
        EXPECT_EQ(file.status, 200) << name;
        EXPECT_TRUE(file.body == bytes) << name << ": " << file.body.size() << " bytes, not " << bytes.size();
    }
}
