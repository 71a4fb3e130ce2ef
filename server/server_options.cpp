// Parses gallery-server's options; every value is checked so a typo stops the start with a reason.
#include "server_options.h"

#include <charconv>
#include <cstdint>
#include <limits>

namespace {

// The uploader reads each limit as a signed 32-bit number.
constexpr std::uint64_t largest_limit = std::numeric_limits<std::int32_t>::max();

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

}  // namespace

std::string server_usage() {
    return "usage: gallery-server --data DIR [--listen HOST:PORT] [--public-url URL]\n"
           "                      [--largest-upload BYTES] [--most-files COUNT] [--largest-file BYTES]\n"
           "  --listen          address to listen on (default 127.0.0.1:8080; port 0 picks a free one)\n"
           "  --data            folder for the database and the pictures (created if missing)\n"
           "  --public-url      base address put in upload replies (default http://HOST:PORT)\n"
           "  --largest-upload  largest upload body in bytes (default 104857600)\n"
           "  --most-files      most files in one upload (default 500)\n"
           "  --largest-file    largest single file in bytes (default 20971520)\n";
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
        if (!inline_value) {
            if (i + 1 >= args.size()) {
                result.error = option.starts_with("--") ? option + " needs a value" : "unknown argument " + option;
                return result;
            }
            value = args[++i];
        }
        std::uint64_t number = 0;
        if (option == "--listen") {
            if (!parse_listen(value, config.host, config.port)) {
                result.error = "--listen takes HOST:PORT, got \"" + value + "\"";
                return result;
            }
        } else if (option == "--data") {
            if (value.empty()) {
                result.error = "--data needs a folder";
                return result;
            }
            config.data_dir = value;
            have_data = true;
        } else if (option == "--public-url") {
            if (!value.starts_with("http://") && !value.starts_with("https://")) {
                result.error = "--public-url must start with http:// or https://";
                return result;
            }
            config.public_url = value;
        } else if (option == "--largest-upload" || option == "--most-files" || option == "--largest-file") {
            if (!parse_number(value, 1, largest_limit, number)) {
                result.error = option + " takes a whole number from 1 to " + std::to_string(largest_limit) +
                               ", got \"" + value + "\"";
                return result;
            }
            (option == "--largest-upload" ? config.limits.largest_upload
             : option == "--most-files"   ? config.limits.most_files
                                          : config.limits.largest_file) = number;
        } else {
            result.error = "unknown option " + option;
            return result;
        }
    }
    if (!have_data) result.error = "--data DIR is required";
    return result;
}
