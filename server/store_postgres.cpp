// The PostgreSQL backend of gallery_store.h: albums, pictures and picture bytes (large objects) in
// one shared database, so every instance serves every album and an album commits all or nothing.
// Parameters always travel apart from the SQL text (PQexecParams).
#include "store_backends.h"

#include <libpq-fe.h>
#include <libpq/libpq-fs.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <fcntl.h>
#include <mutex>
#include <sys/file.h>
#include <unistd.h>
#include <vector>

struct PostgresStore {
    std::string conninfo;
    std::filesystem::path cache_dir;  // DATA/cache: pictures copied out of the database, by id
    int folder_lock = -1;             // held for the process's life: one instance per data folder
    std::mutex lock;
    std::vector<PGconn*> idle;        // connections not in use; at most one per disk thread is ever made

    ~PostgresStore() {
        for (PGconn* conn : idle) PQfinish(conn);
        if (folder_lock >= 0) ::close(folder_lock);
    }
};

namespace {

// Picture bytes move between the database and files in pieces of this size, so memory stays flat.
constexpr std::size_t piece_size = 256 * 1024;
// Taken while the schema is created or migrated, so two instances starting at once take turns.
constexpr const char* schema_lock_key = "7163206539";

struct ResultClear {
    void operator()(PGresult* result) const { PQclear(result); }
};
using Result = std::unique_ptr<PGresult, ResultClear>;

struct ConnFinish {
    void operator()(PGconn* conn) const { PQfinish(conn); }
};
using OwnedConn = std::unique_ptr<PGconn, ConnFinish>;

// Each step moves the schema one version on; the version reached is kept in gallery_schema.
const std::vector<const char*>& migrations() {
    static const std::vector<const char*> steps{
        R"sql(
CREATE TABLE albums (
    id bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
    created timestamptz NOT NULL DEFAULT now(),
    options text NOT NULL,
    switch_word text NOT NULL,
    client text NOT NULL
);
CREATE TABLE pictures (
    id bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
    album_id bigint NOT NULL REFERENCES albums(id),
    position integer NOT NULL,
    name text NOT NULL,
    content_type text NOT NULL,
    size bigint NOT NULL,
    bytes oid NOT NULL
);
CREATE INDEX pictures_by_album ON pictures(album_id, position);
-- Names this store, so a cache of its pictures is never taken for another database's.
CREATE TABLE store_identity (id text NOT NULL);
INSERT INTO store_identity (id) VALUES (gen_random_uuid()::text);
)sql",
        "ALTER TABLE albums ADD COLUMN title text NOT NULL DEFAULT ''",
    };
    return steps;
}

int current_version() { return static_cast<int>(migrations().size()); }

std::string conn_error(PGconn* conn, const std::string& what) {
    std::string message = PQerrorMessage(conn);
    while (!message.empty() && (message.back() == '\n' || message.back() == ' ')) message.pop_back();
    return what + ": " + message;
}

// Runs one statement; `ok` is PGRES_COMMAND_OK or PGRES_TUPLES_OK as the statement gives.
Result run(PGconn* conn, const char* sql, const std::vector<std::string>& params, std::string& error,
           const char* what) {
    std::vector<const char*> values;
    for (const std::string& p : params) values.push_back(p.c_str());
    Result result(PQexecParams(conn, sql, static_cast<int>(values.size()), nullptr, values.data(), nullptr, nullptr, 0));
    ExecStatusType status = result ? PQresultStatus(result.get()) : PGRES_FATAL_ERROR;
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
        error = conn_error(conn, what);
        return nullptr;
    }
    return result;
}

bool run_plain(PGconn* conn, const char* sql, std::string& error) {
    Result result(PQexec(conn, sql));
    if (!result || PQresultStatus(result.get()) != PGRES_COMMAND_OK) {
        error = conn_error(conn, sql);
        return false;
    }
    return true;
}

std::int64_t number_at(PGresult* result, int row, int column) {
    return std::strtoll(PQgetvalue(result, row, column), nullptr, 10);
}

OwnedConn connect(const std::string& conninfo, std::string& error) {
    OwnedConn conn(PQconnectdb(conninfo.c_str()));
    if (!conn || PQstatus(conn.get()) != CONNECTION_OK) {
        error = conn ? conn_error(conn.get(), "cannot connect to the database") : "cannot connect to the database";
        return nullptr;
    }
    // Timestamps come back in UTC whatever the server's setting.
    if (!run_plain(conn.get(), "SET TIME ZONE 'UTC'", error)) return nullptr;
    return conn;
}

// A connection borrowed from the pool for one piece of work, returned when done unless it broke.
class Lease {
public:
    Lease(PostgresStore& store, std::string& error) : store_(store) {
        {
            std::lock_guard guard(store_.lock);
            if (!store_.idle.empty()) {
                conn_ = store_.idle.back();
                store_.idle.pop_back();
            }
        }
        // A pooled connection may have been cut since (a database restart, say); an empty query
        // finds out, so the work gets a live connection instead of failing once.
        if (conn_) Result(PQexec(conn_, ""));
        if (conn_ && PQstatus(conn_) != CONNECTION_OK) PQreset(conn_);
        if (conn_ && PQstatus(conn_) != CONNECTION_OK) {
            PQfinish(conn_);
            conn_ = nullptr;
        }
        if (!conn_) conn_ = connect(store_.conninfo, error).release();
    }
    ~Lease() {
        if (!conn_) return;
        if (PQstatus(conn_) == CONNECTION_OK && PQtransactionStatus(conn_) != PQTRANS_IDLE) {
            Result(PQexec(conn_, "ROLLBACK"));
        }
        if (PQstatus(conn_) != CONNECTION_OK || PQtransactionStatus(conn_) != PQTRANS_IDLE) {
            PQfinish(conn_);
            return;
        }
        std::lock_guard guard(store_.lock);
        store_.idle.push_back(conn_);
    }
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;
    PGconn* get() const { return conn_; }
    explicit operator bool() const { return conn_ != nullptr; }

private:
    PostgresStore& store_;
    PGconn* conn_ = nullptr;
};

// The schema version in the database; 0 when it has none yet, -1 with `error` set on failure.
int schema_version(PGconn* conn, std::string& error) {
    Result exists = run(conn, "SELECT to_regclass('gallery_schema') IS NOT NULL", {}, error, "cannot read the schema");
    if (!exists) return -1;
    if (std::string(PQgetvalue(exists.get(), 0, 0)) != "t") return 0;
    Result version = run(conn, "SELECT max(version) FROM gallery_schema", {}, error, "cannot read the schema version");
    if (!version) return -1;
    return PQgetisnull(version.get(), 0, 0) ? 0 : static_cast<int>(number_at(version.get(), 0, 0));
}

std::string newer_schema(int version) {
    return "the database's schema is version " + std::to_string(version) + "; this gallery knows versions up to " +
           std::to_string(current_version());
}

// Brings the schema to the current version under an advisory lock, one step per transaction.
std::optional<std::string> migrate(PGconn* conn) {
    std::string error;
    if (!run(conn, "SELECT pg_advisory_lock($1::bigint)", {schema_lock_key}, error, "cannot lock the schema"))
        return error;
    auto migrated = [&]() -> std::optional<std::string> {
        if (!run_plain(conn, "CREATE TABLE IF NOT EXISTS gallery_schema (version integer NOT NULL)", error))
            return error;
        int version = schema_version(conn, error);
        if (version < 0) return error;
        if (version > current_version()) return newer_schema(version);
        for (int step = version; step < current_version(); ++step) {
            if (!run_plain(conn, "BEGIN", error)) return error;
            if (!run_plain(conn, migrations()[static_cast<std::size_t>(step)], error) ||
                !run(conn, "INSERT INTO gallery_schema (version) VALUES ($1)", {std::to_string(step + 1)}, error,
                     "cannot record the schema version") ||
                !run_plain(conn, "COMMIT", error)) {
                Result(PQexec(conn, "ROLLBACK"));
                return "cannot migrate the schema to version " + std::to_string(step + 1) + ": " + error;
            }
        }
        return std::nullopt;
    }();
    run(conn, "SELECT pg_advisory_unlock($1::bigint)", {schema_lock_key}, error, "cannot unlock the schema");
    return migrated;
}

// PostgreSQL's text holds only valid UTF-8 without NUL, while a label such as the client's
// User-Agent may carry any bytes: those it cannot hold become '?', so the album is still stored.
std::string storable_text(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        auto c = static_cast<unsigned char>(text[i]);
        std::size_t length = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
        bool valid = length > 0 && c != 0 && i + length <= text.size() && c != 0xC0 && c != 0xC1 && c <= 0xF4;
        for (std::size_t k = 1; valid && k < length; ++k)
            valid = (static_cast<unsigned char>(text[i + k]) & 0xC0) == 0x80;
        if (valid && length == 3) {
            auto c1 = static_cast<unsigned char>(text[i + 1]);
            valid = !(c == 0xE0 && c1 < 0xA0) && !(c == 0xED && c1 >= 0xA0);  // overlong, surrogate
        }
        if (valid && length == 4) {
            auto c1 = static_cast<unsigned char>(text[i + 1]);
            valid = !(c == 0xF0 && c1 < 0x90) && !(c == 0xF4 && c1 >= 0x90);  // overlong, beyond U+10FFFF
        }
        if (valid) {
            out.append(text.substr(i, length));
            i += length;
        } else {
            out += '?';
            ++i;
        }
    }
    return out;
}

bool is_disk_full(PGconn* conn, PGresult* result) {
    const char* state = result ? PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
    if (state) return std::strncmp(state, "53100", 5) == 0;
    return std::strstr(PQerrorMessage(conn), "No space left") != nullptr;
}

// Copies a staged file into a new large object of the open transaction; returns its oid or 0.
Oid copy_into_database(PGconn* conn, const StagedFile& file, StoreFailure& failure) {
    int source = ::open(file.path.c_str(), O_RDONLY | O_CLOEXEC);
    if (source < 0) {
        failure = failure_of("cannot read " + file.path.string(), errno);
        return 0;
    }
    Oid oid = lo_creat(conn, INV_READ | INV_WRITE);
    int object = oid ? lo_open(conn, oid, INV_WRITE) : -1;
    bool ok = object >= 0;
    std::vector<char> piece(piece_size);
    while (ok) {
        ssize_t n = ::read(source, piece.data(), piece.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            failure = failure_of("cannot read " + file.path.string(), errno);
            ::close(source);
            return 0;
        }
        if (n == 0) break;
        ok = lo_write(conn, object, piece.data(), static_cast<std::size_t>(n)) == n;
    }
    ::close(source);
    if (ok) ok = lo_close(conn, object) == 0;
    if (!ok) {
        failure = StoreFailure{conn_error(conn, "cannot copy a picture into the database"), is_disk_full(conn, nullptr)};
        return 0;
    }
    return oid;
}

std::filesystem::path cached_path(const PostgresStore& store, std::int64_t picture_id) {
    return store.cache_dir / std::to_string(picture_id);
}

// Copies a picture's bytes out of the database into the local cache; stored pictures never change,
// so a cached copy is good for as long as it exists.
std::optional<std::string> fill_cache(PGconn* conn, const PostgresStore& store, std::int64_t picture_id, Oid oid) {
    static std::atomic<std::uint64_t> counter{0};
    std::filesystem::path target = cached_path(store, picture_id);
    char name[80];
    std::snprintf(name, sizeof name, "%lld-%d-%llu.part", static_cast<long long>(picture_id), static_cast<int>(::getpid()),
                  static_cast<unsigned long long>(++counter));
    std::filesystem::path part = store.cache_dir / name;
    std::string error;
    if (!run_plain(conn, "BEGIN", error)) return error;
    int object = lo_open(conn, oid, INV_READ);
    if (object < 0) return conn_error(conn, "cannot open a picture in the database");
    int out = ::open(part.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (out < 0) return failure_of("cannot create " + part.string(), errno).detail;
    std::vector<char> piece(piece_size);
    std::optional<std::string> failed;
    for (;;) {
        int n = lo_read(conn, object, piece.data(), piece.size());
        if (n < 0) {
            failed = conn_error(conn, "cannot read a picture from the database");
            break;
        }
        if (n == 0) break;
        if (::write(out, piece.data(), static_cast<std::size_t>(n)) != n) {
            failed = failure_of("cannot write " + part.string(), errno ? errno : ENOSPC).detail;
            break;
        }
    }
    if (::close(out) != 0 && !failed) failed = failure_of("cannot write " + part.string(), errno).detail;
    lo_close(conn, object);
    run_plain(conn, "COMMIT", error);
    if (!failed && ::rename(part.c_str(), target.c_str()) != 0)
        failed = failure_of("cannot place " + target.string(), errno).detail;
    if (failed) ::unlink(part.c_str());
    return failed;
}

// Picture ids are only unique within one database: a cache filled from another one (the data
// folder pointed at a new database, say) is emptied before it could serve a wrong picture.
std::optional<std::string> claim_cache(PGconn* conn, const std::filesystem::path& cache_dir) {
    std::string error;
    Result identity = run(conn, "SELECT id FROM store_identity", {}, error, "cannot read the store's identity");
    if (!identity || PQntuples(identity.get()) != 1) return error.empty() ? "the store has no identity" : error;
    std::string id = PQgetvalue(identity.get(), 0, 0);
    std::filesystem::path marker = cache_dir / "store-identity";
    std::ifstream in(marker);
    std::string cached_for;
    std::getline(in, cached_for);
    if (cached_for == id) return std::nullopt;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(cache_dir, ec)) std::filesystem::remove(entry.path(), ec);
    std::ofstream out(marker, std::ios::trunc);
    out << id << "\n";
    out.close();
    if (!out) return "cannot write " + marker.string();
    return std::nullopt;
}

}  // namespace

std::optional<std::string> postgres_open(const std::string& conninfo, const std::filesystem::path& data_dir,
                                         GalleryStore& store) {
    auto pg = std::make_shared<PostgresStore>();
    pg->conninfo = conninfo;
    pg->cache_dir = data_dir / "cache";
    store = GalleryStore{};
    store.picture_dir = data_dir / "incoming";
    std::error_code ec;
    for (const auto& dir : {store.picture_dir, pg->cache_dir}) {
        std::filesystem::create_directories(dir, ec);
        if (ec) return "cannot create " + dir.string() + ": " + ec.message();
    }
    // The sweep below would remove another instance's staged uploads: each instance needs its own folder.
    std::filesystem::path lock_path = data_dir / "instance.lock";
    pg->folder_lock = ::open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (pg->folder_lock < 0) return failure_of("cannot create " + lock_path.string(), errno).detail;
    if (::flock(pg->folder_lock, LOCK_EX | LOCK_NB) != 0)
        return "another gallery-server uses " + data_dir.string() + "; give each instance its own --data folder";
    remove_partial_files(store.picture_dir);
    remove_partial_files(pg->cache_dir);

    std::string error;
    OwnedConn conn = connect(conninfo, error);
    if (!conn) return error;
    if (auto failed = migrate(conn.get())) return failed;
    if (auto failed = claim_cache(conn.get(), pg->cache_dir)) return failed;
    pg->idle.push_back(conn.release());
    store.postgres = std::move(pg);
    return std::nullopt;
}

StoreReport postgres_check(const std::string& conninfo) {
    StoreReport report;
    std::string error;
    OwnedConn conn = connect(conninfo, error);
    if (!conn) {
        report.text = "store: PostgreSQL\nstate: unreachable: " + error + "\n";
        return report;
    }
    report.text = "store: PostgreSQL, database " + std::string(PQdb(conn.get())) + " as " + PQuser(conn.get()) +
                  " on " + (PQhost(conn.get()) ? PQhost(conn.get()) : "") + ":" + PQport(conn.get()) + "\n";
    int version = schema_version(conn.get(), error);
    if (version < 0) {
        report.text += "state: unreadable: " + error + "\n";
        return report;
    }
    report.text += "schema: version " + std::to_string(version) + " (this gallery writes " +
                   std::to_string(current_version()) + ")\n";
    if (version == 0) {
        report.text += "state: no gallery schema yet; the first start makes it\n";
        return report;
    }
    if (version > current_version()) {
        report.text += "state: " + newer_schema(version) + "\n";
        return report;
    }
    Result counts = run(conn.get(),
                        "SELECT (SELECT count(*) FROM albums), count(*), coalesce(sum(size), 0), "
                        "count(*) FILTER (WHERE NOT EXISTS "
                        "(SELECT 1 FROM pg_largeobject_metadata m WHERE m.oid = p.bytes)) FROM pictures p",
                        {}, error, "cannot count the albums");
    if (!counts) {
        report.text += "state: unreadable: " + error + "\n";
        return report;
    }
    std::int64_t missing = number_at(counts.get(), 0, 3);
    report.text += "albums: " + std::string(PQgetvalue(counts.get(), 0, 0)) + ", pictures: " +
                   PQgetvalue(counts.get(), 0, 1) + ", bytes: " + PQgetvalue(counts.get(), 0, 2) + "\n";
    report.text += "pictures missing their bytes: " + std::to_string(missing) + "\n";
    report.healthy = version == current_version() && missing == 0;
    report.text += report.healthy ? "state: ok\n" : "state: damaged\n";
    return report;
}

std::uint64_t postgres_stored_bytes(const GalleryStore& store, std::string& error) {
    Lease conn(*store.postgres, error);
    if (!conn) return 0;
    Result sum = run(conn.get(), "SELECT coalesce(sum(size), 0) FROM pictures", {}, error, "cannot sum the pictures");
    return sum ? static_cast<std::uint64_t>(number_at(sum.get(), 0, 0)) : 0;
}

std::int64_t postgres_store_album(const GalleryStore& store, NewAlbum& album, StoreFailure& failure) {
    std::string error;
    Lease conn(*store.postgres, error);
    if (!conn) {
        failure = StoreFailure{error, false};
        return 0;
    }
    // Everything below is one transaction: large objects made in it vanish with a rollback too.
    auto fail = [&](const char* what, PGresult* result = nullptr) {
        if (failure.detail.empty()) failure = StoreFailure{conn_error(conn.get(), what), is_disk_full(conn.get(), result)};
        return std::int64_t{0};
    };
    if (!run_plain(conn.get(), "BEGIN", error)) return fail("cannot start the album");
    Result inserted = run(conn.get(),
                          "INSERT INTO albums (options, switch_word, client, title) VALUES ($1, $2, $3, $4) RETURNING id",
                          {storable_text(album.options), storable_text(album.switch_word), storable_text(album.client),
                           storable_text(album.title)},
                          error, "cannot add the album");
    if (!inserted) return fail("cannot add the album");
    std::int64_t album_id = number_at(inserted.get(), 0, 0);
    for (std::size_t i = 0; i < album.pictures.size(); ++i) {
        const NewPicture& picture = album.pictures[i];
        Oid oid = copy_into_database(conn.get(), picture.file, failure);
        if (oid == 0) return fail("cannot copy a picture into the database");
        if (!run(conn.get(),
                 "INSERT INTO pictures (album_id, position, name, content_type, size, bytes) "
                 "VALUES ($1, $2, $3, $4, $5, $6)",
                 {std::to_string(album_id), std::to_string(i), storable_text(picture.name), picture.content_type,
                  std::to_string(picture.file.size), std::to_string(oid)},
                 error, "cannot add a picture"))
            return fail("cannot add a picture");
    }
    Result committed(PQexec(conn.get(), "COMMIT"));
    if (!committed || PQresultStatus(committed.get()) != PGRES_COMMAND_OK)
        return fail("cannot commit the album", committed.get());
    return album_id;
}

std::optional<StoredAlbum> postgres_load_album(const GalleryStore& store, std::int64_t album_id, std::string& error) {
    error.clear();
    Lease conn(*store.postgres, error);
    if (!conn) return std::nullopt;
    std::string id = std::to_string(album_id);
    // An album and its pictures are committed together and never change, so two reads agree.
    Result head = run(conn.get(),
                      "SELECT to_char(created, 'YYYY-MM-DD HH24:MI:SS'), options, switch_word, title FROM albums WHERE id = $1",
                      {id}, error, "cannot read the album");
    if (!head || PQntuples(head.get()) == 0) return std::nullopt;
    StoredAlbum album;
    album.id = album_id;
    album.created = PQgetvalue(head.get(), 0, 0);
    album.options = PQgetvalue(head.get(), 0, 1);
    album.switch_word = PQgetvalue(head.get(), 0, 2);
    album.title = PQgetvalue(head.get(), 0, 3);
    Result rows = run(conn.get(),
                      "SELECT id, name, content_type, size FROM pictures WHERE album_id = $1 ORDER BY position", {id},
                      error, "cannot read the album's pictures");
    if (!rows) return std::nullopt;
    for (int r = 0; r < PQntuples(rows.get()); ++r)
        album.pictures.push_back(StoredPicture{number_at(rows.get(), r, 0), PQgetvalue(rows.get(), r, 1),
                                               PQgetvalue(rows.get(), r, 2),
                                               static_cast<std::uint64_t>(number_at(rows.get(), r, 3))});
    return album;
}

namespace {

std::optional<StoredPicture> picture_row(PGconn* conn, std::int64_t picture_id, Oid& oid, std::string& error) {
    Result row = run(conn, "SELECT name, content_type, size, bytes FROM pictures WHERE id = $1",
                     {std::to_string(picture_id)}, error, "cannot read the picture");
    if (!row || PQntuples(row.get()) == 0) return std::nullopt;
    oid = static_cast<Oid>(std::strtoul(PQgetvalue(row.get(), 0, 3), nullptr, 10));
    return StoredPicture{picture_id, PQgetvalue(row.get(), 0, 0), PQgetvalue(row.get(), 0, 1),
                         static_cast<std::uint64_t>(number_at(row.get(), 0, 2))};
}

}  // namespace

std::optional<StoredPicture> postgres_load_picture(const GalleryStore& store, std::int64_t picture_id,
                                                   std::string& error) {
    error.clear();
    Lease conn(*store.postgres, error);
    if (!conn) return std::nullopt;
    Oid oid = 0;
    return picture_row(conn.get(), picture_id, oid, error);
}

int postgres_open_picture(const GalleryStore& store, std::int64_t picture_id, StoredPicture& picture,
                          std::string& error) {
    error.clear();
    Lease conn(*store.postgres, error);
    if (!conn) return -1;
    Oid oid = 0;
    auto row = picture_row(conn.get(), picture_id, oid, error);
    if (!row) return -1;
    picture = *row;
    std::filesystem::path cached = cached_path(*store.postgres, picture_id);
    int fd = ::open(cached.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (auto failed = fill_cache(conn.get(), *store.postgres, picture_id, oid)) {
            error = *failed;
            return -1;
        }
        fd = ::open(cached.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) error = failure_of("cannot open " + cached.string(), errno).detail;
    }
    return fd;
}
