#include "base/args.h"

#include "base/utf.h"

#include <cstdlib>

ArgumentStore g_argument_store;

static const char16_t kDefaultDirectory[] = u"\\";
static const char16_t kDefaultUserName[] = u"?";
ProcessValue g_cached_directory = {nullptr, nullptr, kDefaultDirectory};
ProcessValue g_cached_user_name = {nullptr, nullptr, kDefaultUserName};

namespace {
int32_t g_exit_cleanup_flag = 0;

// What the store falls back to after the cleanup: the one argument ".".
char16_t kDotWide[] = u".";
char kDotUtf8[] = ".";
char16_t* kDefaultWide[] = {kDotWide, nullptr};
char* kDefaultUtf8[] = {kDotUtf8, nullptr};

void reset_value(ProcessValue* v) {
    void* owned = v->owned;
    __atomic_store_n(&v->slot, const_cast<void*>(v->fallback), __ATOMIC_RELEASE);
    v->owned = nullptr;
    mem_free(owned);
}

void exit_cleanup() {
    exit_cleanup_run();
}
} // namespace

void exit_cleanup_run() {
    g_argument_store.count = 1;
    g_argument_store.wide = kDefaultWide;
    g_argument_store.utf8 = kDefaultUtf8;
    char** owned = g_argument_store.owned;
    g_argument_store.owned = nullptr;
    mem_free(owned);
    reset_value(&g_cached_directory);
    reset_value(&g_cached_user_name);
}

char** args_to_utf8(Allocator* a, char16_t** wide) {
    uint64_t n = 0;
    uint64_t text = 0;
    if (wide) {
        for (; wide[n]; ++n) text += utf16_to_utf8(nullptr, 0, wide[n], TEXT_NUL) + 1;
    }
    uint64_t size = (n + 1) * sizeof(char*) + text + 1;
    char** vec = static_cast<char**>(allocate(a, size));
    if (!vec) return nullptr;
    char* p = reinterpret_cast<char*>(vec + n + 1);
    for (uint64_t i = 0; i < n; ++i) {
        vec[i] = p;
        p += utf16_to_utf8(p, TEXT_NUL, wide[i], TEXT_NUL) + 1;
    }
    vec[n] = nullptr;
    return vec;
}

bool args_install(int32_t count, char16_t** wide) {
    char** vec = args_to_utf8(heap_allocator(), wide);
    if (!vec) return false;
    g_argument_store.count = count;
    g_argument_store.wide = wide;
    g_argument_store.utf8 = vec;
    g_argument_store.owned = vec;
    exit_cleanup_register();
    return true;
}

char** args_get(int32_t* count) {
    if (count) *count = g_argument_store.count;
    return g_argument_store.utf8;
}

void exit_cleanup_register() {
    int32_t expected = 0;
    if (__atomic_compare_exchange_n(&g_exit_cleanup_flag, &expected, 1, false, __ATOMIC_ACQ_REL,
                                    __ATOMIC_ACQUIRE))
        atexit(exit_cleanup);
}

bool exit_cleanup_registered() {
    return __atomic_load_n(&g_exit_cleanup_flag, __ATOMIC_ACQUIRE);
}

void* install_once(void** slot, void** owner, void* value, const void* fallback) {
    void* expected = nullptr;
    void* desired = value ? value : const_cast<void*>(fallback);
    if (__atomic_compare_exchange_n(slot, &expected, desired, false, __ATOMIC_ACQ_REL,
                                    __ATOMIC_ACQUIRE)) {
        if (value) *owner = value;
    } else if (value) {
        mem_free(value);
    }
    exit_cleanup_register();
    return __atomic_load_n(slot, __ATOMIC_ACQUIRE);
}
