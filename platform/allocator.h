#pragma once

namespace quavelink {

//! Keeps every block of 128 KiB or more in a mapping of its own for the life of the process, so
//! that freeing it gives its memory back at once. Process-wide; any thread.
//!
//! The C library otherwise raises that limit to the size of the largest such block freed (and
//! the point at which a heap gives memory back to twice it). A capture that starts again after
//! the sound server restarted frees the buffers of the one before (the ring of captured
//! packets, 960 KiB) and makes new ones: from the first restart on they then came from a
//! thread's heap, which kept their pages, and the program's memory grew by 1 to 2.5 MiB once.
void keepLargeAllocationsMapped();

}  // namespace quavelink
