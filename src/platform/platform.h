// The whole contract between the uploader and the operating system; platform_win32*.cpp and
// platform_posix*.cpp implement it, and the build compiles exactly one of the two.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// Paths keep the system's own form, so any name that can be listed can be opened again:
// UTF-16 on Windows, bytes on POSIX systems.
#if defined(_WIN32)
using PathChar = char16_t;
inline constexpr PathChar path_separator = u'\\';
#else
using PathChar = char;
inline constexpr PathChar path_separator = '/';
#endif
using NativePath = std::basic_string<PathChar>;

}  // namespace platform

// The records whose contents only the platform's own files look into (SavedDir, DirWalker).
#if defined(_WIN32)
#include "platform/types_win32.h"
#else
#include "platform/types_posix.h"
#endif

namespace platform {

// Turns a native path into UTF-16 for text that goes to the gallery. On POSIX the bytes are read as
// UTF-8 and each byte that is not part of valid UTF-8 becomes U+FFFD.
std::u16string path_to_utf16(const NativePath& path);
// An ASCII text as a native path (for fixed names such as "tolva").
NativePath native_path(std::string_view ascii);

// Text in the system's 8-bit code page to UTF-16 (POSIX: UTF-8, invalid bytes become U+FFFD).
std::u16string ansi_to_utf16(std::string_view text);

// --- Network -----------------------------------------------------------------------------------

// SOCKET on Windows, a file descriptor elsewhere; one invalid value on both.
using Socket = std::uintptr_t;
inline constexpr Socket invalid_socket = ~Socket{0};

bool net_start();  // false when the socket library cannot start
void net_stop();

enum class ConnectStatus { connected, unresolved, refused };
struct Connection {
    ConnectStatus status = ConnectStatus::refused;
    Socket socket = invalid_socket;
};
// A gallery that neither sends nor takes a byte for this long is treated as gone, so that a window-
// less program cannot wait for ever: the send or recv fails as if the connection had closed.
inline constexpr int SILENCE_LIMIT_SECONDS = 120;

// Resolves host to IPv4 addresses and connects a stream socket to the first one only.
Connection connect_ipv4(const char* host, std::uint16_t port);

// One send or recv call: the count of bytes moved, 0 when the peer has closed, negative on error.
// Sending to a closed peer never raises a signal.
long net_send(Socket socket, const void* data, std::size_t length);
long net_recv(Socket socket, void* buffer, std::size_t length);
void net_close(Socket socket);
// While held, small sends are gathered into full segments rather than each going out alone (Linux:
// TCP_CORK); releasing sends what is gathered at once. The bytes on the wire are the same. A no-op
// where the system has no such switch.
void net_hold_sends(Socket socket, bool hold);

// --- User interface ----------------------------------------------------------------------------

enum class MessageStyle { error, information };
// Blocks until the user has closed the box. POSIX: zenity when a graphical session is present,
// otherwise "<caption>: <text>" and a line feed on standard error.
void show_message(std::u16string_view caption, std::u16string_view text, MessageStyle style);
// Asks the desktop to open an address (Windows: the shell's "open" verb; POSIX: xdg-open); false
// when the desktop could not.
bool open_address(std::u16string_view address);
// POSIX: the programs these two start run in the folder the run started in, never in a folder
// being walked, and with PATH cut to its absolute entries, so that nothing in an uploaded folder
// can be started by a name search.

// --- Process -----------------------------------------------------------------------------------

#if defined(_WIN32)
// Splits a Windows program's argument text into paths; an empty text, or one that cannot be split,
// gives none. (POSIX programs receive their arguments already split.)
std::vector<NativePath> split_arguments(const char16_t* argument_text);
#endif
// "Windows NT 5.1", "Linux 6.1": the system's name and major.minor version.
std::string os_description();

// --- Files and folders -------------------------------------------------------------------------

enum class FileKind { regular, folder, other };
// What tells one folder from another, whatever path reaches it (device and inode, or volume
// serial number and file index).
struct FileIdentity {
    std::uint64_t device = 0;
    std::uint64_t index = 0;
    friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
};
struct FileStatus {
    FileKind kind = FileKind::other;
    std::uint64_t size = 0;
    FileIdentity identity;
};
// Follows links; none when the path cannot be queried.
std::optional<FileStatus> file_status(const NativePath& path);

// mode is a C library mode such as "rb", "r" or "w". Null unless the path names a regular file
// (POSIX: a FIFO, a device or a folder is refused on the open descriptor, and the open never
// waits). The caller closes the file with std::fclose.
std::FILE* open_file(const NativePath& path, const char* mode);
// Room for a file's contents, or null when it cannot be had; freed with release_area and the same
// size. Large areas come with their pages already in place (Linux: MAP_POPULATE), which costs far
// less than the page faults of touching them one by one while reading.
std::byte* hold_area(std::size_t size);
void release_area(std::byte* area, std::size_t size);
// An existing folder is not an error. POSIX also makes missing parents (a fresh ~/.config).
void make_folder(const NativePath& path);

// A path that names the same file whatever the current directory is.
bool is_absolute(const NativePath& path);

// The current directory, kept so that it can be restored exactly: by a descriptor on POSIX, so a
// rename or move meanwhile does not matter. Windows can only enter a folder by its path; a handle
// kept on the folder asks the system for its present path (Vista and later), and where the system
// cannot say (NT 5, Wine, which keeps the path a handle was opened by) the saved path is tried. On
// both, restoring never lands in another folder that has taken the old path: it fails instead.
// (On Windows a folder being listed cannot be renamed at all, so this concerns the folder the walk
// started in.)
std::optional<SavedDir> save_current_dir();
bool restore_current_dir(const SavedDir& saved);
void release_saved_dir(SavedDir& saved);
bool change_dir(const NativePath& path);

// One folder listing (a DirWalker) in progress, in the order the file system gives; "." and ".."
// are never returned.
std::optional<DirWalker> dir_open(const NativePath& path);
std::optional<NativePath> dir_next(DirWalker& search);  // none at the end; the search is then closed
void dir_close(DirWalker& search);

// The per-user application-data folder: APPDATA when set; otherwise the shell's roaming folder on
// Windows, $XDG_CONFIG_HOME or $HOME/.config elsewhere.
std::optional<NativePath> app_data_folder();

}  // namespace platform
