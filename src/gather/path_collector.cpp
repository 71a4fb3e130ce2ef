// The path collector: limit checks in a fixed order, and a walk that enters each folder, lists it by
// bare names, and returns to where it started.
#include "gather/path_collector.h"

#include <cstdio>
#include <vector>

#include "common/constants.h"
#include "common/text.h"

namespace {

// The folders being walked, outermost first, by identity: a folder reached again through a link
// is already being gathered, and entering it would never end.
using WalkPath = std::vector<platform::FileIdentity>;

void collect(UploadBatch& batch, const platform::NativePath& path, const ServerLimits& limits, WalkPath& walk);

void collect_file(UploadBatch& batch, const platform::NativePath& path, std::uint64_t size,
                  const ServerLimits& limits) {
    // The count is checked first: once it is reached, no file gets the size warning any more.
    if (batch_count(batch) >= limits.most_files) {
        if (!batch.warned_too_many) {
            show_error(widen(format_text(messages::too_many_files, limits.most_files)));
            batch.warned_too_many = true;
        }
        return;
    }
    if (size > limits.largest_file) {
        if (!batch.warned_too_big) {
            show_error(widen(format_text(messages::file_too_big, limits.largest_file >> 10)));
            batch.warned_too_big = true;
        }
        return;
    }
    std::FILE* file = platform::open_file(path, "rb");
    if (file == nullptr) return;
    const bool held = batch_add_contents(batch, size, file);
    std::fclose(file);
    // A file that could not be held in full leaves neither contents nor a list line.
    if (held) batch_add_line(batch, size, platform::path_to_utf16(path));
}

void collect_folder(UploadBatch& batch, const platform::NativePath& path, const platform::FileIdentity& identity,
                    const ServerLimits& limits, WalkPath& walk) {
    for (const auto& entered : walk) {
        if (entered == identity) return;
    }
    if (walk.size() >= MAX_FOLDER_DEPTH) {
        if (!batch.warned_too_deep) {
            show_error(messages::too_deep);
            batch.warned_too_deep = true;
        }
        return;
    }
    std::optional<platform::DirWalker> walker = platform::dir_open(path);
    if (!walker) return;
    std::optional<platform::SavedDir> saved = platform::save_current_dir();
    // Entry names are relative to the folder: without entering it they would name other files.
    if (!saved || !platform::change_dir(path)) {
        platform::dir_close(*walker);
        if (saved) platform::release_saved_dir(*saved);
        return;
    }
    walk.push_back(identity);
    while (const auto name = platform::dir_next(*walker)) {
        // Dot names are hidden by convention; this also never re-enters "." or "..".
        if (!name->empty() && (*name)[0] != platform::PathChar('.')) collect(batch, *name, limits, walk);
    }
    walk.pop_back();
    // Back to exactly where the walk started, so later relative paths name what the user meant.
    platform::restore_current_dir(*saved);
    platform::release_saved_dir(*saved);
}

void collect(UploadBatch& batch, const platform::NativePath& path, const ServerLimits& limits, WalkPath& walk) {
    const std::optional<platform::FileStatus> status = platform::file_status(path);
    if (!status) return;
    if (status->kind == platform::FileKind::regular) {
        collect_file(batch, path, status->size, limits);
    } else if (status->kind == platform::FileKind::folder) {
        collect_folder(batch, path, status->identity, limits, walk);
    }
}

}  // namespace

void collect_path(UploadBatch& batch, const platform::NativePath& path, const ServerLimits& limits) {
    WalkPath walk;
    collect(batch, path, limits, walk);
}
