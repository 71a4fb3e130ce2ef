// The upload request: the POST head, the size check against the gallery's limit, and the UTF-16 body.
#pragma once

#include <cstdint>

#include "common/types.h"
#include "gather/upload_batch.h"
#include "platform/platform.h"

// Contents go out in sends of at most this many bytes, straight from the batch.
inline constexpr std::size_t CONTENTS_PIECE = 1024;

// The body length announced for this batch and these settings.
std::uint64_t upload_body_length(const UploadBatch& batch, const Settings& settings);

// Sends the whole request. A body larger than largest_upload (or than a 32-bit length can say)
// ends the process with the gallery's limit in MiB; so does a failed send of the head or the
// text lines. A failed send of file contents is shown and ends the sending only.
void send_upload(platform::Socket connection, const UploadBatch& batch, const Settings& settings,
                 std::uint32_t largest_upload);
// The file list, the line feed that closes it, and the contents of every held file.
void send_batch(platform::Socket connection, const UploadBatch& batch);
