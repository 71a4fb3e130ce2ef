// Records what the program would show or open, for tests that run it in-process.
#include "stubs/ui_recorder.h"

#include <utility>

#include "platform/platform.h"
#include "platform/utf8.h"

std::vector<UiEvent>& recorded_ui() {
    static std::vector<UiEvent> events;
    return events;
}

bool& desktop_cannot_open() {
    static bool fails = false;
    return fails;
}

std::function<void()>& while_next_box_is_open() {
    static std::function<void()> action;
    return action;
}

std::ostream& operator<<(std::ostream& out, const UiEvent& event) {
    return out << (event.information ? "[info] " : "") << platform::utf16_to_utf8(event.caption) << ": \""
               << platform::utf16_to_utf8(event.text) << '"';
}

namespace platform {

void show_message(std::u16string_view caption, std::u16string_view text, MessageStyle style) {
    recorded_ui().push_back({std::u16string(caption), std::u16string(text), style == MessageStyle::information});
    if (const std::function<void()> action = std::exchange(while_next_box_is_open(), nullptr)) action();
}

bool open_address(std::u16string_view address) {
    recorded_ui().push_back({u"open", std::u16string(address), false});
    return !desktop_cannot_open();
}

}  // namespace platform
