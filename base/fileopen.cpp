#include "base/fileopen.h"

#include "base/utf.h"

namespace {

constexpr uint32_t kQueryAccess = SYNCHRONIZE | READ_CONTROL | FILE_READ_ATTRIBUTES | FILE_READ_EA;
constexpr uint32_t kSetInfoAccess = FILE_WRITE_ATTRIBUTES | FILE_WRITE_EA;
constexpr uint32_t kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr uint32_t kShareNoWrite = FILE_SHARE_READ | FILE_SHARE_DELETE;
constexpr uint32_t kAttributesForOpen = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;

} // namespace

ErrorCode file_open(FileHandle* handle, const char* path, uint32_t flags) {
    if (handle) *handle = INVALID_FILE_HANDLE;
    ErrorCode e = path_arg_check(path);
    if (e != 0) return e;

    uint32_t access = kQueryAccess;
    if (flags & FOPEN_READ) access |= FILE_READ_DATA;
    if (flags & FOPEN_SET_INFO) access |= kSetInfoAccess;
    if (flags & FOPEN_WRITE) access |= FILE_WRITE_DATA;
    if (flags & FOPEN_CREATE) access |= FILE_WRITE_DATA | kSetInfoAccess;
    if (flags & FOPEN_TRUNCATE) access |= FILE_WRITE_DATA;
    if (flags & FOPEN_EXECUTE) access |= FILE_EXECUTE;
    if (flags & FOPEN_APPEND)
        access = (access & ~(FILE_READ_DATA | FILE_WRITE_DATA)) | FILE_APPEND_DATA;
    if (flags & FOPEN_ASYNC) access &= ~static_cast<uint32_t>(SYNCHRONIZE);

    bool writing = flags & (FOPEN_WRITE | FOPEN_CREATE | FOPEN_TRUNCATE | FOPEN_APPEND);
    uint32_t share = kShareAll;
    if ((flags & FOPEN_DENY_WRITE) || (writing && !(flags & FOPEN_SHARE_WRITE)))
        share = kShareNoWrite;

    uint32_t disposition = FILE_OPEN, attributes = kAttributesForOpen;
    bool create = flags & FOPEN_CREATE, truncate = flags & FOPEN_TRUNCATE;
    if (create || truncate) {
        disposition = create ? (truncate ? FILE_OVERWRITE_IF : FILE_OPEN_IF) : FILE_OVERWRITE;
        attributes = FILE_ATTRIBUTE_NORMAL;
    }

    uint32_t options = FILE_SYNCHRONOUS_IO_NONALERT;
    if (flags & FOPEN_UNBUFFERED) options |= FILE_NO_INTERMEDIATE_BUFFERING;
    if (flags & FOPEN_NO_FOLLOW) options |= FILE_OPEN_REPARSE_POINT;
    if (flags & FOPEN_ASYNC) options &= ~static_cast<uint32_t>(FILE_SYNCHRONOUS_IO_NONALERT);

    FileHandle h;
    e = file_open_native(path, access, share, attributes, disposition, options, &h, nullptr);
    // Creating may be refused where opening what is there is allowed.
    if (e == ERR_ACCESS_DENIED && create) {
        file_close(h); // only a status-block failure leaves a handle here
        e = file_open_native(path, access, share, kAttributesForOpen, FILE_OPEN, options, &h,
                             nullptr);
        if (e == 0 && truncate) {
            e = file_set_end(h, 0);
            if (e != 0) {
                file_close(h);
                h = INVALID_FILE_HANDLE;
            }
        }
    }
    if (handle)
        *handle = h;
    else
        file_close(h);
    return e;
}
