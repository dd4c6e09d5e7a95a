#include "base/fileinfo.h"

#include "base/alloc.h"
#include "base/native.h"
#include "base/fold.h"
#include "base/utf.h"

#include <cstring>

namespace {

constexpr uint32_t kAllInfoBuffer = 104; // the fixed part and room for one name character
constexpr uint32_t kNameBuffer = 304;
constexpr uint32_t kLargeNameBuffer = 16384;
constexpr uint32_t kAttrReparsePoint = 0x400;
constexpr uint32_t kAttrNotContentIndexed = 0x2000;

struct VolumePrefix {
    const char16_t* text;
    uint32_t components;
};

// How many elements of a native device name name one volume.
constexpr VolumePrefix volume_prefix_table[] = {
    {u"\\Device\\Harddisk", 2}, {u"\\Device\\CdRom", 2},  {u"\\Device\\Mup", 4},
    {u"\\Device\\Lanman", 4},   {u"\\Device\\Webdav", 4},
};

bool has_prefix(const char16_t* s, uint64_t n, const char16_t* prefix) {
    uint64_t i = 0;
    for (; prefix[i]; ++i)
        if (i >= n || s[i] != prefix[i]) return false;
    return true;
}

// Fills volume_id from the object's name; leaves it 0 when the name is unknown.
void query_volume_identity(FileHandle h, FileEntry* entry) {
    alignas(8) unsigned char small[kNameBuffer];
    const NtObjectNameInformation* info = reinterpret_cast<NtObjectNameInformation*>(small);
    ArenaAllocator scratch;
    arena_init(&scratch);
    if (file_query_object_name(h, ObjectNameInformation, small, sizeof small, nullptr) != 0) {
        void* large = allocate(arena_base(&scratch), kLargeNameBuffer);
        if (!large || file_query_object_name(h, ObjectNameInformation, large, kLargeNameBuffer,
                                             nullptr) != 0) {
            arena_release(&scratch);
            return;
        }
        info = static_cast<const NtObjectNameInformation*>(large);
    }
    const char16_t* name = reinterpret_cast<const char16_t*>(info->Name.Buffer);
    uint64_t n = name ? info->Name.Length / 2 : 0;
    uint32_t k = volume_component_count(name, n);
    if (k == 0) {
        NtFileFsDeviceInformation device{};
        file_query_volume_information(h, FileFsDeviceInformation, &device, sizeof device, nullptr);
        k = (device.Characteristics & FILE_REMOTE_DEVICE) ? 4 : 2;
    }
    volume_identity_hash(entry->volume_serial, name, volume_prefix_length(name, n, k),
                         entry->volume_id);
    arena_release(&scratch);
}

// --- lookup3 (Bob Jenkins) ------------------------------------------------------

inline uint32_t rot(uint32_t x, int k) {
    return (x << k) | (x >> (32 - k));
}

void mix(uint32_t& a, uint32_t& b, uint32_t& c) {
    a -= c, a ^= rot(c, 4), c += b;
    b -= a, b ^= rot(a, 6), a += c;
    c -= b, c ^= rot(b, 8), b += a;
    a -= c, a ^= rot(c, 16), c += b;
    b -= a, b ^= rot(a, 19), a += c;
    c -= b, c ^= rot(b, 4), b += a;
}

void final_mix(uint32_t& a, uint32_t& b, uint32_t& c) {
    c ^= b, c -= rot(b, 14);
    a ^= c, a -= rot(c, 11);
    b ^= a, b -= rot(a, 25);
    c ^= b, c -= rot(b, 16);
    a ^= c, a -= rot(c, 4);
    b ^= a, b -= rot(a, 14);
    c ^= b, c -= rot(b, 24);
}

// Feeds a byte stream in 12-byte blocks; a full block is mixed in only once
// more bytes follow it, so the last block always goes to the final step.
struct Lookup3 {
    uint32_t a = 0xDEADBEEF, b = 0xDEADBEEF, c = 0xDEADBEEF;
    unsigned char block[12] = {};
    uint32_t used = 0;

    static uint32_t word(const unsigned char* p) {
        return p[0] | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
    }
    void add_block() { a += word(block), b += word(block + 4), c += word(block + 8); }
    void put(unsigned char byte) {
        if (used == 12) {
            add_block();
            mix(a, b, c);
            memset(block, 0, sizeof block);
            used = 0;
        }
        block[used++] = byte;
    }
    void finish(uint32_t out[3]) {
        add_block(); // zero padded
        final_mix(a, b, c);
        out[0] = a, out[1] = b, out[2] = c;
    }
};

} // namespace

uint32_t volume_component_count(const char16_t* name, uint64_t length) {
    for (const VolumePrefix& row : volume_prefix_table)
        if (has_prefix(name, length, row.text)) return row.components;
    return 0;
}

uint64_t volume_prefix_length(const char16_t* name, uint64_t length, uint32_t components) {
    uint32_t seen = 0;
    for (uint64_t i = 1; i < length; ++i)
        if (name[i] == u'\\' && ++seen == components) return i;
    return length > 0 ? length - 1 : 0;
}

void volume_identity_hash(uint64_t serial, const char16_t* text, uint64_t length, uint32_t out[3]) {
    Lookup3 h;
    for (int i = 0; i < 8; ++i) h.put(static_cast<unsigned char>(serial >> (8 * i)));
    uint64_t pos = 0;
    while (pos < length) {
        uint32_t cp = case_fold(utf16_next(text, length, pos, &pos));
        char utf8[8];
        uint64_t n = 0;
        utf8_put(utf8, sizeof utf8, &n, cp);
        for (uint64_t i = 0; i < n; ++i) h.put(static_cast<unsigned char>(utf8[i]));
    }
    h.finish(out);
}

void entry_finish(FileEntry* entry) {
    entry->flags = static_cast<uint8_t>(entry->attributes & 0x27);
    entry->is_directory = static_cast<uint8_t>(entry->attributes & FILE_ATTRIBUTE_DIRECTORY);
    if (entry->is_symlink || entry->is_directory)
        entry->size = 0;
    else if (!(entry->attributes & kAttrNotContentIndexed))
        entry->flags |= 0x08;
}

ErrorCode file_query_entry(FileHandle h, FileEntry* entry) {
    memset(entry, 0, sizeof *entry);
    if (!handle_is_valid(h)) return ERR_INVALID_HANDLE;

    // The name never fits: "more data" with a name length means the fixed part is complete.
    alignas(8) unsigned char buf[kAllInfoBuffer] = {};
    const NtFileAllInformation* all = reinterpret_cast<NtFileAllInformation*>(buf);
    ErrorCode e = file_query_information(h, FileAllInformation, buf, sizeof buf, nullptr);
    if (e == ERR_MORE_DATA && all->FileNameLength != 0) e = 0;
    if (e != 0) return e;
    const NtFileBasicInformation& basic = all->BasicInformation;
    entry->attributes = basic.FileAttributes;
    entry->is_directory = all->StandardInformation.Directory;
    entry->create_time = basic.CreationTime;
    entry->access_time = basic.LastAccessTime;
    entry->write_time = basic.LastWriteTime;
    entry->change_time = basic.ChangeTime;
    entry->size = static_cast<uint64_t>(all->StandardInformation.EndOfFile);
    entry->file_id[0] = static_cast<uint64_t>(all->IndexNumber);

    if (entry->attributes & kAttrReparsePoint) {
        NtFileReparsePointInformation reparse{};
        if (file_query_information(h, FileReparsePointInformation, &reparse, sizeof reparse,
                                   nullptr) == 0) {
            if (reparse.Tag == IO_REPARSE_TAG_MOUNT_POINT) entry->is_mount_point = 1;
            if (reparse.Tag == IO_REPARSE_TAG_SYMLINK) entry->is_symlink = 1;
        }
    }

    NtFileIdInformation id{};
    if (file_query_information(h, FileIdInformation, &id, sizeof id, nullptr) == 0) {
        entry->volume_serial = id.VolumeSerialNumber;
        memcpy(entry->file_id, id.FileId, sizeof id.FileId);
    } else {
        NtFileFsVolumeInformation volume{};
        file_query_volume_information(h, FileFsVolumeInformation, &volume, sizeof volume, nullptr);
        entry->volume_serial = volume.VolumeSerialNumber;
    }

    query_volume_identity(h, entry);
    entry_finish(entry);
    return 0;
}

ErrorCode file_query_entry_by_path(const char* path, FileEntry* entry) {
    FileEntry found;
    memset(&found, 0, sizeof found);
    FileHandle h;
    ErrorCode e =
        file_open_native(path, SYNCHRONIZE | READ_CONTROL | FILE_READ_ATTRIBUTES | FILE_READ_EA,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM, FILE_OPEN,
                         FILE_SYNCHRONOUS_IO_NONALERT, &h, nullptr);
    if (e == 0) e = file_query_entry(h, &found);
    file_close(h);
    if (entry) *entry = found;
    return e;
}

namespace {

// Whether FileStatInformation is answered: 0 not known yet, 1 it is, -1 it is not.
int g_stat_class;

// The codes of a system or file system that does not know an information class.
bool is_unknown_class(ErrorCode e) {
    return e == ERROR_INVALID_PARAMETER || e == ERROR_INVALID_FUNCTION ||
           e == ERROR_NOT_SUPPORTED || e == ERROR_CALL_NOT_IMPLEMENTED;
}

} // namespace

ErrorCode file_query_facts(FileHandle h, OpenFileFacts* facts) {
    *facts = OpenFileFacts{};
    if (__atomic_load_n(&g_stat_class, __ATOMIC_RELAXED) >= 0) {
        NtFileStatInformation stat{};
        ErrorCode e = file_query_information(h, FileStatInformation, &stat, sizeof stat, nullptr);
        if (e == 0) {
            __atomic_store_n(&g_stat_class, 1, __ATOMIC_RELAXED);
            facts->id = static_cast<uint64_t>(stat.FileId);
            facts->size = static_cast<uint64_t>(stat.EndOfFile);
            facts->allocated = static_cast<uint64_t>(stat.AllocationSize);
            facts->write_time = stat.LastWriteTime;
            facts->attributes = stat.FileAttributes;
            return 0;
        }
        if (!is_unknown_class(e)) return e;
        // A system before it, or a file system without it: two queries.
        int unknown = 0;
        __atomic_compare_exchange_n(&g_stat_class, &unknown, -1, false, __ATOMIC_RELAXED,
                                    __ATOMIC_RELAXED);
    }
    NtFileNetworkOpenInformation open{};
    ErrorCode e =
        file_query_information(h, FileNetworkOpenInformation, &open, sizeof open, nullptr);
    int64_t index = 0;
    if (e == 0)
        e = file_query_information(h, FileInternalInformation, &index, sizeof index, nullptr);
    if (e != 0) return e;
    facts->id = static_cast<uint64_t>(index);
    facts->size = static_cast<uint64_t>(open.EndOfFile);
    facts->allocated = static_cast<uint64_t>(open.AllocationSize);
    facts->write_time = open.LastWriteTime;
    facts->attributes = open.FileAttributes;
    return 0;
}

ErrorCode file_query_size_time(FileHandle h, uint64_t* size, int64_t* write_time) {
    NtFileNetworkOpenInformation info{};
    ErrorCode e =
        file_query_information(h, FileNetworkOpenInformation, &info, sizeof info, nullptr);
    *size = e == 0 ? static_cast<uint64_t>(info.EndOfFile) : 0;
    *write_time = e == 0 ? info.LastWriteTime : 0;
    return e;
}

ErrorCode file_set_write_time(FileHandle h, int64_t time) {
    // -1 keeps a time and stops the system from updating it while the handle is open.
    NtFileBasicInformation basic{}; // attributes 0: unchanged; the padding zero too
    basic.CreationTime = -1;
    basic.LastAccessTime = -1;
    basic.LastWriteTime = time;
    basic.ChangeTime = -1;
    return file_set_information(h, FileBasicInformation, &basic, sizeof basic);
}

namespace {

// File systems that write changed blocks to new space, by the name the
// volume gives.
bool is_copy_on_write(const char16_t* name, uint64_t n) {
    static const char* const kNames[] = {"btrfs", "zfs", "bcachefs", "ReFS", "APFS"};
    for (const char* k : kNames) {
        uint64_t i = 0;
        for (; k[i] && i < n; ++i) {
            char16_t a = name[i], b = static_cast<char16_t>(k[i]);
            if (a >= u'A' && a <= u'Z') a = static_cast<char16_t>(a + 32);
            if (b >= u'A' && b <= u'Z') b = static_cast<char16_t>(b + 32);
            if (a != b) break;
        }
        if (!k[i] && i == n) return true;
    }
    return false;
}

} // namespace

ErrorCode file_volume_room(FileHandle h, uint64_t* free_bytes, bool* copy_on_write) {
    *free_bytes = ~0ull;
    *copy_on_write = false;
    NtFileFsFullSizeInformation size{};
    ErrorCode e =
        file_query_volume_information(h, FileFsFullSizeInformation, &size, sizeof size, nullptr);
    if (e != 0) return e;
    uint64_t unit = static_cast<uint64_t>(size.SectorsPerAllocationUnit) * size.BytesPerSector;
    *free_bytes = static_cast<uint64_t>(size.CallerAvailableAllocationUnits) * unit;
    alignas(8) unsigned char buf[sizeof(NtFileFsAttributeInformation) + 64];
    const NtFileFsAttributeInformation* a = reinterpret_cast<NtFileFsAttributeInformation*>(buf);
    if (file_query_volume_information(h, FileFsAttributeInformation, buf, sizeof buf, nullptr) ==
        0) {
        const char16_t* name = reinterpret_cast<const char16_t*>(a->FileSystemName);
        *copy_on_write = is_copy_on_write(name, a->FileSystemNameLength / 2);
    }
    return 0;
}
