// Starts the program under test with a private settings folder, a recording xdg-open and no
// display, serves it the scripted gallery, and collects the results.
#include "e2e/program_runner.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <thread>

#include "support/temp_folder.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

// Runs a command and gives its standard output (for asking Wine where things are).
std::string command_output(const std::string& command) {
    std::string out;
    if (FILE* pipe = ::popen(command.c_str(), "r")) {
        std::array<char, 512> buffer{};
        while (std::fgets(buffer.data(), buffer.size(), pipe) != nullptr) out += buffer.data();
        ::pclose(pipe);
    }
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
    return out;
}

// Scratch space shared by every run in this process.
const fs::path& scratch() {
    static TempFolder folder;
    static const bool made = [] {
        write_file(folder.path / "bin" / "xdg-open",
                   "#!/bin/sh\nprintf '%s\\0' \"$1\" >> \"$UPLOADER_OPEN_LOG\"\nexit ${UPLOADER_OPEN_STATUS:-0}\n");
        fs::permissions(folder.path / "bin" / "xdg-open", fs::perms::owner_all);
        return true;
    }();
    (void)made;
    return folder.path;
}

std::vector<std::string> split_at_nul(const std::string& text) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\0') {
            parts.push_back(text.substr(start, i - start));
            start = i + 1;
        }
    }
    return parts;
}

int wait_with_limit(pid_t child, int seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    int status = 0;
    while (::waitpid(child, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(child, SIGKILL);
            ::waitpid(child, &status, 0);
            return -2;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

fs::path stand_in_programs() { return scratch() / "bin"; }

bool under_wine() {
    const char* target = std::getenv("UPLOADER_TARGET");
    return target != nullptr && std::string_view(target) == "wine";
}

fs::path settings_folder() {
    if (!under_wine()) return scratch() / "appdata" / "tolva";
    // Wine sets APPDATA itself, inside its prefix.
    static const fs::path roaming = [] {
        const std::string wine = WINDOWS_RUNNER;
        const std::string windows_path = command_output(wine + " cmd /c 'echo %APPDATA%' 2>/dev/null");
        return fs::path(command_output(wine + " winepath.exe -u '" + windows_path + "' 2>/dev/null"));
    }();
    return roaming / "tolva";
}

ProgramRun run_program(const ProgramSetup& setup) {
    const fs::path settings_file = settings_folder() / "uploader2.ini";
    std::error_code ignored;
    if (!setup.keep_settings_folder) fs::remove_all(settings_folder(), ignored);
    if (setup.settings) write_file(settings_file, *setup.settings);
    const fs::path open_log = scratch() / "open.log";
    const fs::path error_log = scratch() / "stderr.txt";
    fs::remove(open_log, ignored);

    ScriptedGallery gallery;
    ProgramRun run;
    if (!gallery_start(gallery, TEST_GALLERY_PORT, setup.script)) return run;

    std::vector<std::string> argv_text;
    if (under_wine()) {
        argv_text = {WINDOWS_RUNNER, WINDOWS_PROBE};
    } else {
        argv_text = {NATIVE_PROBE};
    }
    argv_text.insert(argv_text.end(), setup.arguments.begin(), setup.arguments.end());
    std::vector<char*> argv;
    for (auto& text : argv_text) argv.push_back(text.data());
    argv.push_back(nullptr);

    std::vector<std::string> env_text;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string_view item = *entry;
        if (item.starts_with("DISPLAY=") || item.starts_with("WAYLAND_DISPLAY=") || item.starts_with("PATH=") ||
            item.starts_with("APPDATA=") || item.starts_with("UPLOADER_OPEN_LOG=")) {
            continue;
        }
        env_text.emplace_back(item);
    }
    const char* path = std::getenv("PATH");
    env_text.push_back("PATH=" + (scratch() / "bin").string() + ":" + (path ? path : "/usr/bin:/bin"));
    env_text.push_back("APPDATA=" + (scratch() / "appdata").string());
    env_text.push_back("UPLOADER_OPEN_LOG=" + open_log.string());
    env_text.push_back("WINEDEBUG=-all");
    for (const std::string& entry : setup.environment) {
        const std::string name = entry.substr(0, entry.find('=') + 1);
        std::erase_if(env_text, [&](const std::string& item) { return item.starts_with(name); });
        env_text.push_back(entry);
    }
    std::vector<char*> envp;
    for (auto& text : env_text) envp.push_back(text.data());
    envp.push_back(nullptr);

    const pid_t child = ::fork();
    if (child == 0) {
        const int error_fd = ::open(error_log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int null_fd = ::open("/dev/null", O_RDWR);
        ::dup2(null_fd, 0);
        ::dup2(null_fd, 1);
        ::dup2(error_fd, 2);
        if (::chdir(setup.folder.c_str()) != 0) ::_exit(126);
        ::execvpe(argv[0], argv.data(), envp.data());
        ::_exit(127);
    }
    run.exit_status = wait_with_limit(child, 120);
    gallery_stop(gallery);

    run.messages = read_whole_file(error_log);
    run.opened = split_at_nul(read_whole_file(open_log));
    run.requests = gallery_requests(gallery);
    if (fs::is_regular_file(settings_file, ignored)) run.settings_after = read_whole_file(settings_file);
    return run;
}
