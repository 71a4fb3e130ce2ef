// The program's entry: a windowless GUI program on Windows, an ordinary command on POSIX systems.
#include <vector>

#include "app/upload_run.h"
#include "platform/platform.h"

#if defined(_WIN32)
// The argument text arrives without the program's own name; the system splits it into paths.
extern "C" int __stdcall wWinMain(void* /*instance*/, void* /*previous*/, wchar_t* argument_text, int /*show*/) {
    return run_upload(platform::split_arguments(reinterpret_cast<const char16_t*>(argument_text)));
}
#else
int main(int argc, char** argv) {
    return run_upload(std::vector<platform::NativePath>(argv + 1, argv + argc));
}
#endif
