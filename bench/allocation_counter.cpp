#include "allocation_counter.h"

#include <cxxabi.h>
#include <dlfcn.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <new>
#include <tuple>

extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* pointer, std::size_t size);
void* __libc_memalign(std::size_t alignment, std::size_t size);
void __libc_free(void* pointer);
}

namespace quavelink::bench {
namespace {

// One counter per (thread, calling instruction), found by open addressing. A key holds the
// caller's address in its low 56 bits (user-space addresses are shorter) and the thread's
// index plus one above them, so a zero key marks an empty slot.
constexpr std::size_t kSlots = 1 << 15;
constexpr int kMaxThreads = 250;

struct Slot {
    std::atomic<std::uint64_t> key{0};
    std::atomic<std::uint64_t> count{0};
};

struct ThreadEntry {
    pid_t tid = 0;
    char name[16] = {};
};

Slot slots[kSlots];
ThreadEntry threads[kMaxThreads];
std::atomic<int> threadsSeen{0};
std::atomic<bool> counting{false};
thread_local int threadIndex = -1;

int currentThread() {
    if (threadIndex < 0) {
        int index = threadsSeen.fetch_add(1, std::memory_order_relaxed);
        if (index >= kMaxThreads) index = kMaxThreads - 1;
        threads[index].tid = gettid();
        prctl(PR_GET_NAME, threads[index].name, 0, 0, 0);
        threadIndex = index;
    }
    return threadIndex;
}

void count(const void* caller) {
    if (!counting.load(std::memory_order_relaxed)) return;
    const std::uint64_t key = (reinterpret_cast<std::uintptr_t>(caller) & ((1ull << 56) - 1)) |
                              static_cast<std::uint64_t>(currentThread() + 1) << 56;
    std::size_t at = (key * 0x9E3779B97F4A7C15ull) >> 49;
    for (std::size_t probes = 0; probes < kSlots; ++probes, at = (at + 1) % kSlots) {
        std::uint64_t seen = slots[at].key.load(std::memory_order_acquire);
        if (seen == 0 && slots[at].key.compare_exchange_strong(seen, key)) seen = key;
        if (seen == key) {
            slots[at].count.fetch_add(1, std::memory_order_relaxed);
            return;
        }
    }
}

std::string currentName(const ThreadEntry& thread) {
    std::ifstream comm("/proc/self/task/" + std::to_string(thread.tid) + "/comm");
    std::string name;
    if (comm && std::getline(comm, name) && !name.empty()) return name;
    return thread.name;
}

std::string describe(const void* address, std::string& object) {
    Dl_info info{};
    if (dladdr(address, &info) == 0) {
        object = "?";
        return "?";
    }
    object = info.dli_fname ? info.dli_fname : "?";
    if (auto slash = object.rfind('/'); slash != std::string::npos) object.erase(0, slash + 1);
    if (info.dli_sname == nullptr) return "?";
    int status = 0;
    char* demangled = abi::__cxa_demangle(info.dli_sname, nullptr, nullptr, &status);
    std::string name = status == 0 && demangled ? demangled : info.dli_sname;
    std::free(demangled);
    return name;
}

void* newOrThrow(std::size_t size, const void* caller) {
    count(caller);
    void* pointer = __libc_malloc(size == 0 ? 1 : size);
    if (pointer == nullptr) throw std::bad_alloc();
    return pointer;
}

void* newOrNull(std::size_t size, const void* caller) {
    count(caller);
    return __libc_malloc(size == 0 ? 1 : size);
}

void* alignedNew(std::size_t size, std::align_val_t alignment, const void* caller) {
    count(caller);
    void* pointer = __libc_memalign(static_cast<std::size_t>(alignment), size == 0 ? 1 : size);
    if (pointer == nullptr) throw std::bad_alloc();
    return pointer;
}

}  // namespace

void countAllocations(bool on) { counting.store(on, std::memory_order_seq_cst); }

int allocationThreadIndex() { return currentThread(); }

std::vector<AllocationSite> allocationSites() {
    // Calls from different instructions of one function count as one place.
    std::map<std::tuple<int, std::string, std::string>, std::uint64_t> merged;
    for (const Slot& slot : slots) {
        std::uint64_t key = slot.key.load();
        if (key == 0) continue;
        int thread = static_cast<int>(key >> 56) - 1;
        const void* caller = reinterpret_cast<const void*>(key & ((1ull << 56) - 1));
        std::string object;
        std::string symbol = describe(caller, object);
        merged[{thread, object, symbol}] += slot.count.load();
    }
    std::vector<AllocationSite> sites;
    for (const auto& [where, total] : merged) {
        const auto& [thread, object, symbol] = where;
        sites.push_back({thread, currentName(threads[thread]), object, symbol, total});
    }
    std::sort(sites.begin(), sites.end(),
              [](const AllocationSite& a, const AllocationSite& b) { return a.count > b.count; });
    return sites;
}

}  // namespace quavelink::bench

using quavelink::bench::alignedNew;
using quavelink::bench::count;
using quavelink::bench::newOrNull;
using quavelink::bench::newOrThrow;

extern "C" {

void* malloc(std::size_t size) {
    count(__builtin_return_address(0));
    return __libc_malloc(size);
}

void* calloc(std::size_t number, std::size_t size) {
    count(__builtin_return_address(0));
    return __libc_calloc(number, size);
}

void* realloc(void* pointer, std::size_t size) {
    count(__builtin_return_address(0));
    return __libc_realloc(pointer, size);
}

void* memalign(std::size_t alignment, std::size_t size) {
    count(__builtin_return_address(0));
    return __libc_memalign(alignment, size);
}

void* aligned_alloc(std::size_t alignment, std::size_t size) {
    count(__builtin_return_address(0));
    return __libc_memalign(alignment, size);
}

int posix_memalign(void** out, std::size_t alignment, std::size_t size) {
    count(__builtin_return_address(0));
    void* pointer = __libc_memalign(alignment, size);
    if (pointer == nullptr) return ENOMEM;
    *out = pointer;
    return 0;
}

void free(void* pointer) { __libc_free(pointer); }

}  // extern "C"

void* operator new(std::size_t size) { return newOrThrow(size, __builtin_return_address(0)); }
void* operator new[](std::size_t size) { return newOrThrow(size, __builtin_return_address(0)); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return newOrNull(size, __builtin_return_address(0));
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return newOrNull(size, __builtin_return_address(0));
}
void* operator new(std::size_t size, std::align_val_t alignment) {
    return alignedNew(size, alignment, __builtin_return_address(0));
}
void* operator new[](std::size_t size, std::align_val_t alignment) {
    return alignedNew(size, alignment, __builtin_return_address(0));
}
void operator delete(void* pointer) noexcept { __libc_free(pointer); }
void operator delete[](void* pointer) noexcept { __libc_free(pointer); }
void operator delete(void* pointer, std::size_t) noexcept { __libc_free(pointer); }
void operator delete[](void* pointer, std::size_t) noexcept { __libc_free(pointer); }
void operator delete(void* pointer, std::align_val_t) noexcept { __libc_free(pointer); }
void operator delete[](void* pointer, std::align_val_t) noexcept { __libc_free(pointer); }
void operator delete(void* pointer, std::size_t, std::align_val_t) noexcept {
    __libc_free(pointer);
}
void operator delete[](void* pointer, std::size_t, std::align_val_t) noexcept {
    __libc_free(pointer);
}
