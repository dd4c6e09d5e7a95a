// The one header through which the system reaches the operating system.
//
// On Windows the Win32 declarations come from <windows.h> and the native
// (ntdll) structures and calls are declared below, since mingw keeps them in
// headers that clash with <windows.h>. On Linux platform/posix provides the
// same names with the same layouts, so the code above this header is written
// once against the Windows API.
#pragma once

#include <cstddef>
#include <cstdint>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// <windows.h> leaves the native status type to <ntdef.h>, which clashes with it.
typedef LONG NTSTATUS;
#define EOL_NTAPI_DECL extern "C" __declspec(dllimport)
#else
#include "platform/posix/win32.h"
#define EOL_NTAPI_DECL extern "C"
#endif

// The runtime's registry lock is embedded in a record whose size is fixed.
static_assert(sizeof(CRITICAL_SECTION) == 40);

// ---------------------------------------------------------------------------
// Native status values used by the system (and produced by the stand-in).
#ifndef STATUS_SUCCESS
#define STATUS_SUCCESS ((NTSTATUS)0x00000000L)
#endif
#ifndef STATUS_PENDING
#define STATUS_PENDING ((NTSTATUS)0x00000103L)
#endif
#ifndef STATUS_TIMEOUT
#define STATUS_TIMEOUT ((NTSTATUS)0x00000102L)
#endif
#ifndef STATUS_CONTROL_C_EXIT
#define STATUS_CONTROL_C_EXIT ((DWORD)0xC000013AL)
#endif
#ifndef STATUS_BUFFER_OVERFLOW
#define STATUS_BUFFER_OVERFLOW ((NTSTATUS)0x80000005L)
#endif
#ifndef STATUS_NO_MORE_FILES
#define STATUS_NO_MORE_FILES ((NTSTATUS)0x80000006L)
#endif
#ifndef STATUS_UNSUCCESSFUL
#define STATUS_UNSUCCESSFUL ((NTSTATUS)0xC0000001L)
#endif
#ifndef STATUS_NOT_IMPLEMENTED
#define STATUS_NOT_IMPLEMENTED ((NTSTATUS)0xC0000002L)
#endif
#ifndef STATUS_INVALID_INFO_CLASS
#define STATUS_INVALID_INFO_CLASS ((NTSTATUS)0xC0000003L)
#endif
#ifndef STATUS_INFO_LENGTH_MISMATCH
#define STATUS_INFO_LENGTH_MISMATCH ((NTSTATUS)0xC0000004L)
#endif
#ifndef STATUS_INVALID_HANDLE
#define STATUS_INVALID_HANDLE ((NTSTATUS)0xC0000008L)
#endif
#ifndef STATUS_INVALID_PARAMETER
#define STATUS_INVALID_PARAMETER ((NTSTATUS)0xC000000DL)
#endif
#ifndef STATUS_NO_SUCH_DEVICE
#define STATUS_NO_SUCH_DEVICE ((NTSTATUS)0xC000000EL)
#endif
#ifndef STATUS_NO_SUCH_FILE
#define STATUS_NO_SUCH_FILE ((NTSTATUS)0xC000000FL)
#endif
#ifndef STATUS_INVALID_DEVICE_REQUEST
#define STATUS_INVALID_DEVICE_REQUEST ((NTSTATUS)0xC0000010L)
#endif
#ifndef STATUS_END_OF_FILE
#define STATUS_END_OF_FILE ((NTSTATUS)0xC0000011L)
#endif
#ifndef STATUS_NO_MEMORY
#define STATUS_NO_MEMORY ((NTSTATUS)0xC0000017L)
#endif
#ifndef STATUS_ACCESS_DENIED
#define STATUS_ACCESS_DENIED ((NTSTATUS)0xC0000022L)
#endif
#ifndef STATUS_BUFFER_TOO_SMALL
#define STATUS_BUFFER_TOO_SMALL ((NTSTATUS)0xC0000023L)
#endif
#ifndef STATUS_OBJECT_TYPE_MISMATCH
#define STATUS_OBJECT_TYPE_MISMATCH ((NTSTATUS)0xC0000024L)
#endif
#ifndef STATUS_OBJECT_NAME_INVALID
#define STATUS_OBJECT_NAME_INVALID ((NTSTATUS)0xC0000033L)
#endif
#ifndef STATUS_OBJECT_NAME_NOT_FOUND
#define STATUS_OBJECT_NAME_NOT_FOUND ((NTSTATUS)0xC0000034L)
#endif
#ifndef STATUS_OBJECT_NAME_COLLISION
#define STATUS_OBJECT_NAME_COLLISION ((NTSTATUS)0xC0000035L)
#endif
#ifndef STATUS_OBJECT_PATH_INVALID
#define STATUS_OBJECT_PATH_INVALID ((NTSTATUS)0xC0000039L)
#endif
#ifndef STATUS_OBJECT_PATH_NOT_FOUND
#define STATUS_OBJECT_PATH_NOT_FOUND ((NTSTATUS)0xC000003AL)
#endif
#ifndef STATUS_OBJECT_PATH_SYNTAX_BAD
#define STATUS_OBJECT_PATH_SYNTAX_BAD ((NTSTATUS)0xC000003BL)
#endif
#ifndef STATUS_REPARSE_POINT_NOT_RESOLVED
#define STATUS_REPARSE_POINT_NOT_RESOLVED ((NTSTATUS)0xC0000280L)
#endif
#ifndef STATUS_SHARING_VIOLATION
#define STATUS_SHARING_VIOLATION ((NTSTATUS)0xC0000043L)
#endif
#ifndef STATUS_DELETE_PENDING
#define STATUS_DELETE_PENDING ((NTSTATUS)0xC0000056L)
#endif
#ifndef STATUS_DISK_FULL
#define STATUS_DISK_FULL ((NTSTATUS)0xC000007FL)
#endif
#ifndef STATUS_ACCESS_VIOLATION
#define STATUS_ACCESS_VIOLATION ((NTSTATUS)0xC0000005L)
#endif
#ifndef STATUS_INSUFFICIENT_RESOURCES
#define STATUS_INSUFFICIENT_RESOURCES ((NTSTATUS)0xC000009AL)
#endif
#ifndef STATUS_MEDIA_WRITE_PROTECTED
#define STATUS_MEDIA_WRITE_PROTECTED ((NTSTATUS)0xC00000A2L)
#endif
#ifndef STATUS_FILE_IS_A_DIRECTORY
#define STATUS_FILE_IS_A_DIRECTORY ((NTSTATUS)0xC00000BAL)
#endif
#ifndef STATUS_NOT_SUPPORTED
#define STATUS_NOT_SUPPORTED ((NTSTATUS)0xC00000BBL)
#endif
#ifndef STATUS_PIPE_BROKEN
#define STATUS_PIPE_BROKEN ((NTSTATUS)0xC000014BL)
#endif
#ifndef STATUS_IO_DEVICE_ERROR
#define STATUS_IO_DEVICE_ERROR ((NTSTATUS)0xC0000185L)
#endif
#ifndef STATUS_DIRECTORY_NOT_EMPTY
#define STATUS_DIRECTORY_NOT_EMPTY ((NTSTATUS)0xC0000101L)
#endif
#ifndef STATUS_NOT_A_DIRECTORY
#define STATUS_NOT_A_DIRECTORY ((NTSTATUS)0xC0000103L)
#endif
#ifndef STATUS_NAME_TOO_LONG
#define STATUS_NAME_TOO_LONG ((NTSTATUS)0xC0000106L)
#endif
#ifndef STATUS_CANNOT_DELETE
#define STATUS_CANNOT_DELETE ((NTSTATUS)0xC0000121L)
#endif
#ifndef STATUS_FILE_CLOSED
#define STATUS_FILE_CLOSED ((NTSTATUS)0xC0000128L)
#endif
#ifndef STATUS_TOO_MANY_OPENED_FILES
#define STATUS_TOO_MANY_OPENED_FILES ((NTSTATUS)0xC000011FL)
#endif
#ifndef STATUS_NOT_A_REPARSE_POINT
#define STATUS_NOT_A_REPARSE_POINT ((NTSTATUS)0xC0000275L)
#endif
#ifndef STATUS_STOPPED_ON_SYMLINK
#define STATUS_STOPPED_ON_SYMLINK ((NTSTATUS)0x8000002DL)
#endif
#ifndef STATUS_TOO_MANY_LINKS
#define STATUS_TOO_MANY_LINKS ((NTSTATUS)0xC0000265L)
#endif
#ifndef STATUS_DISK_QUOTA_EXCEEDED
#define STATUS_DISK_QUOTA_EXCEEDED ((NTSTATUS)0xC0000044L)
#endif
#ifndef STATUS_FILE_INVALID
#define STATUS_FILE_INVALID ((NTSTATUS)0xC0000098L)
#endif
#ifndef STATUS_CANCELLED
#define STATUS_CANCELLED ((NTSTATUS)0xC0000120L)
#endif

#ifndef STATUS_USER_APC
#define STATUS_USER_APC ((NTSTATUS)0x000000C0L)
#endif
#ifndef STATUS_ALERTED
#define STATUS_ALERTED ((NTSTATUS)0x00000101L)
#endif

#define EOL_NT_SUCCESS(s) (static_cast<NTSTATUS>(s) >= 0)

// ---------------------------------------------------------------------------
// Access rights, share modes, dispositions, options and attributes.
#ifndef FILE_SUPERSEDE
#define FILE_SUPERSEDE 0x00000000
#define FILE_OPEN 0x00000001
#define FILE_CREATE 0x00000002
#define FILE_OPEN_IF 0x00000003
#define FILE_OVERWRITE 0x00000004
#define FILE_OVERWRITE_IF 0x00000005
#endif
#ifndef FILE_DIRECTORY_FILE
#define FILE_DIRECTORY_FILE 0x00000001
#define FILE_WRITE_THROUGH 0x00000002
#define FILE_SEQUENTIAL_ONLY 0x00000004
#define FILE_NO_INTERMEDIATE_BUFFERING 0x00000008
#define FILE_SYNCHRONOUS_IO_ALERT 0x00000010
#define FILE_SYNCHRONOUS_IO_NONALERT 0x00000020
#define FILE_NON_DIRECTORY_FILE 0x00000040
#define FILE_OPEN_REPARSE_POINT 0x00200000
#endif
#ifndef FILE_SUPERSEDED
#define FILE_SUPERSEDED 0x00000000
#define FILE_OPENED 0x00000001
#define FILE_CREATED 0x00000002
#define FILE_OVERWRITTEN 0x00000003
#define FILE_EXISTS 0x00000004
#define FILE_DOES_NOT_EXIST 0x00000005
#endif
#ifndef OBJ_CASE_INSENSITIVE
#define OBJ_CASE_INSENSITIVE 0x00000040
#endif

// Information classes (passed to the calls as plain numbers).
constexpr ULONG FileDirectoryInformation = 1;
constexpr ULONG FileBasicInformation = 4;
constexpr ULONG FileStandardInformation = 5;
constexpr ULONG FileInternalInformation = 6;
constexpr ULONG FileRenameInformation = 10;
constexpr ULONG FileDispositionInformation = 13;
constexpr ULONG FilePositionInformation = 14;
constexpr ULONG FileAllInformation = 18;
constexpr ULONG FileEndOfFileInformation = 20;
constexpr ULONG FileReparsePointInformation = 33;
constexpr ULONG FileNetworkOpenInformation = 34;
constexpr ULONG FileAttributeTagInformation = 35;
constexpr ULONG FileIdFullDirectoryInformation = 38;
constexpr ULONG FileIdInformation = 59;
constexpr ULONG FileIdExtdDirectoryInformation = 60;
constexpr ULONG FileStatInformation = 68; // Windows 10 1709 on
constexpr ULONG FileFsVolumeInformation = 1;
constexpr ULONG FileFsSizeInformation = 3;
constexpr ULONG FileFsDeviceInformation = 4;
constexpr ULONG FileFsAttributeInformation = 5;
constexpr ULONG FileFsFullSizeInformation = 7;
constexpr ULONG ObjectNameInformation = 1;

#ifndef IO_REPARSE_TAG_MOUNT_POINT
#define IO_REPARSE_TAG_MOUNT_POINT 0xA0000003L
#endif
#ifndef IO_REPARSE_TAG_SYMLINK
#define IO_REPARSE_TAG_SYMLINK 0xA000000CL
#endif
#ifndef FILE_REMOTE_DEVICE
#define FILE_REMOTE_DEVICE 0x00000010
#endif

// ---------------------------------------------------------------------------
// Native structures, laid out as the system lays them out on x64.
struct NtUnicodeString {
    USHORT Length;        // bytes, without the terminator
    USHORT MaximumLength; // bytes
    WCHAR* Buffer;
};
static_assert(sizeof(NtUnicodeString) == 16);

struct NtObjectAttributes {
    ULONG Length;
    HANDLE RootDirectory;
    NtUnicodeString* ObjectName;
    ULONG Attributes;
    void* SecurityDescriptor;
    void* SecurityQualityOfService;
};
static_assert(sizeof(NtObjectAttributes) == 48);

struct NtIoStatusBlock {
    union {
        NTSTATUS Status;
        void* Pointer;
    };
    ULONG_PTR Information;
};
static_assert(sizeof(NtIoStatusBlock) == 16);

struct NtFileBasicInformation {
    int64_t CreationTime;
    int64_t LastAccessTime;
    int64_t LastWriteTime;
    int64_t ChangeTime;
    ULONG FileAttributes;
};
static_assert(sizeof(NtFileBasicInformation) == 40);

struct NtFileStandardInformation {
    int64_t AllocationSize;
    int64_t EndOfFile;
    ULONG NumberOfLinks;
    BOOLEAN DeletePending;
    BOOLEAN Directory;
};
static_assert(sizeof(NtFileStandardInformation) == 24);

struct NtFileAllInformation {
    NtFileBasicInformation BasicInformation;       // 0
    NtFileStandardInformation StandardInformation; // 40
    int64_t IndexNumber;                           // 64: internal information
    ULONG EaSize;                                  // 72: EA information
    ACCESS_MASK AccessFlags;                       // 76: access information
    int64_t CurrentByteOffset;                     // 80: position information
    ULONG Mode;                                    // 88: mode information
    ULONG AlignmentRequirement;                    // 92: alignment information
    ULONG FileNameLength;                          // 96: name information
    WCHAR FileName[1];                             // 100
};
static_assert(offsetof(NtFileAllInformation, StandardInformation) == 40);
static_assert(offsetof(NtFileAllInformation, IndexNumber) == 64);
static_assert(offsetof(NtFileAllInformation, FileNameLength) == 96);
static_assert(offsetof(NtFileAllInformation, FileName) == 100);
static_assert(sizeof(NtFileAllInformation) == 104);

struct NtFileReparsePointInformation {
    int64_t FileReference;
    ULONG Tag;
};
static_assert(sizeof(NtFileReparsePointInformation) == 16);

struct NtFileAttributeTagInformation {
    ULONG FileAttributes;
    ULONG ReparseTag;
};
static_assert(sizeof(NtFileAttributeTagInformation) == 8);

struct NtFileNetworkOpenInformation {
    int64_t CreationTime;
    int64_t LastAccessTime;
    int64_t LastWriteTime;
    int64_t ChangeTime;
    int64_t AllocationSize;
    int64_t EndOfFile;
    ULONG FileAttributes;
};
static_assert(sizeof(NtFileNetworkOpenInformation) == 56);

struct NtFileStatInformation {
    int64_t FileId;
    int64_t CreationTime;
    int64_t LastAccessTime;
    int64_t LastWriteTime;
    int64_t ChangeTime;
    int64_t AllocationSize;
    int64_t EndOfFile;
    ULONG FileAttributes;
    ULONG ReparseTag;
    ULONG NumberOfLinks;
    ULONG EffectiveAccess;
};
static_assert(sizeof(NtFileStatInformation) == 72);

// FILE_RENAME_INFORMATION: the new name follows the record (native form,
// FileNameLength bytes). Without ReplaceIfExists a name in use fails.
struct NtFileRenameInformation {
    BOOLEAN ReplaceIfExists;
    HANDLE RootDirectory;
    ULONG FileNameLength;
    WCHAR FileName[1];
};
static_assert(offsetof(NtFileRenameInformation, FileName) == 20);

struct NtFileIdInformation {
    uint64_t VolumeSerialNumber;
    uint8_t FileId[16];
};
static_assert(sizeof(NtFileIdInformation) == 24);

struct NtFileFsVolumeInformation {
    int64_t VolumeCreationTime;
    ULONG VolumeSerialNumber;
    ULONG VolumeLabelLength;
    BOOLEAN SupportsObjects;
    WCHAR VolumeLabel[1];
};
static_assert(offsetof(NtFileFsVolumeInformation, VolumeSerialNumber) == 8);
static_assert(sizeof(NtFileFsVolumeInformation) == 24);

struct NtFileFsDeviceInformation {
    ULONG DeviceType;
    ULONG Characteristics;
};
static_assert(sizeof(NtFileFsDeviceInformation) == 8);

struct NtFileFsAttributeInformation {
    ULONG FileSystemAttributes;
    LONG MaximumComponentNameLength;
    ULONG FileSystemNameLength; // bytes
    WCHAR FileSystemName[1];
};
static_assert(offsetof(NtFileFsAttributeInformation, FileSystemName) == 12);

struct NtFileFsFullSizeInformation {
    int64_t TotalAllocationUnits;
    int64_t CallerAvailableAllocationUnits;
    int64_t ActualAvailableAllocationUnits;
    ULONG SectorsPerAllocationUnit;
    ULONG BytesPerSector;
};
static_assert(sizeof(NtFileFsFullSizeInformation) == 32);
struct NtFileFsSizeInformation {
    int64_t TotalAllocationUnits;
    int64_t AvailableAllocationUnits;
    ULONG SectorsPerAllocationUnit;
    ULONG BytesPerSector;
};
static_assert(sizeof(NtFileFsSizeInformation) == 24);

// Device types of FileFsDeviceInformation that this program meets.
constexpr ULONG EOL_DEVICE_CD_ROM = 0x02;
constexpr ULONG EOL_DEVICE_CD_ROM_FILE_SYSTEM = 0x03;
constexpr ULONG EOL_DEVICE_DFS = 0x06;
constexpr ULONG EOL_DEVICE_DISK = 0x07;
constexpr ULONG EOL_DEVICE_DISK_FILE_SYSTEM = 0x08;
constexpr ULONG EOL_DEVICE_NAMED_PIPE = 0x11;
constexpr ULONG EOL_DEVICE_NETWORK_FILE_SYSTEM = 0x14;
constexpr ULONG EOL_DEVICE_NULL = 0x15;
constexpr ULONG EOL_DEVICE_SERIAL_PORT = 0x1B;
constexpr ULONG EOL_DEVICE_UNKNOWN = 0x22;
constexpr ULONG EOL_DEVICE_VIRTUAL_DISK = 0x24;

struct NtObjectNameInformation {
    NtUnicodeString Name;
};
static_assert(sizeof(NtObjectNameInformation) == 16);

// Directory records (NextEntryOffset chains them, each 8-byte aligned).
struct NtFileDirectoryInformation {
    ULONG NextEntryOffset;
    ULONG FileIndex;
    int64_t CreationTime;
    int64_t LastAccessTime;
    int64_t LastWriteTime;
    int64_t ChangeTime;
    int64_t EndOfFile;
    int64_t AllocationSize;
    ULONG FileAttributes;
    ULONG FileNameLength;
    WCHAR FileName[1];
};
static_assert(offsetof(NtFileDirectoryInformation, FileName) == 64);

struct NtFileIdFullDirInformation {
    ULONG NextEntryOffset;
    ULONG FileIndex;
    int64_t CreationTime;
    int64_t LastAccessTime;
    int64_t LastWriteTime;
    int64_t ChangeTime;
    int64_t EndOfFile;
    int64_t AllocationSize;
    ULONG FileAttributes;
    ULONG FileNameLength;
    ULONG EaSize;
    int64_t FileId; // 72 (4 bytes of padding before it)
    WCHAR FileName[1];
};
static_assert(offsetof(NtFileIdFullDirInformation, FileId) == 72);
static_assert(offsetof(NtFileIdFullDirInformation, FileName) == 80);

struct NtFileIdExtdDirInformation {
    ULONG NextEntryOffset;
    ULONG FileIndex;
    int64_t CreationTime;
    int64_t LastAccessTime;
    int64_t LastWriteTime;
    int64_t ChangeTime;
    int64_t EndOfFile;
    int64_t AllocationSize;
    ULONG FileAttributes;
    ULONG FileNameLength;
    ULONG EaSize;
    ULONG ReparsePointTag;
    uint8_t FileId[16];
    WCHAR FileName[1];
};
static_assert(offsetof(NtFileIdExtdDirInformation, ReparsePointTag) == 68);
static_assert(offsetof(NtFileIdExtdDirInformation, FileId) == 72);
static_assert(offsetof(NtFileIdExtdDirInformation, FileName) == 88);

// ---------------------------------------------------------------------------
// ntdll entry points.
EOL_NTAPI_DECL NTSTATUS NTAPI NtCreateFile(HANDLE* FileHandle, ACCESS_MASK DesiredAccess,
                                           NtObjectAttributes* ObjectAttributes,
                                           NtIoStatusBlock* IoStatusBlock,
                                           LARGE_INTEGER* AllocationSize, ULONG FileAttributes,
                                           ULONG ShareAccess, ULONG CreateDisposition,
                                           ULONG CreateOptions, void* EaBuffer, ULONG EaLength);
EOL_NTAPI_DECL NTSTATUS NTAPI NtClose(HANDLE Handle);
EOL_NTAPI_DECL NTSTATUS NTAPI NtQueryInformationFile(HANDLE FileHandle,
                                                     NtIoStatusBlock* IoStatusBlock,
                                                     void* FileInformation, ULONG Length,
                                                     ULONG FileInformationClass);
EOL_NTAPI_DECL NTSTATUS NTAPI NtSetInformationFile(HANDLE FileHandle,
                                                   NtIoStatusBlock* IoStatusBlock,
                                                   void* FileInformation, ULONG Length,
                                                   ULONG FileInformationClass);
EOL_NTAPI_DECL NTSTATUS NTAPI NtQueryVolumeInformationFile(HANDLE FileHandle,
                                                           NtIoStatusBlock* IoStatusBlock,
                                                           void* FsInformation, ULONG Length,
                                                           ULONG FsInformationClass);
EOL_NTAPI_DECL NTSTATUS NTAPI NtQueryObject(HANDLE Handle, ULONG ObjectInformationClass,
                                            void* ObjectInformation, ULONG ObjectInformationLength,
                                            ULONG* ReturnLength);
EOL_NTAPI_DECL NTSTATUS NTAPI NtQueryDirectoryFile(
    HANDLE FileHandle, HANDLE Event, void* ApcRoutine, void* ApcContext,
    NtIoStatusBlock* IoStatusBlock, void* FileInformation, ULONG Length, ULONG FileInformationClass,
    BOOLEAN ReturnSingleEntry, NtUnicodeString* FileName, BOOLEAN RestartScan);

// Kernel events: a notification event stays signalled until cleared; a
// synchronization event releases one waiter and clears itself.
constexpr ULONG NotificationEvent = 0;
constexpr ULONG SynchronizationEvent = 1;
// All access to an event (EVENT_ALL_ACCESS).
constexpr ACCESS_MASK kEventAllAccess = 0x1F0003;
// A relative interval this long never ends.
constexpr int64_t kNtWaitForever = INT64_MIN;

EOL_NTAPI_DECL NTSTATUS NTAPI NtCreateEvent(HANDLE* EventHandle, ACCESS_MASK DesiredAccess,
                                            NtObjectAttributes* ObjectAttributes, ULONG EventType,
                                            BOOLEAN InitialState);
EOL_NTAPI_DECL NTSTATUS NTAPI NtSetEvent(HANDLE EventHandle, LONG* PreviousState);
EOL_NTAPI_DECL NTSTATUS NTAPI NtClearEvent(HANDLE EventHandle);
// Timeout: null waits for ever; negative is relative, positive absolute,
// both in 100-ns units.
EOL_NTAPI_DECL NTSTATUS NTAPI NtWaitForSingleObject(HANDLE Handle, BOOLEAN Alertable,
                                                    LARGE_INTEGER* Timeout);
EOL_NTAPI_DECL NTSTATUS NTAPI NtDelayExecution(BOOLEAN Alertable, LARGE_INTEGER* Interval);
EOL_NTAPI_DECL NTSTATUS NTAPI NtAllocateVirtualMemory(HANDLE ProcessHandle, void** BaseAddress,
                                                      ULONG_PTR ZeroBits, SIZE_T* RegionSize,
                                                      ULONG AllocationType, ULONG Protect);
EOL_NTAPI_DECL NTSTATUS NTAPI NtFreeVirtualMemory(HANDLE ProcessHandle, void** BaseAddress,
                                                  SIZE_T* RegionSize, ULONG FreeType);
EOL_NTAPI_DECL ULONG NTAPI RtlNtStatusToDosError(NTSTATUS Status);
// Security: who owns an object and who may do what to it, and who runs the
// process. A descriptor comes back self-relative (offsets, not pointers).
constexpr ULONG kOwnerSecurityInformation = 0x1;
constexpr ULONG kDaclSecurityInformation = 0x4;
constexpr ACCESS_MASK kReadControl = 0x00020000;
constexpr ACCESS_MASK kTokenQuery = 0x0008;
constexpr ULONG kTokenUser = 1;  // TOKEN_USER: a SID pointer and attributes
constexpr ULONG kTokenOwner = 4; // TOKEN_OWNER: the SID new objects are owned by
EOL_NTAPI_DECL NTSTATUS NTAPI NtQuerySecurityObject(HANDLE Handle, ULONG SecurityInformation,
                                                    void* SecurityDescriptor, ULONG Length,
                                                    ULONG* LengthNeeded);
EOL_NTAPI_DECL NTSTATUS NTAPI NtOpenProcessToken(HANDLE ProcessHandle, ACCESS_MASK DesiredAccess,
                                                 HANDLE* TokenHandle);
EOL_NTAPI_DECL NTSTATUS NTAPI NtQueryInformationToken(HANDLE TokenHandle, ULONG InformationClass,
                                                      void* Information, ULONG Length,
                                                      ULONG* ReturnLength);

// Asynchronous reads: with an APC routine, a read that cannot complete at
// once returns STATUS_PENDING, and the routine runs later on the issuing
// thread, during an alertable wait, with the status block filled.
using NtIoApcRoutine = void(NTAPI*)(void* ApcContext, NtIoStatusBlock* IoStatusBlock,
                                    ULONG Reserved);
EOL_NTAPI_DECL NTSTATUS NTAPI NtReadFile(HANDLE FileHandle, HANDLE Event, NtIoApcRoutine ApcRoutine,
                                         void* ApcContext, NtIoStatusBlock* IoStatusBlock,
                                         void* Buffer, ULONG Length, LARGE_INTEGER* ByteOffset,
                                         ULONG* Key);
// Cancels the calling thread's pending reads on the handle; they complete
// with STATUS_CANCELLED.
EOL_NTAPI_DECL NTSTATUS NTAPI NtCancelIoFile(HANDLE FileHandle, NtIoStatusBlock* IoStatusBlock);
