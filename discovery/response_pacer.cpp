#include "discovery/response_pacer.h"

#include <algorithm>

namespace quavelink {

bool ResponsePacer::Budget::allows(std::int64_t now, std::int64_t interval, int burst) const {
    return fullAgainAt - now <= interval * (burst - 1);
}

void ResponsePacer::Budget::spend(std::int64_t now, std::int64_t interval) {
    fullAgainAt = std::max(fullAgainAt, now) + interval;
}

ResponsePacer::Budget& ResponsePacer::budgetOf(std::uint32_t address, std::int64_t nowMs) {
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
    *reuse = Remembered{address, true, Budget{nowMs}};
    return reuse->budget;
}

bool ResponsePacer::mayAnswer(std::uint32_t address, std::int64_t nowMs) {
    Budget& own = budgetOf(address, nowMs);
    if (!own.allows(nowMs, kAddressIntervalMs, kAddressBurst)) return false;
    if (!overall.allows(nowMs, kOverallIntervalMs, kOverallBurst)) return false;
    own.spend(nowMs, kAddressIntervalMs);
    overall.spend(nowMs, kOverallIntervalMs);
    return true;
}

}  // namespace quavelink
