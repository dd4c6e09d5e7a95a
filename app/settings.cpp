#include "app/settings.h"

#include "app/editorconfig.h"
#include "app/report.h"

#include "base/fileinfo.h"
#include "base/fileopen.h"
#include "base/format.h"
#include "base/path.h"
#include "base/transfer.h"
#include "base/utf.h"
#include "platform/nt.h"

#include <cstring>

struct SettingsFrame {
    ArenaAllocator arena;
    char* folder; // relative to the top: "" or "a/b/"
    uint64_t folder_length;
    GitRuleList ignore, attributes;
    uint32_t repo; // the repository the folder belongs to; UINT32_MAX: none
    bool broken;   // a rules file could not be read
    bool has_editorconfig;
    EcFile editorconfig;
};

// An .editorconfig above the top folder: its file, and the top's path
// below its folder ("x/y/").
struct SettingsAbove {
    EcFile file;
    char* prefix;
    uint64_t prefix_length;
};

// A repository: the one the walk lies in, or one nested in its folders (a
// submodule, a clone inside the tree), which git keeps apart: inside it
// only its own files apply.
struct SettingsRepo {
    uint64_t prefix;      // its top folder's length, relative to the outer top
    uint32_t first_frame; // its top folder's frame
    bool fold;            // core.ignoreCase: names compare without ASCII case
    char* git_dir;        // where its info/ and config are (heap)
    GitNames names;       // attribute names, and its macros
    ArenaAllocator arena; // the lists below
    GitRuleList global_ignore, info_exclude, global_attributes, info_attributes;
};

namespace {

// git reads no attributes file larger than this; ignore files are held to it too.
constexpr uint64_t kMaxRulesFile = 100ull << 20;
// An .editorconfig is read no further than this (real ones hold a few
// kilobytes); the line it cuts is not understood. Its sections are made
// into states when it is read, so this also bounds the time and memory
// one file may cost.
constexpr uint64_t kMaxEditorConfig = 1ull << 20;

inline bool is_separator(char c) {
    return c == '\\' || c == '/';
}

void memory_failed(Settings* s) {
    s->out_of_memory = true;
    ++s->failures;
}

void note_problem(Settings* s, const char* path, ErrorCode e) {
    if (e == ERR_OUT_OF_MEMORY) return memory_failed(s);
    ++s->failures;
    if (s->problem_path) return;
    s->problem_path = str_dup(heap_allocator(), path, str_len(path));
    if (!s->problem_path) s->out_of_memory = true; // said as that, then
    s->problem = e;
}

// A rules file's bytes (mem_malloc, NUL-terminated); null when it is
// missing or is no file, or could not be read (noted). With `head` set, a
// file longer than that gives its first `head` bytes and sets *longer;
// without, a file longer than git reads gives nothing.
char* read_rules(Settings* s, const char* path, uint64_t* size, uint64_t head = 0,
                 bool* longer = nullptr) {
    *size = 0;
    FileHandle h = INVALID_FILE_HANDLE;
    ErrorCode e = file_open(&h, path, FOPEN_QUERY | FOPEN_READ);
    if (e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND || e == ERROR_INVALID_NAME ||
        e == ERROR_DIRECTORY)
        return nullptr;
    if (e != 0) {
        // A folder of that name is no rules file, as git sees it.
        FileEntry entry{};
        if (file_query_entry_by_path(path, &entry) != 0 || !entry.is_directory)
            note_problem(s, path, e);
        return nullptr;
    }
    uint64_t length = 0;
    int64_t time = 0;
    e = file_query_size_time(h, &length, &time);
    char* data = nullptr;
    if (e == 0 && head && length > head) {
        length = head;
        *longer = true;
    } else if (e == 0 && length > kMaxRulesFile) {
        file_close(h);
        return nullptr;
    }
    if (e == 0) {
        data = static_cast<char*>(mem_malloc(length + 1));
        if (!data) e = ERR_OUT_OF_MEMORY;
    }
    uint64_t got = 0;
    while (e == 0 && got < length) {
        uint64_t n = 0;
        e = handle_read(h, data + got, length - got, &n);
        if (e == 0 && n == 0) break; // cut meanwhile: what is there
        got += n;
    }
    file_close(h);
    if (e != 0) {
        mem_free(data);
        note_problem(s, path, e);
        return nullptr;
    }
    data[got] = 0;
    *size = got;
    return data;
}

// folder[0, length) + `separator` + `name`, byte for byte (the formatter's
// precision counts characters).
char* concat(Allocator* a, const char* folder, uint64_t length, const char* separator,
             const char* name) {
    uint64_t s = str_len(separator), n = str_len(name);
    char* out = static_cast<char*>(allocate(a, length + s + n + 1));
    if (!out) return nullptr;
    memcpy(out, folder, length);
    memcpy(out + length, separator, s);
    memcpy(out + length + s, name, n + 1);
    return out;
}

// The folder's path joined with a name, in the system's form.
char* join(Allocator* a, const char* folder, uint64_t length, const char* name) {
    return concat(a, folder, length, "\\", name);
}

// Reads `path` as an ignore or attributes file into `list`; an absent file
// is an empty list.
void load_list(Settings* s, GitNames* names, ArenaAllocator* arena, const char* path,
               const char* base, bool attributes, bool macros, GitRuleList* list) {
    *list = GitRuleList{};
    list->base = base;
    uint64_t size = 0;
    char* data = path ? read_rules(s, path, &size) : nullptr;
    if (!data) return;
    bool ok = attributes ? attributes_parse(arena, names, data, size, base, macros, list)
                         : ignore_parse(arena, data, size, base, list);
    mem_free(data);
    if (!ok) {
        *list = GitRuleList{};
        memory_failed(s);
    }
}

// --- where the files are ------------------------------------------------------

// An environment variable (UTF-8, heap), or null when unset or empty.
// A string made from what was there, or null with the failure noted.
char* made(Settings* s, char* p) {
    if (!p) memory_failed(s);
    return p;
}

char* env(Settings* s, const char16_t* name) {
    char16_t wide[1024];
    DWORD n = GetEnvironmentVariableW(reinterpret_cast<LPCWSTR>(name),
                                      reinterpret_cast<LPWSTR>(wide), 1024);
    if (n == 0 || n >= 1024) return nullptr;
    return made(s, utf16_to_utf8_alloc(heap_allocator(), wide, n));
}

char* home_folder(Settings* s) {
    char* home = env(s, u"HOME");
#ifdef _WIN32
    if (!home) home = env(s, u"USERPROFILE");
#endif
    return home;
}

// $XDG_CONFIG_HOME/git/<leaf>, or ~/.config/git/<leaf>.
char* xdg_git_file(Settings* s, const char* leaf) {
    char* base = env(s, u"XDG_CONFIG_HOME");
    char* path = nullptr;
    if (base) {
        path = made(s, format_new(heap_allocator(), "%s/git/%s", base, leaf));
    } else if (char* home = home_folder(s)) {
        path = made(s, format_new(heap_allocator(), "%s/.config/git/%s", home, leaf));
        mem_free(home);
    }
    mem_free(base);
    return path;
}

// A path from a config file: "~/" is the home folder; a relative one lies
// in the top folder (where git runs).
char* config_path(Settings* s, const char* value) {
    if (value[0] == '~' && (is_separator(value[1]) || value[1] == 0)) {
        char* home = home_folder(s);
        if (!home) return nullptr;
        char* path = made(s, format_new(heap_allocator(), "%s%s", home, value + 1));
        mem_free(home);
        return path;
    }
    uint64_t root = 0;
    bool rooted = false;
    if (path_root(value, &root, &rooted) == 0 && (root > 0 || rooted))
        return made(s, str_dup(heap_allocator(), value, str_len(value)));
    return made(s, join(heap_allocator(), s->top, s->top_length, value));
}

struct CoreConfig {
    char* excludes_file;   // heap, or null
    char* attributes_file; // heap, or null
    int ignore_case;       // -1 unset
};

bool config_bool(const char* v, bool* out) {
    auto is = [&](const char* w) {
        uint64_t n = strlen(w);
        if (str_len(v) != n) return false;
        for (uint64_t i = 0; i < n; ++i)
            if ((v[i] | 0x20) != w[i]) return false;
        return true;
    };
    if (!*v || is("true") || is("yes") || is("on") || is("1")) return *out = true, true;
    if (is("false") || is("no") || is("off") || is("0")) return *out = false, true;
    return false;
}

// The [core] keys of one git config file this program needs; later files
// replace what earlier ones said. Includes are not followed.
void read_config(Settings* s, const char* path, CoreConfig* c) {
    uint64_t size = 0;
    char* data = path ? read_rules(s, path, &size) : nullptr;
    if (!data) return;
    bool in_core = false;
    for (char* line = data; line < data + size;) {
        char* nl = static_cast<char*>(memchr(line, '\n', static_cast<size_t>(data + size - line)));
        char* end = nl ? nl : data + size;
        char* p = line;
        line = end + 1;
        while (p < end && (*p == ' ' || *p == '\t')) ++p;
        if (p == end || *p == '#' || *p == ';') continue;
        if (*p == '[') {
            char* close = static_cast<char*>(memchr(p, ']', static_cast<size_t>(end - p)));
            uint64_t n = close ? static_cast<uint64_t>(close - p - 1) : 0;
            in_core = n == 4 && (p[1] | 0x20) == 'c' && (p[2] | 0x20) == 'o' &&
                      (p[3] | 0x20) == 'r' && (p[4] | 0x20) == 'e';
            if (!close) continue;
            // A key may follow the section on the same line.
            p = close + 1;
            while (p < end && (*p == ' ' || *p == '\t')) ++p;
            if (p == end) continue;
        }
        if (!in_core) continue;
        char* key = p;
        while (p < end && ((*p | 0x20) >= 'a' && (*p | 0x20) <= 'z')) ++p;
        uint64_t key_length = static_cast<uint64_t>(p - key);
        while (p < end && (*p == ' ' || *p == '\t')) ++p;
        char value[4096];
        uint64_t k = 0;
        if (p < end && *p == '=') {
            ++p;
            bool quoted = false;
            uint64_t kept = 0; // the value's length without closing blanks
            while (p < end && (*p == ' ' || *p == '\t')) ++p;
            for (; p < end && k + 1 < sizeof value; ++p) {
                char ch = *p;
                if (ch == '\r' && p + 1 == end) break;
                if (!quoted && (ch == '#' || ch == ';')) break;
                if (ch == '"') {
                    quoted = !quoted;
                    kept = k;
                    continue;
                }
                if (ch == '\\' && p + 1 < end) {
                    char e = *++p;
                    ch = e == 'n' ? '\n' : e == 't' ? '\t' : e == 'b' ? '\b' : e;
                    value[k++] = ch;
                    kept = k;
                    continue;
                }
                value[k++] = ch;
                if (quoted || (ch != ' ' && ch != '\t')) kept = k;
            }
            k = kept;
        } else if (p != end && *p != '\r' && *p != '#' && *p != ';') {
            continue; // not a key line
        }
        value[k] = 0;
        auto key_is = [&](const char* w) {
            if (key_length != strlen(w)) return false;
            for (uint64_t i = 0; i < key_length; ++i)
                if ((key[i] | 0x20) != w[i]) return false;
            return true;
        };
        char** target = key_is("excludesfile")     ? &c->excludes_file
                        : key_is("attributesfile") ? &c->attributes_file
                                                   : nullptr;
        if (target) {
            mem_free(*target);
            *target = k ? config_path(s, value) : nullptr;
        } else if (key_is("ignorecase")) {
            bool b = false;
            if (config_bool(value, &b)) c->ignore_case = b ? 1 : 0;
        }
    }
    mem_free(data);
}

// Where the repository's own files are for a top folder whose ".git" is
// `dot_git`: the folder itself, or the one a "gitdir:" file names (and, for
// a linked work tree, the common folder its "commondir" names).
char* find_git_dir(Settings* s, const char* dot_git, bool is_folder) {
    if (is_folder) return made(s, str_dup(heap_allocator(), dot_git, str_len(dot_git)));
    uint64_t size = 0;
    char* data = read_rules(s, dot_git, &size);
    if (!data) return nullptr;
    char* dir = nullptr;
    if (size > 8 && memcmp(data, "gitdir: ", 8) == 0) {
        uint64_t n = size - 8;
        while (n && (data[8 + n - 1] == '\n' || data[8 + n - 1] == '\r')) --n;
        data[8 + n] = 0;
        dir = config_path(s, data + 8);
    }
    mem_free(data);
    if (!dir) return nullptr;
    char* common_file = made(s, format_new(heap_allocator(), "%s\\commondir", dir));
    char* common = common_file ? read_rules(s, common_file, &size) : nullptr;
    mem_free(common_file);
    if (common) {
        uint64_t n = size;
        while (n && (common[n - 1] == '\n' || common[n - 1] == '\r')) --n;
        common[n] = 0;
        uint64_t root = 0;
        bool rooted = false;
        char* joined = made(s, path_root(common, &root, &rooted) == 0 && (root > 0 || rooted)
                                   ? str_dup(heap_allocator(), common, n)
                                   : format_new(heap_allocator(), "%s\\%s", dir, common));
        mem_free(common);
        if (joined) {
            mem_free(dir);
            dir = joined;
        }
    }
    return dir;
}

// --- repositories -------------------------------------------------------------

// Begins a repository whose top folder is `prefix` bytes of the path
// relative to the outer top (its frame `first_frame`), with its config and
// the user's files; takes `git_dir`. False when memory ran out.
bool repo_begin(Settings* s, char* git_dir, uint64_t prefix, uint32_t first_frame) {
    if (s->repo_count == s->repo_capacity) {
        uint32_t capacity = s->repo_capacity ? 2 * s->repo_capacity : 4;
        auto grown = static_cast<SettingsRepo*>(mem_calloc(capacity, sizeof(SettingsRepo)));
        if (!grown) {
            mem_free(git_dir);
            return false;
        }
        if (s->repo_count) memcpy(grown, s->repos, s->repo_count * sizeof(SettingsRepo));
        mem_free(s->repos);
        s->repos = grown;
        s->repo_capacity = capacity;
    }
    SettingsRepo* r = &s->repos[s->repo_count++];
    *r = SettingsRepo{};
    r->prefix = prefix;
    r->first_frame = first_frame;
    r->git_dir = git_dir;
    arena_init(&r->arena);
    if (!git_names_init(&r->names)) return false;
    // Config: the user's (XDG, then ~/.gitconfig), then the repository's.
    CoreConfig config{nullptr, nullptr, -1};
    char* xdg = xdg_git_file(s, "config");
    char* home = home_folder(s);
    char* gitconfig = home ? made(s, format_new(heap_allocator(), "%s/.gitconfig", home)) : nullptr;
    char* local = made(s, format_new(heap_allocator(), "%s\\config", git_dir));
    read_config(s, xdg, &config);
    read_config(s, gitconfig, &config);
    read_config(s, local, &config);
    mem_free(xdg);
    mem_free(home);
    mem_free(gitconfig);
    mem_free(local);
    r->fold = config.ignore_case == 1;
    char* excludes = config.excludes_file ? config.excludes_file : xdg_git_file(s, "ignore");
    char* attributes =
        config.attributes_file ? config.attributes_file : xdg_git_file(s, "attributes");
    load_list(s, &r->names, &r->arena, excludes, "", false, false, &r->global_ignore);
    load_list(s, &r->names, &r->arena, attributes, "", true, true, &r->global_attributes);
    mem_free(excludes);
    mem_free(attributes);
    return true;
}

// The repository's own info/ files, once its top folder's files are read:
// their macros give way to the ones defined there.
void repo_finish(Settings* s, SettingsRepo* r) {
    char* exclude = made(s, format_new(heap_allocator(), "%s\\info\\exclude", r->git_dir));
    char* info = made(s, format_new(heap_allocator(), "%s\\info\\attributes", r->git_dir));
    load_list(s, &r->names, &r->arena, exclude, "", false, false, &r->info_exclude);
    load_list(s, &r->names, &r->arena, info, "", true, true, &r->info_attributes);
    mem_free(exclude);
    mem_free(info);
}

void repo_end(Settings* s) {
    SettingsRepo* r = &s->repos[--s->repo_count];
    git_names_release(&r->names);
    arena_release(&r->arena);
    mem_free(r->git_dir);
    *r = SettingsRepo{};
}

// --- the folder stack ---------------------------------------------------------

// `path` relative to the top with '/' between names, in s->relative; its
// length, or -1 when it does not lie below the top.
int64_t make_relative(Settings* s, const char* path) {
    uint64_t n = str_len(path);
    uint64_t t = s->top_length;
    if (n < t || memcmp(path, s->top, t) != 0 || (n > t && !is_separator(path[t]))) return -1;
    uint64_t length = n > t ? n - t - 1 : 0;
    if (length + 1 > s->relative_capacity) {
        uint64_t capacity = length + 256;
        char* grown = static_cast<char*>(mem_malloc(capacity));
        if (!grown) {
            memory_failed(s);
            return -1;
        }
        mem_free(s->relative);
        s->relative = grown;
        s->relative_capacity = capacity;
    }
    for (uint64_t i = 0; i < length; ++i) {
        char c = path[t + 1 + i];
        s->relative[i] = c == '\\' ? '/' : c;
    }
    s->relative[length] = 0;
    while (length && s->relative[length - 1] == '/') s->relative[--length] = 0;
    return static_cast<int64_t>(length);
}

void pop_frame(Settings* s) {
    SettingsFrame& f = s->frames[--s->depth];
    arena_release(&f.arena);
    f = SettingsFrame{};
    if (s->repo_count > 0 && s->repos[s->repo_count - 1].first_frame == s->depth) repo_end(s);
}

bool has_dot_git(Settings* s, const char* folder, uint64_t length, bool* is_folder);

// Appends a line (heap, taken) to the warnings waiting.
void add_warning(Settings* s, char* line) {
    if (!line) return memory_failed(s);
    char* joined = s->warning ? format_new(heap_allocator(), "%s%s", s->warning, line) : line;
    if (joined != line) mem_free(line);
    if (!joined) return memory_failed(s);
    mem_free(s->warning);
    s->warning = joined;
}

// Reads an .editorconfig into `file` (from `arena`); false when there is
// none. A line it cannot take is named once, and ends what is taken.
bool read_editorconfig(Settings* s, ArenaAllocator* arena, const char* path, EcFile* file) {
    uint64_t size = 0;
    bool longer = false;
    char* data = path ? read_rules(s, path, &size, kMaxEditorConfig, &longer) : nullptr;
    if (!data) return false;
    // Past the limit: the lines before the one it cuts are taken, and that
    // one is not understood.
    uint64_t cut = size;
    if (longer)
        while (cut > 0 && data[cut - 1] != '\n') --cut;
    bool ok = ec_parse(arena, data, cut, file);
    if (ok && longer && !file->bad_line) {
        uint32_t line = 1;
        for (uint64_t i = 0; i < cut; ++i) line += data[i] == '\n';
        file->bad_line = line;
    }
    mem_free(data);
    if (!ok) {
        memory_failed(s);
        return false;
    }
    if (file->bad_line) {
        ShownPath shown;
        add_warning(s, format_new(heap_allocator(),
                                  "WARNING: \"%s\" line %u is not understood; it and the lines "
                                  "after it are ignored.\n",
                                  shown_path(path, &shown), file->bad_line));
        shown_release(&shown);
    }
    return true;
}

// Enters the folder rel[0, length) ("" or "a/b/"): reads its rules files.
bool push_frame(Settings* s, const char* rel, uint64_t length) {
    if (s->depth == s->capacity) {
        uint32_t capacity = s->capacity ? 2 * s->capacity : 16;
        auto grown = static_cast<SettingsFrame*>(mem_calloc(capacity, sizeof(SettingsFrame)));
        if (!grown) return false;
        if (s->depth) memcpy(grown, s->frames, s->depth * sizeof(SettingsFrame));
        mem_free(s->frames);
        s->frames = grown;
        s->capacity = capacity;
    }
    SettingsFrame& f = s->frames[s->depth++];
    f = SettingsFrame{};
    arena_init(&f.arena);
    f.folder = str_dup(arena_base(&f.arena), rel, length);
    f.folder_length = length;
    // The folder in the system's form.
    char* folder =
        f.folder ? concat(arena_base(&f.arena), s->top, s->top_length, length ? "\\" : "", f.folder)
                 : nullptr;
    if (!folder) {
        pop_frame(s);
        return false;
    }
    for (char* p = folder + s->top_length; *p; ++p)
        if (*p == '/') *p = '\\';
    uint64_t folder_length = str_len(folder);
    if (folder_length && folder[folder_length - 1] == '\\') --folder_length;
    auto path_of = [&](const char* name) -> char* {
        int held = s->holds ? s->holds(s->holds_context, folder, folder_length, name) : -1;
        if (held == 0) return nullptr;
        char* path = join(arena_base(&f.arena), folder, folder_length, name);
        if (!path) memory_failed(s);
        return path;
    };
    uint32_t failures = s->failures;
    f.repo = s->repo_count ? s->repo_count - 1 : UINT32_MAX;
    // A folder below the top that holds a ".git" is a repository of its own.
    bool is_folder = false;
    int held = length == 0 ? 0
               : s->holds  ? s->holds(s->holds_context, folder, folder_length, ".git")
                           : -1;
    if (held == 1) {
        FileEntry entry{};
        char* dot_git = path_of(".git");
        ErrorCode e = dot_git ? file_query_entry_by_path(dot_git, &entry) : ERR_OUT_OF_MEMORY;
        if (e == ERR_OUT_OF_MEMORY) memory_failed(s);
        held = e == 0 ? 1 : 0;
        is_folder = entry.is_directory != 0;
    } else if (held == -1) {
        held = has_dot_git(s, folder, folder_length, &is_folder) ? 1 : 0;
    }
    if (held == 1) {
        char* dot_git = path_of(".git");
        char* git_dir = dot_git ? find_git_dir(s, dot_git, is_folder) : nullptr;
        if (git_dir) {
            if (!repo_begin(s, git_dir, length, s->depth - 1)) {
                memory_failed(s);
                pop_frame(s); // and the repository begun for it
                return false;
            }
            f.repo = s->repo_count - 1;
        }
    }
    if (f.repo != UINT32_MAX) {
        SettingsRepo* r = &s->repos[f.repo];
        bool top = r->first_frame == s->depth - 1;
        const char* base = f.folder + r->prefix;
        load_list(s, &r->names, &f.arena, path_of(".gitignore"), base, false, false, &f.ignore);
        // Macros are taken from the top folder's file only.
        load_list(s, &r->names, &f.arena, path_of(".gitattributes"), base, true, top,
                  &f.attributes);
        if (top) repo_finish(s, r);
    }
    f.has_editorconfig = read_editorconfig(s, &f.arena, path_of(".editorconfig"), &f.editorconfig);
    // Rules that could not be read leave the folder's files alone.
    f.broken = s->failures != failures;
    return true;
}

// Makes the stack hold the top and every folder down to the one holding
// the path rel[0, length) (the last name excluded).
bool sync_to(Settings* s, const char* rel, uint64_t name) {
    if (s->depth == 0) return false;
    while (s->depth > 1) {
        const SettingsFrame& f = s->frames[s->depth - 1];
        if (f.folder_length <= name && memcmp(f.folder, rel, f.folder_length) == 0) break;
        pop_frame(s);
    }
    uint64_t at = s->frames[s->depth - 1].folder_length;
    while (at < name) {
        const char* slash = static_cast<const char*>(memchr(rel + at, '/', name - at));
        uint64_t next = slash ? static_cast<uint64_t>(slash - rel) + 1 : name;
        if (!push_frame(s, rel, next)) {
            memory_failed(s);
            return false;
        }
        at = next;
    }
    return true;
}

uint64_t name_start(const char* rel, uint64_t length) {
    uint64_t i = length;
    while (i > 0 && rel[i - 1] != '/') --i;
    return i;
}

// Whether git ignores rel[0, length), with the stack at its parent.
bool ignored(Settings* s, uint64_t length, uint64_t name, bool folder) {
    for (uint32_t i = s->depth; i-- > 0;)
        if (s->frames[i].broken) return true;
    uint32_t repo = s->frames[s->depth - 1].repo;
    if (repo == UINT32_MAX) return false;
    const SettingsRepo* r = &s->repos[repo];
    // Paths relative to the repository's own top.
    const char* rel = s->relative + r->prefix;
    length -= r->prefix;
    name -= r->prefix;
    for (uint32_t i = s->depth; i-- > r->first_frame;) {
        const GitRuleList& list = s->frames[i].ignore;
        int64_t hit = rules_last_match(&list, rel, length, name, folder, r->fold, list.count);
        if (hit == RULES_NO_MEMORY) return memory_failed(s), true;
        if (hit >= 0) return !(list.rules[hit].flags & GIT_NEGATED);
    }
    const GitRuleList* files[] = {&r->info_exclude, &r->global_ignore};
    for (const GitRuleList* list : files) {
        int64_t hit = rules_last_match(list, rel, length, name, folder, r->fold, list->count);
        if (hit == RULES_NO_MEMORY) return memory_failed(s), true;
        if (hit >= 0) return !(list->rules[hit].flags & GIT_NEGATED);
    }
    return false;
}

bool is_dot_git(const char* rel, uint64_t length, uint64_t name) {
    return length - name == 4 && memcmp(rel + name, ".git", 4) == 0;
}

// Whether `folder` (full, no closing separator) holds a ".git"; its kind.
// Memory that runs out is noted: nothing can be told then.
bool has_dot_git(Settings* s, const char* folder, uint64_t length, bool* is_folder) {
    char* path = made(s, join(heap_allocator(), folder, length, ".git"));
    if (!path) return false;
    FileEntry entry{};
    ErrorCode e = file_query_entry_by_path(path, &entry);
    mem_free(path);
    if (e == ERR_OUT_OF_MEMORY) memory_failed(s);
    if (e != 0) return false;
    *is_folder = entry.is_directory != 0;
    return true;
}

// The .editorconfig files of the folders above the top, nearest first, up
// to one that says root = true or the path's root folder ("/", "X:\\",
// "\\\\server\\share\\"). Read when a file first needs them: a root = true
// at or below the top spares them. A file that cannot be read leaves alone
// every file that needs it.
void read_above(Settings* s) {
    s->above_read = true;
    const char* full = s->top;
    uint64_t top = s->top_length, root = 0;
    const uint32_t failures = s->failures;
    if (path_root(full, &root, nullptr) != 0) return;
    for (uint64_t t = top; t > root;) {
        // The separator before the last name of full[0, t); its folder is
        // full[0, sep], which ends in it.
        uint64_t sep = t - 1;
        while (sep > root && !is_separator(full[sep])) --sep;
        if (!is_separator(full[sep])) break;
        if (s->above_count == s->above_capacity) {
            uint32_t capacity = s->above_capacity ? 2 * s->above_capacity : 8;
            auto grown = static_cast<SettingsAbove*>(mem_calloc(capacity, sizeof(SettingsAbove)));
            if (!grown) return memory_failed(s);
            if (s->above_count) memcpy(grown, s->above, s->above_count * sizeof(SettingsAbove));
            mem_free(s->above);
            s->above = grown;
            s->above_capacity = capacity;
        }
        SettingsAbove& a = s->above[s->above_count];
        a = SettingsAbove{};
        char* path = made(s, concat(heap_allocator(), full, sep + 1, "", ".editorconfig"));
        bool held = path && read_editorconfig(s, &s->arena, path, &a.file);
        mem_free(path);
        if (s->failures != failures) {
            s->above_failed = true;
            return;
        }
        if (held) {
            // The top's path below the folder, with '/' and a closing '/'.
            uint64_t n = top - sep - 1;
            a.prefix = static_cast<char*>(arena_allocate(arena_base(&s->arena), n + 2));
            if (!a.prefix) return memory_failed(s);
            for (uint64_t i = 0; i < n; ++i) {
                char c = full[sep + 1 + i];
                a.prefix[i] = c == '\\' ? '/' : c;
            }
            a.prefix[n] = '/';
            a.prefix_length = n + 1;
            ++s->above_count;
            if (a.file.root) return;
        }
        t = sep;
    }
}

} // namespace

bool settings_open(Settings* s, const char* folder) {
    settings_release(s);
    *s = Settings{};
    arena_init(&s->arena);
    char* full = path_full(heap_allocator(), folder);
    if (!full) return false;
    uint64_t n = str_len(full);
    while (n > 0 && is_separator(full[n - 1])) full[--n] = 0;
    // Inside a repository's own folder there is no work tree.
    for (uint64_t i = 0; i + 4 <= n; ++i) {
        if ((i == 0 || is_separator(full[i - 1])) && memcmp(full + i, ".git", 4) == 0 &&
            (i + 4 == n || is_separator(full[i + 4]))) {
            mem_free(full);
            return true;
        }
    }
    // The nearest folder upward that holds a ".git"; a volume's root is
    // asked as "Z:".
    uint64_t top = n;
    bool is_folder = false;
    bool found = false;
    for (;;) {
        if (has_dot_git(s, full, top, &is_folder)) {
            found = true;
            break;
        }
        uint64_t up = top;
        while (up && !is_separator(full[up - 1])) --up;
        if (up < 2 || full[top - 1] == ':' || s->out_of_memory) break;
        top = up - 1;
    }
    if (s->out_of_memory) {
        mem_free(full);
        return false; // nothing could be looked for
    }
    // Without a work tree the walk's folder is the top: .editorconfig alone applies.
    if (!found) top = n;
    s->top = made(s, str_dup(heap_allocator(), full, top));
    s->top_length = top;
    char* dot_git =
        s->top && found ? made(s, join(heap_allocator(), s->top, top, ".git")) : nullptr;
    char* git_dir = dot_git ? find_git_dir(s, dot_git, is_folder) : nullptr;
    mem_free(dot_git);
    s->active = true;
    if (!s->top || (found && !git_dir && s->failures)) {
        // No memory, or a ".git" file that could not be read: said, and
        // nothing is touched. One that names no folder is no work tree.
        mem_free(full);
        s->root_excluded = true;
        return !s->out_of_memory;
    }
    if (git_dir && !repo_begin(s, git_dir, 0, 0)) memory_failed(s);
    if (!s->out_of_memory && !push_frame(s, "", 0)) memory_failed(s);

    // The walk's folder and every folder between it and the top.
    int64_t length = make_relative(s, full);
    for (int64_t i = 1; i <= length && !s->root_excluded; ++i) {
        if (i != length && s->relative[i] != '/') continue;
        uint64_t name = name_start(s->relative, static_cast<uint64_t>(i));
        char saved = s->relative[i];
        s->relative[i] = 0;
        if (sync_to(s, s->relative, name) && ignored(s, static_cast<uint64_t>(i), name, true))
            s->root_excluded = true;
        s->relative[i] = saved;
    }
    mem_free(full);
    // Whatever could not be read leaves every file alone.
    if (s->failures) s->root_excluded = true;
    return !s->out_of_memory;
}

void settings_release(Settings* s) {
    while (s->depth > 0) pop_frame(s);
    while (s->repo_count > 0) repo_end(s);
    mem_free(s->above);
    mem_free(s->warning);
    arena_release(&s->arena);
    mem_free(s->repos);
    mem_free(s->frames);
    mem_free(s->top);
    mem_free(s->relative);
    mem_free(s->problem_path);
    attr_query_release(&s->query);
    *s = Settings{};
}

bool settings_excluded(Settings* s, const char* path, const FileEntry* entry) {
    if (!s->active) return false;
    if (s->root_excluded) return true;
    int64_t length = make_relative(s, path);
    if (length <= 0) return s->out_of_memory; // without memory: left alone
    uint64_t n = static_cast<uint64_t>(length);
    uint64_t name = name_start(s->relative, n);
    if (is_dot_git(s->relative, n, name)) return true;
    if (!sync_to(s, s->relative, name)) return true;
    // Inside a work tree a link is git's as a link, not as the text it leads to.
    if (entry && entry->is_symlink && s->frames[s->depth - 1].repo != UINT32_MAX) return true;
    return ignored(s, n, name, entry && entry->is_directory);
}

namespace {

// What git's attributes ask for the file rel[0, n), with the stack at its folder.
FileWant git_want(Settings* s, uint64_t n, uint64_t name) {
    uint32_t repo = s->frames[s->depth - 1].repo;
    if (repo == UINT32_MAX) return WANT_RUN;
    const SettingsRepo* r = &s->repos[repo];
    AttrQuery* q = &s->query;
    if (!attr_query_begin(q, &r->names)) {
        memory_failed(s);
        return WANT_ALONE;
    }
    const char* rel = s->relative + r->prefix;
    n -= r->prefix;
    name -= r->prefix;
    bool done = attr_query_offer(q, &r->info_attributes, rel, n, name, r->fold);
    for (uint32_t i = s->depth; i-- > r->first_frame && !done;)
        done = attr_query_offer(q, &s->frames[i].attributes, rel, n, name, r->fold);
    if (!done) attr_query_offer(q, &r->global_attributes, rel, n, name, r->fold);
    if (q->out_of_memory) {
        memory_failed(s);
        return WANT_ALONE;
    }
    const char* text = q->values[ATTR_TEXT];
    const char* eol = q->values[ATTR_EOL];
    if (text == ATTR_UNSET) return WANT_ALONE;
    if (eol && eol != ATTR_SET && eol != ATTR_UNSET && eol != ATTR_UNSPECIFIED) {
        if (strcmp(eol, "lf") == 0) return WANT_LF;
        if (strcmp(eol, "crlf") == 0) return WANT_CRLF;
    }
    return WANT_RUN;
}

// The line ends the .editorconfig files give the file rel[0, n): LF, CR LF,
// or WANT_RUN (none, unset, or another value), *cr set for "cr"; and
// whether its charset is utf-8-bom. The files apply from the nearest that
// says root = true (or the outermost) inward. False when one it needs
// could not be read, or memory ran out: the file is left alone.
bool editorconfig_eol(Settings* s, uint64_t n, FileWant* out, bool* cr, bool* keep_bom) {
    *out = WANT_RUN;
    *cr = false;
    *keep_bom = false;
    uint32_t frames = s->depth;
    bool rooted = false;
    for (uint32_t k = 0; k < frames && !rooted; ++k)
        rooted = s->frames[k].has_editorconfig && s->frames[k].editorconfig.root;
    if (!rooted) {
        if (!s->above_read) read_above(s);
        if (s->above_failed || s->out_of_memory) return false;
    }
    uint32_t total = frames + s->above_count;
    // In order nearest first: the frames deepest first, then those above.
    auto file_at = [&](uint32_t k) -> const EcFile* {
        if (k < frames) {
            const SettingsFrame& f = s->frames[frames - 1 - k];
            return f.has_editorconfig ? &f.editorconfig : nullptr;
        }
        return &s->above[k - frames].file;
    };
    uint32_t outermost = total;
    for (uint32_t k = 0; k < total; ++k) {
        const EcFile* f = file_at(k);
        if (!f) continue;
        outermost = k;
        if (f->root) break;
    }
    if (outermost == total) return true;
    EcProperties p;
    ec_properties_init(&p);
    bool ok = true;
    for (uint32_t k = outermost + 1; k-- > 0 && ok;) {
        const EcFile* f = file_at(k);
        if (!f) continue;
        if (k < frames) {
            const SettingsFrame& frame = s->frames[frames - 1 - k];
            ok = ec_apply(&p, f, s->relative + frame.folder_length, n - frame.folder_length);
        } else {
            const SettingsAbove& a = s->above[k - frames];
            char* rel = concat(heap_allocator(), a.prefix, a.prefix_length, "", s->relative);
            ok = rel && ec_apply(&p, f, rel, a.prefix_length + n);
            mem_free(rel);
        }
    }
    const char* eol = ok ? ec_get(&p, "end_of_line") : nullptr;
    const char* charset = ok ? ec_get(&p, "charset") : nullptr;
    *keep_bom = charset && strcmp(charset, "utf-8-bom") == 0;
    if (!ok) memory_failed(s);
    if (eol && strcmp(eol, "lf") == 0) *out = WANT_LF;
    if (eol && strcmp(eol, "crlf") == 0) *out = WANT_CRLF;
    *cr = eol && strcmp(eol, "cr") == 0;
    ec_properties_release(&p);
    return ok;
}

const char* form_name(FileWant w) {
    return w == WANT_LF ? "LF" : w == WANT_CRLF ? "CR LF" : "CR";
}

// What the file rel[0, n) gets: .gitattributes first (it is what git
// enforces), then .editorconfig.
FileWant resolve_want(Settings* s, const char* path, uint64_t n, uint64_t name, bool* keep_bom) {
    FileWant git = git_want(s, n, name);
    FileWant ec = WANT_RUN;
    bool cr = false;
    if (!editorconfig_eol(s, n, &ec, &cr, keep_bom) || s->out_of_memory) return WANT_ALONE;
    ShownPath shown;
    if ((git == WANT_LF || git == WANT_CRLF) && (cr || (ec != WANT_RUN && ec != git))) {
        add_warning(s, format_new(heap_allocator(),
                                  "WARNING: \"%s\": .gitattributes asks for %s line ends and "
                                  ".editorconfig for %s; it gets %s.\n",
                                  shown_path(path, &shown), form_name(git),
                                  cr ? "CR" : form_name(ec), form_name(git)));
        shown_release(&shown);
        return git;
    }
    if (git != WANT_RUN) return git;
    if (cr) {
        // eolset writes no lone-CR text.
        add_warning(s, format_new(heap_allocator(),
                                  "WARNING: \"%s\": .editorconfig asks for CR line ends, which "
                                  "eolset does not write; left alone.\n",
                                  shown_path(path, &shown)));
        shown_release(&shown);
        return WANT_ALONE;
    }
    return ec;
}

} // namespace

FileWant settings_want(Settings* s, const char* path) {
    if (!s->active) return WANT_RUN;
    int64_t length = make_relative(s, path);
    if (length <= 0) return s->out_of_memory ? WANT_ALONE : WANT_RUN;
    uint64_t n = static_cast<uint64_t>(length);
    uint64_t name = name_start(s->relative, n);
    if (!sync_to(s, s->relative, name)) {
        memory_failed(s);
        return WANT_ALONE;
    }
    bool keep_bom = false;
    FileWant want = resolve_want(s, path, n, name, &keep_bom);
    if (keep_bom && want != WANT_ALONE) want = static_cast<FileWant>(want | WANT_KEEP_FIRST_BOM);
    return want;
}

char* settings_take_warning(Settings* s) {
    char* w = s->warning;
    s->warning = nullptr;
    return w;
}

bool settings_take_problem(Settings* s, char** path, ErrorCode* error) {
    if (s->out_of_memory) {
        s->out_of_memory = false;
        *path = nullptr;
        *error = ERR_OUT_OF_MEMORY;
        return true;
    }
    if (!s->problem_path) return false;
    *path = s->problem_path;
    *error = s->problem;
    s->problem_path = nullptr;
    return true;
}
