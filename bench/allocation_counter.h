#pragma once

// Counts heap allocations by thread and by calling code while switched on. Linking this file
// into a program replaces malloc, calloc, realloc and the global operator new for the whole
// process, shared libraries included; the counting itself never allocates.

#include <cstdint>
#include <string>
#include <vector>

namespace quavelink::bench {

//! Any thread: starts or stops counting; counts survive a stop.
void countAllocations(bool on);

//! The calling thread's short index under which its counts are kept.
int allocationThreadIndex();

//! One place that allocated: the thread, the shared object and the nearest symbol of the caller.
struct AllocationSite {
    int thread = 0;           // allocationThreadIndex() of the allocating thread
    std::string threadName;   // the thread's name when it was first seen
    std::string object;       // file name of the caller's executable or library
    std::string symbol;       // demangled nearest dynamic symbol, or the address
    std::uint64_t count = 0;  // allocations counted there
};

//! Every place counted so far, most allocations first. Call with counting off.
std::vector<AllocationSite> allocationSites();

}  // namespace quavelink::bench
