#include "base/test_control.h"

#ifdef EOLSET_TEST_HOOKS
#include "base/output.h"

namespace {
thread_local int t_converting;
} // namespace

void test_enter_conversion(bool entering) {
    t_converting += entering ? 1 : -1;
}

void test_check_may_print() {
    if (t_converting) fatal_report(__FILE__, __LINE__, "a conversion printed");
}
#endif
