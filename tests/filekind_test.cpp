#include "base/filekind.h"

#include "base/fileinfo.h"
#include "base/fileopen.h"
#include "tests/scratch.h"
#include "tests/wine.h"

#include <gtest/gtest.h>

#include <string>

#ifndef _WIN32
#include "base/test_control.h"
#include <sys/stat.h>
#endif

namespace {

constexpr uint32_t kQuery = SYNCHRONIZE | READ_CONTROL | FILE_READ_ATTRIBUTES | FILE_READ_EA;

// Opens without data access, so that nothing is read from a device here.
FileHandle open_query(const std::string& path) {
    FileHandle h = INVALID_FILE_HANDLE;
    file_open_native(path.c_str(), kQuery, 7, 0, FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT, &h,
                     nullptr);
    return h;
}

// The system's own paths, in the form each build types them.
std::string system_path(const char* posix) {
#ifdef _WIN32
    std::string p = std::string("Z:") + posix;
    for (char& c : p)
        if (c == '/') c = '\\';
    return p;
#else
    return posix;
#endif
}

bool can_reach_posix_paths() {
#ifdef _WIN32
    return running_under_wine();
#else
    return true;
#endif
}

TEST(FileKind, RegularFilesPassFoldersDoNot) {
    ScratchDir dir;
    dir.write("a.txt", "a");
    FileHandle h = open_query(dir.path("a.txt"));
    ASSERT_TRUE(handle_is_valid(h));
    EXPECT_EQ(file_check_regular(h), 0);
    file_close(h);
    h = open_query(dir.path());
    ASSERT_TRUE(handle_is_valid(h));
    EXPECT_EQ(file_check_regular(h), ERR_BAD_FILE_TYPE);
    file_close(h);
    EXPECT_NE(file_check_regular(INVALID_FILE_HANDLE), 0);

    FileEntry e;
    EXPECT_TRUE(single_file_entry(dir.path("a.txt").c_str(), &e));
    EXPECT_EQ(e.size, 1u);
    EXPECT_FALSE(single_file_entry(dir.path().c_str(), &e));
    EXPECT_FALSE(single_file_entry(dir.path("missing").c_str(), &e));
}

// Devices and the files of pseudo file systems, as Wine and the stand-in
// present them: a null device, a virtual disk of no size (proc), a file
// system of no size (sysfs).
TEST(FileKind, DevicesAndPseudoFilesAreRefused) {
    if (!can_reach_posix_paths()) GTEST_SKIP() << "no POSIX file system here";
    for (const char* p : {"/dev/null", "/dev/zero", "/proc/self/status", "/proc/self/pagemap",
                          "/sys/kernel/uevent_seqnum"}) {
        FileHandle h = open_query(system_path(p));
        if (!handle_is_valid(h)) continue;
        EXPECT_EQ(file_check_regular(h), ERR_BAD_FILE_TYPE) << p;
        // Handed over open, it comes back closed and the refusal counts.
        EXPECT_EQ(keep_regular_file(&h, 0), ERR_BAD_FILE_TYPE) << p;
        EXPECT_EQ(h, INVALID_FILE_HANDLE);
    }
    FileHandle h = open_query(system_path("/dev/null"));
    ASSERT_TRUE(handle_is_valid(h));
    NtFileFsDeviceInformation device{};
    EXPECT_EQ(
        file_query_volume_information(h, FileFsDeviceInformation, &device, sizeof device, nullptr),
        0);
    EXPECT_EQ(device.DeviceType, EOL_DEVICE_NULL);
    NtFileFsSizeInformation size{};
    EXPECT_NE(file_query_volume_information(h, FileFsSizeInformation, &size, sizeof size, nullptr),
              0);
    // The single-file test lets a device through; the conversion refuses it.
    FileEntry e;
    EXPECT_TRUE(single_file_entry(system_path("/dev/null").c_str(), &e));
    file_close(h);
}

#ifndef _WIN32
TEST(FileKind, StandInAnswersAsWine) {
    ScratchDir dir;
    ASSERT_EQ(mkfifo(dir.path("pipe").c_str(), 0600), 0);
    dir.write("a.txt", "a");
    FileHandle h = open_query(dir.path("pipe"));
    ASSERT_TRUE(handle_is_valid(h));
    NtFileFsDeviceInformation device{};
    EXPECT_EQ(
        file_query_volume_information(h, FileFsDeviceInformation, &device, sizeof device, nullptr),
        0);
    EXPECT_EQ(device.DeviceType, EOL_DEVICE_NAMED_PIPE);
    EXPECT_EQ(file_check_regular(h), ERR_BAD_FILE_TYPE);
    file_close(h);

    h = open_query("/proc/self/status");
    ASSERT_TRUE(handle_is_valid(h));
    EXPECT_EQ(
        file_query_volume_information(h, FileFsDeviceInformation, &device, sizeof device, nullptr),
        0);
    EXPECT_EQ(device.DeviceType, EOL_DEVICE_VIRTUAL_DISK);
    NtFileFsSizeInformation size{};
    EXPECT_EQ(file_query_volume_information(h, FileFsSizeInformation, &size, sizeof size, nullptr),
              0);
    EXPECT_EQ(size.TotalAllocationUnits, 0);
    file_close(h);

    h = open_query(dir.path("a.txt"));
    EXPECT_EQ(file_query_volume_information(h, FileFsSizeInformation, &size, sizeof size, nullptr),
              0);
    EXPECT_GT(size.TotalAllocationUnits, 0);
    EXPECT_EQ(uint64_t{size.BytesPerSector} * size.SectorsPerAllocationUnit % 512, 0u);

    // A query that fails is a refusal too, never a pass.
    for (ULONG cls : {FileFsDeviceInformation, FileFsSizeInformation}) {
        FaultRule rule;
        rule.status = STATUS_ACCESS_DENIED;
        rule.info_class = cls;
        fault_reset();
        fault_set(FAULT_QUERY_VOL, rule);
        EXPECT_NE(file_check_regular(h), 0) << cls;
    }
    for (ULONG cls : {FileStandardInformation}) {
        FaultRule rule;
        rule.status = STATUS_ACCESS_DENIED;
        rule.info_class = cls;
        fault_reset();
        fault_set(FAULT_QUERY_INFO, rule);
        EXPECT_NE(file_check_regular(h), 0) << cls;
    }
    fault_reset();
    // An open that failed but handed back a handle keeps its own error.
    EXPECT_EQ(keep_regular_file(&h, 5), 5);
    EXPECT_TRUE(handle_is_valid(h));
    file_close(h);
}
#endif

} // namespace
