#include "app/seen.h"

#include "base/alloc.h"

#include <cstring>

namespace {

struct Key {
    uint32_t volume[3];
    uint32_t used; // 1 in an occupied slot
    uint64_t id[2];
};
static_assert(sizeof(Key) == 32);

// Open addressing with linear probing, at most half full.
struct SeenSet {
    Key* slots;
    uint64_t capacity; // a power of two, or 0
    uint64_t count;
};

SeenSet g_seen = {nullptr, 0, 0};

uint64_t hash_of(const Key& k) {
    uint64_t h = k.id[0] * 0x9E3779B97F4A7C15ull;
    h ^= (k.id[1] + k.volume[0]) * 0xC2B2AE3D27D4EB4Full;
    h ^= (uint64_t{k.volume[1]} << 32 | k.volume[2]) * 0x165667B19E3779F9ull;
    return h ^ (h >> 29);
}

bool same(const Key& a, const Key& b) {
    return memcmp(a.volume, b.volume, sizeof a.volume) == 0 && a.id[0] == b.id[0] &&
           a.id[1] == b.id[1];
}

Key* find_slot(Key* slots, uint64_t capacity, const Key& k) {
    uint64_t i = hash_of(k) & (capacity - 1);
    while (slots[i].used && !same(slots[i], k)) i = (i + 1) & (capacity - 1);
    return &slots[i];
}

bool grow() {
    uint64_t capacity = g_seen.capacity ? g_seen.capacity * 2 : 256;
    Key* slots = static_cast<Key*>(mem_calloc(capacity, sizeof(Key)));
    if (!slots) return false;
    for (uint64_t i = 0; i < g_seen.capacity; ++i)
        if (g_seen.slots[i].used) *find_slot(slots, capacity, g_seen.slots[i]) = g_seen.slots[i];
    mem_free(g_seen.slots);
    g_seen.slots = slots;
    g_seen.capacity = capacity;
    return true;
}

} // namespace

bool seen_first_fix(const FileEntry* entry) {
    if (entry->file_id[0] == 0 && entry->file_id[1] == 0) return true;
    Key k{};
    memcpy(k.volume, entry->volume_id, sizeof k.volume);
    k.used = 1;
    k.id[0] = entry->file_id[0];
    k.id[1] = entry->file_id[1];
    if (g_seen.capacity && find_slot(g_seen.slots, g_seen.capacity, k)->used) return false;
    if ((g_seen.count + 1) * 2 > g_seen.capacity && !grow()) return true;
    *find_slot(g_seen.slots, g_seen.capacity, k) = k;
    ++g_seen.count;
    return true;
}

void seen_reset() {
    mem_free(g_seen.slots);
    g_seen = SeenSet{nullptr, 0, 0};
}
