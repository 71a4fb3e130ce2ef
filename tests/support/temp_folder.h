// A fresh folder for one test, removed with everything in it when the test is done.
#pragma once

#include <filesystem>
#include <string>

#include "platform/platform.h"

struct TempFolder {
    std::filesystem::path path;
    TempFolder();
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
};

// Writes bytes to a file, making its folders.
void write_file(const std::filesystem::path& path, const std::string& bytes);
std::string read_whole_file(const std::filesystem::path& path);

// Why a case that only permissions can decide cannot run here, or empty when it can. As root it is
// skipped: ctest runs it again as an unprivileged user with UPLOADER_UNPRIVILEGED_RUN set, and then
// it always runs, so that a setup that failed to drop privileges fails instead of passing.
std::string superuser_skip_reason();

// A path in the form the platform layer takes.
platform::NativePath native_path_of(const std::filesystem::path& path);
