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
#include "platform/posix_env.h"
#include "platform/utf8.h"

extern char** environ;

namespace platform {
namespace {

// Finds a program on PATH without running a shell. Only absolute entries count: an empty or
// relative one would name the current folder, which during a walk is a folder being uploaded.
std::optional<std::string> find_on_path(std::string_view program) {
    const char* path = std::getenv("PATH");
    if (path == nullptr) return std::nullopt;
    std::string_view rest = path;
    while (!rest.empty()) {
        const auto colon = rest.find(':');
        const std::string_view dir = rest.substr(0, colon);
        rest.remove_prefix(colon == std::string_view::npos ? rest.size() : colon + 1);
        if (!dir.starts_with('/')) continue;
        std::string candidate;
        candidate.reserve(dir.size() + 1 + program.size());
        candidate.append(dir).append(1, '/').append(program);
        if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return std::nullopt;
}

// Runs a program with the given arguments and waits for it; true only when it ran and exited with
// status 0.
bool run_and_wait(const std::string& program, std::vector<std::string> arguments) {
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (auto& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    pid_t child = 0;
    if (::posix_spawn(&child, program.c_str(), nullptr, nullptr, argv.data(), environ) != 0) return false;
    int status = 0;
    while (::waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) return false;
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

// --- User interface -----------------------------------------------------------------------------

void show_message(std::u16string_view caption, std::u16string_view text, MessageStyle style) {
    const std::string caption8 = utf16_to_utf8(caption);
    const std::string text8 = utf16_to_utf8(text);
    if (env_is_set("DISPLAY") || env_is_set("WAYLAND_DISPLAY")) {
        if (const auto zenity = find_on_path("zenity")) {
            const char* kind = style == MessageStyle::error ? "--error" : "--info";
            // Anything but a normal end (no display after all, a broken session) may mean the box
            // was never seen: the text then goes to standard error as well.
            if (run_and_wait(*zenity, {kind, "--no-markup", "--title=" + caption8, "--text=" + text8})) return;
        }
    }
    std::cerr << caption8 << ": " << text8 << '\n' << std::flush;
}

bool open_address(std::u16string_view address) {
    const auto opener = find_on_path("xdg-open");
    return opener && run_and_wait(*opener, {utf16_to_utf8(address)});
}

}  // namespace platform
