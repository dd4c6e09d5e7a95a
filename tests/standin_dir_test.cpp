// The stand-in's directory query, checked against Windows' record layouts.
#ifndef _WIN32

#include "base/fileinfo.h"
#include "base/fileopen.h"
#include "base/utf.h"
#include "platform/nt.h"
#include "base/test_control.h"

#include "scratch.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

HANDLE open_folder(const std::string& path, ACCESS_MASK access = 0x120089) {
    FileHandle h;
    EXPECT_EQ(file_open_native(path.c_str(), access, 7, 0, FILE_OPEN, 0x21, &h, nullptr), 0);
    return to_native(h);
}

struct Record {
    ULONG offset; // within the batch
    ULONG next;
    ULONG attributes;
    int64_t size, write_time;
    ULONG tag; // ReparsePointTag (60) or EaSize (38)
    uint64_t id_low, id_high;
    std::u16string name;
};

template <typename R> Record common(const unsigned char* at, ULONG offset) {
    const R* r = reinterpret_cast<const R*>(at);
    Record out{};
    out.offset = offset;
    out.next = r->NextEntryOffset;
    out.attributes = r->FileAttributes;
    out.size = r->EndOfFile;
    out.write_time = r->LastWriteTime;
    out.name.assign(reinterpret_cast<const char16_t*>(r->FileName), r->FileNameLength / 2);
    return out;
}

// Walks one batch along its NextEntryOffset chain.
std::vector<Record> parse(ULONG cls, const unsigned char* buf, ULONG_PTR used) {
    std::vector<Record> out;
    ULONG at = 0;
    for (;;) {
        const unsigned char* p = buf + at;
        Record r;
        ULONG fixed;
        if (cls == FileIdExtdDirectoryInformation) {
            r = common<NtFileIdExtdDirInformation>(p, at);
            auto* x = reinterpret_cast<const NtFileIdExtdDirInformation*>(p);
            r.tag = x->ReparsePointTag;
            memcpy(&r.id_low, x->FileId, 8);
            memcpy(&r.id_high, x->FileId + 8, 8);
            fixed = 88;
        } else if (cls == FileIdFullDirectoryInformation) {
            r = common<NtFileIdFullDirInformation>(p, at);
            auto* x = reinterpret_cast<const NtFileIdFullDirInformation*>(p);
            r.tag = x->EaSize;
            r.id_low = static_cast<uint64_t>(x->FileId);
            fixed = 80;
        } else {
            r = common<NtFileDirectoryInformation>(p, at);
            fixed = 64;
        }
        out.push_back(r);
        EXPECT_EQ(at % 8, 0u);
        if (r.next == 0) {
            EXPECT_EQ(used, at + fixed + r.name.size() * 2);
            break;
        }
        EXPECT_GE(r.next, fixed + r.name.size() * 2);
        EXPECT_LT(r.next, fixed + r.name.size() * 2 + 8);
        at += r.next;
        if (at >= used) {
            ADD_FAILURE() << "chain runs past the batch";
            break;
        }
    }
    return out;
}

NTSTATUS query(HANDLE h, ULONG cls, std::vector<unsigned char>& buf, ULONG_PTR* used,
               bool single = false, bool restart = false) {
    NtIoStatusBlock io{};
    io.Information = 12345;
    NTSTATUS s =
        NtQueryDirectoryFile(h, nullptr, nullptr, nullptr, &io, buf.data(),
                             static_cast<ULONG>(buf.size()), cls, single, nullptr, restart);
    *used = io.Information;
    return s;
}

// Everything a handle lists, batch after batch, with the given buffer size.
std::vector<Record> drain(HANDLE h, ULONG cls, size_t size, int* batches = nullptr) {
    std::vector<unsigned char> buf(size);
    std::vector<Record> all;
    ULONG_PTR used;
    NTSTATUS s;
    int n = 0;
    while ((s = query(h, cls, buf, &used)) == STATUS_SUCCESS) {
        auto batch = parse(cls, buf.data(), used);
        all.insert(all.end(), batch.begin(), batch.end());
        ++n;
    }
    EXPECT_EQ(s, STATUS_NO_MORE_FILES);
    EXPECT_EQ(used, 0u);
    EXPECT_EQ(query(h, cls, buf, &used), STATUS_NO_MORE_FILES); // and stays so
    if (batches) *batches = n;
    return all;
}

std::map<std::u16string, Record> by_name(const std::vector<Record>& rs) {
    std::map<std::u16string, Record> m;
    for (const Record& r : rs) {
        EXPECT_EQ(m.count(r.name), 0u);
        m[r.name] = r;
    }
    return m;
}

class StandinDir : public ::testing::Test {
  protected:
    void SetUp() override {
        fault_reset();
        dir.write("a.txt", "hello");
        dir.mkdir("sub");
        ASSERT_TRUE(dir.symlink("a.txt", "ln", false));
        ASSERT_TRUE(dir.symlink("sub", "lnd", true));
    }
    void TearDown() override { fault_reset(); }
    ScratchDir dir;
};

TEST_F(StandinDir, EveryFormatListsDotsFirstThenEntriesFromLstat) {
    struct stat a, sub, self;
    ASSERT_EQ(stat(dir.path("a.txt").c_str(), &a), 0);
    ASSERT_EQ(stat(dir.path("sub").c_str(), &sub), 0);
    ASSERT_EQ(stat(dir.path().c_str(), &self), 0);
    for (ULONG cls : {FileIdExtdDirectoryInformation, FileIdFullDirectoryInformation,
                      FileDirectoryInformation}) {
        HANDLE h = open_folder(dir.path());
        auto all = drain(h, cls, 4096);
        NtClose(h);
        ASSERT_EQ(all.size(), 6u) << cls;
        EXPECT_EQ(all[0].name, u".");
        EXPECT_EQ(all[1].name, u"..");
        auto m = by_name(all);
        bool ids = cls != FileDirectoryInformation;

        EXPECT_EQ(m[u"."].attributes, static_cast<ULONG>(FILE_ATTRIBUTE_DIRECTORY));
        EXPECT_EQ(m[u"."].id_low, ids ? self.st_ino : 0);

        const Record& f = m[u"a.txt"];
        EXPECT_EQ(f.attributes, static_cast<ULONG>(FILE_ATTRIBUTE_ARCHIVE));
        EXPECT_EQ(f.size, 5);
        EXPECT_EQ(f.tag, 0u);
        EXPECT_EQ(f.id_low, ids ? a.st_ino : 0);
        EXPECT_EQ(f.id_high, 0u);

        const Record& d = m[u"sub"];
        EXPECT_EQ(d.attributes, static_cast<ULONG>(FILE_ATTRIBUTE_DIRECTORY));
        EXPECT_EQ(d.size, 0);
        EXPECT_EQ(d.id_low, ids ? sub.st_ino : 0);

        // Links are not followed: reparse points with the symlink tag.
        const Record& l = m[u"ln"];
        EXPECT_EQ(l.attributes,
                  static_cast<ULONG>(FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_ARCHIVE));
        EXPECT_EQ(l.size, 0);
        EXPECT_EQ(l.tag, ids ? static_cast<ULONG>(IO_REPARSE_TAG_SYMLINK) : 0u);
        EXPECT_NE(l.id_low, a.st_ino); // the link's own id
        const Record& ld = m[u"lnd"];
        EXPECT_EQ(ld.attributes,
                  static_cast<ULONG>(FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY));
    }
}

TEST_F(StandinDir, RecordsAgreeWithTheHandleQueries) {
    HANDLE h = open_folder(dir.path());
    auto m = by_name(drain(h, FileIdExtdDirectoryInformation, 4096));
    NtClose(h);
    for (const char* name : {"a.txt", "sub"}) {
        FileEntry e;
        ASSERT_EQ(file_query_entry_by_path(dir.path(name).c_str(), &e), 0);
        std::u16string n(name, name + strlen(name));
        EXPECT_EQ(m[n].attributes, e.attributes) << name;
        EXPECT_EQ(m[n].write_time, e.write_time) << name;
        EXPECT_EQ(m[n].id_low, e.file_id[0]) << name;
        EXPECT_EQ(static_cast<uint64_t>(m[n].size), e.size) << name;
    }
}

TEST_F(StandinDir, BatchesFillTheBufferAndContinue) {
    for (int i = 0; i < 300; ++i) dir.write("file_" + std::to_string(i) + std::string(40, 'z'), "");
    HANDLE h = open_folder(dir.path());
    int batches = 0;
    auto all = drain(h, FileIdFullDirectoryInformation, 2000, &batches);
    NtClose(h);
    EXPECT_EQ(all.size(), 306u);
    EXPECT_EQ(by_name(all).size(), 306u);
    EXPECT_GT(batches, 20);
}

TEST_F(StandinDir, ARecordThatDoesNotFitWaits) {
    HANDLE h = open_folder(dir.path());
    const ULONG fixed = 64;
    ULONG_PTR used;
    // Room for "." alone: one record per call.
    std::vector<unsigned char> one(fixed + 2);
    ASSERT_EQ(query(h, FileDirectoryInformation, one, &used), STATUS_SUCCESS);
    EXPECT_EQ(parse(FileDirectoryInformation, one.data(), used)[0].name, u".");
    // ".." needs 4 bytes of name: it does not fit, and is not lost.
    ASSERT_EQ(query(h, FileDirectoryInformation, one, &used), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(used, one.size());
    std::vector<unsigned char> small(fixed - 1);
    EXPECT_EQ(query(h, FileDirectoryInformation, small, &used), STATUS_INFO_LENGTH_MISMATCH);
    auto rest = drain(h, FileDirectoryInformation, 4096);
    ASSERT_EQ(rest.size(), 5u);
    EXPECT_EQ(rest[0].name, u"..");
    NtClose(h);
}

TEST_F(StandinDir, SingleEntryAndRestart) {
    HANDLE h = open_folder(dir.path());
    std::vector<unsigned char> buf(4096);
    ULONG_PTR used;
    ASSERT_EQ(query(h, FileIdExtdDirectoryInformation, buf, &used, true), STATUS_SUCCESS);
    EXPECT_EQ(parse(FileIdExtdDirectoryInformation, buf.data(), used).size(), 1u);
    EXPECT_EQ(drain(h, FileIdExtdDirectoryInformation, 4096).size(), 5u);
    // A restart reads the folder again, with what has changed since.
    dir.write("late.txt", "");
    ASSERT_EQ(query(h, FileIdExtdDirectoryInformation, buf, &used, false, true), STATUS_SUCCESS);
    EXPECT_EQ(parse(FileIdExtdDirectoryInformation, buf.data(), used).size(), 7u);
    NtClose(h);
}

TEST_F(StandinDir, NamesGoneSinceTheFirstQueryAreSkipped) {
    HANDLE h = open_folder(dir.path());
    std::vector<unsigned char> buf(4096);
    ULONG_PTR used;
    ASSERT_EQ(query(h, FileDirectoryInformation, buf, &used, true), STATUS_SUCCESS);
    ASSERT_EQ(unlink(dir.path("a.txt").c_str()), 0);
    ASSERT_EQ(unlink(dir.path("ln").c_str()), 0);
    auto m = by_name(drain(h, FileDirectoryInformation, 4096));
    NtClose(h);
    EXPECT_EQ(m.size(), 3u);
    EXPECT_EQ(m.count(u"a.txt"), 0u);
    EXPECT_EQ(m.count(u"sub"), 1u);
}

// Listed as Wine 8 lists them: stray bytes as U+FFFD, every other character
// as it is, a backslash too.
// Every name has a Windows form of its own that opens it again exactly:
// characters a Windows name cannot hold become U+F000 + the character,
// stray bytes (and the bytes of a real U+F000..U+F1FF) U+F100 + the byte.
TEST_F(StandinDir, EveryNameHasItsOwnWindowsForm) {
    ScratchDir odd;
    struct Case {
        const char* disk;
        std::u16string listed;
    } cases[] = {
        {"bad\xff.txt", u"bad\uF1FF.txt"},
        {"bad\xfe.txt", u"bad\uF1FE.txt"},
        {"back\\slash", u"back\uF05Cslash"},
        {"t\tq?s*p|l<g>\"", u"t\uF009q\uF03Fs\uF02Ap\uF07Cl\uF03Cg\uF03E\uF022"},
        {"caf\xc3\xa9", u"caf\u00e9"},
        {"\xf0\x9f\x98\x80", u"\U0001F600"},           // outside the BMP: a surrogate pair
        {"own\xef\x80\xba", u"own\uF1EF\uF180\uF1BA"}, // a real U+F03A keeps its bytes
        {"colon:", u"colon:"},
    };
    for (const Case& c : cases) odd.write(c.disk, c.disk);
    HANDLE h = open_folder(odd.path());
    auto m = by_name(drain(h, FileIdFullDirectoryInformation, 4096));
    NtClose(h);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.disk);
        ASSERT_EQ(m.count(c.listed), 1u);
        EXPECT_EQ(m[c.listed].size, static_cast<int64_t>(strlen(c.disk)));
        // The listed form opens that file and no other.
        std::string utf8 = odd.path() + "\\";
        uint64_t n = utf16_to_utf8(nullptr, 0, c.listed.data(), c.listed.size());
        std::string name(n, '\0');
        utf16_to_utf8(name.data(), n + 1, c.listed.data(), c.listed.size());
        FileHandle f;
        ASSERT_EQ(file_open(&f, (utf8 + name).c_str(), FOPEN_READ), 0);
        char buf[64] = {};
        DWORD got = 0;
        EXPECT_TRUE(ReadFile(reinterpret_cast<HANDLE>(f), buf, sizeof buf - 1, &got, nullptr));
        EXPECT_STREQ(buf, c.disk);
        file_close(f);
    }
    // U+FFFD stands for no stray byte; a raw backslash is a separator.
    FileHandle f;
    EXPECT_NE(file_open(&f, odd.path("bad\xef\xbf\xbd.txt").c_str(), FOPEN_READ), 0);
    EXPECT_NE(file_open(&f, (odd.path() + "\\back\\slash").c_str(), FOPEN_READ), 0);
}

TEST_F(StandinDir, RefusalsAndFaults) {
    HANDLE h = open_folder(dir.path());
    std::vector<unsigned char> buf(4096);
    ULONG_PTR used;
    EXPECT_EQ(query(h, 2 /* FileFullDirectoryInformation */, buf, &used),
              STATUS_INVALID_INFO_CLASS);
    EXPECT_EQ(query(nullptr, FileDirectoryInformation, buf, &used), STATUS_INVALID_HANDLE);

    // A refused format stays refused; the others answer.
    FaultRule r;
    r.status = STATUS_INVALID_INFO_CLASS;
    r.info_class = FileIdExtdDirectoryInformation;
    r.count = 0;
    fault_set(FAULT_QUERY_DIR, r);
    uint32_t before = g_call_log.dir_queries;
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(query(h, FileIdExtdDirectoryInformation, buf, &used), STATUS_INVALID_INFO_CLASS);
    EXPECT_EQ(query(h, FileIdFullDirectoryInformation, buf, &used, true), STATUS_SUCCESS);
    EXPECT_EQ(g_call_log.dir_queries - before, 4u);
    NtClose(h);

    // A file handle and a folder opened without the right to list are refused.
    FileHandle file;
    ASSERT_EQ(file_open(&file, dir.path("a.txt").c_str(), FOPEN_READ), 0);
    EXPECT_EQ(query(to_native(file), FileDirectoryInformation, buf, &used),
              STATUS_INVALID_PARAMETER);
    file_close(file);
    HANDLE attrs_only = open_folder(dir.path(), SYNCHRONIZE | FILE_READ_ATTRIBUTES);
    EXPECT_EQ(query(attrs_only, FileDirectoryInformation, buf, &used), STATUS_ACCESS_DENIED);
    NtClose(attrs_only);
}

} // namespace

#endif
