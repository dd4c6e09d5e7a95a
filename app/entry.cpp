// The process entry: the arguments become UTF-8 before anything else runs.
#include "app/driver.h"
#include "base/args.h"
#include "platform/entry.h"

int wide_main(int argc, char16_t** argv) {
    args_install(argc, argv);
    char** utf8 = args_get(nullptr);
    if (!utf8) return -1;
    return run_converter(argc, utf8);
}
