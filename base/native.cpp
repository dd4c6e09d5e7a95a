// Native names, NtCreateFile and NtClose, and the information calls on a handle.
#include "base/native.h"

#include "base/path.h"
#include "base/utf.h"
#ifdef EOLSET_TEST_HOOKS
#include "base/test_control.h"
#endif

int error_mode_latch = 0;

namespace {

// The byte length of a name is a 16-bit count.
constexpr uint64_t kMaxNameUnits = 65535 / 2;

bool is_letter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

uint64_t wlen(const char16_t* s) {
    uint64_t n = 0;
    while (s[n]) ++n;
    return n;
}

ErrorCode from_status(NTSTATUS s) {
    return static_cast<ErrorCode>(RtlNtStatusToDosError(s));
}

} // namespace

ErrorCode native_path_from_path(ArenaAllocator* arena, const char* path, NativeName* name) {
    name->Length = 0;
    name->MaximumLength = 2;
    name->Buffer = nullptr;
    ErrorCode e = 0;
    const char* full = path_full_checked(arena_base(arena), path, &e);
    if (!full) return e;
    if (!full[0]) return ERR_INVALID_NAME;
    return native_path_from_full(arena, full, name);
}

ErrorCode native_path_from_full(ArenaAllocator* arena, const char* full, NativeName* name) {
    name->Length = 0;
    name->MaximumLength = 2;
    name->Buffer = nullptr;
    if (!full || !full[0]) return ERR_INVALID_NAME;

    // Choose the native prefix by the head of the full path.
    const char16_t* prefix;
    const char* rest = full;
    if (is_letter(full[0]) && full[1] == ':' && (full[2] == 0 || full[2] == '\\')) {
        prefix = u"\\??\\";
    } else if (full[0] == '\\' && full[1] == '\\') {
        if ((full[2] == '.' || full[2] == '?') && full[3] == '\\') {
            prefix = u"\\??\\";
            rest = full + 4;
        } else if (full[2] == '=' && full[3] == '\\') {
            prefix = u"\\"; // the program's own head: any native object name
            rest = full + 4;
        } else {
            prefix = u"\\??\\UNC\\";
            rest = full + 2;
        }
    } else if (full[0] == '\\') {
        prefix = u"";
    } else {
        return ERR_INVALID_NAME;
    }

    uint64_t prefix_units = wlen(prefix);
    uint64_t units = prefix_units + utf8_to_utf16(nullptr, 0, rest, TEXT_NUL);
    if (units > kMaxNameUnits) return ERR_INVALID_NAME;
    char16_t* text = static_cast<char16_t*>(allocate(arena_base(arena), (units + 1) * 2));
    if (!text) return ERR_OUT_OF_MEMORY;
    for (uint64_t i = 0; i < prefix_units; ++i) text[i] = prefix[i];
    utf8_to_utf16(text + prefix_units, units - prefix_units + 1, rest, TEXT_NUL);
    text[units] = 0;
    name->Length = static_cast<USHORT>(units * 2);
    // At the longest name the capacity with its terminator no longer fits in
    // 16 bits; it then stays the largest even count, equal to the length.
    name->MaximumLength = static_cast<USHORT>(units < kMaxNameUnits ? units * 2 + 2 : units * 2);
    name->Buffer = reinterpret_cast<WCHAR*>(text);
    return 0;
}

ErrorCode native_create(NativeName* name, uint32_t access, uint32_t share, uint32_t attributes,
                        uint32_t disposition, uint32_t options, FileHandle* handle,
                        uint64_t* action) {
    return native_create_secure(name, access, share, attributes, disposition, options, nullptr,
                                handle, action);
}

ErrorCode native_create_secure(NativeName* name, uint32_t access, uint32_t share,
                               uint32_t attributes, uint32_t disposition, uint32_t options,
                               void* security, FileHandle* handle, uint64_t* action) {
    // No system dialog for a missing medium or a failing drive, ever.
    if (!error_mode_latch) {
        error_mode_latch = 1;
        SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    }
    NtObjectAttributes oa{sizeof(NtObjectAttributes), nullptr,  name,
                          OBJ_CASE_INSENSITIVE,       security, nullptr};
    NtIoStatusBlock io{};
    HANDLE h = nullptr;
    NTSTATUS s = NtCreateFile(&h, access, &oa, &io, nullptr, attributes, share, disposition,
                              options, nullptr, 0);
    if (!EOL_NT_SUCCESS(s)) {
        *handle = INVALID_FILE_HANDLE;
        if (action) *action = 0;
        return from_status(s);
    }
    *handle = from_native(h);
    if (io.Status != STATUS_SUCCESS) {
        if (action) *action = 0;
        return from_status(io.Status);
    }
    if (action) *action = io.Information;
    return 0;
}

ErrorCode file_open_native(const char* path, uint32_t access, uint32_t share, uint32_t attributes,
                           uint32_t disposition, uint32_t options, FileHandle* handle,
                           uint64_t* action) {
    ArenaAllocator scratch;
    arena_init(&scratch);
    NativeName name;
    ErrorCode e = native_path_from_path(&scratch, path, &name);
    if (e != 0) {
        *handle = INVALID_FILE_HANDLE;
        if (action) *action = 0;
    } else {
        e = native_create(&name, access, share, attributes, disposition, options, handle, action);
    }
    arena_release(&scratch);
    return e;
}

ErrorCode file_query_information(FileHandle h, uint32_t info_class, void* buf, uint32_t length,
                                 uint64_t* returned) {
    if (returned) *returned = 0;
    if (!handle_is_valid(h)) return ERR_INVALID_HANDLE;
    NtIoStatusBlock io{};
    NTSTATUS s = NtQueryInformationFile(to_native(h), &io, buf, length, info_class);
    if (returned) *returned = io.Information;
    if (!EOL_NT_SUCCESS(s)) return from_status(s);
    return io.Status != STATUS_SUCCESS ? from_status(io.Status) : 0;
}

ErrorCode file_query_volume_information(FileHandle h, uint32_t info_class, void* buf,
                                        uint32_t length, uint64_t* returned) {
    if (returned) *returned = 0;
    if (!handle_is_valid(h)) return ERR_INVALID_HANDLE;
    NtIoStatusBlock io{};
    NTSTATUS s = NtQueryVolumeInformationFile(to_native(h), &io, buf, length, info_class);
    if (returned) *returned = io.Information;
    if (!EOL_NT_SUCCESS(s)) return from_status(s);
    return io.Status != STATUS_SUCCESS ? from_status(io.Status) : 0;
}

ErrorCode file_query_object_name(FileHandle h, uint32_t info_class, void* buf, uint32_t length,
                                 uint32_t* returned) {
    if (returned) *returned = 0;
    if (!handle_is_valid(h)) return ERR_INVALID_HANDLE;
    ULONG got = 0;
    NTSTATUS s = NtQueryObject(to_native(h), info_class, buf, length, &got);
    if (returned) *returned = got;
    return EOL_NT_SUCCESS(s) ? 0 : from_status(s);
}

#ifdef EOLSET_TEST_HOOKS
namespace {
thread_local uint32_t t_stop_at;
thread_local uint32_t t_changes;
thread_local uint64_t t_tear_above;
} // namespace

void native_stop_changes_at(uint32_t n, uint64_t tear_above) {
    t_stop_at = n;
    t_changes = 0;
    t_tear_above = tear_above;
}

uint32_t native_change_count() {
    return t_changes;
}

bool native_change_allowed(uint64_t length, uint64_t* tear) {
    ++t_changes;
    if (t_stop_at == 0 || t_changes < t_stop_at) return true;
    if (tear)
        *tear = t_changes == t_stop_at && t_tear_above && length > t_tear_above ? length / 2 : 0;
    return false;
}
#endif

ErrorCode file_set_information(FileHandle h, uint32_t info_class, void* buf, uint32_t length) {
    if (!handle_is_valid(h)) return ERR_INVALID_HANDLE;
#ifdef EOLSET_TEST_HOOKS
    if (info_class != FilePositionInformation && !native_change_allowed(0, nullptr))
        return ERROR_DISK_FULL;
#endif
    NtIoStatusBlock io{};
    NTSTATUS s = NtSetInformationFile(to_native(h), &io, buf, length, info_class);
    if (!EOL_NT_SUCCESS(s)) return from_status(s);
    return io.Status != STATUS_SUCCESS ? from_status(io.Status) : 0;
}

ErrorCode file_set_position(FileHandle h, uint64_t offset) {
    int64_t position = static_cast<int64_t>(offset);
    return file_set_information(h, FilePositionInformation, &position, sizeof position);
}

ErrorCode file_set_end(FileHandle h, uint64_t size) {
    int64_t end = static_cast<int64_t>(size);
    return file_set_information(h, FileEndOfFileInformation, &end, sizeof end);
}

void file_close(FileHandle h) {
    if (!handle_is_valid(h)) return;
    HANDLE native = to_native(h);
    if ((h & 3) == 3) {
        // A console handle: a standard handle that is no console stays open.
        DWORD mode;
        if ((native == GetStdHandle(STD_INPUT_HANDLE) ||
             native == GetStdHandle(STD_OUTPUT_HANDLE) ||
             native == GetStdHandle(STD_ERROR_HANDLE)) &&
            !GetConsoleMode(native, &mode))
            return;
        CloseHandle(native);
        return;
    }
    NtClose(native);
}
