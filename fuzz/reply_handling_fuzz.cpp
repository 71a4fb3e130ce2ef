// Fuzzes the handling of the upload reply: what is shown, and above all what is opened.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "socket_feed.h"
#include "ui_capture.h"
#include "upload/reply_handling.h"

namespace {

[[noreturn]] void broken(const char* what) {
    std::fprintf(stderr, "reply handling: %s\n", what);
    std::abort();
}

bool starts_with_web_scheme(std::u16string_view address) {
    for (std::u16string_view scheme : {std::u16string_view(u"http://"), std::u16string_view(u"https://")}) {
        if (address.size() < scheme.size()) continue;
        bool same = true;
        for (std::size_t i = 0; i < scheme.size() && same; ++i) {
            const char16_t c = address[i];
            same = c == scheme[i] || c == scheme[i] - u'a' + u'A';
        }
        if (same) return true;
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    captured_ui() = {};
    auto fed = FedSocket::make(data, size);
    if (!fed) return -1;
    handle_reply(fed->socket());

    const CapturedUi& ui = captured_ui();
    // An address that is not a web address could name a program for the desktop to run.
    if (ui.addresses.size() > 1) broken("more than one address opened");
    for (const auto& address : ui.addresses) {
        if (!starts_with_web_scheme(address)) broken("opened an address that is not http:// or https://");
    }
    if (ui.messages.empty() && ui.addresses.empty()) broken("a reply left no trace");
    return 0;
}
