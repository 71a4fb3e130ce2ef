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

// A path in the form the platform layer takes.
platform::NativePath native_path_of(const std::filesystem::path& path);
