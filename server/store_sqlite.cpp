// The SQLite backend of gallery_store.h: one transaction per album, picture files written before
// the commit and removed again whenever the commit does not happen.
#include "store_backends.h"

#include <sqlite3.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <set>
#include <system_error>
#include <utility>
#include <unistd.h>

namespace {

struct DbCloser {
    void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
using Db = std::unique_ptr<sqlite3, DbCloser>;

struct StmtFinalizer {
    void operator()(sqlite3_stmt* stmt) const { sqlite3_finalize(stmt); }
};
using Stmt = std::unique_ptr<sqlite3_stmt, StmtFinalizer>;

constexpr int busy_timeout_ms = 5000;

// Writers in this process take turns, so an id freed by a rollback is never reused while the
// failed writer is still removing the file it wrote under that id.
std::mutex writer_turn;

std::string db_error(sqlite3* db, const std::string& what) { return what + ": " + sqlite3_errmsg(db); }

Db connect(const GalleryStore& store, std::string& error) {
    sqlite3* raw = nullptr;
    // A store that could not be opened for writing (a full disk, say) is still read, so albums stay online.
    std::string name = store.read_only.empty() ? store.database.string()
                       : "file:" + store.database.string() + (store.immutable ? "?immutable=1" : "?mode=ro");
    int flags = store.read_only.empty() ? SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX
                                        : SQLITE_OPEN_READONLY | SQLITE_OPEN_URI | SQLITE_OPEN_NOMUTEX;
    int rc = sqlite3_open_v2(name.c_str(), &raw, flags, nullptr);
    Db db(raw);
    if (rc != SQLITE_OK) {
        error = raw ? db_error(raw, "cannot open the database") : "cannot open the database";
        return nullptr;
    }
    sqlite3_busy_timeout(db.get(), busy_timeout_ms);
    char* message = nullptr;
    if (sqlite3_exec(db.get(), "PRAGMA foreign_keys=ON; PRAGMA synchronous=FULL;", nullptr, nullptr, &message) !=
        SQLITE_OK) {
        error = std::string("cannot set up the database connection: ") + (message ? message : "");
        sqlite3_free(message);
        return nullptr;
    }
    return db;
}

bool exec(sqlite3* db, const char* sql, std::string& error) {
    char* message = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &message) == SQLITE_OK) return true;
    error = std::string(sql) + ": " + (message ? message : "failed");
    sqlite3_free(message);
    return false;
}

Stmt prepare(sqlite3* db, const char* sql, std::string& error) {
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v2(db, sql, -1, &raw, nullptr) != SQLITE_OK) {
        error = db_error(db, "cannot prepare a query");
        return nullptr;
    }
    return Stmt(raw);
}

void bind_text(sqlite3_stmt* stmt, int index, std::string_view text) {
    sqlite3_bind_text64(stmt, index, text.data(), text.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
}

std::string column_text(sqlite3_stmt* stmt, int column) {
    const unsigned char* text = sqlite3_column_text(stmt, column);
    return text ? std::string(reinterpret_cast<const char*>(text), sqlite3_column_bytes(stmt, column)) : std::string();
}

void sync_dir(const std::filesystem::path& dir) {
    int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
}

bool is_all_digits(const std::string& text) {
    if (text.empty()) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    return true;
}

// Removes picture files that no row owns and partial files from an interrupted write.
bool sweep_orphans(sqlite3* db, const GalleryStore& store, std::string& error) {
    std::set<std::string> owned;
    Stmt stmt = prepare(db, "SELECT id FROM pictures", error);
    if (!stmt) return false;
    while (sqlite3_step(stmt.get()) == SQLITE_ROW) owned.insert(std::to_string(sqlite3_column_int64(stmt.get(), 0)));
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(store.picture_dir, ec)) {
        std::string name = entry.path().filename().string();
        bool partial = name.ends_with(".part");
        bool orphan = is_all_digits(name) && !owned.contains(name);
        if ((partial || orphan) && entry.is_regular_file()) std::filesystem::remove(entry.path(), ec);
    }
    return true;
}

constexpr const char* schema = R"sql(
CREATE TABLE IF NOT EXISTS albums (
    id INTEGER PRIMARY KEY,
    created TEXT NOT NULL DEFAULT (datetime('now')),
    options TEXT NOT NULL,
    switch_word TEXT NOT NULL,
    client TEXT NOT NULL
);
CREATE TABLE IF NOT EXISTS pictures (
    id INTEGER PRIMARY KEY,
    album_id INTEGER NOT NULL REFERENCES albums(id),
    position INTEGER NOT NULL,
    name TEXT NOT NULL,
    content_type TEXT NOT NULL,
    size INTEGER NOT NULL
);
CREATE INDEX IF NOT EXISTS pictures_by_album ON pictures(album_id, position);
)sql";

// Version 1 is the schema above; stores from before versioning (user_version 0) have it already.
// Version 2 gives albums a title.
constexpr int schema_version = 2;

std::int64_t single_number(sqlite3* db, const char* sql, std::string& error) {
    Stmt stmt = prepare(db, sql, error);
    if (!stmt) return -1;
    if (sqlite3_step(stmt.get()) != SQLITE_ROW) {
        error = db_error(db, sql);
        return -1;
    }
    return sqlite3_column_int64(stmt.get(), 0);
}

std::string newer_schema(std::int64_t version) {
    return "the store's schema is version " + std::to_string(version) + "; this gallery knows versions up to " +
           std::to_string(schema_version);
}

}  // namespace

std::optional<std::string> sqlite_open(const std::filesystem::path& data_dir, GalleryStore& store) {
    store.database = data_dir / "gallery.sqlite";
    store.picture_dir = data_dir / "pictures";
    store.read_only.clear();
    store.immutable = false;
    std::error_code ec;
    std::filesystem::create_directories(store.picture_dir, ec);
    if (ec) return "cannot create " + store.picture_dir.string() + ": " + ec.message();

    std::string error;
    bool too_new = false;  // never served by this version, not even for reading
    auto open_for_writing = [&]() -> bool {
        Db db = connect(store, error);
        if (!db) return false;
        // WAL lets album pages be read while an upload is being committed.
        Stmt wal = prepare(db.get(), "PRAGMA journal_mode=WAL", error);
        if (!wal) return false;
        if (sqlite3_step(wal.get()) != SQLITE_ROW || column_text(wal.get(), 0) != "wal") {
            error = db_error(db.get(), "cannot switch the database to WAL mode");
            return false;
        }
        wal.reset();
        std::int64_t version = single_number(db.get(), "PRAGMA user_version", error);
        if (version < 0) return false;
        if (version > schema_version) {
            error = newer_schema(version);
            too_new = true;
            return false;
        }
        if (!exec(db.get(), schema, error)) return false;
        if (version < 2 && !exec(db.get(), "ALTER TABLE albums ADD COLUMN title TEXT NOT NULL DEFAULT ''", error))
            return false;
        if (version < schema_version &&
            !exec(db.get(), ("PRAGMA user_version=" + std::to_string(schema_version)).c_str(), error))
            return false;
        // Under the write lock, so no other process is between writing a file and committing its row.
        std::lock_guard turn(writer_turn);
        if (!exec(db.get(), "BEGIN IMMEDIATE", error)) return false;
        bool swept = sweep_orphans(db.get(), store, error);
        sqlite3_exec(db.get(), "COMMIT", nullptr, nullptr, nullptr);
        return swept;
    };
    if (open_for_writing()) return std::nullopt;
    if (too_new) return error;

    // An existing store that cannot be written to is still served, so its albums stay online.
    if (!std::filesystem::exists(store.database, ec)) return error;
    store.read_only = error;
    // Reading a WAL database still needs its shared-memory file; when even that cannot be made, the
    // file is read as it stands (a cleanly stopped gallery leaves everything in it).
    for (bool immutable : {false, true}) {
        store.immutable = immutable;
        std::string read_error;
        Db db = connect(store, read_error);
        Stmt probe = db ? prepare(db.get(), "SELECT count(*) FROM albums", read_error) : nullptr;
        if (probe && sqlite3_step(probe.get()) == SQLITE_ROW) return std::nullopt;
    }
    store.read_only.clear();
    store.immutable = false;
    return error;
}

std::uint64_t sqlite_stored_bytes(const GalleryStore& store, std::string& error) {
    Db db = connect(store, error);
    if (!db) return 0;
    Stmt stmt = prepare(db.get(), "SELECT coalesce(sum(size), 0) FROM pictures", error);
    if (!stmt || sqlite3_step(stmt.get()) != SQLITE_ROW) return 0;
    return static_cast<std::uint64_t>(sqlite3_column_int64(stmt.get(), 0));
}

std::int64_t sqlite_store_album(const GalleryStore& store, NewAlbum& album, StoreFailure& failure) {
    std::lock_guard turn(writer_turn);
    std::string error;
    Db db = connect(store, error);
    if (!db) {
        failure = StoreFailure{error, false};
        return 0;
    }
    if (!exec(db.get(), "BEGIN IMMEDIATE", error)) {
        failure = StoreFailure{error, false};
        return 0;
    }

    std::vector<std::filesystem::path> placed;
    // Files go before the rollback: once the rollback releases the lock, their ids may be handed out again.
    auto abandon = [&](StoreFailure why) {
        std::error_code ec;
        for (const auto& path : placed) std::filesystem::remove(path, ec);
        if (!sqlite3_get_autocommit(db.get())) sqlite3_exec(db.get(), "ROLLBACK", nullptr, nullptr, nullptr);
        failure = std::move(why);
        return std::int64_t{0};
    };
    auto db_failure = [&](const std::string& what) {
        int code = sqlite3_errcode(db.get());
        return StoreFailure{db_error(db.get(), what), code == SQLITE_FULL};
    };

    Stmt insert_album =
        prepare(db.get(), "INSERT INTO albums (options, switch_word, client, title) VALUES (?1, ?2, ?3, ?4)", error);
    if (!insert_album) return abandon(StoreFailure{error, false});
    bind_text(insert_album.get(), 1, album.options);
    bind_text(insert_album.get(), 2, album.switch_word);
    bind_text(insert_album.get(), 3, album.client);
    bind_text(insert_album.get(), 4, album.title);
    if (sqlite3_step(insert_album.get()) != SQLITE_DONE) return abandon(db_failure("cannot add the album"));
    std::int64_t album_id = sqlite3_last_insert_rowid(db.get());

    Stmt insert_picture = prepare(db.get(),
                                  "INSERT INTO pictures (album_id, position, name, content_type, size) "
                                  "VALUES (?1, ?2, ?3, ?4, ?5)",
                                  error);
    if (!insert_picture) return abandon(StoreFailure{error, false});
    for (std::size_t i = 0; i < album.pictures.size(); ++i) {
        NewPicture& picture = album.pictures[i];
        sqlite3_reset(insert_picture.get());
        sqlite3_bind_int64(insert_picture.get(), 1, album_id);
        sqlite3_bind_int64(insert_picture.get(), 2, static_cast<sqlite3_int64>(i));
        bind_text(insert_picture.get(), 3, picture.name);
        bind_text(insert_picture.get(), 4, picture.content_type);
        sqlite3_bind_int64(insert_picture.get(), 5, static_cast<sqlite3_int64>(picture.file.size));
        if (sqlite3_step(insert_picture.get()) != SQLITE_DONE) return abandon(db_failure("cannot add a picture"));
        std::filesystem::path path = picture_path(store, sqlite3_last_insert_rowid(db.get()));
        // The staged file was synced before; a rename keeps it whole or absent under its final name.
        if (picture.file.path.empty() || ::rename(picture.file.path.c_str(), path.c_str()) != 0)
            return abandon(failure_of("cannot place " + path.string(), picture.file.path.empty() ? ENOENT : errno));
        picture.file.path.clear();
        placed.push_back(path);
    }
    sync_dir(store.picture_dir);
    if (sqlite3_exec(db.get(), "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK)
        return abandon(db_failure("cannot commit the album"));
    return album_id;
}

std::optional<StoredAlbum> sqlite_load_album(const GalleryStore& store, std::int64_t album_id, std::string& error) {
    error.clear();
    Db db = connect(store, error);
    if (!db) return std::nullopt;
    // One read transaction, so the album and its pictures come from the same snapshot.
    if (!exec(db.get(), "BEGIN", error)) return std::nullopt;
    Stmt head = prepare(db.get(), "SELECT created, options, switch_word, title FROM albums WHERE id = ?1", error);
    if (!head) return std::nullopt;
    sqlite3_bind_int64(head.get(), 1, album_id);
    int rc = sqlite3_step(head.get());
    if (rc == SQLITE_DONE) return std::nullopt;
    if (rc != SQLITE_ROW) {
        error = db_error(db.get(), "cannot read the album");
        return std::nullopt;
    }
    StoredAlbum album;
    album.id = album_id;
    album.created = column_text(head.get(), 0);
    album.options = column_text(head.get(), 1);
    album.switch_word = column_text(head.get(), 2);
    album.title = column_text(head.get(), 3);

    Stmt rows = prepare(db.get(),
                        "SELECT id, name, content_type, size FROM pictures WHERE album_id = ?1 ORDER BY position",
                        error);
    if (!rows) return std::nullopt;
    sqlite3_bind_int64(rows.get(), 1, album_id);
    while ((rc = sqlite3_step(rows.get())) == SQLITE_ROW) {
        album.pictures.push_back(StoredPicture{sqlite3_column_int64(rows.get(), 0), column_text(rows.get(), 1),
                                               column_text(rows.get(), 2),
                                               static_cast<std::uint64_t>(sqlite3_column_int64(rows.get(), 3))});
    }
    if (rc != SQLITE_DONE) {
        error = db_error(db.get(), "cannot read the album's pictures");
        return std::nullopt;
    }
    return album;
}

std::optional<StoredPicture> sqlite_load_picture(const GalleryStore& store, std::int64_t picture_id, std::string& error) {
    error.clear();
    Db db = connect(store, error);
    if (!db) return std::nullopt;
    Stmt stmt = prepare(db.get(), "SELECT name, content_type, size FROM pictures WHERE id = ?1", error);
    if (!stmt) return std::nullopt;
    sqlite3_bind_int64(stmt.get(), 1, picture_id);
    int rc = sqlite3_step(stmt.get());
    if (rc == SQLITE_DONE) return std::nullopt;
    if (rc != SQLITE_ROW) {
        error = db_error(db.get(), "cannot read the picture");
        return std::nullopt;
    }
    return StoredPicture{picture_id, column_text(stmt.get(), 0), column_text(stmt.get(), 1),
                         static_cast<std::uint64_t>(sqlite3_column_int64(stmt.get(), 2))};
}

StoreReport sqlite_check(const std::filesystem::path& data_dir) {
    StoreReport report;
    GalleryStore store;
    store.database = data_dir / "gallery.sqlite";
    store.picture_dir = data_dir / "pictures";
    report.text = "store: SQLite, " + store.database.string() + "\n";
    std::error_code ec;
    if (!std::filesystem::exists(store.database, ec)) {
        report.text += "state: no store here yet; the first start makes one\n";
        return report;
    }
    // Read only, so a check never changes what it looks at.
    store.read_only = "checking";
    std::string error;
    Db db = connect(store, error);
    std::int64_t version = db ? single_number(db.get(), "PRAGMA user_version", error) : -1;
    std::int64_t albums = version >= 0 ? single_number(db.get(), "SELECT count(*) FROM albums", error) : -1;
    std::int64_t pictures = albums >= 0 ? single_number(db.get(), "SELECT count(*) FROM pictures", error) : -1;
    std::int64_t bytes = pictures >= 0 ? single_number(db.get(), "SELECT coalesce(sum(size), 0) FROM pictures", error) : -1;
    if (bytes < 0) {
        report.text += "state: unreadable: " + error + "\n";
        return report;
    }
    report.text += "schema: version " + std::to_string(version) + " (this gallery writes " +
                   std::to_string(schema_version) + ")\n";
    report.text += "albums: " + std::to_string(albums) + ", pictures: " + std::to_string(pictures) +
                   ", bytes: " + std::to_string(bytes) + "\n";
    std::int64_t missing = 0;
    Stmt ids = prepare(db.get(), "SELECT id, size FROM pictures", error);
    while (ids && sqlite3_step(ids.get()) == SQLITE_ROW) {
        auto size = std::filesystem::file_size(picture_path(store, sqlite3_column_int64(ids.get(), 0)), ec);
        if (ec || size != static_cast<std::uintmax_t>(sqlite3_column_int64(ids.get(), 1))) ++missing;
    }
    report.text += "pictures missing or of the wrong size on disk: " + std::to_string(missing) + "\n";
    report.healthy = version <= schema_version && missing == 0;
    if (version > schema_version) report.text += "state: " + newer_schema(version) + "\n";
    report.text += report.healthy ? "state: ok\n" : "state: damaged\n";
    return report;
}
