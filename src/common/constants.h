// Built-in constants: the program's version, the gallery's address and pages, and every text the
// program shows or sends, kept in one place.
#pragma once

#include <cstdint>
#include <string_view>

// Set at build time (gallery_address.cpp); nothing at run time changes them.
extern const char GALLERY_HOST[];
extern const std::uint16_t GALLERY_PORT;

// UPLOADER_VERSION comes from the project's version in the build, its only source.
inline constexpr std::string_view PRODUCT_VERSION = UPLOADER_VERSION;
inline constexpr std::u16string_view PRODUCT_VERSION_UTF16 = u"" UPLOADER_VERSION;
inline constexpr std::string_view PRODUCT_TOKEN = "Quillomark";

inline constexpr const char* LIMITS_PAGE = "/add/limits.aspx";
inline constexpr const char* UPLOAD_PAGE = "/add/Client.aspx";

// Request head lines, formatted with printf-style fields.
inline constexpr const char* GET_LINE = "GET %s HTTP/1.1\r\n";
inline constexpr const char* POST_LINE = "POST %s HTTP/1.1\r\n";
inline constexpr const char* HOST_LINE = "Host: %s\r\n";
// The Host value names the port when it is not HTTP's own.
inline constexpr const char* HOST_WITH_PORT = "%s:%u";
inline constexpr std::uint16_t HTTP_PORT = 80;
inline constexpr const char* USER_AGENT_LAST_LINE = "User-Agent: %s\r\n\r\n";
inline constexpr const char* USER_AGENT_LINE = "User-Agent: %s\r\n";
inline constexpr const char* USER_AGENT_FORMAT = "%s/%s (%s)";
inline constexpr const char* CONTENT_LENGTH_LINE = "Content-Length: %u\r\n";
inline constexpr const char* CONTENT_TYPE_LINE = "Content-Type: application/octet-stream; charset=%s\r\n\r\n";
inline constexpr const char* BODY_CHARSET = "utf-16";

// What separates a report from the address in a successful upload reply.
inline constexpr std::string_view REPLY_MARKER = "*****\r\n";

namespace captions {
inline constexpr std::u16string_view error = u"Uploader error";
inline constexpr std::u16string_view report = u"Error uploading files";
}  // namespace captions

namespace messages {
inline constexpr std::u16string_view cannot_resolve = u"cannot resolve the gallery address";
inline constexpr std::u16string_view cannot_connect = u"cannot connect to the gallery";
inline constexpr std::u16string_view connection_error = u"connection error";
inline constexpr std::u16string_view send_error = u"send error";
inline constexpr std::u16string_view response_terminated = u"server response terminated unexpectedly";
inline constexpr std::u16string_view bad_limit_response = u"bad limit response";
inline constexpr std::u16string_view filesize_incorrect = u"filesize incorrect, file ignored";
inline constexpr std::u16string_view cannot_hold_file = u"not enough memory for a file, file ignored";
inline constexpr std::u16string_view body_too_large = u"an upload cannot pass 4 GB, files beyond it ignored";
inline constexpr std::u16string_view line_break_in_name = u"file names with a line break cannot be listed, such files ignored";
inline constexpr std::u16string_view folder_left = u"cannot return to a folder being gathered, the rest of it ignored";
inline constexpr std::u16string_view folder_lost = u"cannot return to the folder being gathered, relative names ignored";
inline constexpr std::u16string_view cannot_open_address = u"cannot open the web browser, open this address by hand: ";
inline constexpr std::u16string_view too_deep = u"folders nested too deeply, deeper folders ignored";
inline constexpr std::u16string_view cannot_create_settings = u"cannot create configuration file";
inline constexpr std::u16string_view not_a_web_address = u"the gallery did not return a web address: ";
// printf-style; the numbers are filled in before the text is widened.
inline constexpr const char* too_many_files = "server refuses to accept more than %u files per session, the rest is ignored";
inline constexpr const char* file_too_big = "server refuses to accept files bigger than %uK, big images ignored";
inline constexpr const char* upload_too_big = "server refuses to accept archives bigger than %uM";
}  // namespace messages

// Raised, and never caught, when the socket library cannot start.
inline constexpr const char* WSA_START_FAILURE = "Could not start WSA";
