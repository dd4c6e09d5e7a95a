// Include and exclude filters over paths relative to the root of a walk, and
// the two wildcard matchers under them.
//
// A stored filter is its sign (+ selects, - deselects), the normalised
// pattern, then "\**", so a filter that matches a folder also matches
// everything inside it. Probes are relative paths with one trailing
// backslash ("a\b.cpp\", "a\"); a folder pattern is a folder's relative path
// followed by "\**".
//
// Wildcards: `*` is any run without a separator, "**" any run at all, "**"
// before a separator may also stand for no folder, `?` one code point other
// than a separator; `\` and `/` match each other; everything else matches
// only itself (case matters).
#pragma once

#include "base/alloc.h"

#include <cstdint>

// The stored form of `filter`, from `result`; null when memory runs out.
// Temporary strings come from `scratch`. A filter with nothing left after
// its sign and leading separators is stored as the sign and "\**" and
// matches nothing.
char* filter_prepare(Allocator* scratch, Allocator* result, const char* filter);
// Whether the entry with this probe is selected: the last filter that
// matches decides; with none matching, everything is selected unless the
// first filter is a + filter.
bool filter_includes(const char* const* filters, uint64_t count, const char* probe);
// Whether a folder is to be entered: - filters match its probe, + filters
// open it when they could match something at or below it.
bool filter_descends(const char* const* filters, uint64_t count, const char* probe,
                     const char* folder_pattern);

// Both matchers take time polynomial in the lengths of their strings and
// keep their state on the stack unless a string runs to many thousands of
// bytes. wild_match says false, and wild_overlap true, should the heap then
// fail them.
bool wild_match(const char* pattern, const char* text);
// Whether some path could match both patterns.
bool wild_overlap(const char* a, const char* b);
