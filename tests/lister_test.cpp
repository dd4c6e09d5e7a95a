#include "base/alloc.h"
#include "base/test_control.h"
#include "base/fileinfo.h"
#include "base/lister.h"
#include "platform/nt.h"
#ifndef _WIN32

#include <sys/stat.h>
#endif

#include "scratch.h"
#include "fileio_wine.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <set>
#include <string>

namespace {

struct Listed {
    std::string path;
    uint64_t name_offset;
    FileEntry entry;
};

// Lists a folder to its end; the names map to what was handed out.
std::map<std::string, Listed> list_all(const std::string& folder, ErrorCode* end = nullptr,
                                       DirectoryLister** keep = nullptr) {
    std::map<std::string, Listed> out;
    DirectoryLister* l = nullptr;
    ErrorCode e = lister_open(&l, folder.c_str(), 0);
    EXPECT_EQ(e, 0) << folder;
    if (e != 0) return out;
    const char* path;
    uint64_t off;
    FileEntry* entry;
    while ((e = lister_next(l, &path, &off, &entry)) == 0) {
        std::string name = path + off;
        EXPECT_EQ(out.count(name), 0u) << "listed twice: " << name;
        out[name] = Listed{path, off, *entry};
    }
    if (end) *end = e;
    EXPECT_EQ(path, nullptr);
    EXPECT_EQ(off, 0u);
    EXPECT_EQ(entry, nullptr);
    if (keep)
        *keep = l;
    else
        lister_release(l);
    return out;
}

TEST(Lister, EmptyFolderEndsAtOnceAndStaysEnded) {
    ScratchDir dir;
    DirectoryLister* l = nullptr;
    ASSERT_EQ(lister_open(&l, dir.path().c_str(), 0), 0);
    ASSERT_NE(l, nullptr);
    EXPECT_EQ(l->ops->next, &lister_next);
    EXPECT_NE(l->folder_entry.is_directory, 0);
    const char* path = "x";
    uint64_t off = 7;
    FileEntry* entry = &l->entry;
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(l->ops->next(l, &path, &off, &entry), ERR_NO_MORE_FILES);
        EXPECT_EQ(path, nullptr);
        EXPECT_EQ(off, 0u);
        EXPECT_EQ(entry, nullptr);
    }
    l->ops->release(l);
}

TEST(Lister, ManyLongNamesComeInSeveralBatchesEachOnce) {
    ScratchDir dir;
    const int count = 5000;
    std::set<std::string> made;
    for (int i = 0; i < count; ++i) {
        std::string name = std::to_string(i) + "_" + std::string(100, 'n') + ".txt";
        dir.write(name, "");
        made.insert(name);
    }
#ifndef _WIN32
    fault_reset();
#endif
    ErrorCode end = 0;
    auto listed = list_all(dir.path(), &end);
    EXPECT_EQ(end, ERR_NO_MORE_FILES);
    std::set<std::string> seen;
    for (auto& [name, item] : listed) seen.insert(name);
    EXPECT_EQ(seen, made);
#ifndef _WIN32
    // 5,000 records of about 300 bytes need more than 20 queries of 61,440 bytes.
    EXPECT_GT(g_call_log.dir_queries, 20u);
    EXPECT_LT(g_call_log.dir_queries, 40u);
#endif
}

TEST(Lister, EntriesDescribeFilesAndFoldersLikeTheirHandles) {
    ScratchDir dir;
    dir.write("data.txt", "hello");
    dir.mkdir("sub");
    auto listed = list_all(dir.path());
    ASSERT_EQ(listed.size(), 2u);
    for (const char* name : {"data.txt", "sub"}) {
        const Listed& item = listed.at(name);
        FileEntry direct;
        ASSERT_EQ(file_query_entry_by_path(item.path.c_str(), &direct), 0) << name;
        const FileEntry& e = item.entry;
        EXPECT_EQ(e.attributes, direct.attributes) << name;
        EXPECT_EQ(e.flags, direct.flags) << name;
        EXPECT_EQ(e.is_directory, direct.is_directory) << name;
        EXPECT_EQ(e.size, direct.size) << name;
        EXPECT_EQ(e.write_time, direct.write_time) << name;
        EXPECT_EQ(e.create_time, direct.create_time) << name;
        EXPECT_EQ(e.file_id[0], direct.file_id[0]) << name;
        EXPECT_EQ(e.volume_serial, direct.volume_serial) << name;
        EXPECT_EQ(0, memcmp(e.volume_id, direct.volume_id, sizeof e.volume_id)) << name;
        EXPECT_EQ(e.is_symlink | e.is_link_target | e.is_broken_link | e.is_mount_point, 0);
    }
    EXPECT_EQ(listed.at("data.txt").entry.size, 5u);
    EXPECT_EQ(listed.at("data.txt").entry.is_directory, 0);
    EXPECT_NE(listed.at("sub").entry.is_directory, 0);
    EXPECT_EQ(listed.at("sub").entry.size, 0u);
}

TEST(Lister, FolderPathGetsExactlyOneSeparator) {
    ScratchDir dir;
    dir.write("f.txt", "");
    auto plain = list_all(dir.path());
    ASSERT_EQ(plain.size(), 1u);
    const Listed& ref = plain.at("f.txt");
    ASSERT_GE(ref.name_offset, 2u);
    EXPECT_EQ(ref.path[ref.name_offset - 1], '\\');
    EXPECT_NE(ref.path[ref.name_offset - 2], '\\');
    for (const char* sep : {"\\", "/"}) {
        auto listed = list_all(dir.path() + sep);
        ASSERT_EQ(listed.size(), 1u) << sep;
        EXPECT_EQ(listed.at("f.txt").path, ref.path) << sep;
        EXPECT_EQ(listed.at("f.txt").name_offset, ref.name_offset) << sep;
    }
}

TEST(Lister, PathBufferGrowsForALongNameAndIsReusedAfter) {
    ScratchDir dir;
    DirectoryLister* l = nullptr;
    ASSERT_EQ(lister_open(&l, dir.path().c_str(), 0), 0);
    uint64_t folder_len = l->folder_len;
    uint64_t cap = l->path_cap;
    lister_release(l);
    // The folder part with its separator, and room for about a quarter more.
    uint64_t full_len = folder_len - 1;
    EXPECT_EQ(cap, full_len + 50 + (full_len + 5) / 4);
    uint64_t spare = cap - folder_len;
    ASSERT_LT(spare, 250u);
    std::string fits(spare - 1, 'f'), grows(spare, 'g');
    dir.write(fits, "");
    dir.write(grows, "");
    for (int i = 0; i < 5; ++i) dir.write(std::to_string(i) + "s", "");

    ASSERT_EQ(lister_open(&l, dir.path().c_str(), 0), 0);
    const char* path;
    uint64_t off;
    FileEntry* entry;
    const char* grown = nullptr;
    int seen = 0;
    while (lister_next(l, &path, &off, &entry) == 0) {
        ++seen;
        std::string name = path + off;
        if (!grown) {
            if (name == grows) {
                uint64_t need = folder_len + spare;
                EXPECT_EQ(l->path_cap, need + need * 5 / 4 + 50);
                grown = path;
            } else {
                EXPECT_EQ(l->path_cap, cap) << name;
            }
        } else {
            EXPECT_EQ(path, grown) << name; // the grown buffer is kept
        }
        EXPECT_EQ(std::string(path, off), std::string(l->path, folder_len));
    }
    EXPECT_EQ(seen, 7);
    EXPECT_NE(grown, nullptr);
    lister_release(l);
}

TEST(Lister, OutOfMemoryWhenGrowingThePathLeavesTheListerUsable) {
    ScratchDir dir;
    DirectoryLister* l = nullptr;
    ASSERT_EQ(lister_open(&l, dir.path().c_str(), 0), 0);
    uint64_t spare = l->path_cap - l->folder_len;
    lister_release(l);
    dir.write(std::string(spare + 10, 'g'), "");

    ASSERT_EQ(lister_open(&l, dir.path().c_str(), 0), 0);
    const char* path = "x";
    uint64_t off = 1;
    FileEntry* entry = &l->entry;
    mem_fail_at(1);
    EXPECT_EQ(lister_next(l, &path, &off, &entry), ERR_OUT_OF_MEMORY);
    mem_fail_at(0);
    EXPECT_EQ(path, nullptr);
    EXPECT_EQ(off, 0u);
    EXPECT_EQ(entry, nullptr);
    // The entry whose path could not be built is gone; the listing goes on.
    EXPECT_EQ(lister_next(l, &path, &off, &entry), ERR_NO_MORE_FILES);
    lister_release(l);
}

TEST(Lister, OutOfMemoryWhileOpeningFailsCleanly) {
    ScratchDir dir;
    dir.write("a", "");
    int failures = 0;
    for (uint64_t n = 1; n < 100; ++n) {
        DirectoryLister* l = reinterpret_cast<DirectoryLister*>(1);
        mem_fail_at(n);
        ErrorCode e = lister_open(&l, dir.path().c_str(), 0);
        mem_fail_at(0);
        if (e == 0) {
            ASSERT_NE(l, nullptr);
            lister_release(l);
            break;
        }
        EXPECT_EQ(e, ERR_OUT_OF_MEMORY) << n;
        EXPECT_EQ(l, nullptr) << n;
        ++failures;
    }
    EXPECT_GE(failures, 2); // the lister and its path buffer at least
}

TEST(Lister, FolderThatCannotBeOpenedGivesTheTranslatedError) {
    ScratchDir dir;
    dir.write("file.txt", "x");
    struct Case {
        std::string path;
        ErrorCode error;
    } cases[] = {
        {dir.path("missing"), 2},        // ERROR_FILE_NOT_FOUND
        {dir.path("missing/deeper"), 3}, // ERROR_PATH_NOT_FOUND
        {dir.path("file.txt"), 123},     // a file name with a closing separator
    };
    for (const Case& c : cases) {
        DirectoryLister* l = reinterpret_cast<DirectoryLister*>(1);
        EXPECT_EQ(lister_open(&l, c.path.c_str(), 0), c.error) << c.path;
        EXPECT_EQ(l, nullptr) << c.path;
    }
}

TEST(Lister, RootListsItsEntriesBehindItsOwnSeparator) {
    // Drive Z: is the POSIX root, under Wine and in our stand-in alike.
    for (const char* root : {"Z:\\", "Z:/"}) {
        DirectoryLister* l = nullptr;
        ASSERT_EQ(lister_open(&l, root, 0), 0) << root;
        EXPECT_EQ(l->folder_len, 3u) << root;
        const char* path;
        uint64_t off;
        FileEntry* entry;
        bool tmp = false;
        int seen = 0;
        while (lister_next(l, &path, &off, &entry) == 0) {
            ++seen;
            EXPECT_EQ(off, 3u);
            EXPECT_EQ(std::string(path, 3), "Z:\\") << path;
            EXPECT_NE(path[3], '\\') << path;
            if (strcmp(path + off, "tmp") == 0) tmp = entry->is_directory != 0;
        }
        EXPECT_GT(seen, 1) << root;
        EXPECT_TRUE(tmp) << root;
        lister_release(l);
    }
}

TEST(Lister, InvalidHandleIsRefusedWithoutAQuery) {
    alignas(8) unsigned char buf[256];
    EXPECT_EQ(query_directory(0, FileIdFullDirectoryInformation, buf, sizeof buf),
              ERR_INVALID_HANDLE);
    EXPECT_EQ(query_directory(INVALID_FILE_HANDLE, FileIdFullDirectoryInformation, buf, sizeof buf),
              ERR_INVALID_HANDLE);
}

TEST(Lister, RichestFormatIsChosen) {
    ScratchDir dir;
    dir.write("a", "");
    DirectoryLister* l = nullptr;
    list_all(dir.path(), nullptr, &l);
    ASSERT_NE(l, nullptr);
    uint32_t expected = wine_refuses_extd_dir_info() ? FileIdFullDirectoryInformation
                                                     : FileIdExtdDirectoryInformation;
    EXPECT_EQ(l->cls.info_class, expected);
    lister_release(l);
}

TEST(Lister, SymbolicLinksAreDescribedByTheirTargets) {
    ScratchDir dir;
    dir.write("target.txt", "0123456789");
    dir.mkdir("folder");
    dir.write("folder/inner", "");
    if (!dir.symlink("target.txt", "lf", false) || !dir.symlink("folder", "ld", true) ||
        !dir.symlink("nowhere", "dangling", false))
        GTEST_SKIP() << "no symbolic links here";
    auto listed = list_all(dir.path());
    ASSERT_EQ(listed.size(), 5u);

    const FileEntry& file = listed.at("target.txt").entry;
    const FileEntry& lf = listed.at("lf").entry;
    EXPECT_EQ(lf.is_symlink, 1);
    EXPECT_EQ(lf.is_link_target, 1);
    EXPECT_EQ(lf.is_broken_link, 0);
    EXPECT_EQ(lf.is_directory, 0);
    EXPECT_EQ(lf.size, 10u);
    EXPECT_EQ(lf.file_id[0], file.file_id[0]);
    EXPECT_EQ(lf.attributes & FILE_ATTRIBUTE_REPARSE_POINT, 0u);

    const FileEntry& folder = listed.at("folder").entry;
    const FileEntry& ld = listed.at("ld").entry;
    EXPECT_EQ(ld.is_symlink, 1);
    EXPECT_EQ(ld.is_link_target, 1);
    EXPECT_NE(ld.is_directory, 0);
    EXPECT_EQ(ld.file_id[0], folder.file_id[0]);
    EXPECT_EQ(0, memcmp(ld.volume_id, folder.volume_id, sizeof ld.volume_id));

    const FileEntry& dangling = listed.at("dangling").entry;
    EXPECT_EQ(dangling.is_symlink, 1);
    EXPECT_EQ(dangling.is_broken_link, 1);
    EXPECT_EQ(dangling.is_link_target, 0);
    EXPECT_NE(dangling.attributes & FILE_ATTRIBUTE_REPARSE_POINT, 0u);
    EXPECT_EQ(dangling.size, 0u);
}

TEST(Lister, WithoutAnEntryPlaceLinksAreNotFollowed) {
    ScratchDir dir;
    if (!dir.symlink("nowhere", "dangling", false)) GTEST_SKIP() << "no symbolic links here";
    DirectoryLister* l = nullptr;
    ASSERT_EQ(lister_open(&l, dir.path().c_str(), 0), 0);
    const char* path;
    uint64_t off;
    ASSERT_EQ(lister_next(l, &path, &off, nullptr), 0);
    EXPECT_STREQ(path + off, "dangling");
    EXPECT_EQ(l->entry.is_symlink, 1);
    EXPECT_EQ(l->entry.is_broken_link, 0); // nobody tried to open it
    EXPECT_EQ(lister_next(l, &path, &off, nullptr), ERR_NO_MORE_FILES);
    lister_release(l);
}

#ifndef _WIN32

TEST(Lister, LinkToAFolderOnAnotherVolumeCarriesTheTargetsVolume) {
    ScratchDir dir;
    struct stat here, there;
    if (stat(dir.path().c_str(), &here) != 0 || stat("/dev/shm", &there) != 0 ||
        here.st_dev == there.st_dev)
        GTEST_SKIP() << "no second volume at /dev/shm";
    ASSERT_TRUE(dir.symlink("/dev/shm", "shm", true));
    DirectoryLister* l = nullptr;
    auto listed = list_all(dir.path(), nullptr, &l);
    ASSERT_NE(l, nullptr);
    const FileEntry& e = listed.at("shm").entry;
    EXPECT_EQ(e.is_symlink, 1);
    EXPECT_EQ(e.is_link_target, 1);
    EXPECT_NE(e.is_directory, 0);
    EXPECT_EQ(e.file_id[0], static_cast<uint64_t>(there.st_ino));
    EXPECT_EQ(e.volume_serial, static_cast<uint64_t>(there.st_dev));
    EXPECT_NE(e.volume_serial, l->folder_entry.volume_serial);
    lister_release(l);
}

FaultRule refuse(NTSTATUS status, ULONG info_class, uint32_t count, uint32_t skip = 0) {
    FaultRule r;
    r.status = status;
    r.info_class = info_class;
    r.count = count;
    r.skip = skip;
    return r;
}

class ListerFault : public ::testing::Test {
  protected:
    void TearDown() override { fault_reset(); }
};

TEST_F(ListerFault, FormatsFallBackFrom60To38To1) {
    ScratchDir dir;
    dir.write("a.txt", "abc");
    dir.symlink("a.txt", "link", false);
    struct Case {
        FaultRule rule;
        uint32_t chosen;
        bool has_id;
    } cases[] = {
        {refuse(STATUS_INVALID_INFO_CLASS, FileIdExtdDirectoryInformation, 0),
         FileIdFullDirectoryInformation, true},
        {refuse(STATUS_INVALID_INFO_CLASS, 0, 2), FileDirectoryInformation, false},
    };
    for (const Case& c : cases) {
        fault_reset();
        fault_set(FAULT_QUERY_DIR, c.rule);
        DirectoryLister* l = nullptr;
        ErrorCode end = 0;
        auto listed = list_all(dir.path(), &end, &l);
        ASSERT_NE(l, nullptr);
        EXPECT_EQ(end, ERR_NO_MORE_FILES);
        EXPECT_EQ(l->cls.info_class, c.chosen);
        lister_release(l);
        ASSERT_EQ(listed.size(), 2u);
        const FileEntry& a = listed.at("a.txt").entry;
        EXPECT_EQ(a.size, 3u);
        EXPECT_EQ(a.file_id[0] != 0, c.has_id) << c.chosen;
        EXPECT_EQ(a.file_id[1], 0u);
        // The link is followed in every format; its target's record carries the id.
        const FileEntry& link = listed.at("link").entry;
        EXPECT_EQ(link.is_link_target, 1) << c.chosen;
        EXPECT_EQ(link.size, 3u) << c.chosen;
    }
}

TEST_F(ListerFault, AllFormatsRefusedGivesTheLastErrorAndKeepsFormat1) {
    ScratchDir dir;
    dir.write("a.txt", "");
    DirectoryLister* l = nullptr;
    ASSERT_EQ(lister_open(&l, dir.path().c_str(), 0), 0);
    fault_set(FAULT_QUERY_DIR, refuse(STATUS_ACCESS_DENIED, 0, 3));
    const char* path;
    uint64_t off;
    FileEntry* entry;
    EXPECT_EQ(lister_next(l, &path, &off, &entry), ERR_ACCESS_DENIED);
    EXPECT_EQ(g_call_log.dir_queries, 3u);
    EXPECT_EQ(l->cls.info_class, FileDirectoryInformation);
    // The format stays chosen: the next call asks for it alone.
    ASSERT_EQ(lister_next(l, &path, &off, &entry), 0);
    EXPECT_STREQ(path + off, "a.txt");
    EXPECT_EQ(l->cls.info_class, FileDirectoryInformation);
    lister_release(l);
}

TEST_F(ListerFault, QueryErrorInTheMiddleIsReturned) {
    ScratchDir dir;
    for (int i = 0; i < 1000; ++i) dir.write(std::to_string(i) + std::string(60, 'x'), "");
    DirectoryLister* l = nullptr;
    ASSERT_EQ(lister_open(&l, dir.path().c_str(), 0), 0);
    fault_set(FAULT_QUERY_DIR, refuse(STATUS_IO_DEVICE_ERROR, 0, 1, 1));
    const char* path;
    uint64_t off;
    FileEntry* entry;
    ErrorCode e;
    int seen = 0;
    while ((e = lister_next(l, &path, &off, &entry)) == 0) ++seen;
    EXPECT_EQ(e, static_cast<ErrorCode>(RtlNtStatusToDosError(STATUS_IO_DEVICE_ERROR)));
    EXPECT_GT(seen, 0);
    EXPECT_LT(seen, 1000);
    EXPECT_EQ(path, nullptr);
    EXPECT_EQ(entry, nullptr);
    lister_release(l);
}

TEST_F(ListerFault, FolderIsOpenedForListingAndSharedWithEveryone) {
    ScratchDir dir;
    DirectoryLister* l = nullptr;
    fault_reset();
    ASSERT_EQ(lister_open(&l, dir.path().c_str(), 0), 0);
    EXPECT_EQ(g_call_log.last_access, 0x120089u);
    EXPECT_EQ(g_call_log.last_share, 7u);
    EXPECT_EQ(g_call_log.last_disposition, static_cast<ULONG>(FILE_OPEN));
    EXPECT_EQ(g_call_log.last_options, 0x21u);
    lister_release(l);
}

#endif

} // namespace
