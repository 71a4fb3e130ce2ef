// The tests' PostgreSQL cluster. initdb refuses to run as root, so as root the server's programs run
// as the `postgres` user the package creates. A watchdog process stops the cluster and removes its
// folder once this program's end of a pipe closes, so even a crashed test leaves no server behind.
#include "postgres_cluster.h"

#include <gtest/gtest.h>
#include <libpq-fe.h>

#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <vector>

#include "test_support.h"

namespace {

const std::filesystem::path postgres_bin = "/usr/lib/postgresql/15/bin";

struct Cluster {
    std::filesystem::path dir;
    int watchdog_pipe = -1;
    pid_t watchdog = -1;
    std::string error;
    bool started = false;
};

Cluster& cluster() {
    static Cluster instance;
    return instance;
}

std::string quoted(const std::string& text) {
    std::string out = "'";
    for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

// Commands for the server's programs: as root, through the unprivileged `postgres` user.
std::vector<std::string> as_server_user(std::vector<std::string> argv) {
    if (::geteuid() == 0) argv.insert(argv.begin(), {"/usr/sbin/runuser", "-u", "postgres", "--"});
    return argv;
}

void stop_cluster() {
    Cluster& c = cluster();
    if (c.watchdog_pipe < 0) return;
    ::close(c.watchdog_pipe);
    c.watchdog_pipe = -1;
    ::waitpid(c.watchdog, nullptr, 0);
}

class StopClusterAtExit : public ::testing::Environment {
public:
    void TearDown() override { stop_cluster(); }
};

// Forks a process that waits for the pipe to close, then stops the cluster and removes its folder.
void start_watchdog(Cluster& c) {
    std::string stop;
    for (const std::string& word :
         as_server_user({(postgres_bin / "pg_ctl").string(), "-D", (c.dir / "db").string(), "-m", "immediate", "-w", "stop"}))
        stop += quoted(word) + " ";
    std::string script = stop + ">/dev/null 2>&1; rm -rf " + quoted(c.dir.string());
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("cannot make a pipe");
    pid_t pid = ::fork();
    if (pid == 0) {
        ::setsid();  // out of the test's process group, so a group kill does not take it first
        char byte;
        ::close(fds[1]);
        while (::read(fds[0], &byte, 1) != 0) {
        }
        const char* argv[] = {"/bin/sh", "-c", script.c_str(), nullptr};
        ::execv("/bin/sh", const_cast<char**>(argv));
        ::_exit(127);
    }
    ::close(fds[0]);
    c.watchdog_pipe = fds[1];
    c.watchdog = pid;
}

std::vector<std::string> pg_ctl_start(const Cluster& c) {
    return as_server_user({(postgres_bin / "pg_ctl").string(), "-D", (c.dir / "db").string(), "-l",
                           (c.dir / "server.log").string(), "-w", "-t", "30", "start", "-o",
                           "-c listen_addresses='' -k " + c.dir.string() + " -c fsync=off -c max_connections=60"});
}

void start_cluster(Cluster& c) {
    char pattern[] = "/tmp/gallery-pg.XXXXXX";
    if (!::mkdtemp(pattern)) throw std::runtime_error("cannot make a folder for the cluster");
    c.dir = pattern;
    if (::geteuid() == 0) {
        passwd* user = ::getpwnam("postgres");
        if (!user || ::chown(c.dir.c_str(), user->pw_uid, user->pw_gid) != 0)
            throw std::runtime_error("cannot hand " + c.dir.string() + " to the postgres user");
    }
    start_watchdog(c);
    static StopClusterAtExit* stopper =
        static_cast<StopClusterAtExit*>(::testing::AddGlobalTestEnvironment(new StopClusterAtExit));
    (void)stopper;
    // Durability is not what these tests look at, so the cluster skips fsync to start and run fast.
    ProcessResult init = run_process(as_server_user({(postgres_bin / "initdb").string(), "-D", (c.dir / "db").string(),
                                                     "-A", "trust", "-U", "postgres", "-E", "UTF8", "--no-sync"}),
                                     {"LC_ALL=C.UTF-8"}, 60);
    if (init.exit_code != 0) throw std::runtime_error("initdb failed: " + init.err + init.out);
    ProcessResult start = run_process(pg_ctl_start(c), {}, 60);
    if (start.exit_code != 0)
        throw std::runtime_error("pg_ctl start failed: " + start.err + read_whole_file(c.dir / "server.log"));
    c.started = true;
}

std::string conninfo_for(const std::string& database) {
    return "host=" + cluster().dir.string() + " user=postgres dbname=" + database;
}

}  // namespace

std::string postgres_missing() {
    if (!std::filesystem::exists(postgres_bin / "initdb"))
        return "PostgreSQL 15 is not installed (" + (postgres_bin / "initdb").string() + " is missing)";
    return {};
}

std::string fresh_postgres_database() {
    static std::mutex lock;
    static std::atomic<int> counter{0};
    std::lock_guard guard(lock);
    Cluster& c = cluster();
    if (!c.started) {
        if (!c.error.empty()) throw std::runtime_error(c.error);
        try {
            start_cluster(c);
        } catch (const std::exception& e) {
            c.error = e.what();
            throw;
        }
    }
    std::string name = "test_" + std::to_string(::getpid()) + "_" + std::to_string(++counter);
    postgres_query(conninfo_for("postgres"), "CREATE DATABASE " + name);
    return conninfo_for(name);
}

std::string postgres_query(const std::string& conninfo, const std::string& sql) {
    std::unique_ptr<PGconn, decltype(&PQfinish)> conn(PQconnectdb(conninfo.c_str()), &PQfinish);
    if (PQstatus(conn.get()) != CONNECTION_OK) throw std::runtime_error(PQerrorMessage(conn.get()));
    std::unique_ptr<PGresult, decltype(&PQclear)> result(PQexec(conn.get(), sql.c_str()), &PQclear);
    ExecStatusType status = PQresultStatus(result.get());
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK)
        throw std::runtime_error(sql + ": " + PQerrorMessage(conn.get()));
    return PQntuples(result.get()) > 0 ? PQgetvalue(result.get(), 0, 0) : std::string();
}

void restart_postgres_immediately() {
    Cluster& c = cluster();
    ProcessResult stop = run_process(
        as_server_user({(postgres_bin / "pg_ctl").string(), "-D", (c.dir / "db").string(), "-m", "immediate", "-w", "stop"}),
        {}, 60);
    if (stop.exit_code != 0) throw std::runtime_error("pg_ctl stop failed: " + stop.err);
    ProcessResult start = run_process(pg_ctl_start(c), {}, 60);
    if (start.exit_code != 0) throw std::runtime_error("pg_ctl start failed: " + start.err);
}

PostgresPause::PostgresPause() {
    std::string pid_file = read_whole_file(cluster().dir / "db" / "postmaster.pid");
    int postmaster = std::atoi(pid_file.c_str());
    if (postmaster <= 0) throw std::runtime_error("the cluster has no postmaster.pid");
    // The postmaster first, so it starts no new process meanwhile; then everything it started.
    if (::kill(postmaster, SIGSTOP) == 0) stopped.push_back(postmaster);
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/proc", ec)) {
        std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        std::string stat = read_whole_file(entry.path() / "stat");
        std::size_t close = stat.rfind(')');
        if (close == std::string::npos) continue;
        int parent = 0;
        if (std::sscanf(stat.c_str() + close + 1, " %*c %d", &parent) == 1 && parent == postmaster) {
            int pid = std::stoi(name);
            if (::kill(pid, SIGSTOP) == 0) stopped.push_back(pid);
        }
    }
}

PostgresPause::~PostgresPause() {
    for (int pid : stopped) ::kill(pid, SIGCONT);
}
