// What runs before the program's entry, in this order: the process-wide
// values of the path module are computed and published, then the runtime
// record and the process signal table are made. Both steps register their
// exit handlers, which therefore run in the opposite order at exit: the
// runtime's teardown, the handler setting process signal 7, then the cleanup
// of the argument store and the cached values.
//
// Both initialisers live in this one file because C++ orders static
// initialisation only within a translation unit; the build links this
// object into every program directly, so it is never left out.
#include "base/runtime/runtime.h"
#include "base/path.h"

namespace {

const bool g_process_values_published = (cached_user_name(), cached_current_directory(), true);
const bool g_runtime_started = runtime_init();

} // namespace
