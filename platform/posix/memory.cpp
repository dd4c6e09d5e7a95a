// Virtual memory: committed regions of the current process, mapped with
// mmap. A region is released whole, by its base, as Windows requires.
#include "platform/posix/fault.h"
#include "platform/posix/standin.h"

#include <map>
#include <mutex>
#include <sys/mman.h>

namespace {

constexpr SIZE_T kPage = 4096;
#define STATUS_MEMORY_NOT_ALLOCATED ((NTSTATUS)0xC00000A0L)
#define STATUS_INVALID_PAGE_PROTECTION ((NTSTATUS)0xC0000045L)

std::mutex g_regions_lock;
// Base -> size of every live region. Never destroyed: exit handlers free
// blocks after static destructors may have run.
std::map<uintptr_t, SIZE_T>& g_regions = *new std::map<uintptr_t, SIZE_T>;

bool is_current_process(HANDLE process) {
    return process == GetCurrentProcess();
}

} // namespace

extern "C" {

NTSTATUS NTAPI NtAllocateVirtualMemory(HANDLE process, void** base, ULONG_PTR, SIZE_T* size,
                                       ULONG type, ULONG protect) {
    FaultRule rule;
    if (fault_take(FAULT_VMALLOC, 0, &rule)) return rule.status;
    if (!is_current_process(process)) return STATUS_INVALID_HANDLE;
    if (!base || !size || *size == 0 || (type & (MEM_COMMIT | MEM_RESERVE)) == 0)
        return STATUS_INVALID_PARAMETER;
    if (protect != PAGE_READWRITE) return STATUS_INVALID_PAGE_PROTECTION;
    SIZE_T length = (*size + kPage - 1) & ~(kPage - 1);
    if (*base) {
        // Committing inside a region already mapped read-write changes nothing.
        std::lock_guard<std::mutex> g(g_regions_lock);
        uintptr_t b = reinterpret_cast<uintptr_t>(*base);
        auto it = g_regions.upper_bound(b);
        if (it == g_regions.begin()) return STATUS_INVALID_PARAMETER;
        --it;
        if (b + length > it->first + it->second) return STATUS_INVALID_PARAMETER;
        *size = length;
        return STATUS_SUCCESS;
    }
    void* p = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return STATUS_NO_MEMORY;
    {
        std::lock_guard<std::mutex> g(g_regions_lock);
        g_regions[reinterpret_cast<uintptr_t>(p)] = length;
    }
    *base = p;
    *size = length;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI NtFreeVirtualMemory(HANDLE process, void** base, SIZE_T* size, ULONG type) {
    if (!is_current_process(process)) return STATUS_INVALID_HANDLE;
    if (!base || !size || type != MEM_RELEASE || *size != 0) return STATUS_INVALID_PARAMETER;
    SIZE_T length;
    {
        std::lock_guard<std::mutex> g(g_regions_lock);
        auto it = g_regions.find(reinterpret_cast<uintptr_t>(*base));
        if (it == g_regions.end()) return STATUS_MEMORY_NOT_ALLOCATED;
        length = it->second;
        g_regions.erase(it);
    }
    munmap(*base, length);
    *size = length;
    return STATUS_SUCCESS;
}

} // extern "C"
