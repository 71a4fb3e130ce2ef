// gallery-server backup DEST: a consistent copy of a SQLite store, taken while the gallery runs.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

struct BackupOutcome {
    int exit_code = 1;   // 0 done, 1 failed, 2 the command line was refused
    std::string text;    // what to print: a summary, or why it failed
};

// Copies the store in `data_dir` into `dest`, which must be missing or empty: the database through
// SQLite's online backup (one snapshot, uploads go on meanwhile), then every picture that snapshot
// names, hard-linked where `dest` is on the same file system and copied otherwise. Nothing else in
// `data_dir` is taken. `dest` then is a data folder a gallery can be started on or restored from.
BackupOutcome backup_store(const std::filesystem::path& data_dir, const std::filesystem::path& dest);

// The whole command: `args` are what follows "backup" (DEST, then the gallery's usual options).
BackupOutcome backup_command(const std::vector<std::string>& args);
