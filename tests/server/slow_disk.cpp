// A slow disk by fault injection, preloaded into a gallery-server child: syncs and writes to regular
// files take as long as GALLERY_SLOW_SYNC_MS and GALLERY_SLOW_WRITE_MS say. Sockets and the log are
// left alone.
#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

namespace {

long delay_of(const char* name) {
    const char* text = std::getenv(name);
    return text ? std::atol(text) : 0;
}

void stall(const char* name) {
    static const long sync_ms = delay_of("GALLERY_SLOW_SYNC_MS");
    static const long write_ms = delay_of("GALLERY_SLOW_WRITE_MS");
    long ms = name[0] == 's' ? sync_ms : write_ms;
    if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

bool regular_file(int fd) {
    struct stat st {};
    return ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
}

template <class F>
F next(const char* symbol) {
    return reinterpret_cast<F>(::dlsym(RTLD_NEXT, symbol));
}

}  // namespace

extern "C" {

int fsync(int fd) {
    stall("sync");
    static auto real = next<int (*)(int)>("fsync");
    return real(fd);
}

int fdatasync(int fd) {
    stall("sync");
    static auto real = next<int (*)(int)>("fdatasync");
    return real(fd);
}

ssize_t write(int fd, const void* data, size_t size) {
    static auto real = next<ssize_t (*)(int, const void*, size_t)>("write");
    if (fd > 2 && regular_file(fd)) stall("write");
    return real(fd, data, size);
}

ssize_t pwrite64(int fd, const void* data, size_t size, off_t at) {
    static auto real = next<ssize_t (*)(int, const void*, size_t, off_t)>("pwrite64");
    if (fd > 2 && regular_file(fd)) stall("write");
    return real(fd, data, size, at);
}

ssize_t pwrite(int fd, const void* data, size_t size, off_t at) {
    static auto real = next<ssize_t (*)(int, const void*, size_t, off_t)>("pwrite");
    if (fd > 2 && regular_file(fd)) stall("write");
    return real(fd, data, size, at);
}

}
