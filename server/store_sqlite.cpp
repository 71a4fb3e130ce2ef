// The SQLite backend of gallery_store.h: one transaction per album, picture files written before
// the commit and removed again whenever the commit does not happen. Connections are pooled, each
// set up once.
#include "store_backends.h"

#include "album_keys.h"
#include "thumbnails.h"

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
#include <vector>

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

// Where the database is and how it may be opened; what connect() needs.
struct SqlitePlace {
    std::filesystem::path database;
    std::filesystem::path picture_dir;
    std::filesystem::path derived_dir;
    std::string read_only;   // non-empty: opened for reading only, for this reason
    bool immutable = false;  // read without the WAL's shared memory
};

std::string db_error(sqlite3* db, const std::string& what) { return what + ": " + sqlite3_errmsg(db); }

Db connect(const SqlitePlace& store, std::string& error) {
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

std::optional<std::set<std::int64_t>> picture_ids(sqlite3* db, std::string& error) {
    Stmt stmt = prepare(db, "SELECT id FROM pictures", error);
    if (!stmt) return std::nullopt;
    std::set<std::int64_t> owned;
    int rc;
    while ((rc = sqlite3_step(stmt.get())) == SQLITE_ROW) owned.insert(sqlite3_column_int64(stmt.get(), 0));
    if (rc != SQLITE_DONE) {
        error = db_error(db, "cannot list the pictures");
        return std::nullopt;
    }
    return owned;
}

// Removes picture files and derived copies that no row owns (a crash between a delete's commit and
// its file removal leaves such) and partial files from an interrupted write.
bool sweep_orphans(sqlite3* db, const SqlitePlace& store, std::string& error) {
    auto owned = picture_ids(db, error);
    if (!owned) return false;
    remove_partial_files(store.picture_dir);
    remove_orphan_files(store.picture_dir, false, *owned);
    remove_orphan_files(store.derived_dir, true, *owned);
    remove_partial_files(store.derived_dir);  // no maker is writing at start
    return true;
}

// The tables as this version writes them. Ids are AUTOINCREMENT: one deleted is never handed out
// again, so an old link never shows a stranger's picture.
std::string tables_sql(const std::string& albums, const std::string& pictures) {
    return "CREATE TABLE " + albums + R"sql( (
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    created TEXT NOT NULL DEFAULT (datetime('now')),
    options TEXT NOT NULL,
    switch_word TEXT NOT NULL,
    client TEXT NOT NULL,
    title TEXT NOT NULL DEFAULT '',
    key TEXT NOT NULL UNIQUE,
    owner_hash TEXT NOT NULL DEFAULT '',
    uploader TEXT NOT NULL DEFAULT '',
    revision INTEGER NOT NULL DEFAULT 1,
    deleted INTEGER NOT NULL DEFAULT 0,
    legacy INTEGER NOT NULL DEFAULT 0
);
CREATE TABLE )sql" + pictures + R"sql( (
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    album_id INTEGER NOT NULL REFERENCES albums(id),
    position INTEGER NOT NULL,
    number INTEGER NOT NULL,
    name TEXT NOT NULL,
    content_type TEXT NOT NULL,
    size INTEGER NOT NULL
);
)sql";
}

constexpr const char* indexes_sql = R"sql(
CREATE INDEX IF NOT EXISTS pictures_by_album ON pictures(album_id, position);
CREATE UNIQUE INDEX IF NOT EXISTS pictures_by_number ON pictures(album_id, number);
)sql";

// Version 1 had albums and pictures; stores from before versioning (user_version 0) have it already.
// Version 2 gives albums a title. Version 3 gives albums a key, an owner, a revision and a deleted
// mark, pictures a number within their album, and never reuses ids.
constexpr int schema_version = 3;

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

// Writers in this process take turns, so an id freed by a rollback is never reused while the
// failed writer is still removing the file it wrote under that id.
std::mutex writer_turn;

std::filesystem::path file_of(const SqlitePlace& place, std::int64_t picture_id) {
    return place.picture_dir / std::to_string(picture_id);
}

bool table_exists(sqlite3* db, const char* name, std::string& error) {
    Stmt stmt = prepare(db, "SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name = ?1", error);
    if (!stmt) return false;
    bind_text(stmt.get(), 1, name);
    return sqlite3_step(stmt.get()) == SQLITE_ROW && sqlite3_column_int64(stmt.get(), 0) > 0;
}

// Rebuilds both tables into this version's shape, keeping every id, so AUTOINCREMENT starts above the
// highest. Every album gets a key and is marked legacy (its numbered links were handed out); none has
// an owner, so only the operator deletes those. Runs inside the caller's transaction.
bool rebuild_to_version_3(sqlite3* db, std::string& error) {
    if (!exec(db, tables_sql("albums_v3", "pictures_v3").c_str(), error) ||
        !exec(db,
              "INSERT INTO albums_v3 (id, created, options, switch_word, client, title, key, legacy) "
              "SELECT id, created, options, switch_word, client, title, '#' || id, 1 FROM albums",
              error))
        return false;
    std::vector<std::int64_t> ids;
    {
        Stmt rows = prepare(db, "SELECT id FROM albums_v3", error);
        if (!rows) return false;
        while (sqlite3_step(rows.get()) == SQLITE_ROW) ids.push_back(sqlite3_column_int64(rows.get(), 0));
    }
    Stmt keyed = prepare(db, "UPDATE albums_v3 SET key = ?1 WHERE id = ?2", error);
    if (!keyed) return false;
    for (std::int64_t id : ids) {
        sqlite3_reset(keyed.get());
        bind_text(keyed.get(), 1, new_album_key());
        sqlite3_bind_int64(keyed.get(), 2, id);
        if (sqlite3_step(keyed.get()) != SQLITE_DONE) {
            error = db_error(db, "cannot give an album its key");
            return false;
        }
    }
    keyed.reset();
    if (!exec(db,
              "INSERT INTO pictures_v3 (id, album_id, position, number, name, content_type, size) "
              "SELECT id, album_id, position, row_number() OVER (PARTITION BY album_id ORDER BY position, id), "
              "name, content_type, size FROM pictures;"
              "DROP TABLE pictures; DROP TABLE albums;"
              "ALTER TABLE albums_v3 RENAME TO albums; ALTER TABLE pictures_v3 RENAME TO pictures;",
              error))
        return false;
    Stmt dangling = prepare(db, "PRAGMA foreign_key_check", error);
    if (!dangling) return false;
    if (sqlite3_step(dangling.get()) == SQLITE_ROW) {
        error = "the store has pictures of albums that do not exist; it was not migrated";
        return false;
    }
    return true;
}

// Creates the schema or brings it to this version, under the write lock so two processes starting
// at once take turns. Foreign keys are off meanwhile, as a table rebuild needs.
bool set_up_schema(sqlite3* db, bool& too_new, std::string& error) {
    if (!exec(db, "PRAGMA foreign_keys=OFF", error)) return false;
    auto done = [&](bool ok) {
        if (!sqlite3_get_autocommit(db)) sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
        std::string ignored;
        return exec(db, "PRAGMA foreign_keys=ON", ok ? error : ignored) && ok;
    };
    if (!exec(db, "BEGIN IMMEDIATE", error)) return done(false);
    std::int64_t version = single_number(db, "PRAGMA user_version", error);
    if (version < 0) return done(false);
    if (version > schema_version) {
        error = newer_schema(version);
        too_new = true;
        return done(false);
    }
    if (version == schema_version) return done(exec(db, "COMMIT", error));
    bool existing = table_exists(db, "albums", error);
    if (!error.empty()) return done(false);
    if (!existing) {
        if (!exec(db, tables_sql("albums", "pictures").c_str(), error)) return done(false);
    } else {
        if (version < 2 && !exec(db, "ALTER TABLE albums ADD COLUMN title TEXT NOT NULL DEFAULT ''", error))
            return done(false);
        if (!rebuild_to_version_3(db, error)) return done(false);
    }
    return done(exec(db, indexes_sql, error) &&
                exec(db, ("PRAGMA user_version=" + std::to_string(schema_version)).c_str(), error) &&
                exec(db, "COMMIT", error));
}

constexpr const char* album_columns =
    "SELECT id, created, options, switch_word, title, key, owner_hash, uploader, client, revision, deleted, legacy "
    "FROM albums ";

StoredAlbum album_at(sqlite3_stmt* row) {
    StoredAlbum album;
    album.id = sqlite3_column_int64(row, 0);
    album.created = column_text(row, 1);
    album.options = column_text(row, 2);
    album.switch_word = column_text(row, 3);
    album.title = column_text(row, 4);
    album.key = column_text(row, 5);
    album.owner_hash = column_text(row, 6);
    album.uploader = column_text(row, 7);
    album.client = column_text(row, 8);
    album.revision = sqlite3_column_int64(row, 9);
    album.deleted = sqlite3_column_int64(row, 10) != 0;
    album.legacy = sqlite3_column_int64(row, 11) != 0;
    return album;
}

StoredPicture picture_at(sqlite3_stmt* row) {
    return StoredPicture{sqlite3_column_int64(row, 0), column_text(row, 1), column_text(row, 2),
                         static_cast<std::uint64_t>(sqlite3_column_int64(row, 3)), sqlite3_column_int64(row, 4)};
}

struct SqliteBackend;

// A connection borrowed from the pool for one call; it goes back unless it broke or a transaction
// was left open.
class Lease {
public:
    Lease(SqliteBackend& backend, std::string& error);
    ~Lease();
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;
    sqlite3* get() const { return db_.get(); }
    explicit operator bool() const { return db_ != nullptr; }

private:
    SqliteBackend& backend_;
    Db db_;
};

StoreFailure db_failure(sqlite3* db, const std::string& what) {
    int code = sqlite3_errcode(db);
    return StoreFailure{db_error(db, what), code == SQLITE_FULL, code == SQLITE_BUSY || code == SQLITE_LOCKED};
}

struct SqliteBackend final : StoreBackend {
    SqlitePlace place;
    std::mutex lock;
    std::vector<Db> idle;

    std::optional<StoreFailure> finish_staged(StagedFile& file) override {
        bool ok = sync_file_and_close(file.fd);
        file.fd = -1;
        if (!ok) return failure_of("cannot write " + file.path.string(), errno);
        return std::nullopt;
    }

    std::uint64_t stored_bytes(StoreFailure& failure) override {
        Lease db(*this, failure.detail);
        if (!db) return 0;
        std::string sql = "SELECT coalesce(sum(" + charged_bytes_sql("size") + "), 0) FROM pictures";
        Stmt stmt = prepare(db.get(), sql.c_str(), failure.detail);
        if (!stmt) return 0;
        if (sqlite3_step(stmt.get()) != SQLITE_ROW) {
            failure = db_failure(db.get(), "cannot sum the pictures");
            return 0;
        }
        return static_cast<std::uint64_t>(sqlite3_column_int64(stmt.get(), 0));
    }

    std::int64_t store_album(NewAlbum& album, StoreFailure& failure) override {
        for (NewPicture& picture : album.pictures)
            if (auto unsynced = sync_staged(picture.file)) {
                failure = *unsynced;
                return 0;
            }
        std::lock_guard turn(writer_turn);
        std::string error;
        Lease db(*this, error);
        if (!db) {
            failure = StoreFailure{error, false, false};
            return 0;
        }
        if (!exec(db.get(), "BEGIN IMMEDIATE", error)) {
            failure = db_failure(db.get(), "cannot start the album");
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

        if (album.key.empty()) album.key = new_album_key();
        Stmt insert_album = prepare(db.get(),
                                    "INSERT INTO albums (options, switch_word, client, title, key, owner_hash, uploader) "
                                    "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7)",
                                    error);
        if (!insert_album) return abandon(StoreFailure{error, false, false});
        bind_text(insert_album.get(), 1, album.options);
        bind_text(insert_album.get(), 2, album.switch_word);
        bind_text(insert_album.get(), 3, album.client);
        bind_text(insert_album.get(), 4, album.title);
        bind_text(insert_album.get(), 5, album.key);
        bind_text(insert_album.get(), 6, album.owner_hash);
        bind_text(insert_album.get(), 7, album.uploader);
        if (sqlite3_step(insert_album.get()) != SQLITE_DONE) return abandon(db_failure(db.get(), "cannot add the album"));
        std::int64_t album_id = sqlite3_last_insert_rowid(db.get());

        Stmt insert_picture = prepare(db.get(),
                                      "INSERT INTO pictures (album_id, position, name, content_type, size, number) "
                                      "VALUES (?1, ?2, ?3, ?4, ?5, ?6)",
                                      error);
        if (!insert_picture) return abandon(StoreFailure{error, false, false});
        for (std::size_t i = 0; i < album.pictures.size(); ++i) {
            NewPicture& picture = album.pictures[i];
            sqlite3_reset(insert_picture.get());
            sqlite3_bind_int64(insert_picture.get(), 1, album_id);
            sqlite3_bind_int64(insert_picture.get(), 2, static_cast<sqlite3_int64>(i));
            bind_text(insert_picture.get(), 3, picture.name);
            bind_text(insert_picture.get(), 4, picture.content_type);
            sqlite3_bind_int64(insert_picture.get(), 5, static_cast<sqlite3_int64>(picture.file.size));
            sqlite3_bind_int64(insert_picture.get(), 6, static_cast<sqlite3_int64>(i + 1));
            if (sqlite3_step(insert_picture.get()) != SQLITE_DONE)
                return abandon(db_failure(db.get(), "cannot add a picture"));
            std::filesystem::path path = file_of(place, sqlite3_last_insert_rowid(db.get()));
            // The staged file was synced before; a rename keeps it whole or absent under its final name.
            if (picture.file.path.empty() || ::rename(picture.file.path.c_str(), path.c_str()) != 0)
                return abandon(failure_of("cannot place " + path.string(), picture.file.path.empty() ? ENOENT : errno));
            picture.file.path.clear();
            placed.push_back(path);
        }
        sync_dir(place.picture_dir);
        if (sqlite3_exec(db.get(), "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK)
            return abandon(db_failure(db.get(), "cannot commit the album"));
        return album_id;
    }

    std::optional<StoredAlbum> load_album(std::int64_t album_id, StoreFailure& failure) override {
        Lease db(*this, failure.detail);
        if (!db) return std::nullopt;
        // One read transaction, so the album and its pictures come from the same snapshot.
        if (!exec(db.get(), "BEGIN", failure.detail)) return std::nullopt;
        Stmt head = prepare(db.get(), (std::string(album_columns) + "WHERE id = ?1").c_str(), failure.detail);
        if (!head) return std::nullopt;
        sqlite3_bind_int64(head.get(), 1, album_id);
        int rc = sqlite3_step(head.get());
        if (rc == SQLITE_DONE) return std::nullopt;
        if (rc != SQLITE_ROW) {
            failure = db_failure(db.get(), "cannot read the album");
            return std::nullopt;
        }
        StoredAlbum album = album_at(head.get());
        Stmt rows = prepare(db.get(),
                            "SELECT id, name, content_type, size, number FROM pictures WHERE album_id = ?1 "
                            "ORDER BY position",
                            failure.detail);
        if (!rows) return std::nullopt;
        sqlite3_bind_int64(rows.get(), 1, album_id);
        while ((rc = sqlite3_step(rows.get())) == SQLITE_ROW) album.pictures.push_back(picture_at(rows.get()));
        if (rc != SQLITE_DONE) {
            failure = db_failure(db.get(), "cannot read the album's pictures");
            return std::nullopt;
        }
        return album;
    }

    // The one picture `sql` selects (id, name, content_type, size, number) with `bind` applied.
    template <class Bind>
    std::optional<StoredPicture> one_picture(const char* sql, Bind bind, StoreFailure& failure) {
        Lease db(*this, failure.detail);
        if (!db) return std::nullopt;
        Stmt stmt = prepare(db.get(), sql, failure.detail);
        if (!stmt) return std::nullopt;
        bind(stmt.get());
        int rc = sqlite3_step(stmt.get());
        if (rc == SQLITE_DONE) return std::nullopt;
        if (rc != SQLITE_ROW) {
            failure = db_failure(db.get(), "cannot read the picture");
            return std::nullopt;
        }
        return picture_at(stmt.get());
    }

    std::optional<StoredPicture> load_picture(std::int64_t picture_id, StoreFailure& failure) override {
        return one_picture(
            "SELECT id, name, content_type, size, number FROM pictures WHERE id = ?1",
            [&](sqlite3_stmt* stmt) { sqlite3_bind_int64(stmt, 1, picture_id); }, failure);
    }

    int open_picture(std::int64_t picture_id, StoredPicture& picture, StoreFailure& failure) override {
        auto row = load_picture(picture_id, failure);
        if (!row) return -1;
        picture = *row;
        std::filesystem::path path = file_of(place, picture_id);
        int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) failure = failure_of("cannot open " + path.string(), errno);
        return fd;
    }

    std::optional<StoredAlbum> find_album(std::string_view key, StoreFailure& failure) override {
        if (!is_album_key(key)) return std::nullopt;
        std::optional<std::int64_t> id;
        {
            Lease db(*this, failure.detail);
            if (!db) return std::nullopt;
            Stmt stmt = prepare(db.get(), "SELECT id FROM albums WHERE key = ?1", failure.detail);
            if (!stmt) return std::nullopt;
            bind_text(stmt.get(), 1, key);
            int rc = sqlite3_step(stmt.get());
            if (rc == SQLITE_ROW) id = sqlite3_column_int64(stmt.get(), 0);
            else if (rc != SQLITE_DONE) failure = db_failure(db.get(), "cannot find the album");
        }
        return id ? load_album(*id, failure) : std::nullopt;
    }

    std::optional<StoredPicture> find_picture(std::string_view key, std::int64_t number, StoreFailure& failure) override {
        if (!is_album_key(key) || number <= 0) return std::nullopt;
        return one_picture(
            "SELECT p.id, p.name, p.content_type, p.size, p.number FROM albums a "
            "JOIN pictures p ON p.album_id = a.id WHERE a.key = ?1 AND p.number = ?2 AND a.deleted = 0",
            [&](sqlite3_stmt* stmt) {
                bind_text(stmt, 1, key);
                sqlite3_bind_int64(stmt, 2, number);
            },
            failure);
    }

    bool rename_album(std::int64_t album_id, std::string_view title, StoreFailure& failure) override {
        Lease db(*this, failure.detail);
        if (!db) return false;
        Stmt stmt = prepare(db.get(), "UPDATE albums SET title = ?1, revision = revision + 1 WHERE id = ?2 AND deleted = 0",
                            failure.detail);
        if (!stmt) return false;
        bind_text(stmt.get(), 1, title);
        sqlite3_bind_int64(stmt.get(), 2, album_id);
        if (sqlite3_step(stmt.get()) != SQLITE_DONE) {
            failure = db_failure(db.get(), "cannot rename the album");
            return false;
        }
        return sqlite3_changes(db.get()) > 0;
    }

    std::optional<std::vector<std::int64_t>> remove_rows(std::int64_t album_id, std::int64_t picture_id,
                                                         StoreFailure& failure) override {
        Lease db(*this, failure.detail);
        if (!db) return std::nullopt;
        if (!exec(db.get(), "BEGIN IMMEDIATE", failure.detail)) {
            failure = db_failure(db.get(), "cannot start the change");
            return std::nullopt;
        }
        // A deleted album keeps its row, emptied: its title and owner go with its pictures.
        Stmt album = prepare(db.get(),
                             picture_id > 0 ? "UPDATE albums SET revision = revision + 1 WHERE id = ?1 AND deleted = 0"
                                            : "UPDATE albums SET revision = revision + 1, deleted = 1, title = '', "
                                              "owner_hash = '' WHERE id = ?1 AND deleted = 0",
                             failure.detail);
        if (!album) return std::nullopt;
        sqlite3_bind_int64(album.get(), 1, album_id);
        if (sqlite3_step(album.get()) != SQLITE_DONE) {
            failure = db_failure(db.get(), "cannot change the album");
            return std::nullopt;
        }
        if (sqlite3_changes(db.get()) == 0) return std::nullopt;  // the lease rolls back

        std::vector<std::int64_t> removed;
        Stmt listed = prepare(db.get(), "SELECT id FROM pictures WHERE album_id = ?1 AND (?2 = 0 OR id = ?2)",
                              failure.detail);
        if (!listed) return std::nullopt;
        sqlite3_bind_int64(listed.get(), 1, album_id);
        sqlite3_bind_int64(listed.get(), 2, picture_id);
        int rc;
        while ((rc = sqlite3_step(listed.get())) == SQLITE_ROW) removed.push_back(sqlite3_column_int64(listed.get(), 0));
        if (rc != SQLITE_DONE) {
            failure = db_failure(db.get(), "cannot list the album's pictures");
            return std::nullopt;
        }
        listed.reset();
        if (picture_id > 0 && removed.empty()) return std::nullopt;
        Stmt gone = prepare(db.get(), "DELETE FROM pictures WHERE album_id = ?1 AND (?2 = 0 OR id = ?2)", failure.detail);
        if (!gone) return std::nullopt;
        sqlite3_bind_int64(gone.get(), 1, album_id);
        sqlite3_bind_int64(gone.get(), 2, picture_id);
        if (sqlite3_step(gone.get()) != SQLITE_DONE || sqlite3_exec(db.get(), "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
            failure = db_failure(db.get(), "cannot remove the pictures");
            return std::nullopt;
        }
        return removed;
    }

    void remove_files(const std::vector<std::int64_t>& picture_ids) override {
        for (std::int64_t id : picture_ids) {
            ::unlink(file_of(place, id).c_str());
            remove_derived_copies(place.derived_dir, id);
        }
        sync_dir(place.picture_dir);
    }

    std::vector<AlbumSummary> list_albums(StoreFailure& failure) override {
        std::vector<AlbumSummary> albums;
        Lease db(*this, failure.detail);
        if (!db) return albums;
        Stmt stmt = prepare(db.get(),
                            "SELECT a.key, a.title, a.created, count(p.id), coalesce(sum(p.size), 0), a.uploader, "
                            "a.client, a.deleted FROM albums a LEFT JOIN pictures p ON p.album_id = a.id "
                            "GROUP BY a.id ORDER BY a.id",
                            failure.detail);
        if (!stmt) return albums;
        int rc;
        while ((rc = sqlite3_step(stmt.get())) == SQLITE_ROW)
            albums.push_back(AlbumSummary{column_text(stmt.get(), 0), column_text(stmt.get(), 1),
                                          column_text(stmt.get(), 2), sqlite3_column_int64(stmt.get(), 3),
                                          static_cast<std::uint64_t>(sqlite3_column_int64(stmt.get(), 4)),
                                          column_text(stmt.get(), 5), column_text(stmt.get(), 6),
                                          sqlite3_column_int64(stmt.get(), 7) != 0});
        if (rc != SQLITE_DONE) failure = db_failure(db.get(), "cannot list the albums");
        return albums;
    }

    std::vector<std::string> expire_albums(std::chrono::hours older_than, StoreFailure& failure) override {
        std::vector<std::pair<std::int64_t, std::string>> due;
        {
            Lease db(*this, failure.detail);
            if (!db) return {};
            Stmt stmt = prepare(db.get(),
                                "SELECT id, key FROM albums WHERE deleted = 0 AND created < datetime('now', ?1) ORDER BY id",
                                failure.detail);
            if (!stmt) return {};
            bind_text(stmt.get(), 1, "-" + std::to_string(older_than.count()) + " hours");
            int rc;
            while ((rc = sqlite3_step(stmt.get())) == SQLITE_ROW)
                due.emplace_back(sqlite3_column_int64(stmt.get(), 0), column_text(stmt.get(), 1));
            if (rc != SQLITE_DONE) {
                failure = db_failure(db.get(), "cannot list the albums to expire");
                return {};
            }
        }
        return delete_each(*this, due, failure);
    }

    std::optional<std::string> legacy_address(bool picture, std::int64_t row_id, StoreFailure& failure) override {
        Lease db(*this, failure.detail);
        if (!db) return std::nullopt;
        Stmt stmt = prepare(db.get(),
                            picture ? "SELECT a.key, p.number FROM pictures p JOIN albums a ON a.id = p.album_id "
                                      "WHERE p.id = ?1 AND a.legacy = 1 AND a.deleted = 0"
                                    : "SELECT key, 0 FROM albums WHERE id = ?1 AND legacy = 1 AND deleted = 0",
                            failure.detail);
        if (!stmt) return std::nullopt;
        sqlite3_bind_int64(stmt.get(), 1, row_id);
        int rc = sqlite3_step(stmt.get());
        if (rc != SQLITE_ROW) {
            if (rc != SQLITE_DONE) failure = db_failure(db.get(), "cannot read the album");
            return std::nullopt;
        }
        std::string key = column_text(stmt.get(), 0);
        return picture ? picture_address(key, sqlite3_column_int64(stmt.get(), 1)) : album_address(key);
    }
};

Lease::Lease(SqliteBackend& backend, std::string& error) : backend_(backend) {
    {
        std::lock_guard guard(backend_.lock);
        if (!backend_.idle.empty()) {
            db_ = std::move(backend_.idle.back());
            backend_.idle.pop_back();
        }
    }
    if (!db_) db_ = connect(backend_.place, error);
}

Lease::~Lease() {
    if (!db_) return;
    if (!sqlite3_get_autocommit(db_.get())) sqlite3_exec(db_.get(), "ROLLBACK", nullptr, nullptr, nullptr);
    if (!sqlite3_get_autocommit(db_.get())) return;
    std::lock_guard guard(backend_.lock);
    backend_.idle.push_back(std::move(db_));
}

}  // namespace

std::filesystem::path sqlite_database_file(const std::filesystem::path& data_dir) { return data_dir / "gallery.sqlite"; }
std::filesystem::path sqlite_picture_dir(const std::filesystem::path& data_dir) { return data_dir / "pictures"; }

std::optional<std::string> sqlite_open(const std::filesystem::path& data_dir, GalleryStore& store, bool beside_server) {
    auto backend = std::make_shared<SqliteBackend>();
    SqlitePlace& place = backend->place;
    place.database = sqlite_database_file(data_dir);
    place.picture_dir = sqlite_picture_dir(data_dir);
    place.derived_dir = derived_dir_of(data_dir);
    store = GalleryStore{};
    store.picture_dir = place.picture_dir;
    std::error_code ec;
    std::filesystem::create_directories(place.picture_dir, ec);
    if (ec) return "cannot create " + place.picture_dir.string() + ": " + ec.message();

    std::string error;
    bool too_new = false;  // never served by this version, not even for reading
    auto open_for_writing = [&]() -> bool {
        Db db = connect(place, error);
        if (!db) return false;
        // WAL lets album pages be read while an upload is being committed.
        Stmt wal = prepare(db.get(), "PRAGMA journal_mode=WAL", error);
        if (!wal) return false;
        if (sqlite3_step(wal.get()) != SQLITE_ROW || column_text(wal.get(), 0) != "wal") {
            error = db_error(db.get(), "cannot switch the database to WAL mode");
            return false;
        }
        wal.reset();
        if (!set_up_schema(db.get(), too_new, error)) return false;
        if (beside_server) {
            backend->idle.push_back(std::move(db));
            return true;
        }
        // Under the write lock, so no other process is between writing a file and committing its row.
        if (!exec(db.get(), "BEGIN IMMEDIATE", error)) return false;
        bool swept = sweep_orphans(db.get(), place, error);
        sqlite3_exec(db.get(), "COMMIT", nullptr, nullptr, nullptr);
        if (swept) backend->idle.push_back(std::move(db));
        return swept;
    };
    auto opened = [&] {
        store.read_only = place.read_only;
        store.backend = backend;
        return std::nullopt;
    };
    if (open_for_writing()) return opened();
    if (too_new) return error;

    // An existing store that cannot be written to is still served, so its albums stay online.
    if (!std::filesystem::exists(place.database, ec)) return error;
    place.read_only = error;
    // Reading a WAL database still needs its shared-memory file; when even that cannot be made, the
    // file is read as it stands (a cleanly stopped gallery leaves everything in it).
    for (bool immutable : {false, true}) {
        place.immutable = immutable;
        std::string read_error;
        Db db = connect(place, read_error);
        Stmt probe = db ? prepare(db.get(), "SELECT count(*) FROM albums", read_error) : nullptr;
        if (!probe || sqlite3_step(probe.get()) != SQLITE_ROW) continue;
        // An older schema cannot be read by this version, and migrating it needs writing.
        if (std::int64_t version = single_number(db.get(), "PRAGMA user_version", read_error); version != schema_version)
            return "the store's schema is version " + std::to_string(version) + " and must be migrated to " +
                   std::to_string(schema_version) + ", which needs it writable: " + error;
        return opened();
    }
    return error;
}

StoreReport sqlite_check(const std::filesystem::path& data_dir) {
    StoreReport report;
    SqlitePlace store;
    store.database = sqlite_database_file(data_dir);
    store.picture_dir = sqlite_picture_dir(data_dir);
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
        auto size = std::filesystem::file_size(store.picture_dir / std::to_string(sqlite3_column_int64(ids.get(), 0)), ec);
        if (ec || size != static_cast<std::uintmax_t>(sqlite3_column_int64(ids.get(), 1))) ++missing;
    }
    report.text += "pictures missing or of the wrong size on disk: " + std::to_string(missing) + "\n";
    ids.reset();
    if (auto owned = picture_ids(db.get(), error))
        report.text += orphans_line(orphan_files(store.picture_dir, false, *owned).size() +
                                    orphan_files(derived_dir_of(data_dir), true, *owned).size());
    report.healthy = version <= schema_version && missing == 0;
    if (version > schema_version) report.text += "state: " + newer_schema(version) + "\n";
    report.text += report.healthy ? "state: ok\n" : "state: damaged\n";
    return report;
}
