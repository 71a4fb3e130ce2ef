// The SQLite store's backup. The database is taken first and the pictures after it: a picture file
// is in place before its row commits and never changes afterwards, so every row of the snapshot
// finds its file. The copy of the database is renamed into place last, so an interrupted backup has
// no gallery.sqlite and cannot be mistaken for a whole one.
#include "store_backup.h"

#include <sqlite3.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <sys/sendfile.h>
#include <memory>
#include <optional>
#include <unistd.h>

#include "gallery_store.h"
#include "server_options.h"

namespace {

struct DbCloser {
    void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
using Db = std::unique_ptr<sqlite3, DbCloser>;

struct PictureRow {
    std::int64_t id = 0;
    std::uint64_t size = 0;
};

std::string failed(const std::string& what, int error_number) { return what + ": " + std::strerror(error_number); }

bool sync_path(const std::filesystem::path& path, int flags) {
    int fd = ::open(path.c_str(), flags | O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = ::fsync(fd) == 0;
    ::close(fd);
    return ok;
}

// A plain copy, for a destination on another file system; the whole backup is synced at once at the end.
std::optional<std::string> copy_picture(const std::filesystem::path& from, const std::filesystem::path& to) {
    int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) return failed("cannot read " + from.string(), errno);
    int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (out < 0) {
        int error = errno;
        ::close(in);
        return failed("cannot write " + to.string(), error);
    }
    std::optional<std::string> result;
    // The kernel copies between the two files: no buffer passes through the program.
    for (;;) {
        ssize_t n = ::sendfile(out, in, nullptr, 1 << 30);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) result = failed("cannot copy " + from.string() + " to " + to.string(), errno);
        if (n <= 0) break;
    }
    ::close(in);
    ::close(out);
    return result;
}

// Takes the source's committed state as one snapshot into `copy` and reads the pictures it names.
std::optional<std::string> snapshot_database(const std::filesystem::path& source, const std::filesystem::path& copy,
                                             std::vector<PictureRow>& rows) {
    sqlite3* raw = nullptr;
    // Read only: the backup never writes into the store it copies.
    std::string name = "file:" + source.string() + "?mode=ro";
    int rc = sqlite3_open_v2(name.c_str(), &raw, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr);
    Db from(raw);
    if (rc != SQLITE_OK) return "cannot open " + source.string() + ": " + (raw ? sqlite3_errmsg(raw) : "out of memory");
    sqlite3_busy_timeout(from.get(), 10000);
    raw = nullptr;
    rc = sqlite3_open_v2(copy.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    Db to(raw);
    if (rc != SQLITE_OK) return "cannot create " + copy.string() + ": " + (raw ? sqlite3_errmsg(raw) : "out of memory");

    // All pages in one step: one read transaction on the source, so the copy is one snapshot. Under
    // WAL that read blocks no upload.
    sqlite3_backup* backup = sqlite3_backup_init(to.get(), "main", from.get(), "main");
    if (!backup) return std::string("cannot start the backup: ") + sqlite3_errmsg(to.get());
    rc = sqlite3_backup_step(backup, -1);
    sqlite3_backup_finish(backup);
    if (rc != SQLITE_DONE) return std::string("cannot copy the database: ") + sqlite3_errstr(rc);

    // One self-contained file (no -wal beside it); the gallery switches it back to WAL when it opens it.
    char* message = nullptr;
    if (sqlite3_exec(to.get(), "PRAGMA journal_mode=DELETE", nullptr, nullptr, &message) != SQLITE_OK) {
        std::string text = std::string("cannot finish the database copy: ") + (message ? message : "");
        sqlite3_free(message);
        return text;
    }
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(to.get(), "SELECT id, size FROM pictures ORDER BY id", -1, &stmt, nullptr) != SQLITE_OK)
        return std::string("cannot read the copied database: ") + sqlite3_errmsg(to.get());
    while ((rc = sqlite3_step(stmt)) == SQLITE_ROW)
        rows.push_back(PictureRow{sqlite3_column_int64(stmt, 0), static_cast<std::uint64_t>(sqlite3_column_int64(stmt, 1))});
    sqlite3_finalize(stmt);
    if (rc != SQLITE_DONE) return std::string("cannot read the copied database: ") + sqlite3_errmsg(to.get());
    return std::nullopt;
}

}  // namespace

BackupOutcome backup_store(const std::filesystem::path& data_dir, const std::filesystem::path& dest) {
    const std::filesystem::path source = sqlite_database_file(data_dir);
    const std::filesystem::path target = sqlite_database_file(dest);
    const std::filesystem::path pictures_from = sqlite_picture_dir(data_dir), pictures_to = sqlite_picture_dir(dest);
    std::error_code ec;
    if (!std::filesystem::is_regular_file(source, ec))
        return {1, "no SQLite store in " + data_dir.string() + " (" + source.string() + " is missing)"};
    if (std::filesystem::exists(dest, ec) && !std::filesystem::is_empty(dest, ec))
        return {1, dest.string() + " is not empty; a backup goes into a new or empty folder"};
    std::filesystem::create_directories(pictures_to, ec);
    if (ec) return {1, "cannot create " + pictures_to.string() + ": " + ec.message()};

    const std::filesystem::path copy = target.string() + ".part";
    std::vector<PictureRow> rows;
    if (auto error = snapshot_database(source, copy, rows)) return {1, *error};

    std::uint64_t bytes = 0, linked = 0, copied = 0;
    for (const PictureRow& row : rows) {
        std::filesystem::path from = pictures_from / std::to_string(row.id);
        std::filesystem::path to = pictures_to / std::to_string(row.id);
        auto size = std::filesystem::file_size(from, ec);
        if (ec || size != row.size)
            return {1, "picture " + std::to_string(row.id) + " is missing or of the wrong size in " + data_dir.string() +
                           "; see what gallery-server --check reports"};
        // Pictures never change once stored, so a second name for the same bytes is a faithful copy.
        if (::link(from.c_str(), to.c_str()) == 0) {
            ++linked;
        } else if (errno == EXDEV || errno == EPERM || errno == EMLINK) {
            if (auto error = copy_picture(from, to)) return {1, *error};
            ++copied;
        } else {
            return {1, failed("cannot link " + from.string() + " to " + to.string(), errno)};
        }
        bytes += row.size;
    }
    // One sync of the destination's file system instead of one per picture: far fewer waits for the disk.
    int dest_fd = ::open(dest.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    bool synced = dest_fd >= 0 && ::syncfs(dest_fd) == 0;
    int sync_error = errno;
    if (dest_fd >= 0) ::close(dest_fd);
    if (!synced) return {1, failed("cannot sync " + dest.string(), sync_error)};
    if (::rename(copy.c_str(), target.c_str()) != 0) return {1, failed("cannot place " + target.string(), errno)};
    sync_path(dest, O_RDONLY | O_DIRECTORY);

    std::uint64_t database_bytes = std::filesystem::file_size(target, ec);
    return {0, "backup in " + dest.string() + ": " + std::to_string(rows.size()) + " pictures, " +
                   std::to_string(bytes) + " bytes (" + std::to_string(linked) + " hard-linked, " +
                   std::to_string(copied) + " copied), database " + std::to_string(database_bytes) + " bytes\n"};
}

BackupOutcome backup_command(const std::vector<std::string>& args) {
    if (args.empty() || args.front().empty() || args.front().starts_with("-"))
        return {2, "backup needs a destination folder: gallery-server backup DEST --data DIR\n"};
    // The gallery's own options are accepted as they stand, so the unit's option line can be reused.
    OptionsParse options = parse_server_options(std::vector<std::string>(args.begin() + 1, args.end()));
    if (!options.error.empty()) return {2, options.error + "\n"};
    if (options.config.database)
        return {2, "a PostgreSQL store is backed up with pg_dump (docs/deploy.md); backup copies a SQLite store\n"};
    BackupOutcome outcome = backup_store(options.config.data_dir, args.front());
    if (outcome.exit_code != 0) outcome.text += "\n";
    return outcome;
}
