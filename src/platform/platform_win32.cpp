// Windows implementation of platform.h: Windows Sockets 2, the shell, message boxes, wide file names.
#if !defined(_WIN32)
#error "platform_win32.cpp is for Windows; POSIX builds compile platform_posix.cpp"
#endif

// clang-format off
#include <winsock2.h>
#include <windows.h>
#include <shellapi.h>
#include <shlobj.h>
// clang-format on

#include <climits>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <cstdio>
#include <cwchar>

#include "platform/platform.h"

namespace platform {
namespace {

const wchar_t* wide(const NativePath& path) { return reinterpret_cast<const wchar_t*>(path.c_str()); }

NativePath from_wide(const wchar_t* text) { return NativePath(reinterpret_cast<const char16_t*>(text)); }

int clamp_length(std::size_t length) { return length > INT_MAX ? INT_MAX : static_cast<int>(length); }

bool is_dot_entry(const wchar_t* name) {
    return std::wcscmp(name, L".") == 0 || std::wcscmp(name, L"..") == 0;
}

}  // namespace

std::u16string path_to_utf16(const NativePath& path) { return path; }

NativePath native_path(std::string_view ascii) { return NativePath(ascii.begin(), ascii.end()); }

std::u16string ansi_to_utf16(std::string_view text) {
    if (text.empty()) return {};
    // One byte never yields more than one UTF-16 character in an ANSI code page.
    std::u16string out(text.size(), u'\0');
    const int converted = ::MultiByteToWideChar(CP_ACP, 0, text.data(), clamp_length(text.size()),
                                                reinterpret_cast<wchar_t*>(out.data()), clamp_length(out.size()));
    out.resize(converted > 0 ? static_cast<std::size_t>(converted) : 0);
    return out;
}

// --- Network ------------------------------------------------------------------------------------

bool net_start() {
    WSADATA data;
    return ::WSAStartup(MAKEWORD(2, 0), &data) == 0;
}

void net_stop() { ::WSACleanup(); }

Connection connect_ipv4(const char* host, std::uint16_t port) {
    const hostent* found = ::gethostbyname(host);
    if (found == nullptr || found->h_addr_list == nullptr || found->h_addr_list[0] == nullptr) {
        return {ConnectStatus::unresolved, invalid_socket};
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = ::htons(port);
    std::memcpy(&address.sin_addr, found->h_addr_list[0], sizeof address.sin_addr);

    const SOCKET handle = ::socket(AF_INET, SOCK_STREAM, 0);
    if (handle == INVALID_SOCKET) return {ConnectStatus::refused, invalid_socket};
    const DWORD limit = SILENCE_LIMIT_SECONDS * 1000;
    ::setsockopt(handle, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&limit), sizeof limit);
    ::setsockopt(handle, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&limit), sizeof limit);
    if (::connect(handle, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::closesocket(handle);
        return {ConnectStatus::refused, invalid_socket};
    }
    return {ConnectStatus::connected, static_cast<Socket>(handle)};
}

long net_send(Socket socket, const void* data, std::size_t length) {
    return ::send(static_cast<SOCKET>(socket), static_cast<const char*>(data), clamp_length(length), 0);
}

long net_recv(Socket socket, void* buffer, std::size_t length) {
    return ::recv(static_cast<SOCKET>(socket), static_cast<char*>(buffer), clamp_length(length), 0);
}

// Windows sockets gather small sends by themselves (Nagle); there is no cork to set.
void net_hold_sends(Socket, bool) {}

void net_close(Socket socket) {
    if (socket != invalid_socket) ::closesocket(static_cast<SOCKET>(socket));
}

// --- Process ------------------------------------------------------------------------------------

std::vector<NativePath> split_arguments(const char16_t* argument_text) {
    std::vector<NativePath> paths;
    // The system splitter would answer an empty text with the program's own path.
    if (argument_text == nullptr || *argument_text == u'\0') return paths;
    int count = 0;
    wchar_t** items = ::CommandLineToArgvW(reinterpret_cast<const wchar_t*>(argument_text), &count);
    if (items == nullptr) return paths;
    for (int i = 0; i < count; ++i) paths.push_back(from_wide(items[i]));
    ::LocalFree(items);
    return paths;
}

std::string os_description() {
    OSVERSIONINFOW version{};
    version.dwOSVersionInfoSize = sizeof version;
    ::GetVersionExW(&version);
    char text[64];
    std::snprintf(text, sizeof text, "Windows NT %lu.%lu", version.dwMajorVersion, version.dwMinorVersion);
    return text;
}

// --- Files and folders --------------------------------------------------------------------------

std::optional<FileStatus> file_status(const NativePath& path) {
    if (path.empty()) return std::nullopt;
    // No access rights are asked for, so files that others hold open can still be queried; backup
    // semantics lets folders be opened too, and links are followed.
    const HANDLE handle = ::CreateFileW(wide(path), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return std::nullopt;
    BY_HANDLE_FILE_INFORMATION info{};
    const bool known = ::GetFileInformationByHandle(handle, &info) != 0;
    ::CloseHandle(handle);
    if (!known) return std::nullopt;
    FileStatus status;
    status.kind = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? FileKind::folder
                  : (info.dwFileAttributes & FILE_ATTRIBUTE_DEVICE) ? FileKind::other
                                                                     : FileKind::regular;
    status.size = (std::uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow;
    status.identity = {info.dwVolumeSerialNumber, (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow};
    return status;
}

std::FILE* open_file(const NativePath& path, const char* mode) {
    wchar_t wide_mode[8] = {};
    for (std::size_t i = 0; mode[i] != '\0' && i + 1 < std::size(wide_mode); ++i) wide_mode[i] = mode[i];
    return ::_wfopen(wide(path), wide_mode);
}

std::byte* hold_area(std::size_t size) { return static_cast<std::byte*>(std::malloc(size == 0 ? 1 : size)); }

void release_area(std::byte* area, std::size_t) { std::free(area); }

void make_folder(const NativePath& path) { ::CreateDirectoryW(wide(path), nullptr); }

namespace {

// A handle that marks a folder without holding it: others may still rename or delete it.
HANDLE open_folder(const wchar_t* path) {
    const HANDLE handle = ::CreateFileW(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    return handle == INVALID_HANDLE_VALUE ? nullptr : handle;
}

std::optional<FileIdentity> identity_of(HANDLE handle) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (handle == nullptr || !::GetFileInformationByHandle(handle, &info)) return std::nullopt;
    return FileIdentity{info.dwVolumeSerialNumber, (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow};
}

// Where the handle's folder is now. The system call came with Vista, so it is looked up rather
// than linked: NT 5 goes without, and restores by the saved path.
std::optional<NativePath> current_path_of(HANDLE handle) {
    using FinalPath = DWORD(WINAPI*)(HANDLE, LPWSTR, DWORD, DWORD);
    const HMODULE kernel = ::GetModuleHandleW(L"kernel32.dll");
    const auto final_path = kernel == nullptr ? nullptr
                                              : reinterpret_cast<FinalPath>(reinterpret_cast<void (*)()>(
                                                    ::GetProcAddress(kernel, "GetFinalPathNameByHandleW")));
    if (final_path == nullptr || handle == nullptr) return std::nullopt;
    const DWORD needed = final_path(handle, nullptr, 0, 0);
    if (needed == 0) return std::nullopt;
    std::u16string path(needed, u'\0');
    const DWORD length = final_path(handle, reinterpret_cast<wchar_t*>(path.data()), needed, 0);
    if (length == 0 || length >= needed) return std::nullopt;
    path.resize(length);
    // "\\?\C:\x" and "\\?\UNC\server\share\x": the current directory takes the plain forms.
    if (path.starts_with(u"\\\\?\\UNC\\")) path.replace(0, 8, u"\\\\");
    else if (path.starts_with(u"\\\\?\\")) path.erase(0, 4);
    return path;
}

}  // namespace

std::optional<SavedDir> save_current_dir() {
    const DWORD needed = ::GetCurrentDirectoryW(0, nullptr);
    if (needed == 0) return std::nullopt;
    std::u16string path(needed, u'\0');
    const DWORD length = ::GetCurrentDirectoryW(needed, reinterpret_cast<wchar_t*>(path.data()));
    if (length == 0 || length >= needed) return std::nullopt;
    path.resize(length);
    return SavedDir{open_folder(L"."), path};
}

bool restore_current_dir(const SavedDir& saved) {
    if (saved.handle == nullptr) return change_dir(saved.path);
    const std::optional<NativePath> now = current_path_of(saved.handle);
    if (!change_dir(now ? *now : saved.path)) return false;
    // Another folder may have taken the old path since: only the saved folder itself will do.
    const HANDLE current = open_folder(L".");
    const std::optional<FileIdentity> arrived = identity_of(current);
    if (current != nullptr) ::CloseHandle(current);
    return arrived && arrived == identity_of(saved.handle);
}

void release_saved_dir(SavedDir& saved) {
    if (saved.handle != nullptr) ::CloseHandle(saved.handle);
    saved.handle = nullptr;
    saved.path.clear();
}

// "C:\x" and "\\server\share\x" only: "C:x" and "\x" still depend on the current folder or drive.
bool is_absolute(const NativePath& path) {
    if (path.starts_with(u"\\\\")) return true;
    return path.size() >= 3 && path[1] == u':' && (path[2] == u'\\' || path[2] == u'/');
}

bool change_dir(const NativePath& path) { return !path.empty() && ::SetCurrentDirectoryW(wide(path)) != 0; }

std::optional<DirWalker> dir_open(const NativePath& path) {
    NativePath pattern = path;
    if (!pattern.empty() && pattern.back() != u'\\' && pattern.back() != u':') pattern += u'\\';
    pattern += u'*';
    WIN32_FIND_DATAW found{};
    const HANDLE handle = ::FindFirstFileW(wide(pattern), &found);
    if (handle == INVALID_HANDLE_VALUE) return std::nullopt;
    DirWalker search{handle, std::nullopt};
    if (!is_dot_entry(found.cFileName)) search.pending = from_wide(found.cFileName);
    return search;
}

std::optional<NativePath> dir_next(DirWalker& search) {
    if (search.pending) {
        std::optional<NativePath> name = std::move(search.pending);
        search.pending.reset();
        return name;
    }
    while (search.handle != nullptr) {
        WIN32_FIND_DATAW found{};
        if (!::FindNextFileW(search.handle, &found)) {
            dir_close(search);
            break;
        }
        if (!is_dot_entry(found.cFileName)) return from_wide(found.cFileName);
    }
    return std::nullopt;
}

void dir_close(DirWalker& search) {
    if (search.handle != nullptr) ::FindClose(search.handle);
    search.handle = nullptr;
    search.pending.reset();
}

std::optional<NativePath> app_data_folder() {
    const wchar_t* value = ::_wgetenv(L"APPDATA");
    if (value != nullptr && *value != L'\0') return from_wide(value);
    wchar_t folder[MAX_PATH] = {};
    if (::SHGetFolderPathW(nullptr, CSIDL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, folder) == S_OK) return from_wide(folder);
    return std::nullopt;
}

}  // namespace platform
