#include "discovery/response_pacer.h"

#include <algorithm>

namespace quavelink {

bool ResponsePacer::Budget::allows(std::chrono::milliseconds now,
                                   std::chrono::milliseconds interval, int burst) const {
    return fullAgainAt - now <= interval * (burst - 1);
}

void ResponsePacer::Budget::spend(std::chrono::milliseconds now,
                                  std::chrono::milliseconds interval) {
    fullAgainAt = std::max(fullAgainAt, now) + interval;
}

ResponsePacer::Budget& ResponsePacer::budgetOf(std::uint32_t address,
                                               std::chrono::milliseconds now) {
    Remembered* reuse = nullptr;
    for (Remembered& entry : addresses) {
        if (entry.used && entry.address == address) return entry.budget;
        // A free entry, or else the one whose budget has been full again the longest: it is
        // forgotten at no cost when that moment has passed.
        if (reuse == nullptr || !entry.used ||
            (reuse->used && entry.budget.fullAgainAt < reuse->budget.fullAgainAt)) {
            reuse = &entry;
        }
    }
    *reuse = Remembered{address, true, Budget{now}};
    return reuse->budget;
}

bool ResponsePacer::mayAnswer(std::uint32_t address, std::chrono::milliseconds now) {
    Budget& own = budgetOf(address, now);
    if (!own.allows(now, kAddressInterval, kAddressBurst)) return false;
    if (!overall.allows(now, kOverallInterval, kOverallBurst)) return false;
    own.spend(now, kAddressInterval);
    overall.spend(now, kOverallInterval);
    return true;
}

}  // namespace quavelink
