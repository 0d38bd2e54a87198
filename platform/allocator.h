#pragma once

namespace quavelink {

//! Keeps every block of 128 KiB or more in a mapping of its own for the life of the process, so
//! that freeing it gives its memory back at once. Process-wide; any thread.
//!
//! The C library otherwise raises that limit to the size of the largest such block freed (and
//! the point at which a heap gives memory back to twice it). After a sound server restart the
//! capture and the silence stream free their buffers (the ring of captured packets, 960 KiB;
//! a second of silence, 375 KiB) and make new ones: from the first restart on these then came
//! from the heaps of the threads that made them, which kept their pages, and the program's
//! memory grew by 1 to 2.5 MiB once.
void keepLargeAllocationsMapped();

}  // namespace quavelink
