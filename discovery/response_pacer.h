#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>

namespace quavelink {

//! Decides which discovery queries get an answer, so that a flood of them neither holds up the
//! answer to anyone else nor turns the responder into a steady stream of datagrams aimed at one
//! address (the sender's address is not checked, so it may be someone else's). Queries over the
//! limit are dropped, never queued: a client asks again. Pure logic; discovery thread only.
class ResponsePacer {
  public:
    //! Answers one address gets at most: two at once, then one every 100 ms (10 a second).
    static constexpr std::chrono::milliseconds kAddressInterval{100};
    static constexpr int kAddressBurst = 2;
    //! Answers all addresses together get at most: twenty at once, then 50 a second.
    static constexpr std::chrono::milliseconds kOverallInterval{20};
    static constexpr int kOverallBurst = 20;
    //! Addresses whose recent answers are remembered; beyond them the overall limit holds.
    static constexpr std::size_t kRememberedAddresses = 64;

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

    Budget& budgetOf(std::uint32_t address, std::chrono::milliseconds now);

    std::array<Remembered, kRememberedAddresses> addresses{};
    Budget overall;
};

}  // namespace quavelink
