// The Linux stand-in's file calls, checked directly against the answers the
// system gives (and Wine gives, where they agree).
#ifndef _WIN32
#include "platform/nt.h"
#include "base/test_control.h"
#include "platform/posix/standin.h"
#include "tests/scratch.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::u16string to16(const std::string& s) {
    std::u16string out;
    for (unsigned char c : s) out += static_cast<char16_t>(c); // tests use ASCII names
    return out;
}

struct Opened {
    NTSTATUS status;
    HANDLE handle;
    ULONG_PTR info;
};

Opened nt_open(const std::u16string& name, ACCESS_MASK access, ULONG share = 7,
               ULONG disposition = FILE_OPEN, ULONG options = FILE_SYNCHRONOUS_IO_NONALERT) {
    NtUnicodeString us;
    us.Buffer = const_cast<char16_t*>(name.data());
    us.Length = static_cast<USHORT>(name.size() * 2);
    us.MaximumLength = us.Length + 2;
    NtObjectAttributes oa{48, nullptr, &us, OBJ_CASE_INSENSITIVE, nullptr, nullptr};
    NtIoStatusBlock io{};
    io.Information = 99;
    HANDLE h = INVALID_HANDLE_VALUE;
    NTSTATUS s =
        NtCreateFile(&h, access, &oa, &io, nullptr, 6, share, disposition, options, nullptr, 0);
    return {s, h, s == 0 ? io.Information : 0};
}

constexpr ACCESS_MASK kQuery = 0x120088, kRead = 0x120089, kReadWrite = 0x12019B;

class StandinFile : public ::testing::Test {
  protected:
    ScratchDir scratch{"standin_file"};
    std::string dir = scratch.dir.string();
    void SetUp() override { fault_reset(); }
    void TearDown() override { fault_reset(); }
    std::u16string nt(const std::string& rel) {
        std::u16string out = to16("\\??\\Z:" + dir + rel);
        for (char16_t& c : out)
            if (c == u'/') c = u'\\';
        return out;
    }
    std::string posix(const std::string& rel) { return dir + rel; }
    void write(const std::string& rel, const std::string& text, mode_t mode = 0644) {
        int fd = ::open(posix(rel).c_str(), O_WRONLY | O_CREAT | O_TRUNC, mode);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
        ::close(fd);
        chmod(posix(rel).c_str(), mode);
    }
};

std::u16string object_name(HANDLE h) {
    alignas(8) unsigned char buf[1024];
    ULONG ret = 0;
    if (NtQueryObject(h, ObjectNameInformation, buf, sizeof buf, &ret) != 0) return u"?";
    auto* ni = reinterpret_cast<NtObjectNameInformation*>(buf);
    EXPECT_EQ(ret, 16u + ni->Name.Length + 2u);
    EXPECT_EQ(ni->Name.MaximumLength, ni->Name.Length + 2);
    return std::u16string(ni->Name.Buffer, ni->Name.Length / 2);
}

TEST_F(StandinFile, NamesOutsideDriveZFailAsMissingPaths) {
    struct Case {
        std::u16string name;
        NTSTATUS status;
    } cases[] = {
        {u"\\??\\Q:\\x", STATUS_OBJECT_PATH_NOT_FOUND},
        {u"\\??\\Q:", STATUS_OBJECT_NAME_NOT_FOUND},
        {u"\\??\\UNC\\srv\\share\\x", STATUS_OBJECT_PATH_NOT_FOUND},
        {u"\\Device\\HarddiskVolume1\\x", STATUS_OBJECT_PATH_NOT_FOUND},
        {u"relative", static_cast<NTSTATUS>(0xC000003B)},
        {nt("/a\\..\\b"), STATUS_OBJECT_NAME_INVALID},
        {nt("\\\\b"), STATUS_OBJECT_NAME_INVALID},
        // Wine takes a colon as part of a name, and refuses * ? " < > |.
        {nt("/b:c"), STATUS_OBJECT_NAME_NOT_FOUND},
        {nt("/b*c"), STATUS_OBJECT_NAME_INVALID},
        {nt("/b|c"), STATUS_OBJECT_NAME_INVALID},
        {nt("/missing"), STATUS_OBJECT_NAME_NOT_FOUND},
        {nt("/nodir/missing"), STATUS_OBJECT_PATH_NOT_FOUND},
    };
    for (const Case& c : cases) {
        Opened o = nt_open(c.name, kQuery);
        EXPECT_EQ(o.status, c.status) << std::string(c.name.begin(), c.name.end());
        EXPECT_EQ(o.handle, nullptr);
    }
    EXPECT_EQ(RtlNtStatusToDosError(STATUS_OBJECT_PATH_NOT_FOUND), 3u);
    EXPECT_EQ(RtlNtStatusToDosError(STATUS_OBJECT_NAME_NOT_FOUND), 2u);
}

TEST_F(StandinFile, DriveZIsTheRootAndNamesKeepTheirCase) {
    for (const char16_t* name : {u"\\??\\Z:", u"\\??\\Z:\\", u"\\??\\z:\\"}) {
        Opened o = nt_open(name, kQuery);
        ASSERT_EQ(o.status, 0);
        EXPECT_EQ(object_name(o.handle), u"\\??\\Z:\\");
        NtClose(o.handle);
    }
    // A name in another case is found as Wine finds it; an exact match wins.
    write("/f.txt", "x");
    Opened o = nt_open(nt("/F.TXT"), kQuery);
    ASSERT_EQ(o.status, 0);
    EXPECT_EQ(object_name(o.handle), nt("/f.txt"));
    NtClose(o.handle);
    write("/F.txt", "y");
    o = nt_open(nt("/F.txt"), kQuery);
    ASSERT_EQ(o.status, 0);
    EXPECT_EQ(object_name(o.handle), nt("/F.txt"));
    NtClose(o.handle);
    EXPECT_EQ(nt_open(nt("/G.TXT"), kQuery).status, STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(nt_open(nt("/NODIR/f.txt"), kQuery).status, STATUS_OBJECT_PATH_NOT_FOUND);
}

// Names are resolved when asked for, not at every open; the answers stay
// those of a name with every link resolved, and a link as the last element
// lends its target's name (and so its hidden attribute).
TEST_F(StandinFile, ReportedNamesResolveLinksWhenAsked) {
    ASSERT_EQ(mkdir(posix("/real").c_str(), 0755), 0);
    write("/real/a.txt", "x");
    write("/real/.h", "x");
    ASSERT_EQ(symlink(posix("/real").c_str(), posix("/via").c_str()), 0);
    ASSERT_EQ(symlink(posix("/real/.h").c_str(), posix("/shown").c_str()), 0);
    ASSERT_EQ(symlink(posix("/real/a.txt").c_str(), posix("/.dot").c_str()), 0);
    auto attributes = [](HANDLE h) {
        NtFileBasicInformation b{};
        NtIoStatusBlock io{};
        EXPECT_EQ(NtQueryInformationFile(h, &io, &b, sizeof b, FileBasicInformation), 0);
        return b.FileAttributes;
    };
    Opened o = nt_open(nt("/via/a.txt"), kQuery);
    ASSERT_EQ(o.status, 0);
    EXPECT_EQ(attributes(o.handle) & FILE_ATTRIBUTE_HIDDEN, 0u);
    EXPECT_EQ(object_name(o.handle), nt("/real/a.txt"));
    NtClose(o.handle);
    o = nt_open(nt("/shown"), kQuery);
    ASSERT_EQ(o.status, 0);
    EXPECT_NE(attributes(o.handle) & FILE_ATTRIBUTE_HIDDEN, 0u);
    NtClose(o.handle);
    o = nt_open(nt("/.dot"), kQuery);
    ASSERT_EQ(o.status, 0);
    EXPECT_EQ(attributes(o.handle) & FILE_ATTRIBUTE_HIDDEN, 0u);
    EXPECT_EQ(object_name(o.handle), nt("/real/a.txt"));
    NtClose(o.handle);
}

TEST_F(StandinFile, DispositionsReportTheirAction) {
    struct Step {
        ULONG disposition;
        NTSTATUS status;
        ULONG_PTR info;
        const char* content_after; // null: file missing
    } steps[] = {
        {FILE_OPEN, STATUS_OBJECT_NAME_NOT_FOUND, 0, nullptr},
        {FILE_OVERWRITE, STATUS_OBJECT_NAME_NOT_FOUND, 0, nullptr},
        {FILE_CREATE, 0, FILE_CREATED, ""},
        {FILE_CREATE, STATUS_OBJECT_NAME_COLLISION, 0, "data"},
        {FILE_OPEN_IF, 0, FILE_OPENED, "data"},
        {FILE_OPEN, 0, FILE_OPENED, "data"},
        {FILE_OVERWRITE, 0, FILE_OVERWRITTEN, ""},
        {FILE_OVERWRITE_IF, 0, FILE_OVERWRITTEN, ""},
        {FILE_SUPERSEDE, 0, FILE_SUPERSEDED, ""},
    };
    for (const Step& s : steps) {
        Opened o = nt_open(nt("/n.txt"), kReadWrite, 7, s.disposition);
        EXPECT_EQ(o.status, s.status) << s.disposition;
        EXPECT_EQ(o.info, s.info) << s.disposition;
        if (o.status == 0) NtClose(o.handle);
        struct stat st;
        if (!s.content_after) {
            EXPECT_NE(stat(posix("/n.txt").c_str(), &st), 0);
        } else {
            ASSERT_EQ(stat(posix("/n.txt").c_str(), &st), 0);
            EXPECT_EQ(st.st_size, static_cast<off_t>(strlen(s.content_after))) << s.disposition;
        }
        if (s.content_after) write("/n.txt", "data");
    }
    unlink(posix("/n.txt").c_str());
    Opened o = nt_open(nt("/n2.txt"), kReadWrite, 7, FILE_OVERWRITE_IF);
    EXPECT_EQ(o.info, static_cast<ULONG_PTR>(FILE_CREATED));
    NtClose(o.handle);
    EXPECT_EQ(nt_open(nt("/n.txt"), kQuery, 7, 6).status, STATUS_INVALID_PARAMETER);
}

TEST_F(StandinFile, FolderAndFileOptionsAreChecked) {
    write("/f.txt", "x");
    mkdir(posix("/d").c_str(), 0755);
    EXPECT_EQ(nt_open(nt("/f.txt"), kQuery, 7, FILE_OPEN, FILE_DIRECTORY_FILE).status,
              STATUS_NOT_A_DIRECTORY);
    EXPECT_EQ(nt_open(nt("/d"), kQuery, 7, FILE_OPEN, FILE_NON_DIRECTORY_FILE).status,
              STATUS_FILE_IS_A_DIRECTORY);
    EXPECT_EQ(nt_open(nt("/f.txt\\"), kQuery).status, STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(nt_open(nt("/d"), kQuery, 7, FILE_OVERWRITE_IF).status, STATUS_OBJECT_NAME_COLLISION);
    Opened o = nt_open(nt("/d\\"), kReadWrite);
    ASSERT_EQ(o.status, 0);
    standin::Object* obj = standin::handle_lookup(o.handle);
    ASSERT_NE(obj, nullptr);
    EXPECT_EQ(obj->kind, standin::ObjKind::Directory);
    EXPECT_GE(obj->fd, 0);
    EXPECT_STREQ(obj->unix_path, posix("/d").c_str());
    EXPECT_EQ(object_name(o.handle), nt("/d\\"));
    NtClose(o.handle);
    o = nt_open(nt("/nd"), kQuery, 7, FILE_CREATE, FILE_DIRECTORY_FILE);
    ASSERT_EQ(o.status, 0);
    EXPECT_EQ(o.info, static_cast<ULONG_PTR>(FILE_CREATED));
    NtClose(o.handle);
    struct stat st;
    ASSERT_EQ(stat(posix("/nd").c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
}

TEST_F(StandinFile, ReadOnlyFilesRefuseWritingEvenForRoot) {
    write("/ro.txt", "ro", 0444);
    EXPECT_EQ(nt_open(nt("/ro.txt"), kReadWrite, 5).status, STATUS_ACCESS_DENIED);
    EXPECT_EQ(nt_open(nt("/ro.txt"), kQuery | FILE_APPEND_DATA).status, STATUS_ACCESS_DENIED);
    EXPECT_EQ(nt_open(nt("/ro.txt"), GENERIC_WRITE).status, STATUS_ACCESS_DENIED);
    EXPECT_EQ(nt_open(nt("/ro.txt"), kRead, 7, FILE_OVERWRITE_IF).status, STATUS_ACCESS_DENIED);
    Opened o = nt_open(nt("/ro.txt"), kRead);
    ASSERT_EQ(o.status, 0);
    NtFileBasicInformation b{};
    NtIoStatusBlock io{};
    ASSERT_EQ(NtQueryInformationFile(o.handle, &io, &b, sizeof b, FileBasicInformation), 0);
    EXPECT_EQ(b.FileAttributes, ULONG(FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_READONLY));
    NtClose(o.handle);
}

TEST_F(StandinFile, ShareModesAmongTheProcessHandles) {
    write("/f.txt", "x");
    Opened holder = nt_open(nt("/f.txt"), kRead, FILE_SHARE_READ | FILE_SHARE_DELETE);
    ASSERT_EQ(holder.status, 0);
    EXPECT_EQ(nt_open(nt("/f.txt"), kReadWrite, 7).status, STATUS_SHARING_VIOLATION);
    Opened reader = nt_open(nt("/f.txt"), kRead, 7);
    EXPECT_EQ(reader.status, 0);
    // Without data access there is nothing to share.
    Opened prober = nt_open(nt("/f.txt"), kQuery, 0);
    EXPECT_EQ(prober.status, 0);
    // A reader that denies reading conflicts with the holder.
    EXPECT_EQ(nt_open(nt("/f.txt"), kRead, FILE_SHARE_WRITE).status, STATUS_SHARING_VIOLATION);
    NtClose(holder.handle);
    NtClose(reader.handle);
    NtClose(prober.handle);
    Opened writer = nt_open(nt("/f.txt"), kReadWrite, 7);
    EXPECT_EQ(writer.status, 0);
    NtClose(writer.handle);
}

TEST_F(StandinFile, FifosAreNeverOpenedForData) {
    ASSERT_EQ(mkfifo(posix("/fifo").c_str(), 0644), 0);
    // Would block forever in open(2) without O_NONBLOCK and without a writer.
    EXPECT_EQ(nt_open(nt("/fifo"), kRead).status, STATUS_ACCESS_DENIED);
    EXPECT_EQ(nt_open(nt("/fifo"), kReadWrite).status, STATUS_ACCESS_DENIED);
    Opened o = nt_open(nt("/fifo"), kQuery);
    ASSERT_EQ(o.status, 0);
    NtFileFsDeviceInformation dev{};
    NtIoStatusBlock io{};
    EXPECT_EQ(
        NtQueryVolumeInformationFile(o.handle, &io, &dev, sizeof dev, FileFsDeviceInformation), 0);
    EXPECT_EQ(dev.DeviceType, 0x11u);
    NtClose(o.handle);
}

TEST_F(StandinFile, AllInformationOverflowsWithTheFixedPartFilled) {
    write("/file.txt", "hello");
    Opened o = nt_open(nt("/file.txt"), kRead);
    ASSERT_EQ(o.status, 0);
    alignas(8) unsigned char buf[104] = {};
    NtIoStatusBlock io{};
    EXPECT_EQ(NtQueryInformationFile(o.handle, &io, buf, sizeof buf, FileAllInformation),
              STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(io.Status, STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(io.Information, 104u);
    auto* all = reinterpret_cast<NtFileAllInformation*>(buf);
    std::u16string rel = to16(posix("/file.txt"));
    for (char16_t& c : rel)
        if (c == u'/') c = u'\\';
    EXPECT_EQ(all->FileNameLength, rel.size() * 2);
    EXPECT_EQ(all->FileName[0], u'\\');
    EXPECT_EQ(all->StandardInformation.EndOfFile, 5);
    EXPECT_EQ(all->BasicInformation.FileAttributes, ULONG(FILE_ATTRIBUTE_ARCHIVE));
    struct stat st;
    ASSERT_EQ(stat(posix("/file.txt").c_str(), &st), 0);
    EXPECT_EQ(static_cast<uint64_t>(all->IndexNumber), st.st_ino);
    EXPECT_EQ(all->AccessFlags, kRead);
    EXPECT_EQ(all->BasicInformation.LastWriteTime,
              standin::nt_time_from_unix(st.st_mtim.tv_sec, st.st_mtim.tv_nsec));
    EXPECT_EQ(NtQueryInformationFile(o.handle, &io, buf, 99, FileAllInformation),
              STATUS_INFO_LENGTH_MISMATCH);

    NtFileIdInformation id{};
    ASSERT_EQ(NtQueryInformationFile(o.handle, &io, &id, sizeof id, FileIdInformation), 0);
    EXPECT_EQ(id.VolumeSerialNumber, static_cast<uint64_t>(st.st_dev));
    uint64_t low, high;
    memcpy(&low, id.FileId, 8);
    memcpy(&high, id.FileId + 8, 8);
    EXPECT_EQ(low, st.st_ino);
    EXPECT_EQ(high, 0u);
    NtFileFsVolumeInformation vol{};
    ASSERT_EQ(
        NtQueryVolumeInformationFile(o.handle, &io, &vol, sizeof vol, FileFsVolumeInformation), 0);
    EXPECT_EQ(vol.VolumeSerialNumber, static_cast<ULONG>(st.st_dev));
    NtFileReparsePointInformation rp{};
    EXPECT_LT(NtQueryInformationFile(o.handle, &io, &rp, sizeof rp, FileReparsePointInformation),
              0);
    EXPECT_EQ(NtQueryInformationFile(o.handle, &io, buf, sizeof buf, 77),
              STATUS_INVALID_INFO_CLASS);
    NtClose(o.handle);

    // The root's name is one backslash: it fits.
    o = nt_open(u"\\??\\Z:\\", kQuery);
    ASSERT_EQ(o.status, 0);
    EXPECT_EQ(NtQueryInformationFile(o.handle, &io, buf, sizeof buf, FileAllInformation), 0);
    EXPECT_EQ(all->FileNameLength, 2u);
    EXPECT_EQ(io.Information, 102u);
    EXPECT_EQ(all->BasicInformation.FileAttributes & FILE_ATTRIBUTE_DIRECTORY, 0x10u);
    NtClose(o.handle);
}

// Transfers at an offset leave the file pointer behind them, as on Windows,
// and one past the end fails with the end-of-file code; the handle's first
// query tells what the open saw, later ones what the file holds now.
TEST_F(StandinFile, OffsetTransfersAndTheFactsOfTheOpen) {
    write("/file.txt", "0123456789");
    Opened o = nt_open(nt("/file.txt"), kReadWrite);
    ASSERT_EQ(o.status, 0);
    write("/file.txt", "0123456789abc"); // grown since the open
    NtFileStatInformation stat{};
    NtIoStatusBlock io{};
    ASSERT_EQ(NtQueryInformationFile(o.handle, &io, &stat, sizeof stat, FileStatInformation), 0);
    EXPECT_EQ(stat.EndOfFile, 10);
    ASSERT_EQ(NtQueryInformationFile(o.handle, &io, &stat, sizeof stat, FileStatInformation), 0);
    EXPECT_EQ(stat.EndOfFile, 13);
    struct stat st;
    ASSERT_EQ(::stat(posix("/file.txt").c_str(), &st), 0);
    EXPECT_EQ(static_cast<uint64_t>(stat.FileId), st.st_ino);
    EXPECT_EQ(stat.NumberOfLinks, 1u);

    OVERLAPPED at{};
    at.Offset = 2;
    DWORD n = 0;
    EXPECT_TRUE(WriteFile(o.handle, "XY", 2, &n, &at));
    EXPECT_TRUE(WriteFile(o.handle, "Z", 1, &n, nullptr)); // where the last one stopped
    char buf[16] = {};
    at.Offset = 0;
    EXPECT_TRUE(ReadFile(o.handle, buf, 6, &n, &at));
    EXPECT_EQ(std::string(buf, n), "01XYZ5");
    at.Offset = 13;
    EXPECT_FALSE(ReadFile(o.handle, buf, 1, &n, &at));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_HANDLE_EOF));
    CloseHandle(o.handle);
}

TEST_F(StandinFile, SymbolicLinksFollowedOrOpenedThemselves) {
    write("/target.txt", "12345");
    mkdir(posix("/dir").c_str(), 0755);
    ASSERT_EQ(symlink("target.txt", posix("/lf").c_str()), 0);
    ASSERT_EQ(symlink("dir", posix("/ld").c_str()), 0);
    ASSERT_EQ(symlink("nowhere", posix("/broken").c_str()), 0);

    Opened o = nt_open(nt("/lf"), kQuery);
    ASSERT_EQ(o.status, 0);
    EXPECT_EQ(object_name(o.handle), nt("/target.txt")) << "a followed link reports its target";
    NtClose(o.handle);

    struct Case {
        const char* name;
        ULONG attributes;
    } cases[] = {
        {"/lf", FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_ARCHIVE},
        {"/ld", FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY},
        {"/broken", FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_ARCHIVE},
    };
    for (const Case& c : cases) {
        o = nt_open(nt(c.name), kQuery, 7, FILE_OPEN,
                    FILE_SYNCHRONOUS_IO_NONALERT | FILE_OPEN_REPARSE_POINT);
        ASSERT_EQ(o.status, 0) << c.name;
        NtIoStatusBlock io{};
        NtFileAttributeTagInformation tag{};
        ASSERT_EQ(
            NtQueryInformationFile(o.handle, &io, &tag, sizeof tag, FileAttributeTagInformation),
            0);
        EXPECT_EQ(tag.FileAttributes, c.attributes) << c.name;
        EXPECT_EQ(tag.ReparseTag, ULONG(IO_REPARSE_TAG_SYMLINK));
        NtFileReparsePointInformation rp{};
        ASSERT_EQ(
            NtQueryInformationFile(o.handle, &io, &rp, sizeof rp, FileReparsePointInformation), 0);
        EXPECT_EQ(rp.Tag, ULONG(IO_REPARSE_TAG_SYMLINK));
        NtFileStandardInformation std_info{};
        ASSERT_EQ(NtQueryInformationFile(o.handle, &io, &std_info, sizeof std_info,
                                         FileStandardInformation),
                  0);
        EXPECT_EQ(std_info.EndOfFile, 0);
        EXPECT_EQ(object_name(o.handle), nt(c.name) + (c.attributes & 0x10 ? u"\\" : u""));
        NtClose(o.handle);
    }
    EXPECT_EQ(nt_open(nt("/broken"), kQuery).status, STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(nt_open(nt("/lf"), kReadWrite, 7, FILE_OPEN, FILE_OPEN_REPARSE_POINT).status,
              STATUS_ACCESS_DENIED);
}

TEST_F(StandinFile, HiddenForDotNames) {
    write("/.hidden", "");
    Opened o = nt_open(nt("/.hidden"), kQuery);
    ASSERT_EQ(o.status, 0);
    NtIoStatusBlock io{};
    NtFileBasicInformation b{};
    ASSERT_EQ(NtQueryInformationFile(o.handle, &io, &b, sizeof b, FileBasicInformation), 0);
    EXPECT_EQ(b.FileAttributes, ULONG(FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE));
    NtClose(o.handle);
}

TEST_F(StandinFile, SetTimesPositionAndEnd) {
    write("/f.txt", "0123456789");
    Opened o = nt_open(nt("/f.txt"), kReadWrite, 5);
    ASSERT_EQ(o.status, 0);
    struct stat before;
    ASSERT_EQ(stat(posix("/f.txt").c_str(), &before), 0);
    NtIoStatusBlock io{};
    const int64_t when = standin::nt_time_from_unix(1000000000, 1234500);
    NtFileBasicInformation b{-1, 0, when, -1, 0};
    ASSERT_EQ(NtSetInformationFile(o.handle, &io, &b, sizeof b, FileBasicInformation), 0);
    struct stat after;
    ASSERT_EQ(stat(posix("/f.txt").c_str(), &after), 0);
    EXPECT_EQ(after.st_mtim.tv_sec, 1000000000);
    EXPECT_EQ(after.st_mtim.tv_nsec, 1234500);
    EXPECT_EQ(after.st_atim.tv_sec, before.st_atim.tv_sec);
    EXPECT_EQ(after.st_atim.tv_nsec, before.st_atim.tv_nsec);

    int64_t pos = 4;
    ASSERT_EQ(NtSetInformationFile(o.handle, &io, &pos, 8, FilePositionInformation), 0);
    EXPECT_EQ(lseek(standin::handle_lookup(o.handle)->fd, 0, SEEK_CUR), 4);
    int64_t got = -1;
    ASSERT_EQ(NtQueryInformationFile(o.handle, &io, &got, 8, FilePositionInformation), 0);
    EXPECT_EQ(got, 4);
    pos = -1;
    EXPECT_EQ(NtSetInformationFile(o.handle, &io, &pos, 8, FilePositionInformation),
              STATUS_INVALID_PARAMETER);

    for (int64_t size : {3, 20, 0}) {
        ASSERT_EQ(NtSetInformationFile(o.handle, &io, &size, 8, FileEndOfFileInformation), 0);
        ASSERT_EQ(stat(posix("/f.txt").c_str(), &after), 0);
        EXPECT_EQ(after.st_size, size);
    }
    int64_t size = 1;
    fault_set(FAULT_SET_INFO, FaultRule{0, 1, STATUS_DISK_FULL, 0, -1, FileEndOfFileInformation});
    EXPECT_EQ(NtSetInformationFile(o.handle, &io, &size, 8, FileEndOfFileInformation),
              STATUS_DISK_FULL);
    NtClose(o.handle);

    // No write access: no end of file, no times.
    o = nt_open(nt("/f.txt"), kRead);
    EXPECT_EQ(NtSetInformationFile(o.handle, &io, &size, 8, FileEndOfFileInformation),
              STATUS_ACCESS_DENIED);
    EXPECT_EQ(NtSetInformationFile(o.handle, &io, &b, sizeof b, FileBasicInformation),
              STATUS_ACCESS_DENIED);
    NtClose(o.handle);
    EXPECT_EQ(standin::status_from_errno(ENOSPC), STATUS_DISK_FULL);
}

TEST_F(StandinFile, ObjectNameNeedsRoom) {
    write("/f.txt", "");
    Opened o = nt_open(nt("/f.txt"), kQuery);
    ASSERT_EQ(o.status, 0);
    alignas(8) unsigned char buf[64];
    ULONG need = 0, ret = 0;
    std::u16string name = nt("/f.txt");
    need = static_cast<ULONG>(16 + name.size() * 2 + 2);
    EXPECT_EQ(NtQueryObject(o.handle, ObjectNameInformation, buf, 8, &ret),
              STATUS_INFO_LENGTH_MISMATCH);
    EXPECT_EQ(ret, need);
    ret = 0;
    EXPECT_EQ(NtQueryObject(o.handle, ObjectNameInformation, buf, 20, &ret),
              STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(ret, need);
    EXPECT_EQ(object_name(o.handle), name);
    NtClose(o.handle);
    EXPECT_EQ(NtQueryObject(o.handle, ObjectNameInformation, buf, sizeof buf, &ret),
              STATUS_INVALID_HANDLE);
}

TEST_F(StandinFile, FaultHooksAndCallLog) {
    write("/f.txt", "");
    fault_set(FAULT_OPEN, FaultRule{0, 1, STATUS_ACCESS_DENIED, 0, -1, 0});
    EXPECT_EQ(nt_open(nt("/f.txt"), kReadWrite, 5).status, STATUS_ACCESS_DENIED);
    EXPECT_EQ(g_call_log.opens, 1u);
    EXPECT_EQ(g_call_log.write_opens, 1u);
    EXPECT_EQ(g_call_log.last_access, kReadWrite);
    EXPECT_EQ(g_call_log.last_share, 5u);
    EXPECT_EQ(g_call_log.last_attributes, 6u);
    Opened o = nt_open(nt("/f.txt"), kRead);
    ASSERT_EQ(o.status, 0);
    EXPECT_EQ(g_call_log.write_opens, 1u);
    // A query hook acts only on its class.
    fault_set(FAULT_QUERY_INFO,
              FaultRule{0, 0, STATUS_INVALID_PARAMETER, 0, -1, FileIdInformation});
    NtIoStatusBlock io{};
    NtFileIdInformation id{};
    NtFileBasicInformation b{};
    EXPECT_EQ(NtQueryInformationFile(o.handle, &io, &id, sizeof id, FileIdInformation),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(NtQueryInformationFile(o.handle, &io, &b, sizeof b, FileBasicInformation), 0);
    NtClose(o.handle);
    // The open succeeds but the status block says otherwise.
    fault_set(FAULT_OPEN, FaultRule{0, 1, STATUS_ACCESS_DENIED, 0, 0, 0});
    NtUnicodeString us;
    std::u16string name = nt("/f.txt");
    us.Buffer = name.data();
    us.Length = static_cast<USHORT>(name.size() * 2);
    us.MaximumLength = us.Length + 2;
    NtObjectAttributes oa{48, nullptr, &us, OBJ_CASE_INSENSITIVE, nullptr, nullptr};
    HANDLE h = nullptr;
    EXPECT_EQ(NtCreateFile(&h, kRead, &oa, &io, nullptr, 6, 7, FILE_OPEN, 0x20, nullptr, 0), 0);
    EXPECT_EQ(io.Status, STATUS_ACCESS_DENIED);
    EXPECT_NE(h, nullptr);
    NtClose(h);
}

} // namespace

namespace {

// An extension reserves its space, as on Windows, so that a full disk shows
// when the file is extended and not half way through the writes after it.
TEST_F(StandinFile, ExtendingReservesTheSpace) {
    write("/f.txt", "x");
    Opened o = nt_open(nt("/f.txt"), kReadWrite, 5);
    ASSERT_EQ(o.status, 0);
    NtIoStatusBlock io{};
    int64_t size = 8 << 20;
    ASSERT_EQ(NtSetInformationFile(o.handle, &io, &size, 8, FileEndOfFileInformation), 0);
    struct stat st;
    ASSERT_EQ(stat(posix("/f.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_size, size);
    EXPECT_GE(static_cast<int64_t>(st.st_blocks) * 512, size) << "a sparse extension";
    // A size no disk can hold is refused and leaves the file as it was.
    size = int64_t(1) << 50;
    EXPECT_EQ(NtSetInformationFile(o.handle, &io, &size, 8, FileEndOfFileInformation),
              STATUS_DISK_FULL);
    ASSERT_EQ(stat(posix("/f.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 8 << 20);
    NtClose(o.handle);
}

// A write time read through any class that reports it and set back is the
// exact one Linux keeps, nanoseconds included; any other time is set as given.
TEST_F(StandinFile, WriteTimeSetBackKeepsItsNanoseconds) {
    constexpr time_t kSec = 1700000000;
    struct Row {
        ULONG cls;
        int64_t delta; // added to the time read, in 100-ns units
        time_t sec;    // what stat shows afterwards
        long nsec;
    } rows[] = {
        {FileNetworkOpenInformation, 0, kSec, 123456789},
        {FileBasicInformation, 0, kSec, 123456789},
        {FileAllInformation, 0, kSec, 123456789},
        {FileNetworkOpenInformation, 1, kSec, 123456800},
        {FileBasicInformation, -10000000, kSec - 1, 123456700},
    };
    write("/t.txt", "x");
    for (const Row& r : rows) {
        const struct timespec exact[2] = {{0, UTIME_OMIT}, {kSec, 123456789}};
        ASSERT_EQ(utimensat(AT_FDCWD, posix("/t.txt").c_str(), exact, 0), 0);
        Opened o = nt_open(nt("/t.txt"), kReadWrite);
        ASSERT_EQ(o.status, 0);
        alignas(8) unsigned char buf[512] = {};
        NtIoStatusBlock io{};
        NTSTATUS s = NtQueryInformationFile(o.handle, &io, buf, sizeof buf, r.cls);
        ASSERT_TRUE(s == 0 || s == STATUS_BUFFER_OVERFLOW) << r.cls;
        int64_t shown = r.cls == FileNetworkOpenInformation
                            ? reinterpret_cast<NtFileNetworkOpenInformation*>(buf)->LastWriteTime
                            : reinterpret_cast<NtFileBasicInformation*>(buf)->LastWriteTime;
        NtFileBasicInformation b{-1, -1, shown + r.delta, -1, 0};
        ASSERT_EQ(NtSetInformationFile(o.handle, &io, &b, sizeof b, FileBasicInformation), 0);
        NtClose(o.handle);
        struct stat st;
        ASSERT_EQ(stat(posix("/t.txt").c_str(), &st), 0);
        EXPECT_EQ(st.st_mtim.tv_sec, r.sec) << r.cls << " " << r.delta;
        EXPECT_EQ(st.st_mtim.tv_nsec, r.nsec) << r.cls << " " << r.delta;
    }
}

// Beyond the file-size limit (ulimit -f) the kernel raises SIGXFSZ, which
// the program ignores at its start, as done here: a write there and an
// extension there fail as on a full disk, and the process lives on.
[[noreturn]] void grow_past_the_size_limit(const std::u16string& name) {
    constexpr int64_t kLimit = 4096;
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit;
    getrlimit(RLIMIT_FSIZE, &limit);
    limit.rlim_cur = kLimit;
    Opened o = nt_open(name, kReadWrite, 0, FILE_OVERWRITE_IF);
    if (o.status != 0 || setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(2);
    NtIoStatusBlock io{};
    int64_t at = kLimit;
    if (NtSetInformationFile(o.handle, &io, &at, 8, FilePositionInformation) != 0) _exit(2);
    struct Row {
        const char* what;
        DWORD error;
    } rows[2] = {{"write at the limit", 0}, {"extension past it", 0}};
    DWORD n = 0;
    if (!WriteFile(o.handle, "x", 1, &n, nullptr)) rows[0].error = GetLastError();
    int64_t size = 2 * kLimit;
    rows[1].error = RtlNtStatusToDosError(
        NtSetInformationFile(o.handle, &io, &size, 8, FileEndOfFileInformation));
    int failed = 0;
    for (const Row& r : rows) {
        if (r.error == ERROR_DISK_FULL) continue;
        fprintf(stderr, "%s: error %lu\n", r.what, static_cast<unsigned long>(r.error));
        failed = 1;
    }
    _exit(failed);
}

TEST_F(StandinFile, FileSizeLimitFailsLikeAFullDisk) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(grow_past_the_size_limit(nt("/big.txt")), ::testing::ExitedWithCode(0), "");
}

} // namespace
#endif
