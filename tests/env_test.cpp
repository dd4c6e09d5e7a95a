// The Win32 calls behind the path module, checked for the conventions the
// path code relies on. The same expectations run against the stand-in on
// Linux and against the system (Wine) in the Windows build.
#include "base/utf.h"
#include "platform/nt.h"
#include "wine.h"

#include <gtest/gtest.h>

#include <string>

namespace {

const WCHAR* w(const char16_t* s) {
    return reinterpret_cast<const WCHAR*>(s);
}
WCHAR* w(char16_t* s) {
    return reinterpret_cast<WCHAR*>(s);
}

std::u16string current() {
    char16_t buf[2048];
    DWORD n = GetCurrentDirectoryW(2048, w(buf));
    EXPECT_GT(n, 0u);
    EXPECT_LT(n, 2048u);
    return std::u16string(buf, n);
}

std::u16string full_path(const char16_t* name) {
    char16_t buf[2048];
    DWORD n = GetFullPathNameW(w(name), 2048, w(buf), nullptr);
    return n && n < 2048 ? std::u16string(buf, n) : u"<fail>";
}

TEST(Win32Env, CurrentDirectoryBufferSizes) {
    std::u16string cwd = current();
    ASSERT_GE(cwd.size(), 3u);
    EXPECT_EQ(cwd[1], u':');
    EXPECT_EQ(cwd[2], u'\\');
    const DWORD len = static_cast<DWORD>(cwd.size());
    char16_t buf[2048];
    // Too small, the NUL included: the size needed, the buffer untouched.
    EXPECT_EQ(GetCurrentDirectoryW(0, nullptr), len + 1);
    buf[0] = u'#';
    EXPECT_EQ(GetCurrentDirectoryW(len, w(buf)), len + 1);
    EXPECT_EQ(buf[0], u'#');
    // Just big enough: the length without the NUL.
    buf[len] = u'#';
    EXPECT_EQ(GetCurrentDirectoryW(len + 1, w(buf)), len);
    EXPECT_EQ(buf[len], 0);
    EXPECT_EQ(std::u16string(buf), cwd);
}

TEST(Win32Env, FullPathNames) {
    const std::u16string cwd = current();
    const std::u16string drive = cwd.substr(0, 2);
    const std::u16string parent = cwd.substr(0, cwd.rfind(u'\\'));
    const char16_t other = (cwd[0] & ~0x20) == u'Q' ? u'R' : u'Q';
    const char16_t other_lower = static_cast<char16_t>(other | 0x20);

    EXPECT_EQ(full_path(u"x"), cwd + u"\\x");
    EXPECT_EQ(full_path(u"x/./y/../z/"), cwd + u"\\x\\z\\");
    EXPECT_EQ(full_path(u"."), cwd);
    EXPECT_EQ(full_path(u".."), parent.size() == 2 ? parent + u"\\" : parent);
    EXPECT_EQ(full_path(u"\\x"), drive + u"\\x");
    // Drive-relative: the current directory on its own drive ...
    // (Wine adds a trailing backslash for a bare "X:"; Windows does not.)
    EXPECT_EQ(full_path(drive.c_str()), running_under_wine() ? cwd + u"\\" : cwd);
    EXPECT_EQ(full_path((drive + u".").c_str()), cwd);
    std::u16string lower = drive;
    lower[0] = static_cast<char16_t>(lower[0] | 0x20);
    EXPECT_EQ(full_path((lower + u"x").c_str()), cwd + u"\\x");
    // ... and the root of another drive, whose letter comes out in upper case.
    EXPECT_EQ(full_path((std::u16string(1, other) + u":.").c_str()),
              std::u16string(1, other) + u":\\");
    // (Wine keeps the letter as it was given.)
    EXPECT_EQ(full_path((std::u16string(1, other_lower) + u":x").c_str()),
              std::u16string(1, running_under_wine() ? other_lower : other) + u":\\x");
    EXPECT_EQ(full_path(u"C:\\a\\..\\..\\b"), u"C:\\b");
    EXPECT_EQ(full_path(u"C:/a//b/"), u"C:\\a\\b\\");
    EXPECT_EQ(full_path(u"\\\\server\\share\\a\\..\\b"), u"\\\\server\\share\\b");
}

TEST(Win32Env, FullPathBufferSizesAndFilePart) {
    const std::u16string want = u"C:\\dir\\file.txt";
    const DWORD len = static_cast<DWORD>(want.size());
    char16_t buf[64];
    WCHAR* part = nullptr;
    EXPECT_EQ(GetFullPathNameW(w(u"C:\\dir\\.\\file.txt"), len, w(buf), &part), len + 1);
    EXPECT_EQ(GetFullPathNameW(w(u"C:\\dir\\.\\file.txt"), len + 1, w(buf), &part), len);
    EXPECT_EQ(std::u16string(buf), want);
    EXPECT_EQ(reinterpret_cast<char16_t*>(part), buf + 7);
    EXPECT_EQ(GetFullPathNameW(w(u"C:\\dir\\"), 64, w(buf), &part), 7u);
    EXPECT_EQ(part, nullptr);
}

TEST(Win32Env, UserNameBufferSizes) {
    char16_t buf[300];
    DWORD size = 300;
    ASSERT_TRUE(GetUserNameW(w(buf), &size));
    const DWORD need = static_cast<DWORD>(std::u16string(buf).size() + 1);
    EXPECT_GT(need, 1u);
    EXPECT_EQ(size, need); // the size handed back counts the NUL
    size = need - 1;
    SetLastError(0);
    EXPECT_FALSE(GetUserNameW(w(buf), &size));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(size, need);
    EXPECT_TRUE(GetUserNameW(w(buf), &size));
}

} // namespace
