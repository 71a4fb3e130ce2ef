// POSIX implementation of platform.h: BSD sockets, xdg-open and zenity, UTF-8 file names.
#if defined(_WIN32)
#error "platform_posix.cpp is for POSIX systems; Windows builds compile platform_win32.cpp"
#endif

#include "platform/platform.h"
#include "platform/posix_env.h"
#include "platform/utf8.h"

#include <dirent.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/types.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace platform {

bool env_is_set(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0';
}

std::u16string path_to_utf16(const NativePath& path) { return utf8_to_utf16(path); }
NativePath native_path(std::string_view ascii) { return NativePath(ascii); }
std::u16string ansi_to_utf16(std::string_view text) { return utf8_to_utf16(text); }

// --- Network ------------------------------------------------------------------------------------

bool net_start() { return true; }
void net_stop() {}

Connection connect_ipv4(const char* host, std::uint16_t port) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host, nullptr, &hints, &found) != 0 || found == nullptr) {
        return {ConnectStatus::unresolved, invalid_socket};
    }
    sockaddr_in address{};
    std::memcpy(&address, found->ai_addr, sizeof address);
    ::freeaddrinfo(found);
    address.sin_family = AF_INET;
    address.sin_port = htons(port);

    const int descriptor = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (descriptor < 0) return {ConnectStatus::refused, invalid_socket};
    const timeval limit{SILENCE_LIMIT_SECONDS, 0};
    ::setsockopt(descriptor, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    ::setsockopt(descriptor, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    int result;
    do {
        result = ::connect(descriptor, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    } while (result < 0 && errno == EINTR);
    if (result < 0) {
        ::close(descriptor);
        return {ConnectStatus::refused, invalid_socket};
    }
    return {ConnectStatus::connected, static_cast<Socket>(descriptor)};
}

long net_send(Socket socket, const void* data, std::size_t length) {
    ssize_t sent;
    do {
        sent = ::send(static_cast<int>(socket), data, length, MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    return static_cast<long>(sent);
}

long net_recv(Socket socket, void* buffer, std::size_t length) {
    ssize_t received;
    do {
        received = ::recv(static_cast<int>(socket), buffer, length, 0);
    } while (received < 0 && errno == EINTR);
    return static_cast<long>(received);
}

void net_hold_sends(Socket socket, bool hold) {
#if defined(TCP_CORK)
    const int value = hold ? 1 : 0;
    ::setsockopt(static_cast<int>(socket), IPPROTO_TCP, TCP_CORK, &value, sizeof value);
#else
    (void)socket;
    (void)hold;
#endif
}

void net_close(Socket socket) {
    if (socket != invalid_socket) ::close(static_cast<int>(socket));
}

// --- Process ------------------------------------------------------------------------------------

std::string os_description() {
    utsname name{};
    if (::uname(&name) != 0) return "unknown";
    unsigned major = 0, minor = 0;
    std::sscanf(name.release, "%u.%u", &major, &minor);
    return std::string(name.sysname) + " " + std::to_string(major) + "." + std::to_string(minor);
}

// --- Files and folders --------------------------------------------------------------------------

std::optional<FileStatus> file_status(const NativePath& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return std::nullopt;
    FileStatus status;
    status.kind = S_ISREG(info.st_mode) ? FileKind::regular : S_ISDIR(info.st_mode) ? FileKind::folder : FileKind::other;
    status.size = static_cast<std::uint64_t>(info.st_size);
    status.identity = {static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino)};
    return status;
}

std::FILE* open_file(const NativePath& path, const char* mode) {
    // Opened without blocking and confirmed a regular file on the descriptor itself: a name swapped
    // for a FIFO after it was checked would otherwise block the open for ever (no writer), and a
    // device or a folder would give a stream that is no file. Close-on-exec is set by the open
    // itself, so no started program inherits the file.
    const bool update = std::strchr(mode, '+') != nullptr;
    int flags = O_CLOEXEC | O_NONBLOCK | O_NOCTTY | (update ? O_RDWR : 0);
    switch (mode[0]) {
        case 'r': flags |= update ? 0 : O_RDONLY; break;
        case 'w': flags |= (update ? 0 : O_WRONLY) | O_CREAT | O_TRUNC; break;
        case 'a': flags |= (update ? 0 : O_WRONLY) | O_CREAT | O_APPEND; break;
        default: return nullptr;
    }
    const int descriptor = ::open(path.c_str(), flags, 0666);
    if (descriptor < 0) return nullptr;
    struct stat info {};
    std::FILE* file = nullptr;
    if (::fstat(descriptor, &info) == 0 && S_ISREG(info.st_mode) &&
        ::fcntl(descriptor, F_SETFL, ::fcntl(descriptor, F_GETFL) & ~O_NONBLOCK) == 0) {
        file = ::fdopen(descriptor, mode);
    }
    if (file == nullptr) ::close(descriptor);
    return file;
}

namespace {
// Below this, areas come from the heap like any small allocation.
constexpr std::size_t MAPPED_AREA = 256 * 1024;
}  // namespace

std::byte* hold_area(std::size_t size) {
    if (size < MAPPED_AREA) return static_cast<std::byte*>(std::malloc(size == 0 ? 1 : size));
    void* area = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
    return area == MAP_FAILED ? nullptr : static_cast<std::byte*>(area);
}

void release_area(std::byte* area, std::size_t size) {
    if (area == nullptr) return;
    if (size < MAPPED_AREA) std::free(area);
    else ::munmap(area, size);
}

void make_folder(const NativePath& path) {
    // A fresh account may not have the configuration folder itself yet.
    for (std::size_t slash = path.find('/', 1); slash != NativePath::npos; slash = path.find('/', slash + 1)) {
        ::mkdir(path.substr(0, slash).c_str(), 0777);
    }
    ::mkdir(path.c_str(), 0777);
}

// A descriptor that only marks the folder (O_PATH) needs no read permission on it, so a current
// folder that cannot be listed (mode 0311) is still saved; the path is the fallback elsewhere.
std::optional<SavedDir> save_current_dir() {
#if defined(O_PATH)
    const int descriptor = ::open(".", O_PATH | O_DIRECTORY | O_CLOEXEC);
#else
    const int descriptor = ::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
#endif
    if (descriptor >= 0) return SavedDir{descriptor, {}};
    std::string path(256, '\0');
    while (::getcwd(path.data(), path.size()) == nullptr) {
        if (errno != ERANGE) return std::nullopt;
        path.resize(path.size() * 2);
    }
    path.resize(std::strlen(path.c_str()));
    return SavedDir{-1, path};
}

bool restore_current_dir(const SavedDir& saved) {
    if (saved.descriptor >= 0) return ::fchdir(saved.descriptor) == 0;
    return change_dir(saved.path);
}

void release_saved_dir(SavedDir& saved) {
    if (saved.descriptor >= 0) ::close(saved.descriptor);
    saved.descriptor = -1;
    saved.path.clear();
}

bool is_absolute(const NativePath& path) { return path.starts_with('/'); }

bool change_dir(const NativePath& path) { return !path.empty() && ::chdir(path.c_str()) == 0; }

std::optional<DirWalker> dir_open(const NativePath& path) {
    DIR* dir = ::opendir(path.empty() ? "." : path.c_str());
    if (dir == nullptr) return std::nullopt;
    return DirWalker{dir};
}

std::optional<NativePath> dir_next(DirWalker& search) {
    while (search.handle != nullptr) {
        const dirent* entry = ::readdir(static_cast<DIR*>(search.handle));
        if (entry == nullptr) {
            dir_close(search);
            break;
        }
        const std::string_view name = entry->d_name;
        if (name != "." && name != "..") return NativePath(name);
    }
    return std::nullopt;
}

void dir_close(DirWalker& search) {
    if (search.handle != nullptr) ::closedir(static_cast<DIR*>(search.handle));
    search.handle = nullptr;
}

std::optional<NativePath> app_data_folder() {
    if (env_is_set("APPDATA")) return NativePath(std::getenv("APPDATA"));
    if (env_is_set("XDG_CONFIG_HOME")) return NativePath(std::getenv("XDG_CONFIG_HOME"));
    if (env_is_set("HOME")) return NativePath(std::getenv("HOME")) + "/.config";
    return std::nullopt;
}

}  // namespace platform
