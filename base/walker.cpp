#include "base/walker.h"

#include "base/fileinfo.h"
#include "base/fileopen.h"
#include "base/filter.h"
#include "base/fold.h"
#include "base/lister.h"
#include "base/path.h"
#include "base/utf.h"

#include <cstring>

namespace {

const FolderLevelOps kLevelOps = {level_release, level_next};
const FolderWalkerOps kWalkerOps = {walker_release, walker_next};

void clear_outputs(const char** path, uint64_t* name_offset, FileEntry** entry) {
    *path = nullptr;
    if (name_offset) *name_offset = 0;
    if (entry) *entry = nullptr;
}

void set_outputs(const WalkFrame& f, const char** path, uint64_t* name_offset, FileEntry** entry) {
    *path = f.path;
    if (name_offset) *name_offset = f.name_offset;
    if (entry) *entry = f.entry;
}

// Hands out the pending error once, with the folder it belongs to.
ErrorCode take_pending(FolderWalker* w, const char** path, uint64_t* name_offset,
                       FileEntry** entry) {
    ErrorCode err = w->pending_error;
    *path = w->pending_path;
    if (name_offset) *name_offset = w->pending_path ? w->pending_name_offset : 0;
    if (entry) *entry = w->pending_entry;
    w->pending_error = 0;
    w->pending_path = nullptr;
    w->pending_name_offset = 0;
    w->pending_entry = nullptr;
    return err;
}

void set_pending(FolderWalker* w, ErrorCode err, const WalkFrame& folder) {
    w->pending_error = err;
    w->pending_path = folder.path;
    w->pending_name_offset = folder.name_offset;
    w->pending_entry = folder.entry;
}

void pop_ancestor(FolderWalker* w) {
    SavedFrame* s = w->ancestors;
    w->ancestors = s->next;
    w->frame = s->frame;
    mem_free(s);
}

// Same volume and same low half of the file id.
bool same_folder(const FileEntry* a, const FileEntry* e) {
    return a->file_id[0] == e->file_id[0] &&
           memcmp(a->volume_id, e->volume_id, sizeof e->volume_id) == 0;
}

// Same volume and same low half of the file id as the root or a folder on
// the current path. A zero id means the file system gave none: no identity
// to compare.
bool is_ancestor(const FolderWalker* w, const FileEntry* e) {
    if (e->file_id[0] == 0 && e->file_id[1] == 0) return false;
    if (same_folder(&w->root_entry, e)) return true;
    for (const SavedFrame* s = w->ancestors; s; s = s->next) {
        const FileEntry* a = s->frame.entry;
        if (a && same_folder(a, e)) return true;
    }
    return false;
}

constexpr uint32_t kQueryAccess = SYNCHRONIZE | READ_CONTROL | FILE_READ_ATTRIBUTES | FILE_READ_EA;
constexpr uint32_t kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr uint32_t kSmallName = 1024;
constexpr uint32_t kAttrReparsePoint = 0x400;

// The object name of what `path` leads to (links followed), from `a`,
// without a closing backslash.
ErrorCode object_name_of(Allocator* a, const char* path, uint32_t options, const char16_t** name,
                         uint64_t* length, FileEntry* entry = nullptr) {
    *name = nullptr;
    *length = 0;
    FileHandle h;
    ErrorCode e = file_open_native(path, kQueryAccess, kShareAll, 0, FILE_OPEN,
                                   options | FILE_SYNCHRONOUS_IO_NONALERT, &h, nullptr);
    void* buf = e == 0 ? allocate(a, kSmallName) : nullptr;
    if (e == 0 && !buf) e = ERR_OUT_OF_MEMORY;
    uint32_t need = 0;
    if (e == 0) {
        e = file_query_object_name(h, ObjectNameInformation, buf, kSmallName, &need);
        if (e != 0 && need > kSmallName) {
            buf = allocate(a, need);
            e = buf ? file_query_object_name(h, ObjectNameInformation, buf, need, nullptr)
                    : ERR_OUT_OF_MEMORY;
        }
    }
    if (e == 0 && entry) e = file_query_entry(h, entry);
    file_close(h);
    if (e != 0) return e;
    const NtObjectNameInformation* info = static_cast<const NtObjectNameInformation*>(buf);
    const char16_t* text = reinterpret_cast<const char16_t*>(info->Name.Buffer);
    uint64_t n = text ? info->Name.Length / 2 : 0;
    if (n > 1 && text[n - 1] == u'\\') --n;
    *name = text;
    *length = n;
    return 0;
}

// A link, a junction, or a reparse point of a kind the lister does not
// name (Wine marks links to folders so, without a tag).
bool is_link_like(const FileEntry* e) {
    return e->is_link_target || e->is_mount_point || e->is_symlink ||
           (e->attributes & kAttrReparsePoint);
}

enum class LinkPlace { Within, Outside, Unreachable };

// Where a link or a junction leads: within the root folder, outside it, or
// nowhere that opens now. Out of memory is the only error; a target that
// cannot be named counts as outside.
ErrorCode link_place(const FolderWalker* w, ArenaAllocator* scratch, const char* path,
                     const FileEntry* e, LinkPlace* place) {
    *place = LinkPlace::Outside;
    const char16_t* name = nullptr;
    uint64_t n = 0;
    ErrorCode err = object_name_of(arena_base(scratch), path, 0, &name, &n);
    if (err == ERR_OUT_OF_MEMORY) return err;
    if (err != 0) *place = LinkPlace::Unreachable;
    if (err != 0 || !name) return 0;
    // A system that names the target by the link's own path (Wine) does not
    // tell where the link leads: such a link is not followed.
    NativeName own;
    err = native_path_from_path(scratch, path, &own);
    if (err == ERR_OUT_OF_MEMORY) return err;
    if (err != 0 ||
        name_within(reinterpret_cast<const char16_t*>(own.Buffer), own.Length / 2, name, n))
        return 0;
    if (name_within(w->root_name, w->root_name_length, name, n) ||
        (e->is_mount_point && name_is_volume_root(name, n)))
        *place = LinkPlace::Within;
    return 0;
}

// The next selected entry to hand out, if any: folders on the path that are
// selected but not yet handed out (outermost first, so a folder always comes
// before what it holds), then the current entry itself.
WalkFrame* next_to_hand_out(FolderWalker* w) {
    WalkFrame& f = w->frame;
    if (!f.included) return nullptr;
    WalkFrame* candidate = nullptr;
    for (SavedFrame* s = w->ancestors; s && !s->frame.yielded; s = s->next) candidate = &s->frame;
    if (!candidate && !f.yielded) candidate = &f;
    return candidate;
}

// Reads the current level's next entry into the frame; ERR_NO_MORE_FILES at
// the level's end.
ErrorCode read_entry(FolderWalker* w, ArenaAllocator* scratch) {
    WalkFrame& f = w->frame;
    arena_release(scratch);
    f.included = 0;
    f.yielded = 0;
    return level_next(f.level, &f.path, &f.name_offset, &f.entry);
}

// A finished folder: back to its parent level, where the folder is the
// current entry and has been handed out if it ever will be. False when the
// finished level was the root's.
bool leave_folder(FolderWalker* w) {
    WalkFrame& f = w->frame;
    level_release(f.level);
    f = WalkFrame{};
    if (w->ancestors == nullptr) return false;
    pop_ancestor(w);
    f.yielded = 1;
    return true;
}

// Runs the filters on the current entry: whether it is selected, and whether
// the walk should go into it. Filters see the path relative to the root with
// one closing backslash; only folders (and links whose target could be read)
// are entered, and only when some filter can select something below them.
ErrorCode judge_entry(FolderWalker* w, ArenaAllocator* scratch, bool* enter) {
    WalkFrame& f = w->frame;
    *enter = false;
    if (w->root_offset == 0) w->root_offset = f.name_offset;
    if (w->screen && w->screen(w->screen_context, f.path, f.entry)) return 0;
    const char* relative = f.path + w->root_offset;
    const char* probe = path_join(arena_base(scratch), relative, "");
    if (!probe) return ERR_OUT_OF_MEMORY;
    f.included = filter_includes(w->filters, w->filter_count, probe) ? 1 : 0;

    const FileEntry* e = f.entry;
    if (!e || !e->is_directory || (e->is_symlink && !e->is_link_target)) return 0;
    // A version-control system's own data is no text of the user's.
    if ((w->flags & WALK_SKIP_VCS) && is_vcs_folder_name(f.path + f.name_offset, TEXT_NUL))
        return 0;
    const char* pattern = path_join(arena_base(scratch), relative, "**");
    if (!pattern) return ERR_OUT_OF_MEMORY;
    *enter = filter_descends(w->filters, w->filter_count, probe, pattern);
    return 0;
}

// A link or junction is followed, and handed out, only within the root
// folder; a dangling one goes on as it is (opening it fails). Clears the
// entry's selection and returns false for one that leads outside.
ErrorCode keep_link(FolderWalker* w, ArenaAllocator* scratch, bool enter, bool* keep) {
    WalkFrame& f = w->frame;
    const FileEntry* e = f.entry;
    *keep = true;
    if (!e || !is_link_like(e) || !(f.included || enter)) return 0;
    LinkPlace place;
    if (link_place(w, scratch, f.path, e, &place) != 0) {
        f.included = 0; // lost, as an entry whose probe cannot be made
        return ERR_OUT_OF_MEMORY;
    }
    bool dangling = place == LinkPlace::Unreachable && e->is_broken_link;
    if (place != LinkPlace::Within && !dangling) {
        f.included = 0;
        ++w->links_outside;
        *keep = false;
    }
    return 0;
}

// Goes into the current entry, a folder: its frame is kept on the path and a
// level opened for it. A folder that cannot be read is reported once (as the
// pending error) and skipped: the walk goes on with the folder itself (if
// selected) and its parent. A cancel is reported with the folder, and then
// the walk is over.
ErrorCode enter_folder(FolderWalker* w) {
    WalkFrame& f = w->frame;
    SavedFrame* saved = static_cast<SavedFrame*>(mem_calloc(1, sizeof(SavedFrame)));
    if (!saved) return ERR_OUT_OF_MEMORY;
    saved->frame = f;
    saved->next = w->ancestors;
    w->ancestors = saved;

    const uint8_t folder_included = f.included;
    f = WalkFrame{};
    ErrorCode err = level_open(&f.level, w->cancel, saved->frame.path, w->flags);
    if (err == 0) {
        f.yielded = 1;
        f.included = folder_included;
    } else if (err == ERR_CANCELLED) {
        set_pending(w, err, saved->frame);
        f.yielded = 1;
    } else {
        pop_ancestor(w);
        set_pending(w, err, f);
    }
    return 0;
}

// Whether any element of a full path names a version-control folder.
bool path_in_vcs_folder(const char* full) {
    const char* element = full;
    for (const char* p = full;; ++p) {
        if (*p == '\\' || *p == 0) {
            if (is_vcs_folder_name(element, static_cast<uint64_t>(p - element))) return true;
            if (*p == 0) return false;
            element = p + 1;
        }
    }
}

// One pass of walker_next; the caller owns the scratch arena.
ErrorCode walk(FolderWalker* w, ArenaAllocator* scratch, const char** path, uint64_t* name_offset,
               FileEntry** entry) {
    WalkFrame& f = w->frame;
    for (;;) {
        // What was selected is handed out before anything more is read; an
        // error waiting (a folder that could not be read, a loop, a cancel)
        // comes out first of all.
        if (WalkFrame* next = next_to_hand_out(w)) {
            if (w->pending_error != 0) return take_pending(w, path, name_offset, entry);
            next->yielded = 1;
            set_outputs(*next, path, name_offset, entry);
            return 0;
        }
        if (w->pending_error != 0) return take_pending(w, path, name_offset, entry);
        if (f.level == nullptr) return ERR_NO_MORE_FILES; // the walk is over

        ErrorCode err = read_entry(w, scratch);
        if (err == ERR_NO_MORE_FILES) {
            if (!leave_folder(w)) return ERR_NO_MORE_FILES;
            continue;
        }
        if (err != 0) return err;

        bool enter = false;
        err = judge_entry(w, scratch, &enter);
        if (err != 0) return err;
        // A folder already on the path is not entered again. A link back to
        // one lies within the folder, whatever its name tells.
        if (enter && is_ancestor(w, f.entry)) {
            set_pending(w, ERR_FOLDER_LOOP, f);
            continue;
        }
        bool keep = true;
        err = keep_link(w, scratch, enter, &keep);
        if (err != 0) return err;
        if (!keep || !enter) continue;
        err = enter_folder(w);
        if (err != 0) return err;
    }
}

} // namespace

bool name_within(const char16_t* root, uint64_t root_length, const char16_t* target,
                 uint64_t target_length) {
    if (!root || target_length < root_length) return false;
    for (uint64_t i = 0; i < root_length; ++i)
        if (target[i] != root[i] && case_fold(target[i]) != case_fold(root[i])) return false;
    return target_length == root_length || target[root_length] == u'\\';
}

bool name_is_volume_root(const char16_t* name, uint64_t length) {
    uint32_t k = volume_component_count(name, length);
    if (k == 0) k = 2;
    return length <= volume_prefix_length(name, length, k) + 1;
}

int32_t entry_order(void* context, const JiRecord* record) {
    const LevelEntry* key = static_cast<const LevelEntry*>(context);
    const LevelEntry* other = reinterpret_cast<const LevelEntry*>(record);
    int c = compare_folded(key->path, other->path);
    if (c == 0) c = compare_exact(key->path, other->path);
    return c;
}

ErrorCode level_open(FolderLevel** out, Signal* cancel, const char* folder, int32_t flags) {
    *out = nullptr;
    DirectoryLister* lister = nullptr;
    ErrorCode err = lister_open(&lister, folder, static_cast<uint32_t>(flags));
    if (err != 0) return err;
    FolderLevel* level = static_cast<FolderLevel*>(mem_calloc(1, sizeof(FolderLevel)));
    if (!level) {
        lister_release(lister);
        return ERR_OUT_OF_MEMORY;
    }
    level->ops = &kLevelOps;
    arena_init(&level->arena);
    for (;;) {
        if (cancel && signal_is_set(cancel)) {
            err = ERR_CANCELLED;
            break;
        }
        const char* path = nullptr;
        uint64_t name_offset = 0;
        FileEntry* entry = nullptr;
        err = lister_next(lister, &path, &name_offset, &entry);
        if (err == ERR_NO_MORE_FILES) {
            err = 0;
            ji_first(&level->position, &level->root);
            break;
        }
        if (err != 0) break;
        uint64_t length = str_len(path);
        LevelEntry* r = static_cast<LevelEntry*>(
            arena_allocate(arena_base(&level->arena), LEVEL_ENTRY_HEAD + length + 1));
        if (!r) {
            err = ERR_OUT_OF_MEMORY;
            break;
        }
        if (entry) {
            r->copy = *entry;
            r->entry = &r->copy;
        }
        r->name_offset = static_cast<uint32_t>(name_offset);
        memcpy(r->path, path, length + 1);
        ji_add(&level->root, entry_order, r, &r->links);
        ++level->count;
    }
    // No folder handle stays open while the entries are handed out.
    lister_release(lister);
    if (err != 0) {
        level_release(level);
        return err;
    }
    *out = level;
    return 0;
}

ErrorCode level_next(FolderLevel* level, const char** path, uint64_t* name_offset,
                     FileEntry** entry) {
    LevelEntry* r = reinterpret_cast<LevelEntry*>(ji_current(&level->position));
    if (!r) {
        clear_outputs(path, name_offset, entry);
        return ERR_NO_MORE_FILES;
    }
    ji_next(&level->position);
    *path = r->path;
    if (name_offset) *name_offset = r->name_offset;
    if (entry) *entry = r->entry;
    return 0;
}

void level_release(FolderLevel* level) {
    if (!level) return;
    ji_pos_release(&level->position);
    arena_release(&level->arena);
    mem_free(level);
}

int walker_level_holds(FolderWalker* walker, const char* folder, uint64_t length,
                       const char* name) {
    FolderLevel* level = walker->frame.level;
    if (!level || level->count == 0) return -1;
    ji_pos_t pos;
    ji_pos_init(&pos, &level->root);
    int found = 0;
    uint64_t n = str_len(name), seen = 0;
    for (JiRecord* r = ji_first(&pos, &level->root); r; r = ji_next(&pos), ++seen) {
        const LevelEntry* e = reinterpret_cast<const LevelEntry*>(r);
        const char* path = e->path;
        if (e->name_offset != length + 1 || memcmp(path, folder, length) != 0 ||
            path[length] != '\\') {
            found = -1; // another folder's listing
            break;
        }
        if (memcmp(path + e->name_offset, name, n + 1) == 0) {
            found = 1;
            break;
        }
    }
    ji_pos_release(&pos);
    // A walk of the index cut short (its memory ran out) tells nothing.
    if (found == 0 && seen != level->count) return -1;
    return found;
}

void walker_set_screen(FolderWalker* walker, WalkScreen screen, void* context) {
    walker->screen = screen;
    walker->screen_context = context;
}

bool is_vcs_folder_name(const char* name, uint64_t length) {
    static const char* const kNames[] = {".git", ".hg", ".svn", ".bzr", "_darcs", "CVS"};
    if (length == TEXT_NUL) length = str_len(name);
    for (const char* k : kNames) {
        uint64_t i = 0;
        for (; i < length && k[i]; ++i) {
            char a = name[i], b = k[i];
            if (a >= 'A' && a <= 'Z') a = static_cast<char>(a - 'A' + 'a');
            if (b >= 'A' && b <= 'Z') b = static_cast<char>(b - 'A' + 'a');
            if (a != b) break;
        }
        if (i == length && !k[i]) return true;
    }
    return false;
}

ErrorCode walker_create(FolderWalker** out, Signal* cancel, const char* folder, int32_t flags,
                        const char* const* filters) {
    *out = nullptr;
    FolderWalker* w = static_cast<FolderWalker*>(mem_calloc(1, sizeof(FolderWalker)));
    if (!w) return ERR_OUT_OF_MEMORY;
    w->ops = &kWalkerOps;
    w->cancel = cancel;
    w->flags = flags;
    arena_init(&w->arena);

    uint64_t count = 0;
    while (filters && filters[count]) ++count;
    w->filter_count = count;
    ErrorCode err = 0;
    w->filters = static_cast<const char**>(
        arena_allocate(arena_base(&w->arena), (count + 1) * sizeof(const char*)));
    if (!w->filters) {
        err = ERR_OUT_OF_MEMORY;
    } else {
        ArenaAllocator scratch;
        arena_init(&scratch);
        for (uint64_t i = 0; i < count; ++i) {
            w->filters[i] = filter_prepare(arena_base(&scratch), arena_base(&w->arena), filters[i]);
        }
        if (scratch.failures != 0 || w->arena.failures != 0) err = ERR_OUT_OF_MEMORY;
        arena_release(&scratch);
        w->filters[count] = nullptr;
    }
    if (err == 0) {
        if (!folder || !*folder) folder = ".";
        if (flags & WALK_SKIP_VCS) {
            // Asked to walk inside a version-control folder: everything in it.
            ArenaAllocator scratch;
            arena_init(&scratch);
            const char* full = path_full(arena_base(&scratch), folder);
            if (full && path_in_vcs_folder(full)) w->flags &= ~WALK_SKIP_VCS;
            arena_release(&scratch);
        }
        err = level_open(&w->frame.level, cancel, folder, flags);
    }
    if (err == 0) {
        const char16_t* name = nullptr;
        err = object_name_of(arena_base(&w->arena), folder, FILE_DIRECTORY_FILE, &name,
                             &w->root_name_length, &w->root_entry);
        w->root_name = name;
    }
    if (err != 0) {
        walker_release(w);
        return err;
    }
    *out = w;
    return 0;
}

ErrorCode walker_next(FolderWalker* walker, const char** path, uint64_t* name_offset,
                      FileEntry** entry) {
    clear_outputs(path, name_offset, entry);
    ArenaAllocator scratch;
    arena_init(&scratch);
    ErrorCode err = walk(walker, &scratch, path, name_offset, entry);
    arena_release(&scratch);
    return err;
}

void walker_release(FolderWalker* walker) {
    if (!walker) return;
    level_release(walker->frame.level);
    while (SavedFrame* s = walker->ancestors) {
        walker->ancestors = s->next;
        level_release(s->frame.level);
        mem_free(s);
    }
    arena_release(&walker->arena);
    mem_free(walker);
}
