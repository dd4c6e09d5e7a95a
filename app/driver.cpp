#include "app/driver.h"

#include "app/interrupt.h"
#include "app/journal_home.h"
#include "app/options.h"
#include "app/recover.h"
#include "app/report.h"
#include "app/rewrite.h"
#include "app/seen.h"
#include "app/tally.h"
#include "app/workers.h"
#include "base/alloc.h"
#include "base/utf.h"
#include "base/filekind.h"
#include "base/fileinfo.h"
#include "base/output.h"
#include "base/path.h"
#include "base/walker.h"
#include "platform/nt.h"

namespace {

struct Run {
    const Options* options;
    RunCounts counts;
    Tally tally;
    ArenaAllocator arena;
    Signal cancel; // lives until the interrupt handler forgets it
};

// A folder that could not be read is named and counted, and the walk goes
// on; a loop means the folder was walked already. Memory that ran out for
// the walk itself is no fault of a folder.
void report_walk_error(Run* run, ErrorCode err, const char* path) {
    if (err == ERR_FOLDER_LOOP) return;
    if (err == ERR_OUT_OF_MEMORY || !path) {
        print_err("ERROR: Out of memory.\n");
        run->counts.failed = true;
        return;
    }
    ++run->counts.folders_unread;
    report_path_error("ERROR: Cannot read folder \"", path, err);
}

void walk(Run* run, const char* folder, const char* const* filters) {
    const Options* o = run->options;
    FolderWalker* walker = nullptr;
    int32_t flags = o->force ? 0 : WALK_SKIP_VCS;
    ErrorCode err = walker_create(&walker, &run->cancel, folder, flags, filters);
    if (err == ERR_CANCELLED) return; // interrupted while it opened: no fault of the folder
    if (err != 0) {
        report_typed_error("ERROR: Cannot open folder \"", folder, err);
        run->counts.failed = true;
        return;
    }
    // The walk's paths begin with the folder's full form.
    shown_set_root(folder, path_full(arena_base(&run->arena), folder));
    // The files are converted on worker threads while the walk goes on; what
    // the walk itself reports waits until the files before it are done.
    crew_begin(o, &run->tally, o->workers ? o->workers : default_worker_count(), &run->cancel);
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
    run->counts.links_outside = walker->links_outside;
    walker_release(walker);
}

// A single existing file stands in for the folder.
void convert_single(Run* run, const char* path, const FileEntry* entry) {
    char* full = path_full(arena_base(&run->arena), path);
    shown_set_root(path, full);
    tally_convert(&run->tally, run->options, full ? full : path, entry);
}

// A run that may rewrite files says before it judges any when no folder
// may hold their journals; each file that needed rewriting then counts as
// not modified, and the run fails.
void choose_journal_folder(Run* run) {
    char* tried = nullptr;
    ErrorCode e = journal_choose_folder(&tried);
    if (e == 0) return;
    run->counts.failed = true;
    uint64_t n = tried ? str_len(tried) : 0;
    if (n > 1 && tried[n - 1] == '\\') tried[n - 1] = 0; // named as a folder is named
    if (tried)
        report_path_error("ERROR: No folder for rewrite journals: cannot create \"", tried, e);
    else
        print_err("ERROR: No folder for rewrite journals: %s (error %d).\n", error_reason(e), e);
    mem_free(tried);
}

// Recovery first, then the single file or the walk.
void run_files(Run* run) {
    const Options* o = run->options;
    interrupt_install(&run->cancel);
    // Rewrites an earlier run left unfinished come first.
    if (!rewrite_recover(o->test_only)) run->counts.failed = true;
    if (!o->test_only) choose_journal_folder(run);
    FileEntry entry = {};
    if (!o->folder_split && single_file_entry(o->folder, &entry))
        convert_single(run, o->folder, &entry);
    else
        walk(run, o->folder, o->filters);
}

// Forgets what the run kept in the modules it used.
void end_run(Run* run) {
    shown_set_root(nullptr, nullptr);
    tally_release(&run->tally);
    seen_reset();
    arena_release(&run->arena);
    rewrite_release_window();
    filekind_forget_volumes();
    interrupt_done();
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
    signal_init(&run.cancel);
    run.tally.counts = &run.counts;
    Options options{};
    run.options = &options;
    switch (parse_command_line(argc, argv, &run.arena, &options)) {
    case PARSE_HELP:
        print_help();
        break;
    case PARSE_VERSION:
        print_out("eolset %s\n", EOLSET_VERSION);
        break;
    case PARSE_NO_FOLDER:
        print_err("ERROR: Must supply folder/file name.\n");
        run.counts.failed = true;
        break;
    case PARSE_NO_MEMORY:
        print_err("ERROR: Out of memory.\n");
        run.counts.failed = true;
        break;
    case PARSE_RUN:
        run_files(&run);
        break;
    }
    bool interrupted = interrupt_requested();
    if (interrupted) print_err("interrupted\n");
    print_summary(&run.counts, options.test_only);
    int status = run_status(&run.counts);
    end_run(&run);
    // An interrupted run ends as the platform ends an interrupted program.
    if (interrupted) return static_cast<int>(STATUS_CONTROL_C_EXIT);
    return status;
}
