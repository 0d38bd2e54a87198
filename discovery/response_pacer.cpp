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

ResponsePacer::ResponsePacer() : seen(std::make_unique<std::array<Seen, kSeenAddresses>>()) {}

bool ResponsePacer::seenLately(std::uint32_t address, std::chrono::milliseconds now) {
    // Eight places an address may stand in, from a multiplicative hash; a newcomer takes the
    // one asked from longest ago.
    constexpr std::size_t kWays = 8;
    static_assert(kSeenAddresses / kWays == 1u << 9);
    const std::size_t first = static_cast<std::size_t>((address * 2654435761u) >> 23) * kWays;
    Seen* oldest = nullptr;
    for (std::size_t i = first; i < first + kWays; ++i) {
        Seen& entry = (*seen)[i];
        if (entry.used && entry.address == address) {
            const bool lately = now - entry.at < kUnseenFor;
            entry.at = now;
            return lately;
        }
        if (oldest == nullptr || !entry.used || (oldest->used && entry.at < oldest->at)) {
            oldest = &entry;
        }
    }
    *oldest = Seen{address, true, now};
    return false;
}

bool ResponsePacer::mayAnswer(std::uint32_t address, std::chrono::milliseconds now) {
    const bool unseen = !seenLately(address, now);
    Budget& own = budgetOf(address, now);
    if (!own.allows(now, kAddressInterval, kAddressBurst)) return false;
    if (overall.allows(now, kOverallInterval, kOverallBurst)) {
        overall.spend(now, kOverallInterval);
    } else if (unseen && reserve.allows(now, kReserveInterval, kReserveBurst)) {
        reserve.spend(now, kReserveInterval);
    } else {
        return false;
    }
    own.spend(now, kAddressInterval);
    return true;
}

}  // namespace quavelink
