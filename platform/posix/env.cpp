// The process environment as Windows reports it: the current directory, full
// path names and the user name. Drive Z: is the POSIX root, as under Wine, so
// /work/x is Z:\work\x; no other drive has a recorded current directory.
#include "platform/posix/fault.h"
#include "platform/posix/text.h"
#include "platform/posix/standin.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <pwd.h>
#include <string>
#include <unistd.h>
#include <vector>

using namespace standin;

namespace {

constexpr char16_t kHomeDrive = u'Z';

bool is_sep(char16_t c) {
    return c == u'\\' || c == u'/';
}

bool is_letter(char16_t c) {
    return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z');
}

char16_t upper(char16_t c) {
    return c >= u'a' && c <= u'z' ? char16_t(c - 32) : c;
}

// POSIX text in its Windows form, every byte kept.
std::u16string from_utf8(const char* s, PosixText kind) {
    std::u16string out(posix_text_to_utf16(s, nullptr, kind), u'\0');
    posix_text_to_utf16(s, out.data(), kind);
    return out;
}

// The working directory in Windows form; false (last error set) when it is gone.
bool windows_cwd(std::u16string* out) {
    char* cwd = getcwd(nullptr, 0);
    if (!cwd) {
        set_last_error(errno == ENOENT ? ERROR_FILE_NOT_FOUND : ERROR_ACCESS_DENIED);
        return false;
    }
    std::u16string p = from_utf8(cwd, PosixText::Path);
    free(cwd);
    *out = u"Z:";
    for (char16_t c : p) *out += c == u'/' ? u'\\' : c;
    if (out->size() == 2) *out += u'\\';
    return true;
}

// Resolves "." and ".." of an absolute path: X:\... or \\server\share\....
// Elements never go above the root; one trailing separator is kept.
std::u16string normalize_absolute(const std::u16string& p) {
    std::u16string out;
    size_t i;
    bool unc = p.size() >= 2 && is_sep(p[0]) && is_sep(p[1]);
    if (unc) {
        out = u"\\\\";
        i = 2;
        for (int part = 0; part < 2; ++part) {
            while (i < p.size() && !is_sep(p[i])) out += p[i++];
            if (i < p.size()) ++i;
            out += u'\\';
        }
    } else {
        out = p.substr(0, 2) + u"\\";
        i = 2;
    }
    std::vector<std::u16string> parts;
    bool trailing = false;
    while (i < p.size()) {
        if (is_sep(p[i])) {
            ++i;
            continue;
        }
        size_t start = i;
        while (i < p.size() && !is_sep(p[i])) ++i;
        std::u16string part = p.substr(start, i - start);
        trailing = i < p.size();
        if (part == u".") continue;
        if (part == u"..") {
            if (!parts.empty()) parts.pop_back();
            continue;
        }
        parts.push_back(part);
    }
    for (size_t k = 0; k < parts.size(); ++k) {
        if (k) out += u'\\';
        out += parts[k];
    }
    if (!parts.empty() && trailing) out += u'\\';
    // A share root without anything after it has no trailing separator.
    if (unc && parts.empty() && !(p.size() > 2 && is_sep(p.back()))) out.pop_back();
    return out;
}

// The full path of name, as GetFullPathNameW builds it; false when the name
// cannot be resolved (last error set).
bool full_path(const std::u16string& name, std::u16string* out) {
    if (name.empty()) {
        set_last_error(ERROR_INVALID_NAME);
        return false;
    }
    // \\?\ names are taken as they are.
    if (name.size() >= 4 && is_sep(name[0]) && is_sep(name[1]) && name[2] == u'?' &&
        is_sep(name[3])) {
        *out = name;
        return true;
    }
    if (name.size() >= 2 && is_sep(name[0]) && is_sep(name[1])) {
        *out = normalize_absolute(name);
        return true;
    }
    if (name.size() >= 3 && is_letter(name[0]) && name[1] == u':' && is_sep(name[2])) {
        *out = normalize_absolute(name);
        return true;
    }
    std::u16string cwd;
    if (!windows_cwd(&cwd)) {
        // The working directory is gone: a path from the root still has the
        // one drive there is.
        if (!is_sep(name[0])) return false;
        *out = normalize_absolute(std::u16string(1, kHomeDrive) + u":" + name);
        return true;
    }
    if (name.size() >= 2 && is_letter(name[0]) && name[1] == u':') {
        // Drive-relative: the current directory on the current drive, else
        // the drive's root, since no other drive has a directory recorded.
        std::u16string base =
            upper(name[0]) == upper(cwd[0]) ? cwd : std::u16string(1, upper(name[0])) + u":\\";
        std::u16string rest = name.substr(2);
        *out = normalize_absolute(rest.empty() ? base : base + u"\\" + rest);
        return true;
    }
    if (is_sep(name[0])) {
        *out = normalize_absolute(cwd.substr(0, 2) + name);
        return true;
    }
    *out = normalize_absolute(cwd + u"\\" + name);
    return true;
}

// Win32 convention for strings handed back: the length without the NUL when
// it fits, else the size needed including the NUL, with the buffer untouched.
DWORD give_back(const std::u16string& s, DWORD length, LPWSTR buffer) {
    if (!buffer || s.size() + 1 > length) return static_cast<DWORD>(s.size() + 1);
    memcpy(buffer, s.data(), s.size() * sizeof(WCHAR));
    buffer[s.size()] = 0;
    return static_cast<DWORD>(s.size());
}

bool fault_error(FaultOp op) {
    FaultRule rule;
    if (!fault_take(op, 0, &rule)) return false;
    set_last_error(rule.error ? rule.error : ERROR_ACCESS_DENIED);
    return true;
}

// The login name of the effective user: the password database, then the
// login record, then $USER.
bool user_name(std::u16string* out) {
    struct passwd pw;
    struct passwd* found = nullptr;
    std::vector<char> buf(4096);
    if (getpwuid_r(geteuid(), &pw, buf.data(), buf.size(), &found) == 0 && found &&
        found->pw_name && *found->pw_name) {
        *out = from_utf8(found->pw_name, PosixText::Name);
        return true;
    }
    const char* name = getlogin();
    if (!name || !*name) name = getenv("USER");
    if (!name || !*name) return false;
    *out = from_utf8(name, PosixText::Name);
    return true;
}

// A POSIX path in Windows form under drive Z:.
std::u16string windows_form(const char* path) {
    std::u16string p = from_utf8(path, PosixText::Path);
    std::u16string out = u"Z:";
    for (char16_t c : p) out += c == u'/' ? u'\\' : c;
    return out;
}

} // namespace

extern "C" {

// The environment in Windows form. LOCALAPPDATA, where a Windows program
// keeps its per-user state, is the XDG state folder: $XDG_STATE_HOME when it
// is an absolute path, else ~/.local/state.
DWORD WINAPI GetEnvironmentVariableW(LPCWSTR name, LPWSTR buffer, DWORD size) {
    std::string key;
    for (const WCHAR* c = name; c && *c; ++c) key += static_cast<char>(*c < 0x80 ? *c : '?');
    std::u16string value;
    if (key == "LOCALAPPDATA") {
        const char* state = getenv("XDG_STATE_HOME");
        const char* home = getenv("HOME");
        if (state && state[0] == '/') {
            value = windows_form(state);
        } else if (home && home[0] == '/') {
            std::string p = home;
            if (p.back() != '/') p += '/';
            value = windows_form((p + ".local/state").c_str());
        } else {
            set_last_error(ERROR_ENVVAR_NOT_FOUND);
            return 0;
        }
    } else {
        const char* v = getenv(key.c_str());
        if (!v) {
            set_last_error(ERROR_ENVVAR_NOT_FOUND);
            return 0;
        }
        value = from_utf8(v, PosixText::Argument);
    }
    return give_back(value, size, buffer);
}

DWORD WINAPI GetCurrentDirectoryW(DWORD length, LPWSTR buffer) {
    if (fault_error(FAULT_CURDIR)) return 0;
    std::u16string cwd;
    if (!windows_cwd(&cwd)) return 0;
    return give_back(cwd, length, buffer);
}

DWORD WINAPI GetFullPathNameW(LPCWSTR name, DWORD length, LPWSTR buffer, LPWSTR* file_part) {
    if (file_part) *file_part = nullptr;
    if (fault_error(FAULT_FULLPATH)) return 0;
    if (!name) {
        set_last_error(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::u16string full;
    if (!full_path(name, &full)) return 0;
    DWORD n = give_back(full, length, buffer);
    if (n == full.size() && file_part && !full.empty() && full.back() != u'\\') {
        size_t last = full.find_last_of(u'\\');
        *file_part = buffer + (last == std::u16string::npos ? 0 : last + 1);
    }
    return n;
}

BOOL WINAPI GetUserNameW(LPWSTR buffer, LPDWORD size) {
    if (fault_error(FAULT_USERNAME)) return FALSE;
    if (!size) {
        set_last_error(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::u16string name;
    if (!user_name(&name)) {
        set_last_error(ERROR_NONE_MAPPED);
        return FALSE;
    }
    DWORD need = static_cast<DWORD>(name.size() + 1);
    if (!buffer || *size < need) {
        *size = need;
        set_last_error(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    memcpy(buffer, name.c_str(), need * sizeof(WCHAR));
    *size = need;
    return TRUE;
}

} // extern "C"
