// What the system tells about itself: the memory a process may still take
// (the container's limit where there is one), the processors it may use,
// the temporary folder, and sleeping.
#include "platform/posix/standin.h"
#include "platform/posix/text.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sched.h>
#include <string>
#include <unistd.h>

namespace {

// A number read from the start of a file; false when there is none ("max").
bool read_number(const char* path, uint64_t* out) {
    FILE* f = fopen(path, "re");
    if (!f) return false;
    unsigned long long v = 0;
    bool ok = fscanf(f, "%llu", &v) == 1;
    fclose(f);
    if (ok) *out = v;
    return ok;
}

// MemAvailable and MemTotal of /proc/meminfo, in bytes.
void system_memory(uint64_t* total, uint64_t* available) {
    *total = *available = 0;
    FILE* f = fopen("/proc/meminfo", "re");
    if (!f) return;
    char line[256];
    while (fgets(line, sizeof line, f)) {
        unsigned long long kib;
        if (sscanf(line, "MemTotal: %llu kB", &kib) == 1) *total = kib * 1024;
        if (sscanf(line, "MemAvailable: %llu kB", &kib) == 1) *available = kib * 1024;
    }
    fclose(f);
}

// The room left under the memory limits of the process's control group and
// of the groups above it (cgroup v2); all-ones when there is no limit.
uint64_t cgroup_room() {
    FILE* f = fopen("/proc/self/cgroup", "re");
    if (!f) return ~0ull;
    char line[4096];
    std::string group;
    while (fgets(line, sizeof line, f)) {
        if (strncmp(line, "0::", 3) == 0) {
            group = line + 3;
            while (!group.empty() && group.back() == '\n') group.pop_back();
        }
    }
    fclose(f);
    uint64_t room = ~0ull;
    for (;;) {
        std::string dir = "/sys/fs/cgroup" + group;
        uint64_t limit, used;
        if (read_number((dir + "/memory.max").c_str(), &limit) &&
            read_number((dir + "/memory.current").c_str(), &used)) {
            uint64_t left = limit > used ? limit - used : 0;
            if (left < room) room = left;
        }
        if (group.empty() || group == "/") break;
        size_t slash = group.rfind('/');
        group.resize(slash == std::string::npos ? 0 : slash);
    }
    return room;
}

} // namespace

extern "C" {

BOOL WINAPI GlobalMemoryStatusEx(MEMORYSTATUSEX* status) {
    if (!status || status->dwLength != sizeof(MEMORYSTATUSEX)) {
        standin::set_last_error(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    uint64_t total, available;
    system_memory(&total, &available);
    uint64_t room = cgroup_room();
    if (room < available) available = room;
    status->dwMemoryLoad = total ? static_cast<DWORD>(100 - available * 100 / total) : 0;
    status->ullTotalPhys = total;
    status->ullAvailPhys = available;
    status->ullTotalPageFile = total;
    status->ullAvailPageFile = available;
    status->ullTotalVirtual = 1ull << 47;
    status->ullAvailVirtual = 1ull << 47;
    status->ullAvailExtendedVirtual = 0;
    return TRUE;
}

DWORD WINAPI GetActiveProcessorCount(WORD) {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        int n = CPU_COUNT(&set);
        if (n > 0) return static_cast<DWORD>(n);
    }
    long online = sysconf(_SC_NPROCESSORS_ONLN);
    return online > 0 ? static_cast<DWORD>(online) : 1;
}

// The temporary folder as Linux programs find it, $TMPDIR when it is an
// absolute path, else /tmp, in Windows form with a closing backslash.
DWORD WINAPI GetTempPathW(DWORD length, LPWSTR buffer) {
    const char* dir = getenv("TMPDIR");
    if (!dir || dir[0] != '/') dir = "/tmp";
    std::u16string text(posix_text_to_utf16(dir, nullptr, PosixText::Path), u'\0');
    posix_text_to_utf16(dir, text.data(), PosixText::Path);
    std::u16string out = u"Z:";
    for (char16_t c : text) out += c == u'/' ? u'\\' : c;
    if (out.back() != u'\\') out += u'\\';
    DWORD need = static_cast<DWORD>(out.size());
    if (!buffer || length <= need) return need + 1;
    for (size_t i = 0; i < out.size(); ++i) buffer[i] = out[i];
    buffer[need] = 0;
    return need;
}

void WINAPI Sleep(DWORD milliseconds) {
    struct timespec ts;
    ts.tv_sec = milliseconds / 1000;
    ts.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000;
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

} // extern "C"
