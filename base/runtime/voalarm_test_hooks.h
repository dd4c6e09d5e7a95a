// Test controls of the alarm thread; built only with EOLSET_TEST_HOOKS.
#pragma once

#include <cstdint>

// How often a schedule woke the thread because its timer became the first.
uint64_t alarm_test_wakes();
