// POSIX implementation of the user-interface half of platform.h: zenity or standard error for
// message boxes, xdg-open for addresses. Tests link a stand-in instead of this file.
#if defined(_WIN32)
#error "platform_posix_ui.cpp is for POSIX systems"
#endif

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <iostream>

#include "platform/platform.h"
#include "platform/utf8.h"

extern char** environ;

namespace platform {
namespace {

bool is_set(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0';
}

// Finds a program on PATH, as a shell would, without running a shell.
std::optional<std::string> find_on_path(const char* program) {
    const char* path = std::getenv("PATH");
    if (path == nullptr) return std::nullopt;
    std::string_view rest = path;
    while (true) {
        const auto colon = rest.find(':');
        std::string dir(rest.substr(0, colon));
        if (dir.empty()) dir = ".";
        std::string candidate = dir + "/" + program;
        if (::access(candidate.c_str(), X_OK) == 0) return candidate;
        if (colon == std::string_view::npos) return std::nullopt;
        rest.remove_prefix(colon + 1);
    }
}

// Runs a program with the given arguments and waits for it; false when it cannot be started.
bool run_and_wait(const std::string& program, std::vector<std::string> arguments) {
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (auto& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    pid_t child = 0;
    if (::posix_spawn(&child, program.c_str(), nullptr, nullptr, argv.data(), environ) != 0) return false;
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return true;
}

}  // namespace

// --- User interface -----------------------------------------------------------------------------

void show_message(std::u16string_view caption, std::u16string_view text, MessageStyle style) {
    const std::string caption8 = utf16_to_utf8(caption);
    const std::string text8 = utf16_to_utf8(text);
    if (is_set("DISPLAY") || is_set("WAYLAND_DISPLAY")) {
        if (const auto zenity = find_on_path("zenity")) {
            const char* kind = style == MessageStyle::error ? "--error" : "--info";
            if (run_and_wait(*zenity, {kind, "--no-markup", "--title=" + caption8, "--text=" + text8})) return;
        }
    }
    std::cerr << caption8 << ": " << text8 << '\n' << std::flush;
}

void open_address(std::u16string_view address) {
    if (const auto opener = find_on_path("xdg-open")) run_and_wait(*opener, {utf16_to_utf8(address)});
}

}  // namespace platform
