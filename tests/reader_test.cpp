#include "app/reader.h"
#include "base/test_control.h"
#include "base/alloc.h"
#include "base/fileopen.h"
#include "engine_support.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#endif

namespace {

using namespace engine_test;

struct Reader : ::testing::Test {
    ScratchDir scratch{"reader"};
    fs::path file = scratch.dir / "data.bin";
    FileHandle h = INVALID_FILE_HANDLE;
    LookAheadReader r{};

    void open_with(const std::string& bytes, uint64_t capacity = READER_SLICE) {
        write_bytes(file, bytes);
        ASSERT_EQ(file_open(&h, program_path(file).c_str(), FOPEN_QUERY | FOPEN_READ), 0);
#ifndef _WIN32
        fault_reset();
#endif
        reader_create(&r, h, capacity);
    }
    void TearDown() override {
        reader_release(&r);
        file_close(h);
        mem_fail_at(0);
#ifndef _WIN32
        fault_reset();
#endif
    }
    std::string drain() {
        std::string s;
        for (int c; (c = reader_next(&r)) != READER_END;) s.push_back(static_cast<char>(c));
        return s;
    }
};

std::string pattern(size_t n) {
    std::string s;
    for (size_t i = 0; i < n; ++i) s.push_back(static_cast<char>(i * 7 + i / 251));
    return s;
}

TEST_F(Reader, EmptyFileEndsAtOnce) {
    open_with("");
    EXPECT_EQ(reader_peek(&r, 0), 0);
    EXPECT_EQ(reader_peek(&r, 1), 0);
    EXPECT_EQ(reader_next(&r), READER_END);
    EXPECT_EQ(r.end, 1);
    EXPECT_EQ(r.error, 0);
}

TEST_F(Reader, DeliversEveryByteOfAnExactSlice) {
    std::string data = pattern(10000);
    open_with(data);
    EXPECT_EQ(drain(), data);
    EXPECT_EQ(r.total_read, 10000u);
    EXPECT_EQ(r.error, 0);
#ifndef _WIN32
    // The whole slice, then one more read that finds the end.
    EXPECT_EQ(g_call_log.reads, 2u);
    EXPECT_EQ(g_call_log.last_read_size, 10000u);
#endif
    EXPECT_EQ(reader_next(&r), READER_END);
}

TEST_F(Reader, ZeroByteLastIsDelivered) {
    std::string data("ab\0", 3);
    open_with(data);
    EXPECT_EQ(reader_next(&r), 'a');
    EXPECT_EQ(reader_peek(&r, 1), 0);
    EXPECT_EQ(reader_next(&r), 'b');
    EXPECT_EQ(reader_next(&r), 0);
    EXPECT_EQ(reader_next(&r), READER_END);
}

// One unread byte at the end of a full buffer: the peek moves it to the front
// and reads the next slice behind it.
TEST_F(Reader, PeekAcrossTheSliceEndRefillsBehindTheUnreadByte) {
    std::string data = pattern(25000);
    open_with(data);
    for (int i = 0; i < 9999; ++i) ASSERT_EQ(reader_next(&r), static_cast<unsigned char>(data[i]));
    EXPECT_EQ(reader_peek(&r, 0), static_cast<unsigned char>(data[9999]));
    EXPECT_EQ(reader_peek(&r, 1), static_cast<unsigned char>(data[10000]));
    EXPECT_EQ(r.position, 0u);
    EXPECT_EQ(r.filled, 10000u);
#ifndef _WIN32
    EXPECT_EQ(g_call_log.last_read_size, 9999u);
#endif
    reader_skip(&r, 2);
    EXPECT_EQ(drain(), data.substr(10001));
    EXPECT_EQ(r.total_read, 25000u);
}

TEST_F(Reader, PeekPastTheEndGivesZeroAndKeepsTheByte) {
    open_with("xy");
    EXPECT_EQ(reader_next(&r), 'x');
    EXPECT_EQ(reader_peek(&r, 0), 'y');
    EXPECT_EQ(reader_peek(&r, 1), 0);
    EXPECT_EQ(reader_next(&r), 'y');
    EXPECT_EQ(reader_peek(&r, 0), 0);
    EXPECT_EQ(reader_next(&r), READER_END);
}

TEST_F(Reader, RefillOnAFullBufferReadsNothing) {
    open_with(pattern(30), 16);
    EXPECT_EQ(reader_peek(&r, 0), static_cast<unsigned char>(pattern(1)[0]));
    EXPECT_EQ(r.filled, 16u);
    EXPECT_FALSE(reader_refill(&r));
    EXPECT_EQ(r.filled, 16u);
    EXPECT_EQ(r.total_read, 16u);
    EXPECT_EQ(drain(), pattern(30));
}

TEST_F(Reader, NoBufferMeansNoBytes) {
    write_bytes(file, "abc");
    ASSERT_EQ(file_open(&h, program_path(file).c_str(), FOPEN_QUERY | FOPEN_READ), 0);
    mem_fail_at(1);
    reader_create(&r, h, READER_SLICE);
    mem_fail_at(0);
    EXPECT_EQ(reader_peek(&r, 0), 0);
    EXPECT_EQ(reader_next(&r), READER_END);
    EXPECT_EQ(r.error, 14);
}

#ifndef _WIN32
// A failed read ends the data like the end of the file does, but the reader
// keeps the error so that the caller can tell them apart.
TEST_F(Reader, ReadErrorIsKeptApartFromTheEnd) {
    std::string data = pattern(25000);
    open_with(data);
    FaultRule rule;
    rule.skip = 1;
    rule.error = ERROR_CRC;
    fault_set(FAULT_READ, rule);
    EXPECT_EQ(drain(), data.substr(0, 10000));
    EXPECT_EQ(r.end, 1);
    EXPECT_EQ(r.error, ERROR_CRC);
    EXPECT_EQ(g_call_log.reads, 2u);
    // No read is tried again.
    EXPECT_EQ(reader_next(&r), READER_END);
    EXPECT_EQ(g_call_log.reads, 2u);
}
#endif

} // namespace
