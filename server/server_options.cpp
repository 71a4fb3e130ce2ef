// Parses gallery-server's options; every value is checked so a typo stops the start with a reason.
// The usage text is made from the same table as the parser, so each option's default is shown as it is.
#include "server_options.h"

#include <charconv>
#include <cstdint>
#include <functional>
#include <limits>

namespace {

// The uploader reads each upload limit as a signed 32-bit number.
constexpr std::uint64_t largest_limit = std::numeric_limits<std::int32_t>::max();
constexpr std::uint64_t largest_count = 1000000;
constexpr std::uint64_t longest_wait = 7 * 24 * 3600;   // seconds
constexpr std::uint64_t no_bound = std::numeric_limits<std::int64_t>::max();

bool parse_number(const std::string& text, std::uint64_t lowest, std::uint64_t highest, std::uint64_t& value) {
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return !text.empty() && ec == std::errc() && end == text.data() + text.size() && value >= lowest &&
           value <= highest;
}

// Accepts "host:port" and "[v6-address]:port".
bool parse_listen(const std::string& text, std::string& host, int& port) {
    std::size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0) return false;
    std::string name = text.substr(0, colon);
    if (name.front() == '[') {
        if (name.size() < 3 || name.back() != ']') return false;
        name = name.substr(1, name.size() - 2);
    } else if (name.find(':') != std::string::npos) {
        return false;
    }
    std::uint64_t number = 0;
    if (!parse_number(text.substr(colon + 1), 0, 65535, number)) return false;
    host = name;
    port = static_cast<int>(number);
    return true;
}

struct NumberOption {
    const char* name;
    const char* unit;
    const char* help;
    std::uint64_t lowest, highest;
    std::function<std::uint64_t&(ServerConfig&)> field;       // for plain numbers
    std::function<std::chrono::milliseconds&(ServerConfig&)> wait;  // for waits given in seconds
};

std::function<std::uint64_t&(ServerConfig&)> number_field(std::uint64_t ServerConfig::*member) {
    return [member](ServerConfig& c) -> std::uint64_t& { return c.*member; };
}

const std::vector<NumberOption>& number_options() {
    using B = ConnectionBudgets;
    auto budget = [](std::uint64_t B::*member) {
        return [member](ServerConfig& c) -> std::uint64_t& { return c.budgets.*member; };
    };
    auto wait = [](std::chrono::milliseconds B::*member) {
        return [member](ServerConfig& c) -> std::chrono::milliseconds& { return c.budgets.*member; };
    };
    auto store_wait = [](std::chrono::milliseconds StoreBudgets::*member) {
        return [member](ServerConfig& c) -> std::chrono::milliseconds& { return c.store.*member; };
    };
    auto limit = [](std::uint64_t UploadLimits::*member) {
        return [member](ServerConfig& c) -> std::uint64_t& { return c.limits.*member; };
    };
    static const std::vector<NumberOption> options{
        {"--largest-upload", "BYTES", "largest upload body", 1, largest_limit, limit(&UploadLimits::largest_upload), {}},
        {"--most-files", "COUNT", "most files in one upload", 1, largest_limit, limit(&UploadLimits::most_files), {}},
        {"--largest-file", "BYTES", "largest single file", 1, largest_limit, limit(&UploadLimits::largest_file), {}},
        {"--max-connections", "COUNT", "open connections in all; when full, the one idle longest is closed", 1,
         largest_count, budget(&B::most_connections), {}},
        {"--max-client-connections", "COUNT", "open connections from one address (same rule)", 1, largest_count,
         budget(&B::most_per_client), {}},
        {"--idle-timeout", "SECONDS", "wait for the first byte of a request (idle connections are cheap)", 1,
         longest_wait, {}, wait(&B::idle_wait)},
        {"--header-timeout", "SECONDS", "time for the whole request head once it starts", 1, longest_wait, {},
         wait(&B::head_time)},
        {"--body-timeout", "SECONDS", "longest pause inside an upload body", 1, longest_wait, {}, wait(&B::body_gap)},
        {"--min-body-rate", "BYTES/S", "rate a body must keep; bytes sent early buy one --body-timeout at most (0: none)", 0,
         no_bound, budget(&B::least_body_rate), {}},
        {"--send-timeout", "SECONDS", "time for sending a reply", 1, longest_wait, {}, wait(&B::send_time)},
        {"--max-header-bytes", "BYTES", "request line and header fields together (431 beyond)", 256, 1 << 20,
         budget(&B::header_bytes), {}},
        {"--max-header-fields", "COUNT", "header fields in one request (431 beyond)", 1, 10000,
         budget(&B::header_fields), {}},
        {"--linger-read-timeout", "SECONDS", "wait for each read of what a client sends after its reply", 1, longest_wait,
         {}, wait(&B::linger_read)},
        {"--linger-timeout", "SECONDS", "all reading after a reply; lingering connections make room for new ones", 1,
         longest_wait, {}, wait(&B::linger_time)},
        {"--max-list-bytes", "BYTES", "one upload's file list as sent (503 beyond)", 1024, largest_limit,
         budget(&B::list_bytes), {}},
        {"--max-list-memory", "BYTES", "file lists held by all uploads under way (503 beyond)", 1024, no_bound,
         budget(&B::list_memory), {}},
        {"--max-staged-files", "COUNT", "files being written at once, one per upload at most (503 beyond)", 1,
         largest_count, budget(&B::staged_files), {}},
        {"--max-disk-queue", "COUNT", "jobs waiting in each disk lane, uploads and reads (503 beyond)", 1, largest_count,
         budget(&B::disk_queue), {}},
        {"--page-cache", "BYTES", "rendered album pages kept in memory (0: none)", 0, no_bound, budget(&B::page_cache), {}},
        {"--disk-reserve", "BYTES", "disk space left free beside an upload's bytes (507 beyond)", 0, no_bound,
         budget(&B::disk_reserve), {}},
        {"--max-form-bytes", "BYTES", "body of an album owner's form: rename, remove, delete (413 beyond)", 64, 1 << 20,
         budget(&B::form_bytes), {}},
        {"--form-timeout", "SECONDS", "time for the whole body of an album owner's form", 1, longest_wait, {},
         wait(&B::form_time)},
        {"--stop-grace", "SECONDS", "on SIGTERM, time for requests under way (keep below the unit's TimeoutStopSec)", 1,
         longest_wait, {}, wait(&B::stop_grace)},
        {"--storage-quota", "BYTES", "bytes of pictures the gallery keeps; uploads beyond get 507 (0: the disk)", 0,
         no_bound, number_field(&ServerConfig::storage_quota), {}},
        {"--client-upload-rate", "BYTES/S", "upload bytes per second one address may send (0: unlimited)", 0, no_bound,
         number_field(&ServerConfig::client_upload_rate), {}},
        {"--disk-threads", "COUNT", "threads for uploads' writes, syncs and commits", 1, 64,
         number_field(&ServerConfig::disk_threads), {}},
        {"--read-threads", "COUNT", "threads for page and picture reads, a lane of their own", 1, 64,
         number_field(&ServerConfig::read_threads), {}},
        {"--image-threads", "COUNT", "threads making thumbnails, one picture each", 1, 64,
         number_field(&ServerConfig::image_threads), {}},
        {"--largest-picture-pixels", "COUNT", "pixels a picture's header may announce; larger ones are refused", 1,
         no_bound, number_field(&ServerConfig::most_picture_pixels), {}},
        {"--cache-size", "BYTES", "with --database: disk for pictures copied out of it; least recently used go first", 0,
         no_bound, [](ServerConfig& c) -> std::uint64_t& { return c.store.cache_bytes; }, {}},
        {"--database-timeout", "SECONDS", "with --database: longest wait to connect, per statement or lock (503 beyond)",
         1, longest_wait, {}, store_wait(&StoreBudgets::database_wait)},
        {"--database-streams", "COUNT", "with --database: files taken into it as they arrive, a connection each", 0,
         largest_count, [](ServerConfig& c) -> std::uint64_t& { return c.store.streamed_files; }, {}},
        {"--orphan-grace", "SECONDS", "with --database: age at which picture bytes no album took are removed", 0,
         longest_wait, {}, store_wait(&StoreBudgets::orphan_grace)},
        {"--expire-after", "DAYS", "delete albums older than this, checked hourly (0: never)", 0, 100000,
         number_field(&ServerConfig::expire_after_days), {}},
    };
    return options;
}

// Options that take address ranges; their text is checked as a whole, so one bad range stops the start.
struct RangeOption {
    const char* name;
    const char* help;
    const char* shown_default;
    void (*set)(ServerConfig&, std::vector<AddressRange>);
};

const std::vector<RangeOption>& range_options() {
    static const std::vector<RangeOption> options{
        {"--trusted-proxy", "proxies whose X-Real-IP / X-Forwarded-For name the client", "none",
         [](ServerConfig& c, std::vector<AddressRange> r) { c.trusted_proxies = std::move(r); }},
        {"--upload-allow", "client addresses that may upload; others get 403", "anyone",
         [](ServerConfig& c, std::vector<AddressRange> r) { c.upload_allow = std::move(r); }},
    };
    return options;
}

std::string default_of(const NumberOption& option) {
    ServerConfig defaults;
    if (option.wait) return std::to_string(option.wait(defaults).count() / 1000);
    return std::to_string(option.field(defaults));
}

}  // namespace

std::string server_usage() {
    std::string text =
        "usage: gallery-server --data DIR [--database CONNINFO] [--check] [--listen HOST:PORT] [--public-url URL]\n"
        "                      [OPTION VALUE]...\n"
        "       gallery-server backup DEST --data DIR   copy a SQLite store, while it runs, into a new folder\n"
        "       gallery-server list | show KEY | delete KEY | expire DAYS  --data DIR [--database CONNINFO]\n"
        "                      the operator's album commands, safe while the gallery runs: list the albums,\n"
        "                      show one, delete one, delete those older than DAYS\n"
        "       gallery-server --version\n"
        "  --data DIR                   folder for the SQLite database and the pictures (created if missing);\n"
        "                               with --database, this instance's own folder for uploads being\n"
        "                               received and a cache of pictures served (nothing to back up)\n"
        "  --database CONNINFO          keep albums and pictures in PostgreSQL (default none: SQLite in --data);\n"
        "                               postgresql://USER@HOST/DB, \"key=value ...\", or empty for the PG*\n"
        "                               environment variables\n"
        "  --check                      report the store's state (schema version, albums, missing\n"
        "                               pictures) and exit: 0 when it is usable, 1 when not\n"
        "  --listen HOST:PORT           address to listen on (default 127.0.0.1:8080; port 0 picks a free one)\n"
        "  --public-url URL             base address put in upload replies (default http://HOST:PORT)\n"
        "  --access-log on|off          one line per request on standard error: client, request, status,\n"
        "                               bytes in and out, duration (default on)\n"
        "  --legacy-links on|off        numbered /album/N and /files/N links of albums stored before\n"
        "                               albums had keys redirect (301) to their new address; off, they are\n"
        "                               not found, so no number leads to an album (default off)\n";
    for (const RangeOption& option : range_options()) {
        std::string left = "  " + std::string(option.name) + " RANGES";
        left.resize(std::max<std::size_t>(left.size() + 1, 31), ' ');
        text += left + option.help + " (default " + option.shown_default + ")\n";
    }
    text += "                               RANGES: ADDRESS[/PREFIX],... in IPv4 or IPv6, e.g. 127.0.0.1/32,::1/128\n";
    for (const NumberOption& option : number_options()) {
        std::string left = "  " + std::string(option.name) + " " + option.unit;
        left.resize(std::max<std::size_t>(left.size() + 1, 31), ' ');
        text += left + option.help + " (default " + default_of(option) + ")\n";
    }
    return text;
}

OptionsParse parse_server_options(const std::vector<std::string>& args) {
    OptionsParse result;
    ServerConfig& config = result.config;
    bool have_data = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string option = args[i];
        std::string value;
        bool inline_value = false;
        if (std::size_t eq = option.find('='); option.starts_with("--") && eq != std::string::npos) {
            value = option.substr(eq + 1);
            option = option.substr(0, eq);
            inline_value = true;
        }
        if (option == "--help" || option == "-h") {
            result.show_help = true;
            return result;
        }
        if (option == "--check" && !inline_value) {
            config.check = true;
            continue;
        }
        if (!inline_value) {
            if (i + 1 >= args.size()) {
                result.error = option.starts_with("--") ? option + " needs a value" : "unknown argument " + option;
                return result;
            }
            value = args[++i];
        }
        if (option == "--listen") {
            if (!parse_listen(value, config.host, config.port)) {
                result.error = "--listen takes HOST:PORT, got \"" + value + "\"";
                return result;
            }
            continue;
        }
        if (option == "--data") {
            if (value.empty()) {
                result.error = "--data needs a folder";
                return result;
            }
            config.data_dir = value;
            have_data = true;
            continue;
        }
        if (option == "--database") {
            if (!value.empty() && !value.starts_with("postgresql://") && !value.starts_with("postgres://") &&
                value.find('=') == std::string::npos) {
                result.error = "--database takes a PostgreSQL connection string (postgresql://... or key=value), got \"" +
                               value + "\"";
                return result;
            }
            config.database = value;
            continue;
        }
        if (option == "--public-url") {
            if (!value.starts_with("http://") && !value.starts_with("https://")) {
                result.error = "--public-url must start with http:// or https://";
                return result;
            }
            config.public_url = value;
            continue;
        }
        bool* switched = option == "--access-log"     ? &config.log_requests
                         : option == "--legacy-links" ? &config.legacy_links
                                                      : nullptr;
        if (switched) {
            if (value != "on" && value != "off") {
                result.error = option + " takes on or off, got \"" + value + "\"";
                return result;
            }
            *switched = value == "on";
            continue;
        }
        const RangeOption* ranges = nullptr;
        for (const RangeOption& candidate : range_options())
            if (option == candidate.name) ranges = &candidate;
        if (ranges) {
            RangesParse parsed = parse_address_ranges(value);
            if (!parsed.error.empty()) {
                result.error = option + ": " + parsed.error;
                return result;
            }
            ranges->set(config, std::move(parsed.ranges));
            continue;
        }
        const NumberOption* known = nullptr;
        for (const NumberOption& candidate : number_options())
            if (option == candidate.name) known = &candidate;
        if (!known) {
            result.error = "unknown option " + option;
            return result;
        }
        std::uint64_t number = 0;
        if (!parse_number(value, known->lowest, known->highest, number)) {
            result.error = option + " takes a whole number from " + std::to_string(known->lowest) + " to " +
                           std::to_string(known->highest) + ", got \"" + value + "\"";
            return result;
        }
        if (known->wait)
            known->wait(config) = std::chrono::seconds(number);
        else
            known->field(config) = number;
    }
    if (!have_data) result.error = "--data DIR is required";
    return result;
}

std::string check_budgets(const ServerConfig& config, std::uint64_t descriptors) {
    const ConnectionBudgets& b = config.budgets;
    // Each connection is a socket, and a picture being sent on it one more; each file being written
    // is one; the store, the lanes and the spare descriptor for answering when they run out need a
    // few more.
    std::uint64_t need = 2 * b.most_connections + b.staged_files + 64;
    if (need > descriptors)
        return "--max-connections " + std::to_string(b.most_connections) + " and --max-staged-files " +
               std::to_string(b.staged_files) + " need " + std::to_string(need) + " file descriptors; this process may open " +
               std::to_string(descriptors) + " (raise the limit or lower them)";
    if (b.linger_read > b.linger_time) return "--linger-read-timeout is longer than --linger-timeout";
    if (b.list_bytes > b.list_memory) return "--max-list-bytes is larger than --max-list-memory, so no list would fit";
    return {};
}
