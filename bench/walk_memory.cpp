// Measures the heap a folder walk holds. Builds (once) a tree of empty files
// spread over a few folders, walks it with no filters, and reports the
// largest heap in use seen between walker_next calls (glibc's count of
// allocated bytes, above what was in use before the walk) and the process's
// peak resident size.
//
//   walk_memory [folder] [files] [folders]
//   defaults:   /tmp/eolset_walk_tree 100000 4

#include "base/walker.h"

#include <malloc.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

size_t heap_in_use() {
    return mallinfo2().uordblks;
}

long vm_hwm_kib() {
    FILE* f = fopen("/proc/self/status", "r");
    if (!f) return -1;
    char line[256];
    long kib = -1;
    while (fgets(line, sizeof line, f)) {
        if (strncmp(line, "VmHWM:", 6) == 0) kib = strtol(line + 6, nullptr, 10);
    }
    fclose(f);
    return kib;
}

// Folders d0..d(n-1), files spread evenly, named f000000.txt and up. A
// marker beside the tree says it is complete.
bool make_tree(const std::string& root, long files, long folders) {
    std::string marker =
        root + ".complete-" + std::to_string(files) + "-" + std::to_string(folders);
    struct stat st;
    if (stat(marker.c_str(), &st) == 0) return true;
    mkdir(root.c_str(), 0755);
    for (long d = 0; d < folders; ++d) {
        std::string dir = root + "/d" + std::to_string(d);
        mkdir(dir.c_str(), 0755);
        for (long i = d; i < files; i += folders) {
            char name[32];
            snprintf(name, sizeof name, "/f%06ld.txt", i);
            FILE* f = fopen((dir + name).c_str(), "w");
            if (!f) return false;
            fclose(f);
        }
    }
    FILE* m = fopen(marker.c_str(), "w");
    if (m) fclose(m);
    return true;
}

} // namespace

int main(int argc, char** argv) {
    std::string root = argc > 1 ? argv[1] : "/tmp/eolset_walk_tree";
    long files = argc > 2 ? strtol(argv[2], nullptr, 10) : 100000;
    long folders = argc > 3 ? strtol(argv[3], nullptr, 10) : 4;
    if (files < 0 || folders < 1 || !make_tree(root, files, folders)) {
        fprintf(stderr, "cannot make the tree under %s\n", root.c_str());
        return 1;
    }

    size_t base = heap_in_use();
    long hwm_before = vm_hwm_kib();
    FolderWalker* w = nullptr;
    ErrorCode err = walker_create(&w, nullptr, root.c_str(), 0, nullptr);
    if (err != 0) {
        fprintf(stderr, "walker_create: %d\n", err);
        return 1;
    }
    size_t peak = heap_in_use() - base;
    uint64_t entries = 0;
    const char* path = nullptr;
    while ((err = walker_next(w, &path, nullptr, nullptr)) == 0) {
        ++entries;
        size_t now = heap_in_use() - base;
        if (now > peak) peak = now;
    }
    walker_release(w);
    size_t left = heap_in_use() - base;

    printf("tree: %s, %ld files in %ld folders\n", root.c_str(), files, folders);
    printf("entries handed out: %llu (last result %d)\n", static_cast<unsigned long long>(entries),
           err);
    printf("peak heap held by the walk: %zu bytes (%.1f MiB), %.0f bytes per entry of the "
           "largest folder\n",
           peak, peak / 1048576.0, static_cast<double>(peak) / ((files + folders - 1) / folders));
    printf("heap still held after release: %zu bytes\n", left);
    printf("VmHWM: %ld KiB before the walk, %ld KiB after\n", hwm_before, vm_hwm_kib());
    return 0;
}
