// The SQLite backend of gallery_store.h: one transaction per album, picture files written before
// the commit and removed again whenever the commit does not happen. Connections are pooled, each
// set up once.
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

bool is_all_digits(const std::string& text) {
    if (text.empty()) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    return true;
}

// Removes picture files that no row owns and partial files from an interrupted write.
bool sweep_orphans(sqlite3* db, const SqlitePlace& store, std::string& error) {
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

// Writers in this process take turns, so an id freed by a rollback is never reused while the
// failed writer is still removing the file it wrote under that id.
std::mutex writer_turn;

std::filesystem::path file_of(const SqlitePlace& place, std::int64_t picture_id) {
    return place.picture_dir / std::to_string(picture_id);
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

        Stmt insert_album =
            prepare(db.get(), "INSERT INTO albums (options, switch_word, client, title) VALUES (?1, ?2, ?3, ?4)", error);
        if (!insert_album) return abandon(StoreFailure{error, false, false});
        bind_text(insert_album.get(), 1, album.options);
        bind_text(insert_album.get(), 2, album.switch_word);
        bind_text(insert_album.get(), 3, album.client);
        bind_text(insert_album.get(), 4, album.title);
        if (sqlite3_step(insert_album.get()) != SQLITE_DONE) return abandon(db_failure(db.get(), "cannot add the album"));
        std::int64_t album_id = sqlite3_last_insert_rowid(db.get());

        Stmt insert_picture = prepare(db.get(),
                                      "INSERT INTO pictures (album_id, position, name, content_type, size) "
                                      "VALUES (?1, ?2, ?3, ?4, ?5)",
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
        Stmt head = prepare(db.get(), "SELECT created, options, switch_word, title FROM albums WHERE id = ?1", failure.detail);
        if (!head) return std::nullopt;
        sqlite3_bind_int64(head.get(), 1, album_id);
        int rc = sqlite3_step(head.get());
        if (rc == SQLITE_DONE) return std::nullopt;
        if (rc != SQLITE_ROW) {
            failure = db_failure(db.get(), "cannot read the album");
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
                            failure.detail);
        if (!rows) return std::nullopt;
        sqlite3_bind_int64(rows.get(), 1, album_id);
        while ((rc = sqlite3_step(rows.get())) == SQLITE_ROW) {
            album.pictures.push_back(StoredPicture{sqlite3_column_int64(rows.get(), 0), column_text(rows.get(), 1),
                                                   column_text(rows.get(), 2),
                                                   static_cast<std::uint64_t>(sqlite3_column_int64(rows.get(), 3))});
        }
        if (rc != SQLITE_DONE) {
            failure = db_failure(db.get(), "cannot read the album's pictures");
            return std::nullopt;
        }
        return album;
    }

    std::optional<StoredPicture> load_picture(std::int64_t picture_id, StoreFailure& failure) override {
        Lease db(*this, failure.detail);
        if (!db) return std::nullopt;
        Stmt stmt = prepare(db.get(), "SELECT name, content_type, size FROM pictures WHERE id = ?1", failure.detail);
        if (!stmt) return std::nullopt;
        sqlite3_bind_int64(stmt.get(), 1, picture_id);
        int rc = sqlite3_step(stmt.get());
        if (rc == SQLITE_DONE) return std::nullopt;
        if (rc != SQLITE_ROW) {
            failure = db_failure(db.get(), "cannot read the picture");
            return std::nullopt;
        }
        return StoredPicture{picture_id, column_text(stmt.get(), 0), column_text(stmt.get(), 1),
                             static_cast<std::uint64_t>(sqlite3_column_int64(stmt.get(), 2))};
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

std::optional<std::string> sqlite_open(const std::filesystem::path& data_dir, GalleryStore& store) {
    auto backend = std::make_shared<SqliteBackend>();
    SqlitePlace& place = backend->place;
    place.database = sqlite_database_file(data_dir);
    place.picture_dir = sqlite_picture_dir(data_dir);
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
        if (probe && sqlite3_step(probe.get()) == SQLITE_ROW) return opened();
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
    report.healthy = version <= schema_version && missing == 0;
    if (version > schema_version) report.text += "state: " + newer_schema(version) + "\n";
    report.text += report.healthy ? "state: ok\n" : "state: damaged\n";
    return report;
}
