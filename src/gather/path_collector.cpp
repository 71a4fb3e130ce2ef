// The path collector: limit checks in a fixed order, and a walk that enters each folder, lists it by
// bare names, and returns to where it started.
#include "gather/path_collector.h"

#include <array>
#include <cstdio>

#include "common/constants.h"
#include "common/text.h"

namespace {

// The folders being walked, outermost first, by identity: a folder reached again through a link
// is already being gathered, and entering it would never end. Fixed room: nothing here can fail to
// be allocated when memory runs short.
struct WalkPath {
    std::array<platform::FileIdentity, MAX_FOLDER_DEPTH> folders;
    std::size_t depth = 0;
};

// Each returns false when the current directory could not be brought back to where it was: the
// caller's relative names then name other files.
bool collect(UploadBatch& batch, const platform::NativePath& path, const ServerLimits& limits, WalkPath& walk);

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
    // A line feed in the name would end its list line early and forge the next one.
    const std::u16string name = platform::path_to_utf16(path);
    if (name.find(u'\n') != std::u16string::npos) {
        if (!batch.warned_line_break) {
            show_error(messages::line_break_in_name);
            batch.warned_line_break = true;
        }
        return;
    }
    std::FILE* file = platform::open_file(path, "rb");
    if (file == nullptr) return;
    // The reads go straight into the file's area: no buffer of the stream's own to allocate, fill
    // and copy from (nor the status query that sizes it).
    std::setvbuf(file, nullptr, _IONBF, 0);
    batch_add_file(batch, size, name, file);
    std::fclose(file);
}

bool collect_folder(UploadBatch& batch, const platform::NativePath& path, const platform::FileIdentity& identity,
                    const ServerLimits& limits, WalkPath& walk) {
    for (std::size_t i = 0; i < walk.depth; ++i) {
        if (walk.folders[i] == identity) return true;
    }
    if (walk.depth >= MAX_FOLDER_DEPTH) {
        if (!batch.warned_too_deep) {
            show_error(messages::too_deep);
            batch.warned_too_deep = true;
        }
        return true;
    }
    std::optional<platform::DirWalker> walker = platform::dir_open(path);
    if (!walker) return true;
    std::optional<platform::SavedDir> saved = platform::save_current_dir();
    // Entry names are relative to the folder: without entering it they would name other files.
    if (!saved || !platform::change_dir(path)) {
        platform::dir_close(*walker);
        if (saved) platform::release_saved_dir(*saved);
        return true;
    }
    walk.folders[walk.depth++] = identity;
    while (const auto name = platform::dir_next(*walker)) {
        // Dot names are hidden by convention; this also never re-enters "." or "..".
        if (name->empty() || (*name)[0] == platform::PathChar('.')) continue;
        // Out of this folder for good: its remaining names would be looked up elsewhere.
        if (!collect(batch, *name, limits, walk)) break;
    }
    platform::dir_close(*walker);
    --walk.depth;
    // Back to exactly where the walk started, so later relative paths name what the user meant.
    const bool restored = platform::restore_current_dir(*saved);
    platform::release_saved_dir(*saved);
    if (!restored) {
        // Only the outermost level decides about later arguments: when it gets back, the folders
        // above the lost one were left early, but relative names still mean what the user meant.
        if (walk.depth > 0) {
            if (!batch.warned_folder_left) {
                show_error(messages::folder_left);
                batch.warned_folder_left = true;
            }
        } else if (!batch.current_dir_lost) {
            show_error(messages::folder_lost);
            batch.current_dir_lost = true;
        }
    }
    return restored;
}

bool collect(UploadBatch& batch, const platform::NativePath& path, const ServerLimits& limits, WalkPath& walk) {
    const std::optional<platform::FileStatus> status = platform::file_status(path);
    if (!status) return true;
    if (status->kind == platform::FileKind::regular) {
        collect_file(batch, path, status->size, limits);
    } else if (status->kind == platform::FileKind::folder) {
        return collect_folder(batch, path, status->identity, limits, walk);
    }
    return true;
}

}  // namespace

void collect_path(UploadBatch& batch, const platform::NativePath& path, const ServerLimits& limits) {
    // Once a walk could not return, relative names from the command line would be looked up in the
    // wrong folder; absolute ones still name what the user meant.
    if (batch.current_dir_lost && !platform::is_absolute(path)) return;
    WalkPath walk;
    collect(batch, path, limits, walk);
}
