// The unit tests' entry. `--file=NAME` runs only the tests written in the
// source file NAME (e.g. alloc_test.cpp), so that each file is a test entry
// of its own in CTest while all of them share one program (a process start
// costs a second under Wine). An explicit --gtest_filter wins: a death test's
// child process is started with one.
#include "scratch.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>

#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace {

const char* base_name(const char* path) {
    const char* name = path;
    for (const char* p = path; *p; ++p)
        if (*p == '/' || *p == '\\') name = p + 1;
    return name;
}

} // namespace

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    // Journals of this process's rewrites in folders of its own: the test
    // files run at once, each its own process, and one's recovery must not
    // meet another's journals, in the state folder or in the temporary one.
    std::error_code ec;
    const std::filesystem::path own =
        std::filesystem::temp_directory_path(ec) / ("eolset-tests-" + std::to_string(process_id()));
    std::filesystem::create_directory(own, ec);
#ifdef _WIN32
    SetEnvironmentVariableW(L"LOCALAPPDATA", own.c_str());
    SetEnvironmentVariableW(L"TMP", own.c_str());
#else
    chmod(own.c_str(), 0700);
    setenv("TMPDIR", own.c_str(), 1);
#endif
    const char* file = nullptr;
    for (int i = 1; i < argc; ++i)
        if (strncmp(argv[i], "--file=", 7) == 0) file = argv[i] + 7;
    if (file && GTEST_FLAG_GET(filter) == "*") {
        std::string filter;
        const testing::UnitTest* all = testing::UnitTest::GetInstance();
        for (int s = 0; s < all->total_test_suite_count(); ++s) {
            const testing::TestSuite* suite = all->GetTestSuite(s);
            for (int t = 0; t < suite->total_test_count(); ++t) {
                const testing::TestInfo* test = suite->GetTestInfo(t);
                if (strcmp(base_name(test->file()), file) != 0) continue;
                if (!filter.empty()) filter += ':';
                filter += std::string(test->test_suite_name()) + "." + test->name();
            }
        }
        if (filter.empty()) {
            fprintf(stderr, "no tests in %s\n", file);
            return 1;
        }
        GTEST_FLAG_SET(filter, filter);
    }
    int status = RUN_ALL_TESTS();
    std::filesystem::remove_all(own, ec);
    return status;
}
