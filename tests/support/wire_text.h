// Texts as the gallery receives them, for expectations written as readable UTF-8.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// UTF-8 text as the UTF-16LE bytes that go on the wire.
std::string utf16le(std::string_view utf8);
// One file list line, "000001234:a.jpg\n", as UTF-8 text.
std::string list_line(std::uint64_t size, std::string_view name);
