#include "app/room.h"

#include "base/fileinfo.h"
#include "base/native.h"
#include "base/runtime/lock.h"
#include "platform/nt.h"

#include <cstring>

namespace {

struct VolumeRoom {
    uint32_t id[3];
    uint64_t free_bytes;
    bool copy_on_write;
};
struct RoomCache {
    LightLock lock;
    VolumeRoom volumes[8];
    uint32_t count;
};
RoomCache g_room;

} // namespace

ErrorCode room_check(FileHandle h, const uint32_t* id, uint64_t allocated, uint64_t old_length,
                     uint64_t start, uint64_t text_end) {
    bool named = id && (id[0] | id[1] | id[2]) != 0;
    if (allocated == ~0ull) {
        NtFileStandardInformation standard{};
        allocated = file_query_information(h, FileStandardInformation, &standard, sizeof standard,
                                           nullptr) == 0
                        ? static_cast<uint64_t>(standard.AllocationSize)
                        : old_length;
    }
    light_lock(&g_room.lock);
    VolumeRoom* room = nullptr;
    for (uint32_t i = 0; named && i < g_room.count && !room; ++i)
        if (memcmp(g_room.volumes[i].id, id, sizeof g_room.volumes[i].id) == 0)
            room = &g_room.volumes[i];
    VolumeRoom fresh{};
    ErrorCode e = 0;
    for (int ask = room ? 0 : 1; ask < 2; ++ask) {
        if (ask) {
            if (file_volume_room(h, &fresh.free_bytes, &fresh.copy_on_write) != 0) {
                e = 0; // cannot tell
                break;
            }
            if (!room && named && g_room.count < 8) room = &g_room.volumes[g_room.count++];
            if (room) {
                memcpy(fresh.id, id, sizeof fresh.id);
                *room = fresh;
            }
        }
        const VolumeRoom& r = room ? *room : fresh;
        uint64_t need = r.copy_on_write        ? text_end - start
                        : text_end > allocated ? text_end - allocated
                                               : 0;
        if (r.free_bytes >= need) {
            if (room) room->free_bytes -= need;
            e = 0;
            break;
        }
        e = ERROR_DISK_FULL;
    }
    light_unlock(&g_room.lock);
    return e;
}

void room_forget() {
    light_lock(&g_room.lock);
    g_room.count = 0;
    light_unlock(&g_room.lock);
}
