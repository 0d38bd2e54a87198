#pragma once

// CPU time of work done at the stream's pace, and the kernel's share of sending datagrams:
// the measures that the cost benchmarks compare.

#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

namespace quavelink::bench {

//! CPU time the calling thread has used, in seconds.
double threadCpuSeconds();

//! Calls `handle` on `blockCount` blocks taken from `next`, spread evenly over `seconds`, and
//! returns the CPU time that `handle` took on this thread. Every side of a comparison runs
//! this way, so that each meets caches that the rest of the machine has had time to cool
//! between blocks.
template <typename Next, typename Handle>
double pacedCpuSeconds(int blockCount, double seconds, Next next, Handle handle) {
    double spent = 0;
    auto due = std::chrono::steady_clock::now();
    const auto period = std::chrono::duration<double>(seconds / blockCount);
    for (int i = 0; i < blockCount; ++i) {
        auto& block = next();
        double start = threadCpuSeconds();
        handle(block);
        spent += threadCpuSeconds() - start;
        due += std::chrono::duration_cast<std::chrono::steady_clock::duration>(period);
        std::this_thread::sleep_until(due);
    }
    return spent;
}

//! The kernel's share of a transport: one plain UDP datagram of `datagramBytes` for each entry
//! of `datagramsPerBlock` (the count for each of `blockCount` blocks), sent at the same pace to
//! ten loopback sockets that a thread drains the way the clients do. Returns the sender's CPU
//! time. No transport over UDP can go below this.
double bareDatagramSeconds(const std::vector<int>& datagramsPerBlock, double seconds,
                           std::size_t datagramBytes);

}  // namespace quavelink::bench
