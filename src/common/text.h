// Text helpers shared by every stage: conversion to UTF-16 and the error boxes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// 8-bit text in the system's code page to UTF-16.
std::u16string widen(std::string_view text);

// printf-style formatting into a std::string.
std::string format_text(const char* format, ...) __attribute__((format(printf, 1, 2)));

// White space as the C library's isspace sees it in the "C" locale.
constexpr bool is_c_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// A decimal integer as C's atoi and "%d" read it: leading white space, an optional sign, digits.
struct CDecimal {
    std::int64_t value = 0;  // the magnitude saturates just past 32 bits, so a caller sees what cannot fit
    bool has_digits = false;
    std::size_t length = 0;  // characters read, white space and sign included
};
CDecimal read_c_decimal(std::string_view text);

// The part of a received text that C string functions would see: up to the first NUL.
std::string_view until_nul(std::string_view text);

// A modal error box with the "Uploader error" caption; returns when the user closes it.
void show_error(std::u16string_view text);
// show_error, then ends the process with status 1.
[[noreturn]] void fatal_error(std::u16string_view text);
