// Command-line options of gallery-server.
#pragma once

#include <string>
#include <vector>

#include "gallery_server.h"

struct OptionsParse {
    ServerConfig config;
    bool show_help = false;
    std::string error;   // non-empty: the options were refused for this reason
};

OptionsParse parse_server_options(const std::vector<std::string>& args);

std::string server_usage();

// Why these budgets cannot work together under a limit of `descriptors` open files, or empty.
std::string check_budgets(const ServerConfig& config, std::uint64_t descriptors);
