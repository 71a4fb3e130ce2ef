// The upload batch: exact byte counting, fixed growth steps, whole files read into memory, and
// every growth allowed to fail without ending the run.
#include "gather/upload_batch.h"

#include <algorithm>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/constants.h"
#include "common/text.h"
#include "platform/platform.h"

namespace {

// Grows a realloc'd array to at least `needed` items in steps of `step`; on failure it is untouched.
template <typename T>
bool grow(T*& items, std::size_t& capacity, std::size_t needed, std::size_t step) {
    if (needed <= capacity) return true;
    const std::size_t steps = (needed - capacity + step - 1) / step;
    if (steps > (SIZE_MAX / sizeof(T) - capacity) / step) return false;
    const std::size_t wanted = capacity + steps * step;
    void* moved = std::realloc(items, wanted * sizeof(T));
    if (moved == nullptr) return false;
    items = static_cast<T*>(moved);
    capacity = wanted;
    return true;
}

void warn_once(bool& warned, std::u16string_view message) {
    if (warned) return;
    show_error(message);
    warned = true;
}

}  // namespace

UploadBatch::~UploadBatch() { batch_release(*this); }

void batch_init(UploadBatch& batch) {
    batch_release(batch);
    grow(batch.list, batch.list_capacity, LIST_GROWTH, LIST_GROWTH);
    grow(batch.files, batch.table_capacity, CONTENTS_GROWTH, CONTENTS_GROWTH);
}

std::size_t batch_count(const UploadBatch& batch) { return batch.count; }

std::u16string_view batch_list(const UploadBatch& batch) {
    return batch.list_length == 0 ? std::u16string_view() : std::u16string_view(batch.list, batch.list_length);
}

std::span<const HeldFile> batch_files(const UploadBatch& batch) {
    return batch.count == 0 ? std::span<const HeldFile>() : std::span<const HeldFile>(batch.files, batch.count);
}

namespace {

// A list line's size field: at least nine digits; sizes of a billion bytes or more take more, and
// are counted as they are.
std::size_t format_size(char (&digits)[32], std::uint64_t size) {
    return static_cast<std::size_t>(std::snprintf(digits, sizeof digits, "%09" PRIu64, size));
}

// Reads size bytes of an open file into a new area at the end of the table.
bool hold_contents(UploadBatch& batch, std::uint64_t size, std::FILE* file) {
    if (!grow(batch.files, batch.table_capacity, batch.count + 1, CONTENTS_GROWTH)) {
        warn_once(batch.warned_no_memory, messages::cannot_hold_file);
        return false;
    }
    HeldFile held{nullptr, size};
    if (size > 0) {
        held.bytes = size > SIZE_MAX ? nullptr : platform::hold_area(static_cast<std::size_t>(size));
        if (held.bytes == nullptr) {
            warn_once(batch.warned_no_memory, messages::cannot_hold_file);
            return false;
        }
    }
    std::uint64_t have = 0;
    while (have < size) {
        const std::size_t piece = static_cast<std::size_t>(std::min<std::uint64_t>(size - have, READ_PIECE));
        const std::size_t got = std::fread(held.bytes + have, 1, piece, file);
        if (got == 0) {
            platform::release_area(held.bytes, static_cast<std::size_t>(size));
            show_error(messages::filesize_incorrect);
            return false;
        }
        have += got;
    }
    batch.files[batch.count++] = held;
    batch.total += size;
    return true;
}

void drop_last_contents(UploadBatch& batch) {
    const HeldFile& last = batch.files[--batch.count];
    batch.total -= last.size;
    platform::release_area(last.bytes, static_cast<std::size_t>(last.size));
}

}  // namespace

bool batch_add_file(UploadBatch& batch, std::uint64_t size, std::u16string_view name, std::FILE* file) {
    // Everything the file adds is counted before anything is held: its contents, its line, and the
    // text lines that still come when the request is sent. Each term is below 2^33, so the sum
    // cannot wrap.
    char digits[32];
    const std::uint64_t line_bytes = 2 * (std::uint64_t{format_size(digits, size)} + 2 + name.size());
    if (size > LARGEST_BODY || line_bytes > LARGEST_BODY ||
        batch.total + size + line_bytes + LONGEST_TEXT_LINES > LARGEST_BODY) {
        warn_once(batch.warned_body_too_large, messages::body_too_large);
        return false;
    }
    if (!hold_contents(batch, size, file)) return false;
    // A file whose line cannot be added leaves neither contents nor a line.
    if (!batch_add_line(batch, size, name)) {
        drop_last_contents(batch);
        return false;
    }
    return true;
}

bool batch_add_line(UploadBatch& batch, std::uint64_t size, std::u16string_view name) {
    char digits[32];
    const std::size_t digit_count = format_size(digits, size);
    const std::size_t line_length = digit_count + 1 + name.size() + 1;
    if (name.size() > SIZE_MAX / 2 - digit_count - 2 - batch.list_length ||
        !grow(batch.list, batch.list_capacity, batch.list_length + line_length, LIST_GROWTH)) {
        warn_once(batch.warned_no_memory, messages::cannot_hold_file);
        return false;
    }
    char16_t* out = batch.list + batch.list_length;
    out = std::copy(digits, digits + digit_count, out);
    *out++ = u':';
    out = std::copy(name.begin(), name.end(), out);
    *out = u'\n';
    batch.list_length += line_length;
    batch.total += 2 * line_length;
    return true;
}

void batch_release(UploadBatch& batch) {
    for (std::size_t i = 0; i < batch.count; ++i) {
        platform::release_area(batch.files[i].bytes, static_cast<std::size_t>(batch.files[i].size));
    }
    std::free(batch.files);
    std::free(batch.list);
    batch.list = nullptr;
    batch.files = nullptr;
    batch.list_length = batch.list_capacity = batch.count = batch.table_capacity = 0;
    batch.warned_too_big = batch.warned_too_many = batch.warned_too_deep = false;
    batch.warned_no_memory = batch.warned_body_too_large = batch.warned_line_break = false;
    batch.warned_folder_left = batch.current_dir_lost = false;
    batch.total = 2;
}
