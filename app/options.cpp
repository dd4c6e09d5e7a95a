#include "app/options.h"

#include "base/format.h"
#include "base/path.h"
#include "base/utf.h"

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

// A one-letter switch; false when the letter is none.
bool take_letter(char c, Options* o, bool* help) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    switch (c) {
    case 'h':
    case '?':
        *help = true;
        return true;
    case 'p':
        o->preserve_time = true;
        return true;
    case 't':
        o->test_only = true;
        return true;
    case 'u':
        o->to_unix = true;
        return true;
    case 'w':
        o->to_windows = true;
        return true;
    case 'f':
        o->force = true;
        return true;
    case 'c':
        o->check = true;
        o->test_only = true;
        return true;
    case '0':
        o->nul_names = true;
        return true;
    case 'q':
        o->quiet = true;
        return true;
    case 'b':
        o->keep_boms = true;
        return true;
    case 'e':
        o->follow_repository = true;
        return true;
    default:
        return false;
    }
}

// The filter array: the folder's wildcard part first, then the filters.
ParseOutcome finish_filters(ArenaAllocator* arena, const FilterList& filters, Options* o) {
    const char* split_filter = nullptr;
    bool out_of_memory = false;
    if (split_wildcards(arena, o->folder, &o->folder, &split_filter) && !split_filter)
        out_of_memory = true;
    int32_t count = filters.count + (split_filter ? 1 : 0);
    const char** array = static_cast<const char**>(
        allocate(arena_base(arena), (static_cast<uint64_t>(count) + 1) * sizeof(char*)));
    if (!array || out_of_memory || arena->failures) return PARSE_NO_MEMORY;
    int32_t n = 0;
    if (split_filter) array[n++] = split_filter;
    for (FilterNode* f = filters.head; f; f = f->next) array[n++] = f->text;
    array[n] = nullptr;
    o->filters = array;
    o->folder_split = split_filter != nullptr;
    o->rest = array + (split_filter ? 1 : 0);
    return PARSE_RUN;
}

} // namespace

// Everything from the first element holding a wildcard on becomes the
// filter. "Z:*.cpp" is the current folder of Z: with the filter "+*.cpp".
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

ParseOutcome parse_command_line(int32_t argc, char** argv, ArenaAllocator* arena,
                                Options* options) {
    Options o{};
    o.rest_plain_from = ~0u;
    FilterList filters = {nullptr, &filters.head, 0};
    bool help = false;
    bool version = false;
    bool switches_over = false;
    bool out_of_memory = false;
    ParseOutcome bad = PARSE_RUN;
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
            bool letter = arg[1] != 0 && arg[2] == 0;
            if (arg[1] == 0) {
                switches_over = true;
                if (o.folder) o.rest_plain_from = static_cast<uint32_t>(filters.count);
            } else if ((arg[1] == 'j' || arg[1] == 'J') && parse_workers(arg + 2, &o.workers)) {
                continue;
            } else if (letter && take_letter(arg[1], &o, &help)) {
                continue;
            } else if (!o.folder && arg[0] == '-') {
                if (strcmp(arg, "--") == 0) {
                    switches_over = true;
                    continue;
                }
                // Before the folder nothing that begins with '-' is a path;
                // the first such mistake is the one named.
                if (bad == PARSE_RUN) {
                    bad = arg[1] == 'j' || arg[1] == 'J' ? PARSE_BAD_WORKERS : PARSE_UNKNOWN_SWITCH;
                    o.bad_argument = arg;
                }
                continue;
            }
        }
        if (!o.folder)
            o.folder = arg;
        else if (!filter_list_append(&filters, arena, arg))
            out_of_memory = true;
    }
    *options = o;
    if (help) return PARSE_HELP;
    if (version) return PARSE_VERSION;
    if (bad != PARSE_RUN) return bad;
    if (!o.folder || !*o.folder) return PARSE_NO_FOLDER;
    ParseOutcome outcome = finish_filters(arena, filters, options);
    return out_of_memory ? PARSE_NO_MEMORY : outcome;
}
