#include "app/report.h"

#include "base/output.h"
#include "platform/nt.h"

const char* error_reason(ErrorCode code) {
    switch (code) {
    case ERROR_FILE_NOT_FOUND:
        return "file not found";
    case ERROR_PATH_NOT_FOUND:
        return "path not found";
    case ERROR_ACCESS_DENIED:
        return "access denied";
    case ERROR_OUTOFMEMORY:
    case ERROR_NOT_ENOUGH_MEMORY:
        return "out of memory";
    case ERROR_NOT_READY:
        return "device not ready";
    case ERROR_SHARING_VIOLATION:
        return "in use by another process";
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME:
        return "invalid name";
    case ERROR_FILENAME_EXCED_RANGE:
        return "name too long";
    case ERROR_DIRECTORY:
        return "not a folder";
    case ERR_FOLDER_LOOP:
        return "folder loop";
    default:
        return "system error";
    }
}

void report_unreadable_file(const char* path, ErrorCode code) {
    print_err("ERROR: Cannot read file \"%s\": %s (error %d).\n", path, error_reason(code), code);
}
