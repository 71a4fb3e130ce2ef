// Writes the upload request: head lines, then version, settings, file list and file contents.
#include "upload/upload_request.h"

#include <bit>

#include "common/constants.h"
#include "common/text.h"
#include "http/http_client.h"

// The body is UTF-16LE and the text is sent straight from memory.
static_assert(std::endian::native == std::endian::little);

namespace {

constexpr char16_t LINE_FEED = u'\n';
// The version and the three line feeds after the version and the two settings words.
constexpr std::uint64_t FIXED_TEXT_BYTES = 2 * (PRODUCT_VERSION_UTF16.size() + 3);

void send_text(platform::Socket connection, std::u16string_view text) {
    send_bytes(connection, text.data(), text.size() * sizeof(char16_t));
}

}  // namespace

std::uint64_t upload_body_length(const UploadBatch& batch, const Settings& settings) {
    return batch.total + 2 * widen(settings.option_letters).size() + 2 * widen(settings.switch_word).size() +
           FIXED_TEXT_BYTES;
}

void send_upload(platform::Socket connection, const UploadBatch& batch, const Settings& settings,
                 std::uint32_t largest_upload) {
    send_line(connection, request_line(POST_LINE, UPLOAD_PAGE));
    send_line(connection, host_line(GALLERY_HOST, GALLERY_PORT));
    send_line(connection, request_line(USER_AGENT_LINE, user_agent().c_str()));

    const std::u16string letters = widen(settings.option_letters);
    const std::u16string switch_word = widen(settings.switch_word);
    const std::uint64_t length = upload_body_length(batch, settings);
    if (length > largest_upload || length > LARGEST_BODY) {
        // The head lines so far are already on the wire; nothing more is sent.
        fatal_error(widen(format_text(messages::upload_too_big, largest_upload >> 20)));
    }
    // From here the rest of the request goes out in full segments, not one per 1024-byte send.
    platform::net_hold_sends(connection, true);
    send_line(connection, format_text(CONTENT_LENGTH_LINE, static_cast<unsigned>(length)));
    send_line(connection, request_line(CONTENT_TYPE_LINE, BODY_CHARSET));

    const std::u16string_view line_feed(&LINE_FEED, 1);
    send_text(connection, PRODUCT_VERSION_UTF16);
    send_text(connection, line_feed);
    send_text(connection, letters);
    send_text(connection, line_feed);
    send_text(connection, switch_word);
    send_text(connection, line_feed);
    send_batch(connection, batch);
    platform::net_hold_sends(connection, false);
}

void send_batch(platform::Socket connection, const UploadBatch& batch) {
    send_text(connection, batch_list(batch));
    send_text(connection, std::u16string_view(&LINE_FEED, 1));
    for (const HeldFile& file : batch_files(batch)) {
        const std::byte* next = file.bytes;
        std::uint64_t left = file.size;
        while (left > 0) {
            const std::size_t piece = left < CONTENTS_PIECE ? static_cast<std::size_t>(left) : CONTENTS_PIECE;
            const long sent = platform::net_send(connection, next, piece);
            if (sent <= 0) {
                // The gallery's reply may still say why; the run goes on to read it.
                show_error(messages::send_error);
                return;
            }
            next += sent;
            left -= static_cast<std::uint64_t>(sent);
        }
    }
}
