// Gathers the files named on the command line into the upload batch, walking folders recursively
// and enforcing the gallery's limits with one warning per kind of refusal.
#pragma once

#include "common/types.h"
#include "gather/upload_batch.h"
#include "platform/platform.h"

// Folders deeper than this below a command-line folder are not entered.
inline constexpr std::size_t MAX_FOLDER_DEPTH = 64;

// Adds a file, or everything in a folder, to the batch. A path that cannot be queried, opened or
// listed is skipped without a message. The current directory is the same afterwards. Where the walk
// cannot return to a folder inside it, the rest of the folders above it is left out (shown once);
// where it cannot return to where it started, that is shown once and later relative paths are
// skipped.
void collect_path(UploadBatch& batch, const platform::NativePath& path, const ServerLimits& limits);
