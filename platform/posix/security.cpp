// Who owns a file and who may write it, in the system's terms, and who runs
// the process. POSIX users and groups appear as the SIDs Samba gives them
// (S-1-22-1-uid, S-1-22-2-gid); a mode's bits become one allowing entry each
// for the owner, the group and everyone (S-1-1-0), as Wine presents a Unix
// file's security.
#include "platform/nt.h"
#include "platform/posix/standin.h"

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace standin {
namespace {

// A SID of one or two sub-authorities, as the system lays it out.
struct Sid {
    uint8_t revision, count, authority[6];
    uint32_t sub[2];
};

Sid make_sid(uint8_t authority, uint32_t a, uint32_t b, uint8_t count) {
    Sid s{1, count, {0, 0, 0, 0, 0, authority}, {a, b}};
    return s;
}

size_t sid_bytes(const Sid& s) {
    return 8 + 4u * s.count;
}

// The rights a mode's three bits grant on a file or folder.
ACCESS_MASK rights_of(unsigned bits) {
    ACCESS_MASK m = 0;
    if (bits & 4) m |= 0x00120089; // FILE_GENERIC_READ
    if (bits & 2) m |= 0x00120116 | 0x40; // FILE_GENERIC_WRITE, FILE_DELETE_CHILD
    if (bits & 1) m |= 0x001200A0; // FILE_GENERIC_EXECUTE
    return m;
}

// Appends `n` bytes to out when they fit; counts them in any case.
void put(unsigned char* out, ULONG room, ULONG* at, const void* bytes, size_t n) {
    if (*at + n <= room) memcpy(out + *at, bytes, n);
    *at += static_cast<ULONG>(n);
}

} // namespace
} // namespace standin

using namespace standin;

extern "C" {

NTSTATUS NTAPI NtQuerySecurityObject(HANDLE Handle, ULONG SecurityInformation,
                                     void* SecurityDescriptor, ULONG Length,
                                     ULONG* LengthNeeded) {
    Object* obj = handle_lookup(Handle);
    if (!obj || (obj->kind != ObjKind::File && obj->kind != ObjKind::Directory) || obj->fd < 0)
        return STATUS_INVALID_HANDLE;
    struct stat st;
    int r = obj->reparse ? lstat(obj->unix_path, &st) : fstat(obj->fd, &st);
    if (r != 0) return status_from_errno(errno);
    unsigned char* out = static_cast<unsigned char*>(SecurityDescriptor);
    // Self-relative: revision, control, then the offsets of owner, group, SACL, DACL.
    struct Header {
        uint8_t revision, sbz1;
        uint16_t control;
        uint32_t owner, group, sacl, dacl;
    } head{1, 0, 0x8000 /* self-relative */, 0, 0, 0, 0};
    ULONG at = sizeof head;
    Sid owner = make_sid(22, 1, static_cast<uint32_t>(st.st_uid), 2);
    if (SecurityInformation & kOwnerSecurityInformation) {
        head.owner = at;
        put(out, Length, &at, &owner, sid_bytes(owner));
    }
    if (SecurityInformation & kDaclSecurityInformation) {
        head.control |= 0x4 | 0x1000; // DACL present, protected
        head.dacl = at;
        Sid group = make_sid(22, 2, static_cast<uint32_t>(st.st_gid), 2);
        Sid world = make_sid(1, 0, 0, 1);
        const Sid* sids[3] = {&owner, &group, &world};
        unsigned bits[3] = {(st.st_mode >> 6) & 7u, (st.st_mode >> 3) & 7u, st.st_mode & 7u};
        uint16_t count = 0, size = 8;
        for (int i = 0; i < 3; ++i)
            if (bits[i]) {
                ++count;
                size = static_cast<uint16_t>(size + 8 + sid_bytes(*sids[i]));
            }
        struct {
            uint8_t revision, sbz1;
            uint16_t size, count, sbz2;
        } acl{2, 0, size, count, 0};
        put(out, Length, &at, &acl, sizeof acl);
        for (int i = 0; i < 3; ++i) {
            if (!bits[i]) continue;
            struct {
                uint8_t type, flags;
                uint16_t size;
                uint32_t mask;
            } ace{0, 0, static_cast<uint16_t>(8 + sid_bytes(*sids[i])), rights_of(bits[i])};
            put(out, Length, &at, &ace, sizeof ace);
            put(out, Length, &at, sids[i], sid_bytes(*sids[i]));
        }
    }
    if (LengthNeeded) *LengthNeeded = at;
    if (at > Length) return STATUS_BUFFER_TOO_SMALL;
    memcpy(out, &head, sizeof head);
    return STATUS_SUCCESS;
}

// The process's token is a handle value of its own; it needs no closing.
NTSTATUS NTAPI NtOpenProcessToken(HANDLE ProcessHandle, ACCESS_MASK DesiredAccess,
                                  HANDLE* TokenHandle) {
    (void)DesiredAccess;
    if (ProcessHandle != reinterpret_cast<HANDLE>(~uintptr_t{0})) return STATUS_INVALID_HANDLE;
    *TokenHandle = reinterpret_cast<HANDLE>(uintptr_t{0x7FFFFFF0});
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI NtQueryInformationToken(HANDLE TokenHandle, ULONG InformationClass,
                                       void* Information, ULONG Length, ULONG* ReturnLength) {
    if (TokenHandle != reinterpret_cast<HANDLE>(uintptr_t{0x7FFFFFF0})) return STATUS_INVALID_HANDLE;
    if (InformationClass != kTokenUser && InformationClass != kTokenOwner)
        return STATUS_INVALID_INFO_CLASS;
    // TOKEN_USER is a SID pointer and attributes, TOKEN_OWNER a SID pointer;
    // the SID follows in the same buffer.
    ULONG head = InformationClass == kTokenUser ? 16 : 8;
    Sid user = make_sid(22, 1, static_cast<uint32_t>(geteuid()), 2);
    ULONG need = head + static_cast<ULONG>(sid_bytes(user));
    if (ReturnLength) *ReturnLength = need;
    if (Length < need) return STATUS_BUFFER_TOO_SMALL;
    unsigned char* out = static_cast<unsigned char*>(Information);
    memset(out, 0, head);
    void* sid = out + head;
    memcpy(out, &sid, sizeof sid);
    memcpy(sid, &user, sid_bytes(user));
    return STATUS_SUCCESS;
}

} // extern "C"
