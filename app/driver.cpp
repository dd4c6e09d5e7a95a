#include "app/driver.h"

#include "app/convert.h"
#include "app/interrupt.h"
#include "app/report.h"
#include "app/recover.h"
#include "app/rewrite.h"
#include "app/seen.h"
#include "app/workers.h"
#include "base/filekind.h"
#include "base/alloc.h"
#include "base/fileinfo.h"
#include "base/format.h"
#include "base/output.h"
#include "base/path.h"
#include "base/utf.h"
#include "base/walker.h"
#include "platform/nt.h"

#include <cstring>

namespace {

// Filters in argument order; the strings stay in the argument vector.
struct FilterNode {
    FilterNode* next;
    const char* text;
};
struct FilterList {
    FilterNode* head;
    FilterNode** tail;
    int32_t count;
};

bool filter_list_append(FilterList* list, ArenaAllocator* arena, const char* text) {
    FilterNode* node = static_cast<FilterNode*>(allocate(arena_base(arena), sizeof(FilterNode)));
    if (!node) return false;
    node->text = text;
    *list->tail = node;
    list->tail = &node->next;
    ++list->count;
    return true;
}

bool has_wildcard(const char* s, uint64_t n) {
    for (uint64_t i = 0; i < n; ++i)
        if (s[i] == '*' || s[i] == '?') return true;
    return false;
}

bool is_separator(char c) {
    return c == '\\' || c == '/';
}

// Splits "dir/sub/*.cpp" into the folder "dir/sub/" and the filter "+*.cpp":
// everything from the first element holding a wildcard on becomes the filter.
// "Z:*.cpp" is the current folder of Z: with the filter "+*.cpp".
// Returns false when the path holds no wildcard.
bool split_wildcards(ArenaAllocator* arena, const char* path, const char** folder,
                     const char** filter) {
    // Wildcards count only after the root: the "?" of \\?\ is none.
    uint64_t start = 0;
    if (path_root(path, &start, nullptr) != 0) return false;
    uint64_t len = str_len(path);
    for (uint64_t i = start; i <= len; ++i) {
        if (i == len || is_separator(path[i])) {
            if (has_wildcard(path + start, i - start)) {
                char* dir = str_dup(arena_base(arena), path, start);
                *folder = (dir && *dir) ? dir : ".";
                *filter = format_new(arena_base(arena), "+%s", path + start);
                return true;
            }
            start = i + 1;
        }
    }
    return false;
}

// "-j<N>": N from 1 to MAX_WORKERS.
bool parse_workers(const char* digits, uint32_t* workers) {
    uint32_t n = 0;
    if (!*digits) return false;
    for (const char* p = digits; *p; ++p) {
        if (*p < '0' || *p > '9') return false;
        n = n * 10 + static_cast<uint32_t>(*p - '0');
        if (n > MAX_WORKERS) return false;
    }
    if (n == 0) return false;
    *workers = n;
    return true;
}

struct Run {
    RunTotals totals;
    ArenaAllocator arena;
    uint32_t walk_errors;
    uint32_t links_outside;
    bool failed; // no folder, a folder that would not open, or memory ran out
};

// A folder that could not be read is named and counted, and the walk goes
// on; a loop means the folder was walked already. Memory that ran out for
// the walk itself is no fault of a folder.
void report_walk_error(Run* run, ErrorCode err, const char* path) {
    if (err == ERR_FOLDER_LOOP) return;
    if (err == ERR_OUT_OF_MEMORY || !path) {
        print_err("ERROR: Out of memory.\n");
        run->failed = true;
        return;
    }
    ++run->walk_errors;
    report_path_error("ERROR: Cannot read folder \"", path, err);
}

void walk(Run* run, const char* folder, const char* const* filters, Signal* cancel,
          uint32_t workers) {
    FolderWalker* walker = nullptr;
    int32_t flags = run->totals.force ? 0 : WALK_SKIP_VCS;
    ErrorCode err = walker_create(&walker, cancel, folder, flags, filters);
    if (err == ERR_CANCELLED) return; // interrupted while it opened: no fault of the folder
    if (err != 0) {
        report_typed_error("ERROR: Cannot open folder \"", folder, err);
        run->failed = true;
        return;
    }
    // The walk's paths begin with the folder's full form.
    shown_set_root(folder, path_full(arena_base(&run->arena), folder));
    // The files are converted on worker threads while the walk goes on; what
    // the walk itself reports waits until the files before it are done.
    crew_begin(&run->totals, workers, cancel);
    for (;;) {
        const char* path = nullptr;
        FileEntry* entry = nullptr;
        if (interrupt_requested()) break;
        err = walker_next(walker, &path, nullptr, &entry);
        if (err == ERR_NO_MORE_FILES || err == ERR_CANCELLED) break;
        if (err != 0) {
            crew_drain();
            report_walk_error(run, err, path);
            continue;
        }
        if (entry && entry->is_directory) continue;
        FileEntry none = {};
        crew_convert(path, entry ? entry : &none);
    }
    crew_end();
    run->links_outside = static_cast<uint32_t>(walker->links_outside);
    walker_release(walker);
}

void print_summary(const Run* run) {
    const RunTotals& t = run->totals;
    // Counts are printed as the unsigned 64-bit numbers they are.
    if (t.files_processed) print_out("%llu files processed\n", t.files_processed);
    if (t.binary_left) print_out("%llu binary files left alone\n", t.binary_left);
    if (t.memory_failures + t.open_failures)
        print_out("%llu files could not be read\n", t.memory_failures + t.open_failures);
    if (t.write_failures) print_out("%llu files could not be modified\n", t.write_failures);
    if (t.files_fixed)
        print_out("%s %llu line feeds and %llu BOMs in %llu files\n",
                  t.test_only ? "would fix" : "fixed", t.line_feeds_fixed, t.boms_fixed,
                  t.files_fixed);
    if (run->walk_errors) print_out("%i folders could not be read\n", run->walk_errors);
    if (run->links_outside)
        print_out("%i links lead outside the folder and were not followed\n", run->links_outside);
}

} // namespace

void print_help() {
    print_out("Newlinery\n"
              "Copyright (c) 2026 the eolset developers\n"
              "build 26VA\n"
              "syntax: \"eolset [<switch> ...] <folder> [[+|-]<filter> ...]\"\n"
              "switches:\n"
              "  -h  show this help information\n"
              "  -p  preserve file modify time\n"
              "  -t  test only, do not modify files\n"
              "  -u  convert to unix text file\n"
              "  -w  convert to windows text file\n"
              "  -f  also convert binary files and version-control folders\n"
              "  -j<N>  convert N files at a time (-j1: one after another)\n"
              "  -  remaining arguments are not switches\n"
              "If <folder> identifies a single existing file then the single file will be "
              "processed.\n"
              "If <folder> contains wildcards, the portion up to the first element containing "
              "wildcards will be used as the folder and the remaining elements will be used as a "
              "\"+\" filter.\n"
              "If no filters are specified then all files in the folder are processed.\n"
              "examples:\n"
              "   eolset -u source/*.cpp\n"
              "   eolset -w source -**.sh +**.cpp -samples/**\n");
}

int run_converter(int32_t argc, char** argv) {
    Run run = {};
    arena_init(&run.arena);
    FilterList filters = {nullptr, &filters.head, 0};
    const char* folder = nullptr;
    bool help = false;
    bool version = false;
    bool switches_over = false;
    bool out_of_memory = false;
    uint32_t workers = 0; // one per processor
    Signal cancel;        // lives until the interrupt handler forgets it
    signal_init(&cancel);

    for (int32_t i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (!switches_over && (arg[0] == '-' || arg[0] == '/')) {
            if (strcmp(arg, "--help") == 0) {
                help = true;
                continue;
            }
            if (strcmp(arg, "--version") == 0) {
                version = true;
                continue;
            }
            if (arg[1] == 0) {
                switches_over = true;
            } else if ((arg[1] == 'j' || arg[1] == 'J') && parse_workers(arg + 2, &workers)) {
                continue;
            } else if (arg[2] == 0) {
                char c = arg[1];
                if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
                bool known = true;
                switch (c) {
                case 'h':
                case '?':
                    help = true;
                    break;
                case 'p':
                    run.totals.preserve_time = 1;
                    break;
                case 't':
                    run.totals.test_only = 1;
                    break;
                case 'u':
                    run.totals.to_unix = 1;
                    break;
                case 'w':
                    run.totals.to_windows = 1;
                    break;
                case 'f':
                    run.totals.force = 1;
                    break;
                default:
                    known = false;
                    break;
                }
                if (known) continue;
            }
        }
        if (!folder)
            folder = arg;
        else if (!filter_list_append(&filters, &run.arena, arg))
            out_of_memory = true;
    }

    if (help) {
        print_help();
    } else if (version) {
        print_out("eolset %s\n", EOLSET_VERSION);
    } else if (!folder || !*folder) {
        print_err("ERROR: Must supply folder/file name.\n");
        run.failed = true;
    } else {
        // A path with wildcards is split into folder and a leading "+" filter.
        const char* split_filter = nullptr;
        if (split_wildcards(&run.arena, folder, &folder, &split_filter) && !split_filter)
            out_of_memory = true;
        int32_t count = filters.count + (split_filter ? 1 : 0);
        const char** array = static_cast<const char**>(
            allocate(arena_base(&run.arena), (static_cast<uint64_t>(count) + 1) * sizeof(char*)));
        if (!array || out_of_memory || run.arena.failures) {
            print_err("ERROR: Out of memory.\n");
            run.failed = true;
        } else {
            int32_t n = 0;
            if (split_filter) array[n++] = split_filter;
            for (FilterNode* f = filters.head; f; f = f->next) array[n++] = f->text;
            array[n] = nullptr;

            interrupt_install(&cancel);
            // Rewrites an earlier run left unfinished come first.
            if (!rewrite_recover(run.totals.test_only)) run.failed = true;
            FileEntry entry = {};
            if (!split_filter && single_file_entry(folder, &entry)) {
                // A single existing file stands in for the folder.
                char* full = path_full(arena_base(&run.arena), folder);
                shown_set_root(folder, full);
                convert_file(&run.totals, full ? full : folder, &entry);
            } else {
                walk(&run, folder, array, &cancel, workers ? workers : default_worker_count());
            }
        }
    }

    bool interrupted = interrupt_requested();
    if (interrupted) print_err("interrupted\n");
    print_summary(&run);
    shown_set_root(nullptr, nullptr);
    const RunTotals& t = run.totals;
    bool failed =
        run.failed || run.walk_errors || t.open_failures || t.memory_failures || t.write_failures;
    seen_reset();
    arena_release(&run.arena);
    rewrite_release_window();
    filekind_forget_volumes();
    interrupt_done();
    // An interrupted run ends as the platform ends an interrupted program.
    if (interrupted) return static_cast<int>(STATUS_CONTROL_C_EXIT);
    return failed ? 1 : 0;
}
