// The PostgreSQL backend of gallery_store.h: albums, pictures and picture bytes (large objects) in
// one shared database, so every instance serves every album and an album commits all or nothing.
// Parameters always travel apart from the SQL text. Every wait for the database is bounded: the
// connection runs non-blocking and each statement gets a deadline, since a stopped server or a
// silent network would otherwise hold a disk thread for ever.
#include "store_backends.h"

#include "album_keys.h"
#include "thumbnails.h"

#include <libpq-fe.h>
#include <poll.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <list>
#include <map>
#include <set>
#include <mutex>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// Picture bytes move between the database and files in pieces of this size, so memory stays flat.
constexpr std::size_t piece_size = 1 << 20;
// Taken while the schema is created or migrated, so two instances starting at once take turns.
constexpr const char* schema_lock_key = "7163206539";
// Taken shared by every album commit and exclusively by the sweep of unreferenced picture bytes,
// so the sweep never removes bytes an album is about to reference.
constexpr const char* sweep_lock_key = "7163206540";
// Taken by the instance expiring old albums, so only one does at a time.
constexpr const char* expiry_lock_key = "7163206541";
// The sweep removes at most this many objects per transaction (each takes a lock until the commit).
constexpr int sweep_batch = 500;

struct ResultClear {
    void operator()(PGresult* result) const { PQclear(result); }
};
using Result = std::unique_ptr<PGresult, ResultClear>;

struct ConnFinish {
    void operator()(PGconn* conn) const { PQfinish(conn); }
};
using OwnedConn = std::unique_ptr<PGconn, ConnFinish>;

std::string conn_error(PGconn* conn, const std::string& what) {
    std::string message = PQerrorMessage(conn);
    while (!message.empty() && (message.back() == '\n' || message.back() == ' ')) message.pop_back();
    return what + ": " + message;
}

// What a failed statement means for the caller: a full disk (507), a database that does not answer
// or is not accepting work right now (503), or anything else.
StoreFailure failure_from(PGconn* conn, PGresult* result, const std::string& what) {
    StoreFailure failure{conn_error(conn, what), false, false};
    const char* state = result ? PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
    std::string code = state ? state : "";
    failure.out_of_space = code == "53100" || (!state && std::strstr(PQerrorMessage(conn), "No space left"));
    // 08: connection exception, 57014: statement timeout, 55P03: lock timeout, 57P0x: shutting down or starting.
    failure.unavailable = PQstatus(conn) != CONNECTION_OK || code.starts_with("08") || code == "57014" ||
                          code == "55P03" || code.starts_with("57P");
    return failure;
}

StoreFailure timed_out(const std::string& what, std::chrono::milliseconds wait) {
    return StoreFailure{what + ": the database did not answer within " + std::to_string(wait.count()) + " ms", false,
                        true};
}

// A statement parameter: text (NUL-terminated) or raw bytes.
struct Param {
    const char* data;
    int length;
    int format;
    Param(const std::string& text) : data(text.c_str()), length(0), format(0) {}
    static Param bytes(std::string_view raw) { return Param(raw.data(), static_cast<int>(raw.size()), 1); }

private:
    Param(const char* d, int l, int f) : data(d), length(l), format(f) {}
};

// Waits for the socket until `deadline`; false when the time is up.
bool wait_socket(PGconn* conn, short events, Clock::time_point deadline) {
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return false;
        pollfd p{PQsocket(conn), events, 0};
        int n = ::poll(&p, 1, static_cast<int>(std::min<long long>(left, 60000)));
        if (n > 0) return true;
        if (n < 0 && errno != EINTR) return true;  // let libpq report the socket's state
    }
}

// Hands everything libpq holds for the database to it by `deadline`.
bool flush_all(PGconn* conn, Clock::time_point deadline, std::chrono::milliseconds wait, StoreFailure& failure,
               const char* what) {
    for (int flushed; (flushed = PQflush(conn)) != 0;) {
        if (flushed < 0 || !wait_socket(conn, POLLIN | POLLOUT, deadline)) {
            failure = flushed < 0 ? failure_from(conn, nullptr, what) : timed_out(what, wait);
            return false;
        }
        if (!PQconsumeInput(conn)) {
            failure = failure_from(conn, nullptr, what);
            return false;
        }
    }
    return true;
}

// Queues one statement in libpq with the extended protocol (the one a pipeline takes).
bool send_params(PGconn* conn, const char* sql, const std::vector<Param>& params, bool binary_result) {
    std::vector<const char*> values;
    std::vector<int> lengths, formats;
    for (const Param& p : params) {
        values.push_back(p.data);
        lengths.push_back(p.length);
        formats.push_back(p.format);
    }
    return PQsendQueryParams(conn, sql, static_cast<int>(values.size()), nullptr, values.data(), lengths.data(),
                             formats.data(), binary_result ? 1 : 0) == 1;
}

// Sends one statement without waiting for its answer; false with `failure` set when it could not
// be handed to the database by `deadline`.
bool send_statement(PGconn* conn, Clock::time_point deadline, std::chrono::milliseconds wait, const char* sql,
                    const std::vector<Param>& params, StoreFailure& failure, const char* what, bool binary_result) {
    // Without parameters the simple protocol runs, which takes several statements in one text.
    bool sent = params.empty() && !binary_result ? PQsendQuery(conn, sql) == 1
                                                 : send_params(conn, sql, params, binary_result);
    if (!sent) {
        failure = failure_from(conn, nullptr, what);
        return false;
    }
    return flush_all(conn, deadline, wait, failure, what);
}

// The answer to the statement sent last, read by `deadline`; null with `failure` set.
Result collect_result(PGconn* conn, Clock::time_point deadline, std::chrono::milliseconds wait, StoreFailure& failure,
                      const char* what) {
    Result last;
    for (;;) {
        while (PQisBusy(conn)) {
            if (!wait_socket(conn, POLLIN, deadline)) {
                failure = timed_out(what, wait);
                return nullptr;
            }
            if (!PQconsumeInput(conn)) {
                failure = failure_from(conn, nullptr, what);
                return nullptr;
            }
        }
        PGresult* next = PQgetResult(conn);
        if (!next) break;
        last.reset(next);
    }
    ExecStatusType status = last ? PQresultStatus(last.get()) : PGRES_FATAL_ERROR;
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
        failure = failure_from(conn, last.get(), what);
        return nullptr;
    }
    return last;
}

// Runs one statement within `wait`; null with `failure` set when it failed or did not answer in
// time. A connection left waiting is discarded by its lease (its transaction status stays active).
Result run(PGconn* conn, std::chrono::milliseconds wait, const char* sql, const std::vector<Param>& params,
           StoreFailure& failure, const char* what, bool binary_result = false) {
    auto deadline = Clock::now() + wait;
    if (!send_statement(conn, deadline, wait, sql, params, failure, what, binary_result)) return nullptr;
    return collect_result(conn, deadline, wait, failure, what);
}

bool run_plain(PGconn* conn, std::chrono::milliseconds wait, const char* sql, StoreFailure& failure) {
    return run(conn, wait, sql, {}, failure, sql) != nullptr;
}

std::int64_t number_at(PGresult* result, int row, int column) {
    return std::strtoll(PQgetvalue(result, row, column), nullptr, 10);
}

// Connects with every wait bounded: the connection itself, each statement and lock on the server,
// and TCP keepalives so a silent network is noticed. Settings in `conninfo` win over these.
OwnedConn connect(const std::string& conninfo, std::chrono::milliseconds wait, StoreFailure& failure) {
    auto seconds = std::to_string(std::max<long long>(2, (wait.count() + 999) / 1000));
    auto probe = std::to_string(std::max<long long>(1, wait.count() / 3000));
    std::string ms = std::to_string(wait.count());
    const char* keys[] = {"connect_timeout", "keepalives", "keepalives_idle", "keepalives_interval",
                          "keepalives_count", "tcp_user_timeout", "dbname", nullptr};
    const char* values[] = {seconds.c_str(), "1", probe.c_str(), probe.c_str(), "3", ms.c_str(), conninfo.c_str(), nullptr};
    OwnedConn conn(PQconnectdbParams(keys, values, 1));
    if (!conn || PQstatus(conn.get()) != CONNECTION_OK) {
        failure = StoreFailure{conn ? conn_error(conn.get(), "cannot connect to the database")
                                    : "cannot connect to the database",
                               false, true};
        return nullptr;
    }
    // Server notices ("already exists, skipping") are not the gallery's to print.
    PQsetNoticeProcessor(conn.get(), [](void*, const char*) {}, nullptr);
    if (PQsetnonblocking(conn.get(), 1) != 0) {
        failure = StoreFailure{conn_error(conn.get(), "cannot set up the database connection"), false, false};
        return nullptr;
    }
    // Timestamps come back in UTC whatever the server's setting; the server ends what waits too long.
    std::string setup = "SET TIME ZONE 'UTC'; SET statement_timeout = " + ms + "; SET lock_timeout = " + ms;
    if (!run_plain(conn.get(), wait, setup.c_str(), failure)) return nullptr;
    return conn;
}

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
        // Picture bytes go into the database while the upload still arrives; until an album
        // references them they are listed here, so the sweep knows how long they have waited.
        R"sql(
CREATE TABLE staged_objects (
    oid oid PRIMARY KEY,
    staged timestamptz NOT NULL DEFAULT now()
);
CREATE INDEX pictures_by_bytes ON pictures(bytes);
)sql",
        "ALTER TABLE albums ADD COLUMN title text NOT NULL DEFAULT ''",
        // Keys are given in the same transaction (give_albums_keys), from this program's generator.
        R"sql(
ALTER TABLE albums ADD COLUMN key text UNIQUE, ADD COLUMN owner_hash text NOT NULL DEFAULT '',
    ADD COLUMN uploader text NOT NULL DEFAULT '', ADD COLUMN revision bigint NOT NULL DEFAULT 1,
    ADD COLUMN deleted boolean NOT NULL DEFAULT false, ADD COLUMN legacy boolean NOT NULL DEFAULT false;
UPDATE albums SET legacy = true;
ALTER TABLE pictures ADD COLUMN number bigint;
UPDATE pictures p SET number = n.number FROM (SELECT id, row_number() OVER (PARTITION BY album_id
    ORDER BY position, id) AS number FROM pictures) n WHERE p.id = n.id;
ALTER TABLE pictures ALTER COLUMN number SET NOT NULL;
CREATE UNIQUE INDEX pictures_by_number ON pictures(album_id, number);
)sql",
    };
    return steps;
}

int current_version() { return static_cast<int>(migrations().size()); }

// The version whose albums get keys.
constexpr int keys_version = 4;

// Gives every album without a key one, in the migration's transaction.
bool give_albums_keys(PGconn* conn, std::chrono::milliseconds wait, StoreFailure& failure) {
    Result rows = run(conn, wait, "SELECT id FROM albums WHERE key IS NULL", {}, failure, "cannot list the albums");
    if (!rows) return false;
    std::string ids = "{", keys = "{";
    for (int r = 0; r < PQntuples(rows.get()); ++r) {
        if (r > 0) {
            ids += ',';
            keys += ',';
        }
        ids += PQgetvalue(rows.get(), r, 0);
        keys += new_album_key();  // base64url: nothing to quote in an array literal
    }
    ids += '}';
    keys += '}';
    return run(conn, wait,
               "UPDATE albums a SET key = k.key FROM unnest($1::bigint[], $2::text[]) AS k(id, key) WHERE a.id = k.id",
               {ids, keys}, failure, "cannot give the albums keys") &&
           run_plain(conn, wait, "ALTER TABLE albums ALTER COLUMN key SET NOT NULL", failure);
}

// The schema version in the database; 0 when it has none yet, -1 with `failure` set.
int schema_version(PGconn* conn, std::chrono::milliseconds wait, StoreFailure& failure) {
    Result exists = run(conn, wait, "SELECT to_regclass('gallery_schema') IS NOT NULL", {}, failure,
                        "cannot read the schema");
    if (!exists) return -1;
    if (std::string(PQgetvalue(exists.get(), 0, 0)) != "t") return 0;
    Result version = run(conn, wait, "SELECT max(version) FROM gallery_schema", {}, failure,
                         "cannot read the schema version");
    if (!version) return -1;
    return PQgetisnull(version.get(), 0, 0) ? 0 : static_cast<int>(number_at(version.get(), 0, 0));
}

std::string newer_schema(int version) {
    return "the database's schema is version " + std::to_string(version) + "; this gallery knows versions up to " +
           std::to_string(current_version());
}

// Brings the schema to the current version under an advisory lock, one step per transaction. The
// lock may be held by another instance migrating, so its wait is not the statement bound.
std::optional<std::string> migrate(PGconn* conn, std::chrono::milliseconds wait) {
    StoreFailure failure;
    constexpr std::chrono::minutes migration_wait{10};
    if (!run_plain(conn, wait, "SET lock_timeout = 0; SET statement_timeout = 0", failure) ||
        !run(conn, migration_wait, "SELECT pg_advisory_lock($1::bigint)", {std::string(schema_lock_key)}, failure,
             "cannot lock the schema"))
        return failure.detail;
    auto migrated = [&]() -> std::optional<std::string> {
        if (!run_plain(conn, migration_wait, "CREATE TABLE IF NOT EXISTS gallery_schema (version integer NOT NULL)",
                       failure))
            return failure.detail;
        int version = schema_version(conn, wait, failure);
        if (version < 0) return failure.detail;
        if (version > current_version()) return newer_schema(version);
        for (int step = version; step < current_version(); ++step) {
            if (!run_plain(conn, wait, "BEGIN", failure)) return failure.detail;
            if (!run_plain(conn, migration_wait, migrations()[static_cast<std::size_t>(step)], failure) ||
                (step + 1 == keys_version && !give_albums_keys(conn, migration_wait, failure)) ||
                !run(conn, wait, "INSERT INTO gallery_schema (version) VALUES ($1)", {std::to_string(step + 1)},
                     failure, "cannot record the schema version") ||
                !run_plain(conn, wait, "COMMIT", failure)) {
                StoreFailure ignored;
                run_plain(conn, wait, "ROLLBACK", ignored);
                return "cannot migrate the schema to version " + std::to_string(step + 1) + ": " + failure.detail;
            }
        }
        return std::nullopt;
    }();
    StoreFailure ignored;
    run(conn, wait, "SELECT pg_advisory_unlock($1::bigint)", {std::string(schema_lock_key)}, ignored,
        "cannot unlock the schema");
    std::string ms = std::to_string(wait.count());
    std::string bounds = "SET statement_timeout = " + ms + "; SET lock_timeout = " + ms;
    if (!run_plain(conn, wait, bounds.c_str(), failure) && !migrated) return failure.detail;
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

// A row of (id, name, content_type, size, number).
StoredPicture picture_at(PGresult* rows, int r) {
    return StoredPicture{number_at(rows, r, 0), PQgetvalue(rows, r, 1), PQgetvalue(rows, r, 2),
                         static_cast<std::uint64_t>(number_at(rows, r, 3)), number_at(rows, r, 4)};
}

// Every picture id in the store, to tell which copies in this instance's folders are orphans.
std::optional<std::set<std::int64_t>> picture_ids(PGconn* conn, std::chrono::milliseconds wait, StoreFailure& failure) {
    Result rows = run(conn, wait, "SELECT id FROM pictures", {}, failure, "cannot list the pictures");
    if (!rows) return std::nullopt;
    std::set<std::int64_t> owned;
    for (int r = 0; r < PQntuples(rows.get()); ++r) owned.insert(number_at(rows.get(), r, 0));
    return owned;
}

std::string oid_array(const std::vector<NewPicture>& pictures) {
    std::string list = "{";
    for (const NewPicture& picture : pictures) {
        if (list.size() > 1) list += ',';
        list += std::to_string(picture.file.object);
    }
    return list + "}";
}

// A picture copied out of the database into this instance's cache, with its row, so a cached
// picture is served without the database.
struct CacheEntry {
    StoredPicture picture;
    std::uint64_t charge = 0;             // disk bytes it takes
    std::list<std::int64_t>::iterator use;  // its place in the recency list
};

struct PostgresBackend;
void give_back(PostgresBackend& backend, OwnedConn conn);

}  // namespace

// A staged file on its way into a large object, in a transaction of its own on a connection it
// holds in pipeline mode: its statements are queued and their answers read later, so the database
// works while the network does. Uncommitted, the object is seen by no one, the sweep included, and
// a connection cut by a crash takes it away with its transaction.
struct StagedStream {
    StagedStream(PostgresBackend& b, OwnedConn c, std::atomic<std::uint64_t>& count)
        : backend(b), conn(std::move(c)), streams(count) {
        ++streams;
    }
    StagedStream(const StagedStream&) = delete;
    StagedStream& operator=(const StagedStream&) = delete;
    // May run on the network thread: a connection with work under way is closed, never waited for.
    ~StagedStream() {
        --streams;
        if (conn && queued == 0 && PQexitPipelineMode(conn.get()) == 1 && PQstatus(conn.get()) == CONNECTION_OK &&
            PQtransactionStatus(conn.get()) == PQTRANS_IDLE)
            give_back(backend, std::move(conn));
    }

    PostgresBackend& backend;
    OwnedConn conn;
    std::atomic<std::uint64_t>& streams;
    Oid oid = 0;
    std::uint64_t sent = 0;  // bytes of the file queued for the database
    int queued = 0;          // statements whose answers are not read yet
    int oid_answer = -1;     // which of them answers with the object's oid
    bool committing = false; // its commit is queued
};

namespace {

// A connection borrowed from the pool for one piece of work, returned when done unless it broke.
class Lease {
public:
    Lease(PostgresBackend& backend, StoreFailure& failure);
    ~Lease();
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;
    PGconn* get() const { return conn_.get(); }
    explicit operator bool() const { return conn_ != nullptr; }
    OwnedConn release() { return std::move(conn_); }

private:
    PostgresBackend& backend_;
    OwnedConn conn_;
};

struct PostgresBackend final : StoreBackend {
    std::string conninfo;
    StoreBudgets budgets;
    std::filesystem::path staging_dir;  // DATA/incoming
    std::filesystem::path cache_dir;    // DATA/cache: pictures copied out of the database, by id
    std::filesystem::path derived_dir;  // DATA/derived: this instance's thumbnails
    int folder_lock = -1;               // held for the process's life: one instance per data folder

    std::mutex pool_lock;
    std::vector<OwnedConn> idle;        // connections not in use; at most one per disk thread and the sweep

    std::mutex cache_lock;
    std::map<std::int64_t, CacheEntry> cached;
    std::list<std::int64_t> recency;    // most recently used first
    std::uint64_t cache_used = 0;       // charges of cached pictures and of fills under way

    std::atomic<std::uint64_t> streams{0};  // staged files holding a connection (StagedStream)
    bool quick_compression = false;          // the server offers lz4 (built with it)

    std::mutex sweep_lock;
    std::condition_variable sweep_wake;
    bool stopping = false;
    std::thread sweeper;

    ~PostgresBackend() override {
        {
            std::lock_guard guard(sweep_lock);
            stopping = true;
        }
        sweep_wake.notify_all();
        if (sweeper.joinable()) sweeper.join();
        if (folder_lock >= 0) ::close(folder_lock);
    }

    std::chrono::milliseconds wait() const { return budgets.database_wait; }

    bool queue(StagedStream& stream, const char* sql, const std::vector<Param>& params, StoreFailure& failure) {
        if (!send_params(stream.conn.get(), sql, params, false)) {
            failure = failure_from(stream.conn.get(), nullptr, "cannot copy a picture into the database");
            return false;
        }
        ++stream.queued;
        return true;
    }

    // Reads the answers to what was queued. Their deadline starts now: until now the connection
    // waited for the network, not for the database.
    std::optional<StoreFailure> settle(StagedStream& stream) {
        const char* what = "cannot copy a picture into the database";
        auto deadline = Clock::now() + wait();
        PGconn* conn = stream.conn.get();
        StoreFailure failure;
        for (int answer = 0; stream.queued > 0; ++answer) {
            Result result = collect_result(conn, deadline, wait(), failure, what);
            if (!result) return failure;
            if (answer == stream.oid_answer)
                stream.oid = static_cast<Oid>(std::strtoul(PQgetvalue(result.get(), 0, 0), nullptr, 10));
            --stream.queued;
        }
        stream.oid_answer = -1;
        // The pipeline's end, where the answers stop.
        for (;;) {
            while (PQisBusy(conn)) {
                if (!wait_socket(conn, POLLIN, deadline)) return timed_out(what, wait());
                if (!PQconsumeInput(conn)) return failure_from(conn, nullptr, what);
            }
            Result end(PQgetResult(conn));
            if (!end) return failure_from(conn, nullptr, what);
            if (PQresultStatus(end.get()) == PGRES_PIPELINE_SYNC) return std::nullopt;
        }
    }

    // Queues the file's bytes not yet queued, read back from it a piece at a time: whole pieces while
    // it arrives, everything and the commit once it is finished. One batch is under way at a time.
    std::optional<StoreFailure> send_pieces(StagedFile& file, bool finishing) {
        const char* what = "cannot copy a picture into the database";
        std::string piece;
        StoreFailure failure;
        for (;;) {
            std::uint64_t unsent = file.size - (file.stream ? file.stream->sent : 0);
            if (!finishing && unsent < piece_size) return std::nullopt;
            if (finishing && file.stream && unsent == 0) {
                // Every piece went in while the file arrived; its commit is what is left.
                if (file.stream->committing) return std::nullopt;
                if (auto failed = settle(*file.stream)) return failed;
                if (!queue(*file.stream, "COMMIT", {}, failure)) return failure;
                file.stream->committing = true;
                return push(*file.stream);
            }
            std::uint64_t offset = file.stream ? file.stream->sent : 0;
            piece.resize(static_cast<std::size_t>(std::min<std::uint64_t>(piece_size, unsent)));
            for (std::size_t got = 0; got < piece.size();) {
                ssize_t n = ::pread(file.fd, piece.data() + got, piece.size() - got, static_cast<off_t>(offset + got));
                if (n < 0 && errno == EINTR) continue;
                if (n < 0) return failure_of("cannot read " + file.path.string(), errno);
                if (n == 0)
                    return StoreFailure{file.path.string() + " holds " + std::to_string(offset + got) + " bytes, not the " +
                                            std::to_string(file.size) + " received",
                                        false, false};
                got += static_cast<std::size_t>(n);
            }
            if (!file.stream) {
                Lease lease(*this, failure);
                if (!lease) return failure;
                PGconn* conn = lease.get();
                if (!PQenterPipelineMode(conn)) return failure_from(conn, nullptr, what);
                file.stream = std::make_shared<StagedStream>(*this, lease.release(), streams);
                // Its commit need not wait for the disk: the album's commit comes later in the same
                // write-ahead log and waits for everything before it, these bytes included. Each 2 KiB
                // page of a large object is offered to the compressor, and pictures do not compress:
                // lz4 gives up far sooner than the default, which took a third of the database's time.
                if (!queue(*file.stream, "BEGIN", {}, failure) ||
                    !queue(*file.stream,
                           quick_compression ? "SELECT set_config('synchronous_commit', 'off', true), "
                                               "set_config('default_toast_compression', 'lz4', true)"
                                             : "SELECT set_config('synchronous_commit', 'off', true)",
                           {}, failure))
                    return failure;
                file.stream->oid_answer = file.stream->queued;
                if (!queue(*file.stream, "INSERT INTO staged_objects (oid) SELECT lo_from_bytea(0, $1) RETURNING oid",
                           {Param::bytes(piece)}, failure))
                    return failure;
            } else {
                // The object's oid comes with the answer to its first piece.
                if (auto failed = settle(*file.stream)) return failed;
                if (!queue(*file.stream, "SELECT lo_put($1::oid, $2::bigint, $3)",
                           {std::to_string(file.stream->oid), std::to_string(offset), Param::bytes(piece)}, failure))
                    return failure;
            }
            StagedStream& stream = *file.stream;
            stream.sent += piece.size();
            if (finishing && stream.sent == file.size) {
                if (!queue(stream, "COMMIT", {}, failure)) return failure;
                stream.committing = true;
            }
            if (auto failed = push(stream)) return failed;
        }
    }

    // Ends the batch queued and hands it to the database.
    std::optional<StoreFailure> push(StagedStream& stream) {
        const char* what = "cannot copy a picture into the database";
        StoreFailure failure;
        if (!PQpipelineSync(stream.conn.get())) return failure_from(stream.conn.get(), nullptr, what);
        if (!flush_all(stream.conn.get(), Clock::now() + wait(), wait(), failure, what)) return failure;
        return std::nullopt;
    }

    // Queues the file's bytes as they arrive, while connections are to be had; a file left out is
    // copied in when it is finished.
    std::optional<StoreFailure> take_staged(StagedFile& file) override {
        if (!file.stream && streams.load() >= budgets.streamed_files) return std::nullopt;
        return send_pieces(file, false);
    }

    // Queues what is left of the file and its commit, and leaves them under way (settle_staged
    // reads them) while the budget allows, so the database takes this file in while the next one
    // arrives. The local copy stays until the album is stored: its header is read before the commit.
    std::optional<StoreFailure> finish_staged(StagedFile& file) override {
        auto failure = send_pieces(file, true);
        // Beyond the budget no connection waits for the network: the file goes in now.
        if (!failure && streams.load() > budgets.streamed_files) failure = settle_staged(file);
        if (file.fd >= 0) ::close(file.fd);
        file.fd = -1;
        if (failure) file.stream.reset();
        return failure;
    }

    std::optional<StoreFailure> settle_staged(StagedFile& file) override {
        if (!file.stream) return std::nullopt;
        auto failure = settle(*file.stream);
        if (!failure) file.object = file.stream->oid;
        file.stream.reset();
        return failure;
    }

    std::int64_t store_album(NewAlbum& album, StoreFailure& failure) override {
        for (NewPicture& picture : album.pictures)
            if (auto unfinished = sync_staged(picture.file)) {
                failure = *unfinished;
                return 0;
            }
        Lease conn(*this, failure);
        if (!conn) return 0;
        // Everything below is one transaction; the sweep waits for it, so the bytes checked stay.
        if (!run_plain(conn.get(), wait(), "BEGIN", failure)) return 0;
        std::string objects = oid_array(album.pictures);
        if (!run(conn.get(), wait(), "SELECT pg_advisory_xact_lock_shared($1::bigint)", {std::string(sweep_lock_key)},
                 failure, "cannot hold off the sweep"))
            return 0;
        Result present = run(conn.get(), wait(),
                             "SELECT count(DISTINCT oid) = cardinality(array(SELECT DISTINCT unnest($1::oid[]))) "
                             "FROM pg_largeobject_metadata WHERE oid = ANY($1::oid[])",
                             {objects}, failure, "cannot find the album's pictures in the database");
        if (!present) return 0;
        if (std::string(PQgetvalue(present.get(), 0, 0)) != "t") {
            failure = StoreFailure{"the album's picture bytes were removed before it was stored (an upload that "
                                   "took longer than the orphan grace period)",
                                   false, false};
            return 0;
        }
        if (album.key.empty()) album.key = new_album_key();
        Result inserted = run(conn.get(), wait(),
                              "INSERT INTO albums (options, switch_word, client, title, key, owner_hash, uploader) "
                              "VALUES ($1, $2, $3, $4, $5, $6, $7) RETURNING id",
                              {storable_text(album.options), storable_text(album.switch_word), storable_text(album.client),
                               storable_text(album.title), storable_text(album.key), storable_text(album.owner_hash),
                               storable_text(album.uploader)},
                              failure, "cannot add the album");
        if (!inserted) return 0;
        std::int64_t album_id = number_at(inserted.get(), 0, 0);
        for (std::size_t i = 0; i < album.pictures.size(); ++i) {
            const NewPicture& picture = album.pictures[i];
            if (!run(conn.get(), wait(),
                     "INSERT INTO pictures (album_id, position, name, content_type, size, bytes, number) "
                     "VALUES ($1, $2, $3, $4, $5, $6, $7)",
                     {std::to_string(album_id), std::to_string(i), storable_text(picture.name), picture.content_type,
                      std::to_string(picture.file.size), std::to_string(picture.file.object), std::to_string(i + 1)},
                     failure, "cannot add a picture"))
                return 0;
        }
        if (!run(conn.get(), wait(), "DELETE FROM staged_objects WHERE oid = ANY($1::oid[])", {objects}, failure,
                 "cannot add the album") ||
            !run_plain(conn.get(), wait(), "COMMIT", failure))
            return 0;
        return album_id;
    }

    std::uint64_t stored_bytes(StoreFailure& failure) override {
        Lease conn(*this, failure);
        if (!conn) return 0;
        std::string sql = "SELECT coalesce(sum(" + charged_bytes_sql("size") + "), 0) FROM pictures";
        Result sum = run(conn.get(), wait(), sql.c_str(), {}, failure, "cannot sum the pictures");
        return sum ? static_cast<std::uint64_t>(number_at(sum.get(), 0, 0)) : 0;
    }

    std::optional<StoredAlbum> load_album(std::int64_t album_id, StoreFailure& failure) override {
        Lease conn(*this, failure);
        if (!conn) return std::nullopt;
        std::string id = std::to_string(album_id);
        // One snapshot, so a picture removed meanwhile is not listed under the revision before it.
        if (!run_plain(conn.get(), wait(), "BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY", failure)) return std::nullopt;
        Result head = run(conn.get(), wait(),
                          "SELECT to_char(created, 'YYYY-MM-DD HH24:MI:SS'), options, switch_word, title, key, "
                          "owner_hash, uploader, client, revision, deleted, legacy FROM albums WHERE id = $1",
                          {id}, failure, "cannot read the album");
        if (!head || PQntuples(head.get()) == 0) return std::nullopt;
        StoredAlbum album;
        album.id = album_id;
        album.created = PQgetvalue(head.get(), 0, 0);
        album.options = PQgetvalue(head.get(), 0, 1);
        album.switch_word = PQgetvalue(head.get(), 0, 2);
        album.title = PQgetvalue(head.get(), 0, 3);
        album.key = PQgetvalue(head.get(), 0, 4);
        album.owner_hash = PQgetvalue(head.get(), 0, 5);
        album.uploader = PQgetvalue(head.get(), 0, 6);
        album.client = PQgetvalue(head.get(), 0, 7);
        album.revision = number_at(head.get(), 0, 8);
        album.deleted = std::string_view(PQgetvalue(head.get(), 0, 9)) == "t";
        album.legacy = std::string_view(PQgetvalue(head.get(), 0, 10)) == "t";
        Result rows = run(conn.get(), wait(),
                          "SELECT id, name, content_type, size, number FROM pictures WHERE album_id = $1 ORDER BY position",
                          {id}, failure, "cannot read the album's pictures");
        if (!rows || !run_plain(conn.get(), wait(), "COMMIT", failure)) return std::nullopt;
        for (int r = 0; r < PQntuples(rows.get()); ++r) album.pictures.push_back(picture_at(rows.get(), r));
        return album;
    }

    std::optional<StoredPicture> picture_row(PGconn* conn, std::int64_t picture_id, Oid& oid, StoreFailure& failure) {
        Result row = run(conn, wait(), "SELECT id, name, content_type, size, number, bytes FROM pictures WHERE id = $1",
                         {std::to_string(picture_id)}, failure, "cannot read the picture");
        if (!row || PQntuples(row.get()) == 0) return std::nullopt;
        oid = static_cast<Oid>(std::strtoul(PQgetvalue(row.get(), 0, 5), nullptr, 10));
        return picture_at(row.get(), 0);
    }

    std::optional<StoredPicture> load_picture(std::int64_t picture_id, StoreFailure& failure) override {
        if (auto hit = cached_row(picture_id)) return hit;
        Lease conn(*this, failure);
        if (!conn) return std::nullopt;
        Oid oid = 0;
        return picture_row(conn.get(), picture_id, oid, failure);
    }

    std::optional<StoredPicture> cached_row(std::int64_t picture_id) {
        std::lock_guard guard(cache_lock);
        auto it = cached.find(picture_id);
        if (it == cached.end()) return std::nullopt;
        return it->second.picture;
    }

    std::filesystem::path cached_path(std::int64_t picture_id) const { return cache_dir / std::to_string(picture_id); }

    void forget(std::int64_t picture_id) {
        std::lock_guard guard(cache_lock);
        auto it = cached.find(picture_id);
        if (it == cached.end()) return;
        cache_used -= it->second.charge;
        recency.erase(it->second.use);
        cached.erase(it);
        ::unlink(cached_path(picture_id).c_str());
    }

    // A cached picture whose file is whole, opened, without asking the database.
    int open_cached(std::int64_t picture_id, StoredPicture& picture) {
        {
            std::lock_guard guard(cache_lock);
            auto it = cached.find(picture_id);
            if (it == cached.end()) return -1;
            picture = it->second.picture;
            recency.splice(recency.begin(), recency, it->second.use);
        }
        int fd = ::open(cached_path(picture_id).c_str(), O_RDONLY | O_CLOEXEC);
        struct stat info {};
        if (fd >= 0 && ::fstat(fd, &info) == 0 && static_cast<std::uint64_t>(info.st_size) == picture.size) return fd;
        // Cut short or gone: fetched again from the database.
        if (fd >= 0) ::close(fd);
        forget(picture_id);
        return -1;
    }

    bool disk_short_of(std::uint64_t size) const {
        struct statvfs disk {};
        return ::statvfs(cache_dir.c_str(), &disk) == 0 &&
               static_cast<std::uint64_t>(disk.f_bavail) * disk.f_frsize < size + budgets.cache_leaves_free;
    }

    // Makes room for `charge` more bytes by removing the pictures used longest ago, and claims it;
    // false when the picture cannot be cached (larger than the cache, or the disk is short). A disk
    // grown short (uploads, other files) gets its room back from the cache the same way.
    bool claim_cache_room(std::uint64_t size, std::uint64_t charge) {
        std::lock_guard guard(cache_lock);
        while (!recency.empty() && (cache_used + charge > budgets.cache_bytes || disk_short_of(size))) {
            std::int64_t oldest = recency.back();
            auto it = cached.find(oldest);
            cache_used -= it->second.charge;
            cached.erase(it);
            recency.pop_back();
            // A picture being sent keeps its open descriptor; the disk frees it once that closes.
            ::unlink(cached_path(oldest).c_str());
        }
        if (cache_used + charge > budgets.cache_bytes || disk_short_of(size)) return false;
        cache_used += charge;
        return true;
    }

    // Writes the picture's bytes into `out`, checking they are as many as its row says.
    std::optional<StoreFailure> copy_out(PGconn* conn, Oid oid, std::uint64_t size, int out, const std::string& where) {
        StoreFailure failure;
        for (std::uint64_t offset = 0;;) {
            Result piece = run(conn, wait(), "SELECT lo_get($1::oid, $2::bigint, $3::int)",
                               {std::to_string(oid), std::to_string(offset), std::to_string(piece_size)}, failure,
                               "cannot read a picture from the database", true);
            if (!piece) return failure;
            auto length = static_cast<std::size_t>(PQgetlength(piece.get(), 0, 0));
            const char* bytes = PQgetvalue(piece.get(), 0, 0);
            for (std::size_t done = 0; done < length;) {
                ssize_t n = ::write(out, bytes + done, length - done);
                if (n < 0 && errno == EINTR) continue;
                if (n <= 0) return failure_of("cannot write " + where, errno ? errno : ENOSPC);
                done += static_cast<std::size_t>(n);
            }
            offset += length;
            if (length < piece_size) {
                if (offset != size)
                    return StoreFailure{"picture bytes in the database (" + std::to_string(offset) +
                                            ") do not match its row (" + std::to_string(size) + ")",
                                        false, false};
                return std::nullopt;
            }
        }
    }

    int open_picture(std::int64_t picture_id, StoredPicture& picture, StoreFailure& failure) override {
        int fd = open_cached(picture_id, picture);
        if (fd >= 0) return fd;
        Lease conn(*this, failure);
        if (!conn) return -1;
        Oid oid = 0;
        auto row = picture_row(conn.get(), picture_id, oid, failure);
        if (!row) return -1;
        picture = *row;

        static std::atomic<std::uint64_t> counter{0};
        char name[80];
        std::snprintf(name, sizeof name, "%lld-%d-%llu.part", static_cast<long long>(picture_id),
                      static_cast<int>(::getpid()), static_cast<unsigned long long>(++counter));
        std::filesystem::path part = cache_dir / name;
        std::uint64_t charge = disk_blocks_bytes(picture.size);
        bool keep = claim_cache_room(picture.size, charge);
        int out = ::open(part.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (out < 0) {
            failure = failure_of("cannot create " + part.string(), errno);
        } else if (!keep) {
            // Not kept: the file has no name, and the disk gets its room back once it is sent.
            ::unlink(part.c_str());
        }
        std::optional<StoreFailure> copied = out < 0 ? std::optional(failure) : copy_out(conn.get(), oid, picture.size, out, part.string());
        // Synced before it gets its name, so a cached file is whole whatever happens to the machine.
        if (!copied && keep && ::fsync(out) != 0) copied = failure_of("cannot write " + part.string(), errno);
        if (!copied && keep && ::rename(part.c_str(), cached_path(picture_id).c_str()) != 0)
            copied = failure_of("cannot place " + cached_path(picture_id).string(), errno);
        if (copied) {
            if (out >= 0) ::close(out);
            if (keep) {
                ::unlink(part.c_str());
                std::lock_guard guard(cache_lock);
                cache_used -= charge;
            }
            failure = *copied;
            return -1;
        }
        ::lseek(out, 0, SEEK_SET);
        if (keep) {
            std::lock_guard guard(cache_lock);
            auto [it, added] = cached.try_emplace(picture_id);
            if (added) {
                it->second = CacheEntry{picture, charge, {}};
                recency.push_front(picture_id);
                it->second.use = recency.begin();
            } else {
                cache_used -= charge;  // another request cached it meanwhile, under the same name
            }
        }
        return out;
    }

    std::optional<StoredAlbum> find_album(std::string_view key, StoreFailure& failure) override {
        if (!is_album_key(key)) return std::nullopt;
        std::optional<std::int64_t> id;
        {
            Lease conn(*this, failure);
            if (!conn) return std::nullopt;
            Result row = run(conn.get(), wait(), "SELECT id FROM albums WHERE key = $1", {std::string(key)}, failure,
                             "cannot find the album");
            if (row && PQntuples(row.get()) == 1) id = number_at(row.get(), 0, 0);
        }
        return id ? load_album(*id, failure) : std::nullopt;
    }

    // Always asks the database, never the cache: an album deleted through another instance is gone here too.
    std::optional<StoredPicture> find_picture(std::string_view key, std::int64_t number, StoreFailure& failure) override {
        if (!is_album_key(key) || number <= 0) return std::nullopt;
        Lease conn(*this, failure);
        if (!conn) return std::nullopt;
        Result row = run(conn.get(), wait(),
                         "SELECT p.id, p.name, p.content_type, p.size, p.number FROM albums a JOIN pictures p "
                         "ON p.album_id = a.id WHERE a.key = $1 AND p.number = $2 AND NOT a.deleted",
                         {std::string(key), std::to_string(number)}, failure, "cannot read the picture");
        if (!row || PQntuples(row.get()) == 0) return std::nullopt;
        return picture_at(row.get(), 0);
    }

    bool rename_album(std::int64_t album_id, std::string_view title, StoreFailure& failure) override {
        Lease conn(*this, failure);
        if (!conn) return false;
        Result renamed = run(conn.get(), wait(),
                             "UPDATE albums SET title = $1, revision = revision + 1 WHERE id = $2 AND NOT deleted",
                             {storable_text(title), std::to_string(album_id)}, failure, "cannot rename the album");
        return renamed && std::string_view(PQcmdTuples(renamed.get())) != "0";
    }

    std::optional<std::vector<std::int64_t>> remove_rows(std::int64_t album_id, std::int64_t picture_id,
                                                         StoreFailure& failure) override {
        Lease conn(*this, failure);
        if (!conn) return std::nullopt;
        std::string album = std::to_string(album_id), picture = std::to_string(picture_id);
        // Rows and picture bytes go in one transaction: no picture ever lacks its bytes.
        if (!run_plain(conn.get(), wait(), "BEGIN", failure)) return std::nullopt;
        Result changed = run(conn.get(), wait(),
                             picture_id > 0 ? "UPDATE albums SET revision = revision + 1 WHERE id = $1 AND NOT deleted"
                                            : "UPDATE albums SET revision = revision + 1, deleted = true, title = '', "
                                              "owner_hash = '' WHERE id = $1 AND NOT deleted",
                             {album}, failure, "cannot change the album");
        if (!changed || std::string_view(PQcmdTuples(changed.get())) == "0") return std::nullopt;
        Result gone = run(conn.get(), wait(),
                          "WITH gone AS (DELETE FROM pictures WHERE album_id = $1 AND ($2::bigint = 0 OR id = $2::bigint) "
                          "RETURNING id, bytes) SELECT id, lo_unlink(bytes) FROM gone",
                          {album, picture}, failure, "cannot remove the pictures");
        if (!gone || (picture_id > 0 && PQntuples(gone.get()) == 0)) return std::nullopt;
        if (!run_plain(conn.get(), wait(), "COMMIT", failure)) return std::nullopt;
        std::vector<std::int64_t> removed;
        for (int r = 0; r < PQntuples(gone.get()); ++r) removed.push_back(number_at(gone.get(), r, 0));
        return removed;
    }

    void remove_files(const std::vector<std::int64_t>& picture_ids) override {
        for (std::int64_t id : picture_ids) {
            forget(id);
            ::unlink(cached_path(id).c_str());  // not indexed when opened beside a running gallery
            remove_derived_copies(derived_dir, id);
        }
    }

    std::vector<AlbumSummary> list_albums(StoreFailure& failure) override {
        std::vector<AlbumSummary> albums;
        Lease conn(*this, failure);
        if (!conn) return albums;
        Result rows = run(conn.get(), wait(),
                          "SELECT a.key, a.title, to_char(a.created, 'YYYY-MM-DD HH24:MI:SS'), count(p.id), "
                          "coalesce(sum(p.size), 0), a.uploader, a.client, a.deleted FROM albums a "
                          "LEFT JOIN pictures p ON p.album_id = a.id GROUP BY a.id ORDER BY a.id",
                          {}, failure, "cannot list the albums");
        for (int r = 0; rows && r < PQntuples(rows.get()); ++r)
            albums.push_back(AlbumSummary{PQgetvalue(rows.get(), r, 0), PQgetvalue(rows.get(), r, 1),
                                          PQgetvalue(rows.get(), r, 2), number_at(rows.get(), r, 3),
                                          static_cast<std::uint64_t>(number_at(rows.get(), r, 4)),
                                          PQgetvalue(rows.get(), r, 5), PQgetvalue(rows.get(), r, 6),
                                          std::string_view(PQgetvalue(rows.get(), r, 7)) == "t"});
        return albums;
    }

    std::vector<std::string> expire_albums(std::chrono::hours older_than, StoreFailure& failure) override {
        Lease conn(*this, failure);
        if (!conn) return {};
        // Held by this open transaction while the deletes run on other connections; however this
        // ends, the lock goes with the transaction.
        if (!run_plain(conn.get(), wait(), "BEGIN", failure)) return {};
        Result locked = run(conn.get(), wait(), "SELECT pg_try_advisory_xact_lock($1::bigint)",
                            {std::string(expiry_lock_key)}, failure, "cannot lock for the expiry");
        if (!locked || std::string_view(PQgetvalue(locked.get(), 0, 0)) != "t") return {};
        Result due = run(conn.get(), wait(),
                         "SELECT id, key FROM albums WHERE NOT deleted AND created < now() - $1::bigint * interval '1 hour' "
                         "ORDER BY id",
                         {std::to_string(older_than.count())}, failure, "cannot list the albums to expire");
        std::vector<std::pair<std::int64_t, std::string>> albums;
        for (int r = 0; due && r < PQntuples(due.get()); ++r)
            albums.emplace_back(number_at(due.get(), r, 0), PQgetvalue(due.get(), r, 1));
        return delete_each(*this, albums, failure);
    }

    std::optional<std::string> legacy_address(bool picture, std::int64_t row_id, StoreFailure& failure) override {
        Lease conn(*this, failure);
        if (!conn) return std::nullopt;
        Result row = run(conn.get(), wait(),
                         picture ? "SELECT a.key, p.number FROM pictures p JOIN albums a ON a.id = p.album_id "
                                   "WHERE p.id = $1 AND a.legacy AND NOT a.deleted"
                                 : "SELECT key, 0 FROM albums WHERE id = $1 AND legacy AND NOT deleted",
                         {std::to_string(row_id)}, failure, "cannot read the album");
        if (!row || PQntuples(row.get()) == 0) return std::nullopt;
        std::string key = PQgetvalue(row.get(), 0, 0);
        return picture ? picture_address(key, number_at(row.get(), 0, 1)) : album_address(key);
    }

    // Copies of pictures deleted through any instance: cached and derived files whose row is gone.
    void remove_orphan_copies(PGconn* conn, bool at_start) {
        StoreFailure failure;
        auto owned = picture_ids(conn, wait(), failure);
        if (!owned) return;
        std::vector<std::int64_t> stale;
        {
            std::lock_guard guard(cache_lock);
            for (const auto& [id, entry] : cached)
                if (!owned->contains(id)) stale.push_back(id);
        }
        for (std::int64_t id : stale) forget(id);
        remove_orphan_files(derived_dir, true, *owned);
        // Half-written copies are a crash's leftovers only at start; later a maker may be writing them.
        if (at_start) remove_partial_files(derived_dir);
    }

    // Cached files from an earlier run, checked against their rows: one cut short by a crash, or
    // whose row is gone, is removed. Oldest files are the first to go when the cache is over budget.
    std::optional<std::string> index_cache(PGconn* conn) {
        struct Found {
            std::int64_t id;
            std::uint64_t size;
            std::filesystem::file_time_type written;
        };
        std::vector<Found> found;
        std::error_code ec;
        for (const auto& entry : std::filesystem::directory_iterator(cache_dir, ec)) {
            std::string name = entry.path().filename().string();
            if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos || name.size() > 18) continue;
            std::error_code size_ec;
            auto size = entry.file_size(size_ec);
            auto written = entry.last_write_time(size_ec);
            if (!size_ec) found.push_back(Found{std::stoll(name), size, written});
        }
        std::sort(found.begin(), found.end(), [](const Found& a, const Found& b) { return a.written > b.written; });
        std::string ids = "{";
        for (const Found& f : found) {
            if (ids.size() > 1) ids += ',';
            ids += std::to_string(f.id);
        }
        ids += "}";
        StoreFailure failure;
        Result rows = run(conn, wait(),
                          "SELECT id, name, content_type, size, number FROM pictures WHERE id = ANY($1::bigint[])",
                          {ids}, failure, "cannot read the cached pictures' rows");
        if (!rows) return failure.detail;
        std::map<std::int64_t, StoredPicture> known;
        for (int r = 0; r < PQntuples(rows.get()); ++r) known[number_at(rows.get(), r, 0)] = picture_at(rows.get(), r);
        for (const Found& f : found) {
            auto row = known.find(f.id);
            std::uint64_t charge = disk_blocks_bytes(f.size);
            if (row == known.end() || row->second.size != f.size || cache_used + charge > budgets.cache_bytes) {
                ::unlink(cached_path(f.id).c_str());
                continue;
            }
            recency.push_back(f.id);
            cached[f.id] = CacheEntry{row->second, charge, std::prev(recency.end())};
            cache_used += charge;
        }
        return std::nullopt;
    }

    // Removes picture bytes no album references once they are older than the grace period, as
    // PostgreSQL's vacuumlo would. One instance at a time: the others find the lock taken and skip.
    void sweep() {
        StoreFailure failure;
        Lease conn(*this, failure);
        if (!conn) return;
        std::string grace = std::to_string(budgets.orphan_grace.count());
        for (;;) {
            if (!run_plain(conn.get(), wait(), "BEGIN", failure)) return;
            Result locked = run(conn.get(), wait(), "SELECT pg_try_advisory_xact_lock($1::bigint)",
                                {std::string(sweep_lock_key)}, failure, "cannot lock for the sweep");
            if (!locked || std::string(PQgetvalue(locked.get(), 0, 0)) != "t") return;
            Result removed = run(conn.get(), wait(),
                                 "SELECT count(lo_unlink(oid)) FROM (SELECT m.oid FROM pg_largeobject_metadata m "
                                 "WHERE NOT EXISTS (SELECT 1 FROM pictures p WHERE p.bytes = m.oid) "
                                 "AND NOT EXISTS (SELECT 1 FROM staged_objects s WHERE s.oid = m.oid "
                                 "AND s.staged > now() - $1::bigint * interval '1 millisecond') LIMIT $2) AS orphans",
                                 {grace, std::to_string(sweep_batch)}, failure, "cannot remove unreferenced pictures");
            if (!removed ||
                !run_plain(conn.get(), wait(),
                           "DELETE FROM staged_objects s WHERE NOT EXISTS (SELECT 1 FROM pg_largeobject_metadata m "
                           "WHERE m.oid = s.oid) OR EXISTS (SELECT 1 FROM pictures p WHERE p.bytes = s.oid)",
                           failure) ||
                !run_plain(conn.get(), wait(), "COMMIT", failure))
                return;
            if (number_at(removed.get(), 0, 0) < sweep_batch) return;
        }
    }

    void start_sweeping() {
        auto interval = std::clamp<std::chrono::milliseconds>(budgets.orphan_grace / 2, std::chrono::seconds(1),
                                                              std::chrono::hours(1));
        sweeper = std::thread([this, interval] {
            std::unique_lock guard(sweep_lock);
            while (!sweep_wake.wait_for(guard, interval, [this] { return stopping; })) {
                guard.unlock();
                sweep();
                {
                    StoreFailure failure;
                    Lease conn(*this, failure);
                    if (conn) remove_orphan_copies(conn.get(), false);
                }
                guard.lock();
            }
        });
    }
};

Lease::Lease(PostgresBackend& backend, StoreFailure& failure) : backend_(backend) {
    {
        std::lock_guard guard(backend_.pool_lock);
        if (!backend_.idle.empty()) {
            conn_ = std::move(backend_.idle.back());
            backend_.idle.pop_back();
        }
    }
    // A pooled connection may have been cut since (a database restart, say). Anything but the
    // expected answer means it is dead, even where libpq still calls it fine, so the work gets a
    // fresh connection instead of failing once. A database that does not answer at all is
    // reported as such, without waiting a second time to connect.
    if (conn_) {
        StoreFailure check;
        Result one = run(conn_.get(), backend_.wait(), "SELECT 1", {}, check, "cannot check a connection");
        bool alive = one && PQntuples(one.get()) == 1 && std::string(PQgetvalue(one.get(), 0, 0)) == "1";
        if (!alive) {
            bool silent = PQtransactionStatus(conn_.get()) == PQTRANS_ACTIVE;  // still waiting for the answer
            conn_.reset();
            if (silent) {
                failure = check;
                return;
            }
        }
    }
    if (!conn_) conn_ = connect(backend_.conninfo, backend_.wait(), failure);
}

Lease::~Lease() {
    if (!conn_) return;
    if (PQstatus(conn_.get()) == CONNECTION_OK && PQtransactionStatus(conn_.get()) == PQTRANS_INTRANS) {
        StoreFailure ignored;
        run_plain(conn_.get(), backend_.wait(), "ROLLBACK", ignored);
    }
    // Anything else (a statement still running after its wait, a failed transaction) is not reused.
    if (PQstatus(conn_.get()) != CONNECTION_OK || PQtransactionStatus(conn_.get()) != PQTRANS_IDLE) return;
    give_back(backend_, std::move(conn_));
}

void give_back(PostgresBackend& backend, OwnedConn conn) {
    std::lock_guard guard(backend.pool_lock);
    backend.idle.push_back(std::move(conn));
}

// Picture ids are only unique within one database: a cache filled from another one (the data
// folder pointed at a new database, say) is emptied before it could serve a wrong picture.
std::optional<std::string> claim_cache(PGconn* conn, std::chrono::milliseconds wait,
                                       const std::filesystem::path& cache_dir) {
    StoreFailure failure;
    Result identity = run(conn, wait, "SELECT id FROM store_identity", {}, failure, "cannot read the store's identity");
    if (!identity || PQntuples(identity.get()) != 1)
        return failure.detail.empty() ? "the store has no identity" : failure.detail;
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
                                         const StoreBudgets& budgets, GalleryStore& store, bool beside_server) {
    auto pg = std::make_shared<PostgresBackend>();
    pg->conninfo = conninfo;
    pg->budgets = budgets;
    pg->cache_dir = data_dir / "cache";
    pg->staging_dir = data_dir / "incoming";
    pg->derived_dir = derived_dir_of(data_dir);
    store = GalleryStore{};
    std::error_code ec;
    for (const auto& dir : {pg->staging_dir, pg->cache_dir}) {
        std::filesystem::create_directories(dir, ec);
        if (ec) return "cannot create " + dir.string() + ": " + ec.message();
    }
    StoreFailure failure;
    if (beside_server) {
        // The running instance owns the folder, its cache index and the sweeps; this only changes rows
        // and removes the files of what it deletes.
        OwnedConn conn = connect(conninfo, budgets.database_wait, failure);
        if (!conn) return failure.detail;
        if (auto failed = migrate(conn.get(), budgets.database_wait)) return failed;
        pg->idle.push_back(std::move(conn));
        store.picture_dir = pg->staging_dir;
        store.shared = true;
        store.backend = std::move(pg);
        return std::nullopt;
    }
    // The sweep below would remove another instance's staged uploads: each instance needs its own folder.
    std::filesystem::path lock_path = data_dir / "instance.lock";
    pg->folder_lock = ::open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (pg->folder_lock < 0) return failure_of("cannot create " + lock_path.string(), errno).detail;
    if (::flock(pg->folder_lock, LOCK_EX | LOCK_NB) != 0)
        return "another gallery-server uses " + data_dir.string() + "; give each instance its own --data folder";
    remove_partial_files(pg->staging_dir);
    remove_partial_files(pg->cache_dir);

    OwnedConn conn = connect(conninfo, budgets.database_wait, failure);
    if (!conn) return failure.detail;
    if (auto failed = migrate(conn.get(), budgets.database_wait)) return failed;
    if (auto failed = claim_cache(conn.get(), budgets.database_wait, pg->cache_dir)) return failed;
    if (auto failed = pg->index_cache(conn.get())) return failed;
    Result lz4 = run(conn.get(), budgets.database_wait,
                     "SELECT 'lz4' = ANY(enumvals) FROM pg_settings WHERE name = 'default_toast_compression'", {},
                     failure, "cannot read the server's settings");
    pg->quick_compression = lz4 && PQntuples(lz4.get()) == 1 && std::string(PQgetvalue(lz4.get(), 0, 0)) == "t";
    pg->remove_orphan_copies(conn.get(), true);
    pg->idle.push_back(std::move(conn));
    pg->sweep();
    pg->start_sweeping();
    store.picture_dir = pg->staging_dir;
    store.shared = true;
    store.backend = std::move(pg);
    return std::nullopt;
}

StoreReport postgres_check(const std::string& conninfo, const StoreBudgets& budgets,
                           const std::filesystem::path& data_dir) {
    StoreReport report;
    StoreFailure failure;
    auto wait = budgets.database_wait;
    OwnedConn conn = connect(conninfo, wait, failure);
    if (!conn) {
        report.text = "store: PostgreSQL\nstate: unreachable: " + failure.detail + "\n";
        return report;
    }
    report.text = "store: PostgreSQL, database " + std::string(PQdb(conn.get())) + " as " + PQuser(conn.get()) +
                  " on " + (PQhost(conn.get()) ? PQhost(conn.get()) : "") + ":" + PQport(conn.get()) + "\n";
    int version = schema_version(conn.get(), wait, failure);
    if (version < 0) {
        report.text += "state: unreadable: " + failure.detail + "\n";
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
    Result counts = run(conn.get(), wait,
                        "SELECT (SELECT count(*) FROM albums), count(*), coalesce(sum(size), 0), "
                        "count(*) FILTER (WHERE NOT EXISTS "
                        "(SELECT 1 FROM pg_largeobject_metadata m WHERE m.oid = p.bytes)) FROM pictures p",
                        {}, failure, "cannot count the albums");
    if (!counts) {
        report.text += "state: unreadable: " + failure.detail + "\n";
        return report;
    }
    std::int64_t missing = number_at(counts.get(), 0, 3);
    report.text += "albums: " + std::string(PQgetvalue(counts.get(), 0, 0)) + ", pictures: " +
                   PQgetvalue(counts.get(), 0, 1) + ", bytes: " + PQgetvalue(counts.get(), 0, 2) + "\n";
    report.text += "pictures missing their bytes: " + std::to_string(missing) + "\n";
    // Bytes an upload under way holds (staged, within the grace period) are not orphans.
    Result objects = run(conn.get(), wait,
                         "SELECT count(*) FROM pg_largeobject_metadata m WHERE NOT EXISTS "
                         "(SELECT 1 FROM pictures p WHERE p.bytes = m.oid) AND NOT EXISTS (SELECT 1 FROM staged_objects s "
                         "WHERE s.oid = m.oid AND s.staged > now() - $1::bigint * interval '1 millisecond')",
                         {std::to_string(budgets.orphan_grace.count())}, failure, "cannot count orphans");
    auto owned = picture_ids(conn.get(), wait, failure);
    if (objects && owned)
        report.text += orphans_line(static_cast<std::uint64_t>(number_at(objects.get(), 0, 0)) +
                                    orphan_files(data_dir / "cache", false, *owned).size() +
                                    orphan_files(derived_dir_of(data_dir), true, *owned).size());
    report.healthy = version == current_version() && missing == 0;
    report.text += report.healthy ? "state: ok\n" : "state: damaged\n";
    return report;
}
