#include "server/host_owner.h"

#include <cstdio>
#include <cstdlib>

namespace quavelink {

#ifndef NDEBUG
void HostOwner::usedByAnother() {
    std::fputs("The network host was used by a thread that does not own it\n", stderr);
    std::abort();
}
#endif

}  // namespace quavelink
