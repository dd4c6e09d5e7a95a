// The Win32 types, constants and calls that the system uses, declared for the
// Linux build. The definitions live in the other files of this folder.
#pragma once

#include <cstddef>
#include <cstdint>

#define WINAPI
#define NTAPI

using HANDLE = void*;
using BOOL = int;
using BOOLEAN = uint8_t;
using BYTE = uint8_t;
using UCHAR = uint8_t;
using USHORT = uint16_t;
using WORD = uint16_t;
using DWORD = uint32_t;
using ULONG = uint32_t;
using LONG = int32_t;
using UINT = uint32_t;
using ULONG_PTR = uintptr_t;
using ACCESS_MASK = uint32_t;
using NTSTATUS = int32_t;
using WCHAR = char16_t;
using LPDWORD = DWORD*;
using LPVOID = void*;
using LPCVOID = const void*;
using LPWSTR = WCHAR*;
using LPCWSTR = const WCHAR*;
using SIZE_T = size_t;
using HMODULE = struct StandinModule*;
using FARPROC = long long (*)();
using PAPCFUNC = void (*)(ULONG_PTR);
using LPTHREAD_START_ROUTINE = DWORD (*)(LPVOID);
struct SECURITY_ATTRIBUTES;

// The fields as Windows lays them out; the stand-in keeps its own lock in
// LockSemaphore and uses the others as their names say.
struct CRITICAL_SECTION {
    void* DebugInfo;
    LONG LockCount;
    LONG RecursionCount;
    HANDLE OwningThread;
    HANDLE LockSemaphore;
    ULONG_PTR SpinCount;
};

union LARGE_INTEGER {
    struct {
        DWORD LowPart;
        LONG HighPart;
    } u;
    int64_t QuadPart;
};

// Only its offset is read here: a transfer on a synchronous handle given one
// starts there.
struct OVERLAPPED {
    ULONG_PTR Internal;
    ULONG_PTR InternalHigh;
    DWORD Offset;
    DWORD OffsetHigh;
    HANDLE hEvent;
};
using LPOVERLAPPED = OVERLAPPED*;

#define TRUE 1
#define FALSE 0
#define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)
#define MAX_PATH 260

#define STD_INPUT_HANDLE ((DWORD)-10)
#define STD_OUTPUT_HANDLE ((DWORD)-11)
#define STD_ERROR_HANDLE ((DWORD)-12)

// Virtual memory.
#define MEM_COMMIT 0x00001000
#define MEM_RESERVE 0x00002000
#define MEM_RELEASE 0x00008000
#define PAGE_READWRITE 0x04

#define THREAD_PRIORITY_TIME_CRITICAL 15
#define STACK_SIZE_PARAM_IS_A_RESERVATION 0x00010000

#define SEM_FAILCRITICALERRORS 0x0001
#define SEM_NOOPENFILEERRORBOX 0x8000

// Win32 error codes.
#define ERROR_SUCCESS 0L
#define ERROR_INVALID_FUNCTION 1L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_PATH_NOT_FOUND 3L
#define ERROR_TOO_MANY_OPEN_FILES 4L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_INVALID_DATA 13L
#define ERROR_OUTOFMEMORY 14L
#define ERROR_INVALID_DRIVE 15L
#define ERROR_NO_MORE_FILES 18L
#define ERROR_WRITE_PROTECT 19L
#define ERROR_NOT_READY 21L
#define ERROR_CRC 23L
#define ERROR_GEN_FAILURE 31L
#define ERROR_SHARING_VIOLATION 32L
#define ERROR_HANDLE_EOF 38L
#define ERROR_HANDLE_DISK_FULL 39L
#define ERROR_NOT_SUPPORTED 50L
#define ERROR_UNEXP_NET_ERR 59L
#define ERROR_NETNAME_DELETED 64L
#define ERROR_FILE_EXISTS 80L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_BROKEN_PIPE 109L
#define ERROR_DISK_FULL 112L
#define ERROR_CALL_NOT_IMPLEMENTED 120L
#define ERROR_INSUFFICIENT_BUFFER 122L
#define ERROR_INVALID_NAME 123L
#define ERROR_INVALID_LEVEL 124L
#define ERROR_DIR_NOT_EMPTY 145L
#define ERROR_BAD_PATHNAME 161L
#define ERROR_ALREADY_EXISTS 183L
#define ERROR_ENVVAR_NOT_FOUND 203L
#define ERROR_INVALID_OWNER 1307L
#define ERROR_FILENAME_EXCED_RANGE 206L
#define ERROR_NO_DATA 232L
#define ERROR_PIPE_NOT_CONNECTED 233L
#define ERROR_MORE_DATA 234L
#define ERROR_DIRECTORY 267L
#define ERROR_NOT_A_REPARSE_POINT 4390L
#define ERROR_SEM_TIMEOUT 121L
#define ERROR_OPERATION_ABORTED 995L
#define ERROR_IO_PENDING 997L
#define ERROR_NOACCESS 998L
#define ERROR_CANT_RESOLVE_FILENAME 1921L
#define ERROR_CANCELLED 1223L
#define ERROR_CONNECTION_ABORTED 1236L
#define ERROR_TOO_MANY_LINKS 1142L
#define ERROR_IO_DEVICE 1117L
#define ERROR_MR_MID_NOT_FOUND 317L
#define ERROR_TIMEOUT 1460L
#define ERROR_FILE_INVALID 1006L
#define ERROR_DISK_QUOTA_EXCEEDED 1295L
#define ERROR_NONE_MAPPED 1332L
#define ERROR_STOPPED_ON_SYMLINK 681L

// Access rights.
#define DELETE 0x00010000L
#define READ_CONTROL 0x00020000L
#define WRITE_DAC 0x00040000L
#define WRITE_OWNER 0x00080000L
#define SYNCHRONIZE 0x00100000L
#define FILE_READ_DATA 0x0001
#define FILE_LIST_DIRECTORY 0x0001
#define FILE_WRITE_DATA 0x0002
#define FILE_ADD_FILE 0x0002
#define FILE_APPEND_DATA 0x0004
#define FILE_READ_EA 0x0008
#define FILE_WRITE_EA 0x0010
#define FILE_EXECUTE 0x0020
#define FILE_TRAVERSE 0x0020
#define FILE_DELETE_CHILD 0x0040
#define FILE_READ_ATTRIBUTES 0x0080
#define FILE_WRITE_ATTRIBUTES 0x0100
#define GENERIC_READ 0x80000000L
#define GENERIC_WRITE 0x40000000L

#define FILE_SHARE_READ 0x00000001
#define FILE_SHARE_WRITE 0x00000002
#define FILE_SHARE_DELETE 0x00000004

#define FILE_ATTRIBUTE_READONLY 0x00000001
#define FILE_ATTRIBUTE_HIDDEN 0x00000002
#define FILE_ATTRIBUTE_SYSTEM 0x00000004
#define FILE_ATTRIBUTE_DIRECTORY 0x00000010
#define FILE_ATTRIBUTE_ARCHIVE 0x00000020
#define FILE_ATTRIBUTE_DEVICE 0x00000040
#define FILE_ATTRIBUTE_NORMAL 0x00000080
#define FILE_ATTRIBUTE_TEMPORARY 0x00000100
#define FILE_ATTRIBUTE_REPARSE_POINT 0x00000400
#define FILE_ATTRIBUTE_NOT_CONTENT_INDEXED 0x00002000

struct MEMORYSTATUSEX {
    DWORD dwLength;
    DWORD dwMemoryLoad;
    uint64_t ullTotalPhys;
    uint64_t ullAvailPhys;
    uint64_t ullTotalPageFile;
    uint64_t ullAvailPageFile;
    uint64_t ullTotalVirtual;
    uint64_t ullAvailVirtual;
    uint64_t ullAvailExtendedVirtual;
};
static_assert(sizeof(MEMORYSTATUSEX) == 64);

// Console control events and the handler that receives them.
#define CTRL_C_EVENT 0
#define CTRL_BREAK_EVENT 1
#define CTRL_CLOSE_EVENT 2
#define CTRL_LOGOFF_EVENT 5
#define CTRL_SHUTDOWN_EVENT 6
using PHANDLER_ROUTINE = BOOL(WINAPI*)(DWORD ctrl_type);

extern "C" {
BOOL WINAPI ReadFile(HANDLE file, LPVOID buffer, DWORD to_read, LPDWORD read,
                     LPOVERLAPPED overlapped);
BOOL WINAPI WriteFile(HANDLE file, LPCVOID buffer, DWORD to_write, LPDWORD written,
                      LPOVERLAPPED overlapped);
DWORD WINAPI GetLastError(void);
void WINAPI SetLastError(DWORD code);
HANDLE WINAPI GetStdHandle(DWORD which);
BOOL WINAPI GetConsoleMode(HANDLE console, LPDWORD mode);
BOOL WINAPI CloseHandle(HANDLE object);
UINT WINAPI SetErrorMode(UINT mode);
DWORD WINAPI GetCurrentDirectoryW(DWORD length, LPWSTR buffer);
DWORD WINAPI GetFullPathNameW(LPCWSTR name, DWORD length, LPWSTR buffer, LPWSTR* file_part);
BOOL WINAPI GetUserNameW(LPWSTR buffer, LPDWORD size);
HANDLE WINAPI GetCurrentProcess(void);
BOOL WINAPI TerminateProcess(HANDLE process, UINT exit_code);
void WINAPI DebugBreak(void);
BOOL WINAPI GlobalMemoryStatusEx(MEMORYSTATUSEX* status);
// The processors this process may run on (every group is one here).
DWORD WINAPI GetActiveProcessorCount(WORD group);
DWORD WINAPI GetTempPathW(DWORD length, LPWSTR buffer);
DWORD WINAPI GetEnvironmentVariableW(LPCWSTR name, LPWSTR buffer, DWORD size);
BOOL WINAPI SetConsoleCtrlHandler(PHANDLER_ROUTINE handler, BOOL add);
void WINAPI Sleep(DWORD milliseconds);

DWORD WINAPI GetCurrentThreadId(void);
HANDLE WINAPI GetCurrentThread(void);
void WINAPI InitializeCriticalSection(CRITICAL_SECTION* cs);
void WINAPI EnterCriticalSection(CRITICAL_SECTION* cs);
void WINAPI LeaveCriticalSection(CRITICAL_SECTION* cs);
void WINAPI DeleteCriticalSection(CRITICAL_SECTION* cs);
HANDLE WINAPI CreateThread(SECURITY_ATTRIBUTES* attributes, SIZE_T stack_size,
                           LPTHREAD_START_ROUTINE start, LPVOID parameter, DWORD flags,
                           LPDWORD thread_id);
[[noreturn]] void WINAPI ExitThread(DWORD code);
BOOL WINAPI SetThreadPriority(HANDLE thread, int priority);
DWORD WINAPI QueueUserAPC(PAPCFUNC routine, HANDLE thread, ULONG_PTR data);
BOOL WINAPI CreatePipe(HANDLE* read_end, HANDLE* write_end, SECURITY_ATTRIBUTES* attributes,
                       DWORD size);
DWORD WINAPI GetTickCount(void);
uint64_t WINAPI GetTickCount64(void);
HMODULE WINAPI GetModuleHandleW(LPCWSTR name);
FARPROC WINAPI GetProcAddress(HMODULE module, const char* name);
}
