// Presents the upload reply: the gallery's error text, or its report and the album address.
#include "upload/reply_handling.h"

#include <string>

#include "common/constants.h"
#include "common/text.h"
#include "http/http_client.h"

namespace {

bool starts_with_ignoring_case(std::u16string_view text, std::u16string_view prefix) {
    if (text.size() < prefix.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        char16_t c = text[i];
        if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
        if (c != prefix[i]) return false;
    }
    return true;
}

}  // namespace

bool is_web_address(std::u16string_view address) {
    return starts_with_ignoring_case(address, u"http://") || starts_with_ignoring_case(address, u"https://");
}

void present_reply(std::string_view text) {
    std::string_view address = text;
    const auto marker = text.find(REPLY_MARKER);
    if (marker != std::string_view::npos) {
        // The report is shown even when empty, and the address waits until the box is closed.
        platform::show_message(captions::report, widen(text.substr(0, marker)), platform::MessageStyle::information);
        address = text.substr(marker + REPLY_MARKER.size());
    }
    const std::u16string wide_address = widen(address);
    if (is_web_address(wide_address)) {
        // The album exists whether or not a browser could be started: the user must learn where.
        if (!platform::open_address(wide_address)) {
            show_error(std::u16string(messages::cannot_open_address) + wide_address);
        }
    } else {
        show_error(std::u16string(messages::not_a_web_address) + wide_address);
    }
}

void handle_reply(platform::Socket connection) {
    const Reply reply = read_reply(connection);
    if (!reply.body) return;  // already reported
    const std::string_view text = until_nul(*reply.body);
    if (reply.status == 200) {
        present_reply(text);
    } else {
        show_error(widen(text));
    }
}
