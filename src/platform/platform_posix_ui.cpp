// POSIX implementation of the user-interface half of platform.h: zenity or standard error for
// message boxes, xdg-open for addresses. Tests link a stand-in instead of this file.
#if defined(_WIN32)
#error "platform_posix_ui.cpp is for POSIX systems"
#endif

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/posix_env.h"
#include "platform/utf8.h"

extern char** environ;

namespace platform {
namespace {

// The folder the run started in, marked before main runs. Started programs run there, never in a
// folder being walked, whose owner could have planted programs or libraries that a helper looks up
// relative to its current folder (a session-bus launcher found through an empty PATH entry, say).
const int start_folder = ::open(".", O_PATH | O_DIRECTORY | O_CLOEXEC);

// PATH with only its absolute entries: an empty or relative entry names the current folder, or a
// folder below it, in every program that searches PATH. With none left, the system's own folders,
// since some programs search the current folder when PATH is not set at all.
std::string absolute_search_path() {
    const char* path = std::getenv("PATH");
    std::string kept;
    std::string_view rest = path == nullptr ? std::string_view() : std::string_view(path);
    while (!rest.empty()) {
        const auto colon = rest.find(':');
        const std::string_view dir = rest.substr(0, colon);
        rest.remove_prefix(colon == std::string_view::npos ? rest.size() : colon + 1);
        if (!dir.starts_with('/')) continue;
        if (!kept.empty()) kept += ':';
        kept += dir;
    }
    return kept.empty() ? std::string("/usr/bin:/bin") : kept;
}

// Finds a program on the absolute entries of PATH without running a shell.
std::optional<std::string> find_on_path(std::string_view program, std::string_view search_path) {
    while (!search_path.empty()) {
        const auto colon = search_path.find(':');
        const std::string_view dir = search_path.substr(0, colon);
        search_path.remove_prefix(colon == std::string_view::npos ? search_path.size() : colon + 1);
        std::string candidate;
        candidate.reserve(dir.size() + 1 + program.size());
        candidate.append(dir).append(1, '/').append(program);
        if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return std::nullopt;
}

// Runs a program found on PATH with the given arguments, from the folder the run started in and
// with PATH cut to its absolute entries, and waits for it; true only when it ran and exited with
// status 0.
bool run_and_wait(std::string_view program, std::vector<std::string> arguments) {
    const std::string search_path = absolute_search_path();
    const std::optional<std::string> found = find_on_path(program, search_path);
    if (!found) return false;
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(found->c_str()));
    for (auto& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);

    std::string path_entry = "PATH=" + search_path;
    std::vector<char*> envp;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        if (std::strncmp(*entry, "PATH=", 5) != 0) envp.push_back(*entry);
    }
    envp.push_back(path_entry.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    if (::posix_spawn_file_actions_init(&actions) != 0) return false;
    const int moved = start_folder >= 0 ? ::posix_spawn_file_actions_addfchdir_np(&actions, start_folder)
                                        : ::posix_spawn_file_actions_addchdir_np(&actions, "/");
    pid_t child = 0;
    const bool started =
        moved == 0 && ::posix_spawn(&child, found->c_str(), &actions, nullptr, argv.data(), envp.data()) == 0;
    ::posix_spawn_file_actions_destroy(&actions);
    if (!started) return false;
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
        const char* kind = style == MessageStyle::error ? "--error" : "--info";
        // Anything but a normal end (no zenity, no display after all, a broken session) may mean
        // the box was never seen: the text then goes to standard error as well.
        if (run_and_wait("zenity", {kind, "--no-markup", "--title=" + caption8, "--text=" + text8})) return;
    }
    std::cerr << caption8 << ": " << text8 << '\n' << std::flush;
}

bool open_address(std::u16string_view address) {
    return run_and_wait("xdg-open", {utf16_to_utf8(address)});
}

}  // namespace platform
