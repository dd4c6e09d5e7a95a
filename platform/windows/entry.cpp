// Windows process entry: the C runtime hands over the wide argument vector.
#include "platform/entry.h"

extern "C" int wmain(int argc, wchar_t** argv) {
    static_assert(sizeof(wchar_t) == sizeof(char16_t));
    return wide_main(argc, reinterpret_cast<char16_t**>(argv));
}
