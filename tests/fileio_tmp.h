// A scratch folder for the file tests, the same on both builds: created
// fresh for each test, removed with everything in it afterwards.
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

class ScratchDir {
  public:
    ScratchDir() {
        namespace fs = std::filesystem;
        static std::atomic<int> counter{0};
#ifdef _WIN32
        long pid = static_cast<long>(GetCurrentProcessId());
#else
        long pid = static_cast<long>(getpid());
#endif
        root_ = fs::temp_directory_path() /
                ("eolset_fileio_" + std::to_string(pid) + "_" + std::to_string(counter++));
        fs::remove_all(root_);
        fs::create_directories(root_);
    }
    ~ScratchDir() {
        std::error_code ec;
        std::filesystem::permissions(root_, std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ec);
        for (auto& e : std::filesystem::recursive_directory_iterator(root_, ec))
            std::filesystem::permissions(e.path(), std::filesystem::perms::owner_write,
                                         std::filesystem::perm_options::add, ec);
        std::filesystem::remove_all(root_, ec);
    }
    // The path of `rel` (forward slashes allowed) in the platform's own form.
    std::filesystem::path at(const std::string& rel = "") const {
        return rel.empty() ? root_ : root_ / std::filesystem::path(rel).make_preferred();
    }
    // The same as a UTF-8 string, as the program's file calls take it.
    std::string path(const std::string& rel = "") const {
        return at(rel).string();
    }

    void write(const std::string& rel, const std::string& text) const {
        std::ofstream f(at(rel), std::ios::binary | std::ios::trunc);
        f << text;
    }
    std::string read(const std::string& rel) const {
        std::ifstream f(at(rel), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(f), {});
    }
    void mkdir(const std::string& rel) const {
        std::filesystem::create_directories(at(rel));
    }
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

  private:
    std::filesystem::path root_;
};
