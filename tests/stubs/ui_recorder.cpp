// Records what the program would show or open, for tests that run it in-process.
#include "stubs/ui_recorder.h"

#include "platform/platform.h"

std::vector<UiEvent>& recorded_ui() {
    static std::vector<UiEvent> events;
    return events;
}

namespace platform {

void show_message(std::u16string_view caption, std::u16string_view text, MessageStyle style) {
    recorded_ui().push_back({std::u16string(caption), std::u16string(text), style == MessageStyle::information});
}

void open_address(std::u16string_view address) {
    recorded_ui().push_back({u"open", std::u16string(address), false});
}

}  // namespace platform
