// Temporary folders and whole-file helpers for tests.
#include "support/temp_folder.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>

#if !defined(_WIN32)
#include <unistd.h>
#endif

TempFolder::TempFolder() {
    static std::atomic<unsigned> serial = 0;
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    path = std::filesystem::temp_directory_path() /
           ("uploader-test-" + std::to_string(stamp) + "-" + std::to_string(serial++));
    std::filesystem::create_directories(path);
}

TempFolder::~TempFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}

void write_file(const std::filesystem::path& path, const std::string& bytes) {
    if (path.has_parent_path()) std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << bytes;
}

std::string read_whole_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string superuser_skip_reason() {
#if defined(_WIN32)
    return {};
#else
    if (::geteuid() != 0 || std::getenv("UPLOADER_UNPRIVILEGED_RUN") != nullptr) return {};
    return "permissions do not stop the superuser; ctest runs this case again as nobody (unprivileged.*)";
#endif
}

platform::NativePath native_path_of(const std::filesystem::path& path) {
#if defined(_WIN32)
    return platform::NativePath(path.u16string());
#else
    return path.string();
#endif
}
