// What a test run (-t) has already counted as fixed, by volume and file id.
// A file reached twice (hard links, two links to one file) is fixed by the
// real run on the first visit and found in order on the second; a test run
// that remembers its first verdict predicts exactly that.
#pragma once

#include "base/types.h"

// True the first time a file with this identity would be fixed; false when
// it was already, so the second visit finds nothing left to fix. Files
// without an identity (no file id) are always new. When memory runs out the
// file is taken as new: the prediction may then count it twice.
bool seen_first_fix(const FileEntry* entry);
// Forgets every file; the run driver calls it when a run ends.
void seen_reset();
