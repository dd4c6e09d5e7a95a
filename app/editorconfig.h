// .editorconfig files, read and matched as EditorConfig editors read them:
// sections, properties, root, and the glob of each section.
#pragma once

#include "base/alloc.h"

#include <cstdint>

struct EcProperty {
    const char* key;   // lower case
    const char* value; // lower case for the properties EditorConfig defines
};

struct EcMachine;

struct EcSection {
    const char* glob; // the section's name as written
    uint32_t length;
    const EcMachine* machine; // the glob made into states
    EcProperty* properties;
    uint32_t count;
};

struct EcFile {
    bool root; // "root = true" before the first section
    EcSection* sections;
    uint32_t count;
    // The first line that broke the format or a limit (1-based), 0 when
    // none: what stands from it on is not taken.
    uint32_t bad_line;
};

// Parses a file's bytes; strings come from `arena`. False when memory ran
// out. Keys of up to 1,024 bytes, values of up to 4,096 and section names
// of up to 4,096 are taken; a longer one is a bad line.
bool ec_parse(ArenaAllocator* arena, const char* data, uint64_t size, EcFile* file);

// Whether a section's glob matches `path`, the file's path relative to the
// folder of the .editorconfig that holds the section ('/' between names).
// Time and memory are polynomial in the lengths; the answer may be that
// memory ran out.
enum EcMatch { EC_NO_MATCH, EC_MATCH, EC_NO_MEMORY };
EcMatch ec_glob_match(const char* glob, uint64_t glob_length, const char* path, uint64_t length);

// A file's properties, in the order they were first set; a later setting
// replaces the value.
struct EcProperties {
    ArenaAllocator arena;
    EcProperty* items;
    uint32_t count, capacity;
};
void ec_properties_init(EcProperties* p);
void ec_properties_release(EcProperties* p);
const char* ec_get(const EcProperties* p, const char* key);
// Applies every section of `file` whose glob matches `path` (relative to
// the file's folder), in order. False when memory ran out.
bool ec_apply(EcProperties* p, const EcFile* file, const char* path, uint64_t length);
// The defaults EditorConfig derives (indent_size from indent_style,
// tab_width from indent_size), for a core of `version` (major, minor, patch).
bool ec_finish(EcProperties* p, const int version[3]);
