// A throw-away PostgreSQL server for the tests: one cluster per test program, made with initdb in a
// temporary folder, listening on a Unix socket there only, and stopped when the program ends,
// however it ends. Each test takes a fresh database of its own.
#pragma once

#include <string>
#include <vector>

// Why PostgreSQL tests cannot run here (its programs are not installed), or empty.
std::string postgres_missing();

// A connection string for a new, empty database on the shared cluster, started on first use.
// Throws when the cluster cannot be started although PostgreSQL is installed.
std::string fresh_postgres_database();

// Runs one SQL text on the database `conninfo` names; returns the first value of the last result,
// or throws.
std::string postgres_query(const std::string& conninfo, const std::string& sql);

// What a database crash looks like to its clients: the cluster stops at once and starts again
// (`pg_ctl restart -m immediate`); returns when it accepts connections again.
void restart_postgres_immediately();

// Stops (SIGSTOP) every process of the cluster until destroyed (SIGCONT), as a hung machine or a
// silent network partition would: connections stay open and nothing answers.
struct PostgresPause {
    PostgresPause();
    ~PostgresPause();
    PostgresPause(const PostgresPause&) = delete;
    PostgresPause& operator=(const PostgresPause&) = delete;
    std::vector<int> stopped;
};

#define SKIP_WITHOUT_POSTGRES()                                            \
    do {                                                                   \
        if (std::string why = postgres_missing(); !why.empty()) GTEST_SKIP() << why; \
    } while (0)
