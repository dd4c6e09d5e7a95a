// The tests' scratch folder, the same on both builds: a fresh folder under
// the system's temporary folder for each test, removed with everything in it
// afterwards (read-only entries included).
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

#ifdef _WIN32
#include "platform/nt.h"
#else
#include <unistd.h>
#endif

inline long process_id() {
#ifdef _WIN32
    return static_cast<long>(GetCurrentProcessId());
#else
    return static_cast<long>(getpid());
#endif
}

class ScratchDir {
  public:
    std::filesystem::path dir;

    explicit ScratchDir(const char* tag = "fileio") {
        namespace fs = std::filesystem;
        static std::atomic<int> counter{0};
        long pid = process_id();
        fs::path base = fs::temp_directory_path();
        for (;;) {
            fs::path p = base / ("eolset_" + std::string(tag) + "_" + std::to_string(pid) + "_" +
                                 std::to_string(counter++));
            std::error_code ec;
            if (fs::create_directory(p, ec)) {
                dir = p;
                break;
            }
        }
    }
    ~ScratchDir() {
        namespace fs = std::filesystem;
        std::error_code ec;
        fs::permissions(dir, fs::perms::owner_all, fs::perm_options::add, ec);
        for (auto& e : fs::recursive_directory_iterator(dir, ec))
            fs::permissions(e.path(), fs::perms::owner_all, fs::perm_options::add, ec);
        fs::remove_all(dir, ec);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    // The path of `rel` (forward slashes allowed) in the platform's own form.
    std::filesystem::path at(const std::string& rel = "") const {
        return rel.empty() ? dir : dir / std::filesystem::path(rel).make_preferred();
    }
    // The same as a UTF-8 string, as the program's file calls take it.
    std::string path(const std::string& rel = "") const { return at(rel).string(); }

    void write(const std::string& rel, const std::string& text) const {
        std::ofstream f(at(rel), std::ios::binary | std::ios::trunc);
        f << text;
    }
    std::string read(const std::string& rel) const {
        std::ifstream f(at(rel), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(f), {});
    }
    void mkdir(const std::string& rel) const { std::filesystem::create_directories(at(rel)); }
    void set_read_only(const std::string& rel) const {
        std::filesystem::permissions(at(rel),
                                     std::filesystem::perms::owner_write |
                                         std::filesystem::perms::group_write |
                                         std::filesystem::perms::others_write,
                                     std::filesystem::perm_options::remove);
    }
    // False when the platform refuses to make links (Windows without the right).
    bool symlink(const std::string& target, const std::string& link, bool to_folder) const {
        std::error_code ec;
        std::filesystem::path t = std::filesystem::path(target).make_preferred();
        if (to_folder)
            std::filesystem::create_directory_symlink(t, at(link), ec);
        else
            std::filesystem::create_symlink(t, at(link), ec);
        return !ec;
    }
};
