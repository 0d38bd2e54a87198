#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace quavelink {

//! Decides which discovery queries get an answer, so that a flood of them neither holds up the
//! answer to anyone else nor turns the responder into a steady stream of datagrams aimed at one
//! address (the sender's address is not checked, so it may be someone else's). Queries over the
//! limit are dropped, never queued: a client asks again. A flood from forged sender addresses
//! spends the shared budget, so a reserve of its own answers senders not seen for a while: a
//! forged address that asks again is seen, a listener that starts looking is not. Pure logic;
//! discovery thread only.
class ResponsePacer {
  public:
    ResponsePacer();

    //! Answers one address gets at most: two at once, then one every 100 ms (10 a second).
    static constexpr std::chrono::milliseconds kAddressInterval{100};
    static constexpr int kAddressBurst = 2;
    //! Answers all addresses together get at most: twenty at once, then 50 a second.
    static constexpr std::chrono::milliseconds kOverallInterval{20};
    static constexpr int kOverallBurst = 20;
    //! Addresses whose recent answers are remembered; beyond them the overall limit holds.
    static constexpr std::size_t kRememberedAddresses = 64;
    //! Answers a second at most, beyond the overall ones, for senders not seen within
    //! kUnseenFor: five at once, then one every 100 ms.
    static constexpr std::chrono::milliseconds kReserveInterval{100};
    static constexpr int kReserveBurst = 5;
    static constexpr std::chrono::milliseconds kUnseenFor{60000};
    //! Senders whose last query is remembered, for telling the unseen ones (a flood that cycles
    //! through more forged addresses than this within kUnseenFor makes each one look unseen).
    static constexpr std::size_t kSeenAddresses = 4096;

    //! Whether a query from IPv4 `address` arriving at `now` (on a steady clock, from any
    //! fixed start) is answered; an answer granted counts against both limits.
    bool mayAnswer(std::uint32_t address, std::chrono::milliseconds now);

  private:
    // A limit kept as the time at which its budget would be full again (the generic cell rate
    // algorithm): a query is allowed while that time lies less than (burst - 1) intervals ahead.
    struct Budget {
        std::chrono::milliseconds fullAgainAt{0};
        bool allows(std::chrono::milliseconds now, std::chrono::milliseconds interval,
                    int burst) const;
        void spend(std::chrono::milliseconds now, std::chrono::milliseconds interval);
    };
    struct Remembered {
        std::uint32_t address = 0;
        bool used = false;
        Budget budget;
    };

    struct Seen {
        std::uint32_t address = 0;
        bool used = false;
        std::chrono::milliseconds at{0};
    };

    Budget& budgetOf(std::uint32_t address, std::chrono::milliseconds now);
    //! Whether `address` asked within kUnseenFor before `now`; notes that it asks now.
    bool seenLately(std::uint32_t address, std::chrono::milliseconds now);

    std::array<Remembered, kRememberedAddresses> addresses{};
    Budget overall;
    Budget reserve;
    // Too large for the discovery thread's stack.
    std::unique_ptr<std::array<Seen, kSeenAddresses>> seen;
};

}  // namespace quavelink
