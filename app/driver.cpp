#include "app/driver.h"

#include "app/interrupt.h"
#include "app/journal_home.h"
#include "app/options.h"
#include "app/recover.h"
#include "app/report.h"
#include "app/rewrite.h"
#include "app/seen.h"
#include "app/settings.h"
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
    Settings settings; // -e: the repository of the walk or file at hand
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

// A rules file of the repository that could not be read is named, and the
// run fails; the walk goes on as git does, without it.
void report_settings_problem(Run* run) {
    char* path = nullptr;
    ErrorCode e = 0;
    if (char* warning = settings_take_warning(&run->settings)) {
        crew_drain();
        const char* pieces[] = {warning};
        print_pieces(true, pieces, 1);
        mem_free(warning);
    }
    while (settings_take_problem(&run->settings, &path, &e)) {
        crew_drain();
        run->counts.failed = true;
        if (path)
            report_path_error("ERROR: Cannot read \"", path, e);
        else
            print_err("ERROR: Out of memory.\n");
        mem_free(path);
    }
}

bool screen_entry(void* context, const char* path, const FileEntry* entry) {
    return settings_excluded(static_cast<Settings*>(context), path, entry);
}

// Reads what the repository holding `folder` declares (-e).
void open_settings(Run* run, const char* folder) {
    if (!run->options->follow_repository) return;
    Settings* s = &run->settings;
    if (settings_open(s, folder)) return;
    // Without memory to read them, the repository's rules are unknown: no
    // file is touched.
    s->active = true;
    s->root_excluded = true;
    s->out_of_memory = true;
}

// Walks `folder` with `filters`; `open_failed` begins the line that says it
// would not open.
void walk(Run* run, const char* folder, const char* const* filters, const char* open_failed) {
    const Options* o = run->options;
    FolderWalker* walker = nullptr;
    int32_t flags = o->force ? 0 : WALK_SKIP_VCS;
    ErrorCode err = walker_create(&walker, &run->cancel, folder, flags, filters);
    if (err == ERR_CANCELLED) return; // interrupted while it opened: no fault of the folder
    if (err != 0) {
        report_typed_error(open_failed, folder, err);
        run->counts.failed = true;
        return;
    }
    // The walk's paths begin with the folder's full form.
    shown_set_root(folder, path_full(arena_base(&run->arena), folder));
    Settings* settings = &run->settings;
    open_settings(run, folder);
    if (settings->active) {
        walker_set_screen(walker, screen_entry, settings);
        settings->holds = [](void* w, const char* folder, uint64_t length, const char* name) {
            return walker_level_holds(static_cast<FolderWalker*>(w), folder, length, name);
        };
        settings->holds_context = walker;
    }
    report_settings_problem(run);
    // The files are converted on worker threads while the walk goes on; what
    // the walk itself reports waits until the files before it are done.
    crew_begin(o, &run->tally, o->workers ? o->workers : default_worker_count(), &run->cancel);
    uint64_t selected = 0;
    for (;;) {
        const char* path = nullptr;
        FileEntry* entry = nullptr;
        if (interrupt_requested()) break;
        err = walker_next(walker, &path, nullptr, &entry);
        // What the screen met while the walk went on, the last entries' too.
        report_settings_problem(run);
        if (err == ERR_NO_MORE_FILES || err == ERR_CANCELLED) break;
        if (err != 0) {
            crew_drain();
            report_walk_error(run, err, path);
            continue;
        }
        if (entry && entry->is_directory) continue;
        FileEntry none = {};
        ++selected;
        FileWant want = settings->active ? settings_want(settings, path) : WANT_RUN;
        report_settings_problem(run);
        crew_convert(path, entry ? entry : &none, want);
    }
    crew_end();
    settings_release(settings);
    run->counts.links_outside += walker->links_outside;
    walker_release(walker);
    // Filters that select nothing are most often a mistake of quoting or of
    // the folder: said, though it is no failure.
    if (filters[0] && selected == 0 && !interrupt_requested())
        print_err("No file matched the filters.\n");
}

// A single existing file stands in for the folder.
// With -e it is left out when git leaves it out, and takes the line ends
// its repository asks for.
void convert_single(Run* run, const char* path, const FileEntry* entry) {
    char* full = path_full(arena_base(&run->arena), path);
    shown_set_root(path, full);
    FileWant want = WANT_RUN;
    if (run->options->follow_repository && full) {
        Settings* s = &run->settings;
        uint64_t n = str_len(full);
        while (n > 0 && full[n - 1] != '\\') --n;
        char* folder = str_dup(arena_base(&run->arena), full, n);
        if (folder) open_settings(run, folder);
        bool left_out = s->active && settings_excluded(s, full, entry);
        if (!left_out && s->active) want = settings_want(s, full);
        report_settings_problem(run);
        settings_release(s);
        if (left_out) return;
    }
    tally_convert(&run->tally, run->options, full ? full : path, entry, want);
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

// The operands after a single file: none may be a filter, which needs a
// folder. False (said) when one is.
bool operands_are_paths(const Options* o) {
    for (uint32_t i = 0; o->rest[i] && i < o->rest_plain_from; ++i) {
        const char* arg = o->rest[i];
        if (arg[0] != '+' && arg[0] != '-') continue;
        ShownPath shown;
        const char* pieces[] = {
            "ERROR: \"", shown_typed(arg, &shown),
            "\" is a filter, and filters need a folder first; see eolset -h.\n"};
        print_pieces(true, pieces, 3);
        shown_release(&shown);
        return false;
    }
    return true;
}

// A further operand, as if it were given alone: a file, a folder to walk,
// or a path with wildcards.
void process_operand(Run* run, const char* arg) {
    const char* folder = nullptr;
    const char* filter = nullptr;
    if (split_wildcards(&run->arena, arg, &folder, &filter)) {
        if (!filter) {
            print_err("ERROR: Out of memory.\n");
            run->counts.failed = true;
            return;
        }
        const char* filters[] = {filter, nullptr};
        return walk(run, folder, filters, "ERROR: Cannot open folder \"");
    }
    FileEntry entry = {};
    if (single_file_entry(arg, &entry)) return convert_single(run, arg, &entry);
    if (path_is_link_to_nothing(arg)) return; // no text, as a walk finds it
    const char* none[] = {nullptr};
    // One that is no folder either is named as the file it was meant to be.
    walk(run, arg, none, "ERROR: Cannot open file \"");
}

// Recovery first, then the single file (and the operands after it) or the walk.
void run_files(Run* run) {
    const Options* o = run->options;
    FileEntry entry = {};
    bool single = !o->folder_split && single_file_entry(o->folder, &entry);
    // A link to nothing stands for a file too: the operands after it are
    // what a list of files (from git, xargs, a hook) would make them.
    bool nothing = !single && !o->folder_split && path_is_link_to_nothing(o->folder);
    if ((single || nothing) && !operands_are_paths(o)) {
        run->counts.failed = true;
        return;
    }
    interrupt_install(&run->cancel);
    // Rewrites an earlier run left unfinished come first.
    if (!rewrite_recover(o->test_only)) run->counts.failed = true;
    if (!o->test_only) choose_journal_folder(run);
    if (!single && !nothing)
        return walk(run, o->folder, o->filters, "ERROR: Cannot open folder \"");
    if (single) convert_single(run, o->folder, &entry);
    for (uint32_t i = 0; o->rest[i] && !interrupt_requested(); ++i)
        if (i != o->rest_plain_from) process_operand(run, o->rest[i]);
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
              "  -c  check only: name the files that would change, status 1 if any\n"
              "  -0  end each file name with NUL, write the summary to standard error\n"
              "  -q  quiet: print no file names and no summary\n"
              "  -b  keep byte-order marks\n"
              "  -e  follow .gitignore, .gitattributes and .editorconfig\n"
              "  --version  show the version number\n"
              "  -  remaining arguments are not switches\n"
              "If <folder> identifies a single existing file then the single file will be "
              "processed.\n"
              "Further files and folders may follow a single file; each is processed as if given "
              "alone.\n"
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
    ParseOutcome outcome = parse_command_line(argc, argv, &run.arena, &options);
    switch (outcome) {
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
    case PARSE_UNKNOWN_SWITCH:
    case PARSE_BAD_WORKERS: {
        static_assert(MAX_WORKERS == 64, "the message names the limit");
        ShownPath shown;
        const char* pieces[] = {"ERROR: Unknown switch \"",
                                shown_typed(options.bad_argument, &shown), "\"; see eolset -h.\n"};
        if (outcome == PARSE_BAD_WORKERS) {
            pieces[0] = "ERROR: Switch \"";
            pieces[2] = "\" needs a number from 1 to 64; see eolset -h.\n";
        }
        print_pieces(true, pieces, 3);
        shown_release(&shown);
        run.counts.failed = true;
        break;
    }
    case PARSE_RUN:
        run.tally.names = options_name_style(&options);
        run_files(&run);
        break;
    }
    bool interrupted = interrupt_requested();
    if (interrupted) print_err("interrupted\n");
    print_summary(&run.counts, &options);
    int status = run_status(&run.counts, &options);
    end_run(&run);
    // An interrupted run ends as the platform ends an interrupted program.
    if (interrupted) return static_cast<int>(STATUS_CONTROL_C_EXIT);
    return status;
}
