// The user interface of the Windows test build: message boxes go to standard error as
// "<caption>: <text>", and addresses to the file named by UPLOADER_OPEN_LOG, each followed by a NUL,
// the same as the POSIX build's message fallback and a recording xdg-open.
#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/platform.h"
#include "platform/utf8.h"


namespace platform {

void show_message(std::u16string_view caption, std::u16string_view text, MessageStyle) {
    _setmode(_fileno(stderr), _O_BINARY);  // the same bytes as on POSIX: no CR before the LF
    const std::string line = utf16_to_utf8(caption) + ": " + utf16_to_utf8(text) + "\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
}

bool open_address(std::u16string_view address) {
    const char* log = std::getenv("UPLOADER_OPEN_LOG");
    if (log == nullptr) return false;
    std::FILE* file = std::fopen(log, "ab");
    if (file == nullptr) return false;
    const std::string text = utf16_to_utf8(address);
    std::fwrite(text.data(), 1, text.size() + 1, file);  // with its NUL
    std::fclose(file);
    return true;
}

}  // namespace platform
