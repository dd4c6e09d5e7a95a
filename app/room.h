// Room on a volume for what a rewrite will allocate. The volume's figures
// are asked once per run and volume; what each rewrite may take is deducted
// from them, and they are asked anew only when they seem too small.
#pragma once

#include "base/types.h"

#include <cstdint>

// Whether the volume of the open file `h` has room for the file to hold
// `text_end` bytes, of which those from `start` on are written anew:
// the new text less what the file has allocated already (`allocated`, ~0:
// not known; less than its length when sparse), or all of it where changed
// blocks are written to new space. `volume_id` (may be null) names the
// volume for the cache. ERROR_DISK_FULL when it has not.
ErrorCode room_check(FileHandle h, const uint32_t* volume_id, uint64_t allocated,
                     uint64_t old_length, uint64_t start, uint64_t text_end);
// Forgets the volumes' figures (at the end of a run).
void room_forget();
