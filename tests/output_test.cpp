#include "base/output.h"
#include "base/test_control.h"
#include "app/report.h"

#include "base/alloc.h"
#include "base/fileopen.h"
#include "platform/nt.h"
#ifndef _WIN32
#endif

#include "scratch.h"

#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#ifndef _WIN32
#include <csignal>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>
#endif

namespace {

void print_to(FileHandle h, const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    vprint_handle(h, format, ap);
    va_end(ap);
}

FileHandle create_file(const std::string& path) {
    FileHandle h = INVALID_FILE_HANDLE;
    EXPECT_EQ(file_open(&h, path.c_str(), FOPEN_WRITE | FOPEN_CREATE | FOPEN_TRUNCATE), 0) << path;
    return h;
}

TEST(Output, MessagesArriveWholeWithoutAddedLineEnds) {
    ScratchDir dir;
    FileHandle h = create_file(dir.path("out.txt"));
    std::string long_text(300, 'x');
    print_to(h, "short %d|", 1);
    print_to(h, "");
    print_to(h, "long %s end\n", long_text.c_str());
    print_to(h, "%S\r\n", u"\u00E9");
    file_close(h);
    EXPECT_EQ(dir.read("out.txt"), "short 1|long " + long_text + " end\n\xC3\xA9\r\n");
}

TEST(Output, OutOfMemorySkipsTheMessage) {
    ScratchDir dir;
    FileHandle h = create_file(dir.path("out.txt"));
#ifndef _WIN32
    fault_reset();
#endif
    mem_fail_at(1, true);
    print_to(h, "lost %d\n", 1);
    print_to(h, "%200s\n", "lost too");
    mem_fail_at(0);
#ifndef _WIN32
    EXPECT_EQ(g_call_log.writes, 0u);
#endif
    print_to(h, "kept\n");
    file_close(h);
    EXPECT_EQ(dir.read("out.txt"), "kept\n");
}

// Points standard output at a file for the life of the object.
class StdoutToFile {
  public:
    explicit StdoutToFile(const std::string& path) {
        fflush(stdout);
#ifdef _WIN32
        saved_ = GetStdHandle(STD_OUTPUT_HANDLE);
        file_ = create_file(path);
        SetStdHandle(STD_OUTPUT_HANDLE, to_native(file_));
#else
        saved_ = dup(1);
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        dup2(fd, 1);
        close(fd);
#endif
    }
    ~StdoutToFile() {
#ifdef _WIN32
        SetStdHandle(STD_OUTPUT_HANDLE, saved_);
        file_close(file_);
#else
        dup2(saved_, 1);
        close(saved_);
#endif
    }

  private:
#ifdef _WIN32
    HANDLE saved_;
    FileHandle file_;
#else
    int saved_;
#endif
};

TEST(Output, PrintOutWritesToStandardOutput) {
    ScratchDir dir;
    std::string long_text(150, 'y');
    {
        StdoutToFile redirect(dir.path("stdout.txt"));
        EXPECT_EQ(std_output_handle(), from_native(GetStdHandle(STD_OUTPUT_HANDLE)));
        print_out("%s\n", "Z:\\dir\\file.txt");
        print_out("%s", long_text.c_str());
    }
    EXPECT_EQ(dir.read("stdout.txt"), "Z:\\dir\\file.txt\n" + long_text);
}

// --- the fatal report ---------------------------------------------------------

// The child of a death test learns where to write from the environment, which
// it inherits whether it is forked or started anew (as on Windows, where it
// runs the test's set-up again and must not pick a path of its own).
constexpr const char* kFatalOutVar = "EOLSET_FATAL_REPORT_OUT";

void set_env(const char* name, const std::string& value) {
#ifdef _WIN32
    _putenv_s(name, value.c_str()); // an empty value removes it
#else
    if (value.empty())
        unsetenv(name);
    else
        setenv(name, value.c_str(), 1);
#endif
}

// Standard output to the death test's file.
void output_into_file() {
    const char* path = getenv(kFatalOutVar);
#ifdef _WIN32
    FileHandle h = create_file(path ? path : "");
    SetStdHandle(STD_OUTPUT_HANDLE, to_native(h));
#else
    // SIGTRAP would leave a core file behind.
    struct rlimit no_core = {0, 0};
    setrlimit(RLIMIT_CORE, &no_core);
    int fd = open(path ? path : "", O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    dup2(fd, 1);
#endif
}

[[noreturn]] void fatal_into_file(const char* source, int32_t line, const char* message) {
    output_into_file();
    fatal_report(source, line, message);
}

#ifndef _WIN32
// A debugger that lets the process go on past the trap.
[[noreturn]] void fatal_after_ignored_trap(const char* source, int32_t line, const char* message) {
    signal(SIGTRAP, SIG_IGN);
    fatal_into_file(source, line, message);
}
#else
LONG WINAPI skip_breakpoint(EXCEPTION_POINTERS* info) {
    if (info->ExceptionRecord->ExceptionCode != EXCEPTION_BREAKPOINT)
        return EXCEPTION_CONTINUE_SEARCH;
    // Windows reports the address of the int3 itself; step over it.
    if (info->ContextRecord->Rip ==
        reinterpret_cast<DWORD64>(info->ExceptionRecord->ExceptionAddress))
        info->ContextRecord->Rip += 1;
    return EXCEPTION_CONTINUE_EXECUTION;
}
[[noreturn]] void fatal_after_ignored_trap(const char* source, int32_t line, const char* message) {
    AddVectoredExceptionHandler(1, skip_breakpoint);
    fatal_into_file(source, line, message);
}
#endif

// How the process dies of the trap: SIGTRAP on Linux, the breakpoint
// exception as exit code on Windows.
bool died_of_breakpoint(int status) {
#ifdef _WIN32
    return static_cast<DWORD>(status) == static_cast<DWORD>(EXCEPTION_BREAKPOINT);
#else
    return WIFSIGNALED(status) && WTERMSIG(status) == SIGTRAP;
#endif
}

class FatalReportDeathTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const char* inherited = getenv(kFatalOutVar);
        if (inherited && *inherited) {
            path_ = inherited; // the death test's child
            return;
        }
        path_ = (std::filesystem::temp_directory_path() /
                 ("eolset_fatal_" + std::to_string(process_id()) + ".txt"))
                    .string();
        set_env(kFatalOutVar, path_);
    }
    void TearDown() override {
        std::error_code ec;
        std::filesystem::remove(path_, ec);
        set_env(kFatalOutVar, "");
    }
    std::string printed() const {
        std::ifstream f(path_, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(f), {});
    }
    std::string path_;
};

TEST_F(FatalReportDeathTest, PrintsTheLastPathPartAndDiesOfTheTrap) {
    EXPECT_EXIT(fatal_into_file("src/base/jindex.cpp", 42, "ji_pos_t link stack overflow detected"),
                died_of_breakpoint, "");
    EXPECT_EQ(printed(), "FATAL: /jindex.cpp:42 ji_pos_t link stack overflow detected");
}

TEST_F(FatalReportDeathTest, WholePathWithoutSlashAndLongMessagesCut) {
    EXPECT_EXIT(fatal_into_file("base\\voalarm", -7, nullptr), died_of_breakpoint, "");
    EXPECT_EQ(printed(), "FATAL: base\\voalarm:-7 ");

    std::string message(300, 'm');
    EXPECT_EXIT(fatal_into_file("a/b", 1, message.c_str()), died_of_breakpoint, "");
    std::string want = "FATAL: /b:1 " + message;
    EXPECT_EQ(printed(), want.substr(0, 199));
}

TEST_F(FatalReportDeathTest, TerminatesWith255WhenTheTrapIsPassed) {
    EXPECT_EXIT(fatal_after_ignored_trap("x.cpp", 3, "go on\n"), ::testing::ExitedWithCode(255),
                "");
    EXPECT_EQ(printed(), "FATAL: x.cpp:3 go on\n");
}

// Conversions print nothing: a line printed while one is in progress on the
// thread stops the program, so no test passes while conversion code prints.
TEST_F(FatalReportDeathTest, APrintDuringAConversionStopsTheProgram) {
    auto print_while_converting = [] {
        output_into_file();
        test_enter_conversion(true);
        const char* pieces[] = {"a line\n"};
        print_pieces(false, pieces, 1);
    };
    EXPECT_EXIT(print_while_converting(), died_of_breakpoint, "");
    EXPECT_NE(printed().find("a conversion printed"), std::string::npos);
}

} // namespace
