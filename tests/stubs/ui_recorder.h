// A stand-in for the platform's user interface that records message boxes and opened addresses.
#pragma once

#include <functional>
#include <ostream>
#include <string>
#include <vector>

struct UiEvent {
    std::u16string caption;  // "open" for an opened address
    std::u16string text;
    bool information = false;
    friend bool operator==(const UiEvent&, const UiEvent&) = default;
};

std::vector<UiEvent>& recorded_ui();
// Set: opening an address is recorded and then reported as failed.
bool& desktop_cannot_open();

// Done once, while the next message box is open (the user renaming or locking folders meanwhile).
std::function<void()>& while_next_box_is_open();

// Readable failure messages.
std::ostream& operator<<(std::ostream& out, const UiEvent& event);
