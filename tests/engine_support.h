// Helpers for the tests of the conversion engine and its reader: program
// paths for scratch files, and capture of what print_out writes.
#pragma once

#include "tests/scratch.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace engine_test {

namespace fs = std::filesystem;

// The path as the program takes it: Windows form. On Linux the stand-in
// shows the POSIX root as drive Z:.
inline std::string program_path(const fs::path& p) {
#ifdef _WIN32
    std::u8string u = p.u8string();
    return std::string(u.begin(), u.end());
#else
    std::string s = "Z:" + p.string();
    for (char& c : s)
        if (c == '/') c = '\\';
    return s;
#endif
}

// The path as the program prints it: the Windows program in Windows form,
// the Linux program as Linux writes it. A path typed in this form is printed
// as typed.
inline std::string shown_form(const fs::path& p) {
#ifdef _WIN32
    return program_path(p);
#else
    return p.string();
#endif
}

// What the program puts between a folder and its names.
#ifdef _WIN32
constexpr const char* kSep = "\\";
#else
constexpr const char* kSep = "/";
#endif

inline void write_bytes(const fs::path& p, const std::string& bytes) {
    std::ofstream f(p, std::ios::binary | std::ios::trunc);
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

inline std::string read_bytes(const fs::path& p) {
    std::ifstream f(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

// Sends the process's standard output (or with `error`, its standard error)
// to a scratch file between start() and finish(), which returns what was
// written there.
class StdoutCapture {
  public:
    explicit StdoutCapture(const fs::path& file, bool error = false) : file_(file), error_(error) {}
    void start() {
        fflush(error_ ? stderr : stdout);
#ifdef _WIN32
        DWORD which = error_ ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE;
        saved_ = GetStdHandle(which);
        target_ = CreateFileW(file_.wstring().c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                              CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        SetStdHandle(which, target_);
#else
        int fd = open(file_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        saved_ = dup(error_ ? 2 : 1);
        dup2(fd, error_ ? 2 : 1);
        close(fd);
#endif
    }
    std::string finish() {
        fflush(error_ ? stderr : stdout);
#ifdef _WIN32
        SetStdHandle(error_ ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE, saved_);
        CloseHandle(target_);
#else
        dup2(saved_, error_ ? 2 : 1);
        close(saved_);
#endif
        return read_bytes(file_);
    }

  private:
    fs::path file_;
    bool error_;
#ifdef _WIN32
    HANDLE saved_ = nullptr;
    HANDLE target_ = nullptr;
#else
    int saved_ = -1;
#endif
};

// Sets a variable of the process's environment as the program reads it;
// null unsets it.
inline void put_env(const char* name, const char* value) {
#ifdef _WIN32
    std::wstring n(name, name + strlen(name));
    std::wstring v = value ? fs::path(value).wstring() : L"";
    SetEnvironmentVariableW(n.c_str(), value ? v.c_str() : nullptr);
#else
    if (value)
        setenv(name, value, 1);
    else
        unsetenv(name);
#endif
}

} // namespace engine_test
