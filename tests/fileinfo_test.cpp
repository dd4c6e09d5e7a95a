#include "base/fileinfo.h"
#include "base/test_control.h"
#include "base/fileopen.h"
#include "base/path.h"
#include "platform/nt.h"
#ifndef _WIN32
#endif

#include "scratch.h"
#include "fileio_wine.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace {

// --- lookup3 as published, for an independent check ---------------------------
// hashlittle2 of lookup3.c, reading bytes one by one, returning all three words.

uint32_t ref_rot(uint32_t x, int k) {
    return (x << k) | (x >> (32 - k));
}

void ref_hashlittle2(const std::vector<uint8_t>& key, uint32_t* pc, uint32_t* pb, uint32_t* pa) {
    size_t length = key.size();
    const uint8_t* k = key.data();
    uint32_t a, b, c;
    a = b = c = 0xdeadbeef + static_cast<uint32_t>(length) + *pc;
    c += *pb;
    while (length > 12) {
        a += k[0] + (uint32_t(k[1]) << 8) + (uint32_t(k[2]) << 16) + (uint32_t(k[3]) << 24);
        b += k[4] + (uint32_t(k[5]) << 8) + (uint32_t(k[6]) << 16) + (uint32_t(k[7]) << 24);
        c += k[8] + (uint32_t(k[9]) << 8) + (uint32_t(k[10]) << 16) + (uint32_t(k[11]) << 24);
        a -= c;
        a ^= ref_rot(c, 4);
        c += b;
        b -= a;
        b ^= ref_rot(a, 6);
        a += c;
        c -= b;
        c ^= ref_rot(b, 8);
        b += a;
        a -= c;
        a ^= ref_rot(c, 16);
        c += b;
        b -= a;
        b ^= ref_rot(a, 19);
        a += c;
        c -= b;
        c ^= ref_rot(b, 4);
        b += a;
        length -= 12;
        k += 12;
    }
    switch (length) {
    case 12:
        c += uint32_t(k[11]) << 24;
        [[fallthrough]];
    case 11:
        c += uint32_t(k[10]) << 16;
        [[fallthrough]];
    case 10:
        c += uint32_t(k[9]) << 8;
        [[fallthrough]];
    case 9:
        c += k[8];
        [[fallthrough]];
    case 8:
        b += uint32_t(k[7]) << 24;
        [[fallthrough]];
    case 7:
        b += uint32_t(k[6]) << 16;
        [[fallthrough]];
    case 6:
        b += uint32_t(k[5]) << 8;
        [[fallthrough]];
    case 5:
        b += k[4];
        [[fallthrough]];
    case 4:
        a += uint32_t(k[3]) << 24;
        [[fallthrough]];
    case 3:
        a += uint32_t(k[2]) << 16;
        [[fallthrough]];
    case 2:
        a += uint32_t(k[1]) << 8;
        [[fallthrough]];
    case 1:
        a += k[0];
        break;
    case 0:
        *pc = c;
        *pb = b;
        *pa = a;
        return;
    }
    c ^= b;
    c -= ref_rot(b, 14);
    a ^= c;
    a -= ref_rot(c, 11);
    b ^= a;
    b -= ref_rot(a, 25);
    c ^= b;
    c -= ref_rot(b, 16);
    a ^= c;
    a -= ref_rot(c, 4);
    b ^= a;
    b -= ref_rot(a, 14);
    c ^= b;
    c -= ref_rot(b, 24);
    *pc = c;
    *pb = b;
    *pa = a;
}

// The variant: all three words start at 0xDEADBEEF, so the seed cancels the length.
std::vector<uint32_t> ref_volume_hash(const std::vector<uint8_t>& stream) {
    uint32_t c = 0u - static_cast<uint32_t>(stream.size()), b = 0, a = 0;
    ref_hashlittle2(stream, &c, &b, &a);
    return {a, b, c};
}

std::vector<uint32_t> product_hash(uint64_t serial, const std::u16string& text) {
    uint32_t out[3] = {1, 2, 3};
    volume_identity_hash(serial, text.data(), text.size(), out);
    return {out[0], out[1], out[2]};
}

std::vector<uint8_t> stream_of(uint64_t serial, const std::string& folded_utf8) {
    std::vector<uint8_t> s;
    for (int i = 0; i < 8; ++i) s.push_back(static_cast<uint8_t>(serial >> (8 * i)));
    s.insert(s.end(), folded_utf8.begin(), folded_utf8.end());
    return s;
}

TEST(VolumeHash, ReferenceMatchesThePublishedVectors) {
    std::string four = "Four score and seven years ago";
    std::vector<uint8_t> key(four.begin(), four.end());
    uint32_t c = 0, b = 0, a = 0;
    ref_hashlittle2(key, &c, &b, &a);
    EXPECT_EQ(c, 0x17770551u);
    c = 1, b = 0;
    ref_hashlittle2(key, &c, &b, &a);
    EXPECT_EQ(c, 0xcd628161u);
    c = 0, b = 0;
    ref_hashlittle2({}, &c, &b, &a);
    EXPECT_EQ(c, 0xdeadbeefu);
}

TEST(VolumeHash, MatchesLookup3OverSerialAndFoldedUtf8) {
    struct Case {
        uint64_t serial;
        std::u16string text;
        std::string folded;
    } cases[] = {
        {0x0123456789ABCDEFull, u"", ""},             // 8 bytes: one short block
        {7, u"ABCD", "abcd"},                         // exactly one block, never mixed
        {7, u"\\Device\\Ab", "\\device\\ab"},         // 18 bytes
        {0xFE00, u"\\??\\Z:", "\\??\\z:"},            // 14 bytes
        {1, u"ABCDEFGHIJKLMNOP", "abcdefghijklmnop"}, // 24: two full blocks
        {0x5A000000, u"\\Device\\HarddiskVolume3", "\\device\\harddiskvolume3"},
        {42, u"\u00C9t\u00C9\U00010400", "\xC3\xA9t\xC3\xA9\xF0\x90\x90\xA8"},
        {42, u"\u212A", "k"}, // Kelvin sign folds to an ASCII k
    };
    for (const Case& c : cases) {
        std::string label(c.folded);
        EXPECT_EQ(product_hash(c.serial, c.text), ref_volume_hash(stream_of(c.serial, c.folded)))
            << label;
    }
    // Case does not matter, the serial does.
    EXPECT_EQ(product_hash(3, u"\\DEVICE\\X"), product_hash(3, u"\\device\\x"));
    EXPECT_NE(product_hash(3, u"\\device\\x"), product_hash(4, u"\\device\\x"));
}

TEST(VolumePrefix, TableRowsAndCuts) {
    struct Case {
        std::u16string name;
        uint32_t rows; // component count from the table, 0 when no row matches
        uint32_t k;    // components used
        std::u16string prefix;
    } cases[] = {
        {u"\\Device\\HarddiskVolume3\\dir\\file.txt", 2, 2, u"\\Device\\HarddiskVolume3"},
        {u"\\Device\\HarddiskVolume3\\", 2, 2, u"\\Device\\HarddiskVolume3"},
        {u"\\Device\\CdRom0\\x", 2, 2, u"\\Device\\CdRom0"},
        {u"\\Device\\Mup\\srv\\share\\dir", 4, 4, u"\\Device\\Mup\\srv\\share"},
        {u"\\Device\\LanmanRedirector\\srv\\share\\f", 4, 4,
         u"\\Device\\LanmanRedirector\\srv\\share"},
        {u"\\Device\\WebdavRedirector\\srv\\share\\f", 4, 4,
         u"\\Device\\WebdavRedirector\\srv\\share"},
        // Compared exactly: other letter case matches no row.
        {u"\\Device\\WebDavRedirector\\srv\\share\\f", 0, 2, u"\\Device\\WebDavRedirector"},
        {u"\\device\\harddiskvolume3\\x", 0, 2, u"\\device\\harddiskvolume3"},
        {u"\\??\\Z:\\tmp\\x", 0, 2, u"\\??\\Z:"},
        {u"\\??\\Z:\\", 0, 2, u"\\??\\Z:"},
        // Too few backslashes: all but the last unit.
        {u"\\Device\\HarddiskVolume3", 2, 2, u"\\Device\\HarddiskVolume"},
        {u"\\Device\\Mup\\srv\\share", 4, 4, u"\\Device\\Mup\\srv\\shar"},
    };
    for (const Case& c : cases) {
        std::string label(c.name.begin(), c.name.end());
        EXPECT_EQ(volume_component_count(c.name.data(), c.name.size()), c.rows) << label;
        uint64_t n = volume_prefix_length(c.name.data(), c.name.size(), c.k);
        EXPECT_EQ(c.name.substr(0, n), c.prefix) << label;
    }
    EXPECT_EQ(volume_prefix_length(u"", 0, 2), 0u);
    // Two shares of one server are two volumes.
    EXPECT_NE(product_hash(9, u"\\Device\\Mup\\srv\\a"), product_hash(9, u"\\Device\\Mup\\srv\\b"));
}

TEST(EntryFinish, DerivesFlagsDirectoryAndSize) {
    struct Case {
        uint32_t attributes;
        uint8_t is_symlink;
        uint8_t flags;
        bool directory;
        uint64_t size;
    } cases[] = {
        {0x10, 0, 0x00, true, 0},     {0x30, 0, 0x20, true, 0},      {0x20, 0, 0x28, false, 100},
        {0x80, 0, 0x08, false, 100},  {0x2020, 0, 0x20, false, 100}, // not content indexed
        {0x27, 0, 0x2F, false, 100},  {0x420, 1, 0x20, false, 0},    {0x410, 1, 0x00, true, 0},
        {0x420, 0, 0x28, false, 100}, // another reparse point keeps its size
    };
    for (const Case& c : cases) {
        FileEntry e{};
        e.attributes = c.attributes;
        e.is_symlink = c.is_symlink;
        e.size = 100;
        entry_finish(&e);
        EXPECT_EQ(e.flags, c.flags) << std::hex << c.attributes;
        EXPECT_EQ(e.is_directory != 0, c.directory) << std::hex << c.attributes;
        EXPECT_EQ(e.size, c.size) << std::hex << c.attributes;
    }
}

class FileInfo : public ::testing::Test {
  protected:
    ScratchDir dir;
    void SetUp() override {
#ifndef _WIN32
        fault_reset();
#endif
    }
    void TearDown() override {
#ifndef _WIN32
        fault_reset();
        mem_fail_at(0);
#endif
    }
    FileEntry by_path(const std::string& rel, ErrorCode expect = 0) {
        FileEntry e;
        memset(&e, 0xAB, sizeof e);
        EXPECT_EQ(file_query_entry_by_path(dir.path(rel).c_str(), &e), expect) << rel;
        return e;
    }
    FileHandle open(const std::string& rel, uint32_t flags) {
        FileHandle h = INVALID_FILE_HANDLE;
        EXPECT_EQ(file_open(&h, dir.path(rel).c_str(), flags), 0) << rel;
        return h;
    }
    // The volume identity expected where objects are named by drive, \??\X:\...
    std::vector<uint32_t> drive_identity(const FileEntry& e) {
        char* full = path_full(heap_allocator(), dir.path().c_str());
        std::u16string prefix = u"\\??\\";
        prefix += static_cast<char16_t>(full[0]);
        prefix += u':';
        mem_free(full);
        return product_hash(e.volume_serial, prefix);
    }
};

std::vector<uint32_t> id_of(const FileEntry& e) {
    return {e.volume_id[0], e.volume_id[1], e.volume_id[2]};
}

bool is_zero(const FileEntry& e) {
    FileEntry zero;
    memset(&zero, 0, sizeof zero);
    return memcmp(&e, &zero, sizeof e) == 0;
}

TEST_F(FileInfo, FolderRecord) {
    dir.mkdir("sub");
    FileEntry e = by_path("sub");
    EXPECT_NE(e.is_directory, 0);
    EXPECT_NE(e.attributes & FILE_ATTRIBUTE_DIRECTORY, 0u);
    EXPECT_EQ(e.size, 0u);
    EXPECT_EQ(e.flags & 0x08, 0);
    EXPECT_EQ(e.is_symlink, 0);
    EXPECT_EQ(e.is_broken_link | e.is_link_target | e.is_mount_point, 0);
    EXPECT_NE(e.file_id[0], 0u);
    EXPECT_NE(e.write_time, 0);
    EXPECT_NE(id_of(e), std::vector<uint32_t>(3, 0));
    if (object_names_by_drive()) {
        EXPECT_EQ(id_of(e), drive_identity(e));
    }
}

TEST_F(FileInfo, FileRecord) {
    dir.write("f.txt", "hello");
    FileEntry e = by_path("f.txt");
    EXPECT_EQ(e.is_directory, 0);
    EXPECT_EQ(e.size, 5u);
    EXPECT_EQ(e.flags & 0x08, 0x08);
    EXPECT_EQ(e.flags & 0x20, e.attributes & 0x20);
    EXPECT_EQ(e.flags & 0x01, 0);
#ifndef _WIN32
    struct stat st;
    ASSERT_EQ(stat(dir.path("f.txt").c_str(), &st), 0);
    EXPECT_EQ(e.file_id[0], st.st_ino);
    EXPECT_EQ(e.file_id[1], 0u);
    EXPECT_EQ(e.volume_serial, static_cast<uint64_t>(st.st_dev));
    EXPECT_EQ(e.attributes, ULONG(FILE_ATTRIBUTE_ARCHIVE));
    int64_t mtime = (st.st_mtim.tv_sec + 11644473600LL) * 10000000 + st.st_mtim.tv_nsec / 100;
    EXPECT_EQ(e.write_time, mtime);
#endif
    if (object_names_by_drive()) {
        EXPECT_EQ(id_of(e), drive_identity(e));
    }
    FileEntry folder = by_path("");
    EXPECT_EQ(id_of(folder), id_of(e)) << "one volume";
    EXPECT_NE(folder.file_id[0], e.file_id[0]);
    // No place for the record: only the result.
    EXPECT_EQ(file_query_entry_by_path(dir.path("f.txt").c_str(), nullptr), 0);
}

TEST_F(FileInfo, MissingPathGivesAClearedRecord) {
    FileEntry e = by_path("missing.txt", 2);
    EXPECT_TRUE(is_zero(e));
    e = by_path("no/missing.txt", 3);
    EXPECT_TRUE(is_zero(e));
}

TEST_F(FileInfo, ReadOnlyFile) {
    dir.write("ro.txt", "x");
    dir.set_read_only("ro.txt");
    FileEntry e = by_path("ro.txt");
    EXPECT_EQ(e.flags & 0x01, 0x01);
    EXPECT_EQ(e.attributes & FILE_ATTRIBUTE_READONLY, ULONG(FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(e.flags & 0x08, 0x08);
}

TEST_F(FileInfo, SymbolicLinks) {
    dir.write("target.txt", "0123456789");
    dir.mkdir("folder");
    if (!dir.symlink("target.txt", "lf", false) || !dir.symlink("folder", "ld", true))
        GTEST_SKIP() << "no symbolic links here";

    // By path the links are followed.
    FileEntry target = by_path("target.txt");
    FileEntry file_link = by_path("lf");
    EXPECT_EQ(file_link.is_symlink, 0);
    EXPECT_EQ(file_link.size, 10u);
    EXPECT_EQ(file_link.file_id[0], target.file_id[0]);
    FileEntry folder = by_path("folder");
    FileEntry folder_link = by_path("ld");
    EXPECT_NE(folder_link.is_directory, 0);
    EXPECT_EQ(folder_link.is_symlink, 0);
    // The same folder by two paths.
    EXPECT_EQ(id_of(folder_link), id_of(folder));
    EXPECT_EQ(folder_link.file_id[0], folder.file_id[0]);
    EXPECT_EQ(folder_link.file_id[1], folder.file_id[1]);
    EXPECT_EQ(folder_link.volume_serial, folder.volume_serial);

    // Opened themselves, they are reparse points with the symlink tag.
    struct Case {
        const char* name;
        bool folder;
    } cases[] = {{"lf", false}, {"ld", true}};
    for (const Case& c : cases) {
        FileHandle h = open(c.name, FOPEN_QUERY | FOPEN_NO_FOLLOW);
        FileEntry e;
        ASSERT_EQ(file_query_entry(h, &e), 0);
        file_close(h);
        if (wine_follows_reparse_points()) {
            EXPECT_EQ(e.is_symlink, 0) << c.name;
            continue;
        }
        EXPECT_EQ(e.is_symlink, 1) << c.name;
        EXPECT_EQ(e.is_mount_point, 0) << c.name;
        EXPECT_NE(e.attributes & FILE_ATTRIBUTE_REPARSE_POINT, 0u) << c.name;
        EXPECT_EQ(e.size, 0u) << c.name;
        EXPECT_EQ(e.is_directory != 0, c.folder) << c.name;
        EXPECT_EQ(e.flags & 0x08, 0) << c.name;
        EXPECT_NE(e.file_id[0], c.folder ? folder.file_id[0] : target.file_id[0]) << c.name;
    }
}

TEST_F(FileInfo, SetWriteTimeLeavesTheOtherTimes) {
    dir.write("f.txt", "text");
    FileHandle h = open("f.txt", 15);
    FileEntry before;
    ASSERT_EQ(file_query_entry(h, &before), 0);
    // An access time later than every other time: Linux's relatime rule
    // then never moves it behind the test's back.
    NtFileBasicInformation basic{};
    basic.LastAccessTime = before.change_time + 36000000000; // one hour on
    ASSERT_EQ(file_set_information(h, FileBasicInformation, &basic, sizeof basic), 0);
    ASSERT_EQ(file_query_entry(h, &before), 0);
    ASSERT_EQ(before.access_time, basic.LastAccessTime);
    const int64_t when = 130000000001234567; // 2012, 100-ns precision
    ASSERT_EQ(file_set_write_time(h, when), 0);
    FileEntry after;
    ASSERT_EQ(file_query_entry(h, &after), 0);
    file_close(h);
    EXPECT_EQ(after.write_time, when);
    EXPECT_EQ(after.access_time, before.access_time);
    if (!wine_creation_time_follows_write_time()) {
        EXPECT_EQ(after.create_time, before.create_time);
    }
    if (!change_time_moves_with_times()) {
        EXPECT_EQ(after.change_time, before.change_time);
    }
    EXPECT_EQ(by_path("f.txt").write_time, when) << "and it stays after closing";
}

TEST_F(FileInfo, SetEndCutsAndExtends) {
    dir.write("f.txt", "0123456789");
    FileHandle h = open("f.txt", 15);
    ASSERT_EQ(file_set_end(h, 4), 0);
    FileEntry e;
    ASSERT_EQ(file_query_entry(h, &e), 0);
    EXPECT_EQ(e.size, 4u);
    ASSERT_EQ(file_set_end(h, 7), 0);
    ASSERT_EQ(file_query_entry(h, &e), 0);
    EXPECT_EQ(e.size, 7u);
    file_close(h);
    EXPECT_EQ(dir.read("f.txt"), std::string("0123\0\0\0", 7));
    // Reading only: no cutting.
    h = open("f.txt", 3);
    EXPECT_EQ(file_set_end(h, 0), wine_error_for_cutting_a_reading_handle(ERR_ACCESS_DENIED));
    file_close(h);
}

TEST_F(FileInfo, SetPositionAndQueries) {
    dir.write("f.txt", "0123456789");
    FileHandle h = open("f.txt", 15);
    ASSERT_EQ(file_set_position(h, 6), 0);
    int64_t pos = -1;
    uint64_t got = 0;
    ASSERT_EQ(file_query_information(h, FilePositionInformation, &pos, sizeof pos, &got), 0);
    EXPECT_EQ(pos, 6);
    EXPECT_EQ(got, 8u);
    NtFileFsVolumeInformation vol{};
    EXPECT_EQ(file_query_volume_information(h, FileFsVolumeInformation, &vol, sizeof vol, &got), 0);
    alignas(8) unsigned char name[600];
    uint32_t len = 0;
    ASSERT_EQ(file_query_object_name(h, ObjectNameInformation, name, sizeof name, &len), 0);
    const NtObjectNameInformation* info = reinterpret_cast<NtObjectNameInformation*>(name);
    EXPECT_GT(info->Name.Length, 0);
    EXPECT_EQ(file_query_object_name(h, ObjectNameInformation, name, 20, &len), ERR_MORE_DATA);
    EXPECT_GT(len, 20u);
    file_close(h);
}

TEST_F(FileInfo, InvalidHandles) {
    for (FileHandle h : {FileHandle(0), INVALID_FILE_HANDLE}) {
        FileEntry e;
        memset(&e, 0xAB, sizeof e);
        EXPECT_EQ(file_query_entry(h, &e), ERR_INVALID_HANDLE);
        EXPECT_TRUE(is_zero(e));
        char buf[64];
        uint64_t got = 5;
        uint32_t got32 = 5;
        EXPECT_EQ(file_query_information(h, FileBasicInformation, buf, sizeof buf, &got), 6);
        EXPECT_EQ(got, 0u);
        EXPECT_EQ(file_query_volume_information(h, FileFsVolumeInformation, buf, 24, &got), 6);
        EXPECT_EQ(file_query_object_name(h, ObjectNameInformation, buf, sizeof buf, &got32), 6);
        EXPECT_EQ(got32, 0u);
        EXPECT_EQ(file_set_information(h, FileBasicInformation, buf, 40), 6);
        EXPECT_EQ(file_set_position(h, 0), 6);
        EXPECT_EQ(file_set_end(h, 0), 6);
        EXPECT_EQ(file_set_write_time(h, 1), 6);
    }
}

#ifndef _WIN32
FaultRule fail_with(NTSTATUS status, ULONG info_class, uint32_t count = 0) {
    FaultRule r{};
    r.status = status;
    r.info_class = info_class;
    r.count = count;
    return r;
}

TEST_F(FileInfo, FileIdRefusedFallsBackToTheVolumeSerial) {
    dir.write("f.txt", "x");
    struct stat st;
    ASSERT_EQ(stat(dir.path("f.txt").c_str(), &st), 0);
    fault_set(FAULT_QUERY_INFO, fail_with(STATUS_INVALID_INFO_CLASS, FileIdInformation));
    FileEntry e = by_path("f.txt");
    EXPECT_EQ(e.volume_serial, static_cast<uint32_t>(st.st_dev));
    EXPECT_EQ(e.file_id[0], st.st_ino) << "the index number of the all-information query";
    EXPECT_EQ(e.file_id[1], 0u);
    EXPECT_EQ(id_of(e), drive_identity(e));
    // The volume query refused as well: no serial, the rest still there.
    fault_set(FAULT_QUERY_VOL, fail_with(STATUS_ACCESS_DENIED, FileFsVolumeInformation));
    e = by_path("f.txt");
    EXPECT_EQ(e.volume_serial, 0u);
    EXPECT_EQ(e.size, 1u);
    EXPECT_EQ(id_of(e), product_hash(0, u"\\??\\Z:"));
}

TEST_F(FileInfo, ObjectNameRefusedLeavesNoVolumeIdentity) {
    dir.write("f.txt", "x");
    FileEntry normal = by_path("f.txt");
    fault_set(FAULT_QUERY_OBJ, fail_with(STATUS_ACCESS_DENIED, 0));
    FileEntry e = by_path("f.txt");
    EXPECT_EQ(id_of(e), std::vector<uint32_t>(3, 0));
    EXPECT_EQ(e.file_id[0], normal.file_id[0]);
    EXPECT_EQ(e.volume_serial, normal.volume_serial);
    EXPECT_EQ(e.flags, normal.flags);

    // The first answer too short: the large buffer gets it.
    fault_set(FAULT_QUERY_OBJ, fail_with(STATUS_BUFFER_OVERFLOW, 0, 1));
    e = by_path("f.txt");
    EXPECT_EQ(id_of(e), id_of(normal));
    // ... unless there is no memory for it.
    fault_set(FAULT_QUERY_OBJ, fail_with(STATUS_BUFFER_OVERFLOW, 0, 1));
    FileHandle h = open("f.txt", 3);
    mem_fail_at(1);
    EXPECT_EQ(file_query_entry(h, &e), 0);
    mem_fail_at(0);
    file_close(h);
    EXPECT_EQ(id_of(e), std::vector<uint32_t>(3, 0));
    EXPECT_EQ(e.file_id[0], normal.file_id[0]);
}

TEST_F(FileInfo, DeviceQueryDecidesComponentsForUnknownNames) {
    dir.write("f.txt", "x");
    FileEntry normal = by_path("f.txt");
    // A refused device query counts as a local device: two components.
    fault_set(FAULT_QUERY_VOL, fail_with(STATUS_ACCESS_DENIED, FileFsDeviceInformation));
    EXPECT_EQ(id_of(by_path("f.txt")), id_of(normal));
}

TEST_F(FileInfo, TheFirstQueryDecides) {
    dir.write("f.txt", "x");
    fault_set(FAULT_QUERY_INFO, fail_with(STATUS_ACCESS_DENIED, FileAllInformation));
    FileEntry e = by_path("f.txt", ERR_ACCESS_DENIED);
    EXPECT_TRUE(is_zero(e));
    // "More data" without a name length: the fixed part cannot be trusted.
    fault_set(FAULT_QUERY_INFO, fail_with(STATUS_BUFFER_OVERFLOW, FileAllInformation));
    e = by_path("f.txt", ERR_MORE_DATA);
    EXPECT_TRUE(is_zero(e));
    // Later queries only leave their fields empty.
    fault_reset();
    fault_set(FAULT_QUERY_INFO, fail_with(STATUS_ACCESS_DENIED, FileIdInformation));
    fault_set(FAULT_QUERY_VOL, fail_with(STATUS_ACCESS_DENIED, 0));
    fault_set(FAULT_QUERY_OBJ, fail_with(STATUS_ACCESS_DENIED, 0));
    e = by_path("f.txt");
    EXPECT_EQ(e.size, 1u);
    EXPECT_EQ(e.volume_serial, 0u);
    EXPECT_NE(e.file_id[0], 0u);
}

TEST_F(FileInfo, SetFailuresAreTranslated) {
    dir.write("f.txt", "x");
    FileHandle h = open("f.txt", 15);
    fault_set(FAULT_SET_INFO, fail_with(STATUS_DISK_FULL, FileEndOfFileInformation));
    EXPECT_EQ(file_set_end(h, 100), ERR_DISK_FULL);
    fault_set(FAULT_SET_INFO, fail_with(STATUS_ACCESS_DENIED, FileBasicInformation));
    EXPECT_EQ(file_set_write_time(h, 130000000000000000), ERR_ACCESS_DENIED);
    EXPECT_EQ(file_set_position(h, 0), 0);
    file_close(h);
}
#endif

} // namespace
