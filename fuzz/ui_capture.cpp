// A user interface for fuzz targets: message boxes and opened addresses are recorded, nothing runs.
#include "ui_capture.h"

#include "platform/platform.h"

CapturedUi& captured_ui() {
    static CapturedUi ui;
    return ui;
}

namespace platform {

void show_message(std::u16string_view caption, std::u16string_view text, MessageStyle) {
    captured_ui().messages.push_back(std::u16string(caption) + u": " + std::u16string(text));
}

bool open_address(std::u16string_view address) {
    captured_ui().addresses.emplace_back(address);
    return true;
}

}  // namespace platform
