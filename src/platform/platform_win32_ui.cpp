// Windows implementation of the user-interface half of platform.h: message boxes and the shell's
// "open" verb. Tests link a stand-in instead of this file.
#if !defined(_WIN32)
#error "platform_win32_ui.cpp is for Windows"
#endif

// clang-format off
#include <windows.h>
#include <shellapi.h>
// clang-format on

#include "platform/platform.h"

namespace platform {

// --- User interface -----------------------------------------------------------------------------

void show_message(std::u16string_view caption, std::u16string_view text, MessageStyle style) {
    const std::u16string caption_z(caption), text_z(text);
    ::MessageBoxW(nullptr, reinterpret_cast<const wchar_t*>(text_z.c_str()),
                  reinterpret_cast<const wchar_t*>(caption_z.c_str()),
                  style == MessageStyle::error ? MB_ICONERROR : MB_ICONINFORMATION);
}

bool open_address(std::u16string_view address) {
    const std::u16string address_z(address);
    // Values above 32 mean success.
    const HINSTANCE result = ::ShellExecuteW(nullptr, L"open", reinterpret_cast<const wchar_t*>(address_z.c_str()),
                                             nullptr, nullptr, SW_SHOWNORMAL);
    return reinterpret_cast<INT_PTR>(result) > 32;
}

}  // namespace platform
