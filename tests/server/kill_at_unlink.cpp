// A crash by fault injection, preloaded into a gallery-server child: the process is killed (SIGKILL)
// at the first unlink(2) of a path containing GALLERY_KILL_AT_UNLINK, before anything is removed, as
// a power cut between a delete's commit and its file removal would.
#include <dlfcn.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

extern "C" int unlink(const char* path) {
    static const char* marker = std::getenv("GALLERY_KILL_AT_UNLINK");
    if (marker && *marker && std::strstr(path, marker)) ::kill(::getpid(), SIGKILL);
    static auto real = reinterpret_cast<int (*)(const char*)>(::dlsym(RTLD_NEXT, "unlink"));
    return real(path);
}
