// Linux process entry: turns the UTF-8 arguments into the UTF-16 vector that
// Windows would hand over, then calls the same wide entry.
#include "platform/entry.h"
#include "platform/posix/standin.h"
#include "platform/posix/text.h"

#include <csignal>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

// Bytes that are not UTF-8 keep their own form, so a folder typed as it
// is on disk is found exactly. Returns the units written with the NUL.
size_t to_utf16(const char* s, char16_t* out) {
    size_t n = posix_text_to_utf16(s, out, PosixText::Argument);
    if (out) out[n] = 0;
    return n + 1;
}

// The vector lives as long as the process, like the one Windows provides.
char16_t** g_wide_argv;
char16_t* g_wide_text;

} // namespace

int main(int argc, char** argv) {
    // A standard descriptor closed at start would be handed to the first file
    // opened, and messages would land in it: hold each with /dev/null.
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        int held = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (held > fd) close(held); // the lowest free descriptor is fd, unless open failed
    }
    // A closed pipe must fail the write, as on Windows, not kill the process;
    // so must a write or an extension beyond the file-size limit (ulimit -f),
    // which then fails with EFBIG: the disk is full, as far as we may use it.
    signal(SIGPIPE, SIG_IGN);
    signal(SIGXFSZ, SIG_IGN);
    size_t units = 0;
    for (int i = 0; i < argc; ++i) units += to_utf16(argv[i], nullptr);
    char16_t** wargv = g_wide_argv =
        static_cast<char16_t**>(malloc(sizeof(char16_t*) * (argc + 1)));
    char16_t* text = g_wide_text =
        static_cast<char16_t*>(malloc(sizeof(char16_t) * (units ? units : 1)));
    if (!wargv || !text) return -1;
    char16_t* p = text;
    for (int i = 0; i < argc; ++i) {
        wargv[i] = p;
        p += to_utf16(argv[i], p);
    }
    wargv[argc] = nullptr;
    int status = wide_main(argc, wargv);
    // An interrupted run ends with the status a shell expects of a program
    // that a signal stopped.
    int sig = standin::interrupt_signal();
    if (status == static_cast<int>(STATUS_CONTROL_C_EXIT) && sig) return 128 + sig;
    return status;
}
