// Test controls of the conversion engine; built only with EOLSET_TEST_HOOKS.
#pragma once

#include "app/convert.h"

// Every pass starts counting from *seed instead of 0 (null: 0), so that
// counts past 32 bits can be seen without gigabytes of text.
void convert_set_count_seed(const PassCounts* seed);

// The rewrite's window (0: the default; at least 5 bytes, the longest token
// and two more) and whether a shrinking rewrite tests
// the cut first, as on Windows.
void rewrite_set_window(uint64_t size, bool probe_cut);
