// The upload batch: exact byte counting, fixed growth steps, whole files read into memory.
#include "gather/upload_batch.h"

#include <algorithm>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <new>
#include <string>

#include "common/constants.h"
#include "common/text.h"

void batch_init(UploadBatch& batch) {
    batch = UploadBatch{};
    batch.list.reserve(LIST_GROWTH);
    batch.files.reserve(CONTENTS_GROWTH);
}

std::size_t batch_count(const UploadBatch& batch) { return batch.files.size(); }

bool batch_add_contents(UploadBatch& batch, std::uint64_t size, std::FILE* file) {
    if (batch.files.size() == batch.files.capacity()) batch.files.reserve(batch.files.capacity() + CONTENTS_GROWTH);

    HeldFile held;
    held.size = size;
    if (batch.total + size > LARGEST_BODY || size > SIZE_MAX) {
        show_error(messages::cannot_hold_file);
        return false;
    }
    held.bytes.reset(new (std::nothrow) std::byte[static_cast<std::size_t>(size)]);
    if (!held.bytes) {
        show_error(messages::cannot_hold_file);
        return false;
    }
    std::uint64_t have = 0;
    while (have < size) {
        const std::size_t piece = static_cast<std::size_t>(std::min<std::uint64_t>(size - have, READ_PIECE));
        const std::size_t got = std::fread(held.bytes.get() + have, 1, piece, file);
        if (got == 0) {
            show_error(messages::filesize_incorrect);
            return false;
        }
        have += got;
    }
    batch.files.push_back(std::move(held));
    batch.total += size;
    return true;
}

void batch_add_line(UploadBatch& batch, std::uint64_t size, std::u16string_view name) {
    // At least nine digits; sizes of a billion bytes or more take more, and are counted as they are.
    char digits[32];
    const int digit_count = std::snprintf(digits, sizeof digits, "%09" PRIu64, size);
    std::u16string line(digits, digits + digit_count);
    line += u':';
    line += name;
    line += u'\n';

    std::size_t capacity = batch.list.capacity();
    while (batch.list.size() + line.size() > capacity) capacity += LIST_GROWTH;
    batch.list.reserve(capacity);
    batch.list.insert(batch.list.end(), line.begin(), line.end());
    batch.total += 2 * line.size();
}

void batch_release(UploadBatch& batch) { batch = UploadBatch{}; }
