#include "server/capture_recovery.h"

#include <gtest/gtest.h>

#include "fake_capture_control.h"
#include "fake_server_window.h"

namespace quavelink::test {
namespace {

using namespace std::chrono_literals;
using Clock = CaptureRecovery::Clock;
using State = CaptureControl::EndpointState;
using Calls = std::vector<std::string>;

// The recovery stepped by hand: `at(ms)` ticks at that many milliseconds after the start.
struct Stepped {
    FakeServerWindow window;
    FakeCaptureControl capture;
    std::atomic<bool> is48k{true};
    CaptureRecovery recovery{capture, window, window, is48k, 500ms};
    const Clock::time_point start = Clock::now();

    void at(int ms) { recovery.tick(start + std::chrono::milliseconds(ms)); }
    // Chooses `index` at `ms` and lets it start after the pause.
    void captureChosen(int index, int ms = 0) {
        window.choice.choose(index);
        at(ms);
        at(ms + 500);
        capture.takeCalls();
    }
    std::chrono::milliseconds dueIn(int ms) const {
        return std::chrono::duration_cast<std::chrono::milliseconds>(recovery.nextTry() - start) -
               std::chrono::milliseconds(ms);
    }
};

TEST(CaptureRecovery, AnEndedCaptureIsTriedAgainWithDelaysThatGrowToFiveSeconds) {
    Stepped s;
    s.captureChosen(2);
    EXPECT_EQ(s.window.rateTexts, (Calls{" 48.0 kHz"}));

    s.capture.end();
    s.capture.set(2, State::NoSoundServer);
    s.capture.set(0, State::NoSoundServer);
    s.at(1000);
    // Noticed at the first tick: stopped, the rate cleared, the reason shown.
    EXPECT_EQ(s.capture.takeCalls(), (Calls{"stop", "probe 2"}));
    EXPECT_EQ(s.window.rateTexts.back(), "");
    EXPECT_EQ(s.window.captureStatuses, (Calls{kNoSoundServerStatus}));
    EXPECT_TRUE(s.window.messageBoxes.empty());

    int now = 1000;
    std::vector<long> delays;
    for (int attempt = 0; attempt < 7; ++attempt) {
        auto delay = s.dueIn(now);
        delays.push_back(static_cast<long>(delay.count()));
        s.at(now + static_cast<int>(delay.count()) - 1);  // not yet: only a look
        EXPECT_EQ(s.capture.takeCalls(), (Calls{"probe 2"}));
        now += static_cast<int>(delay.count());
        s.at(now);
        // The chosen endpoint only: without a sound server the default is no better.
        EXPECT_EQ(s.capture.takeCalls(), (Calls{"retry 2", "probe 2"}));
    }
    EXPECT_EQ(delays, (std::vector<long>{500, 1000, 2000, 4000, 5000, 5000, 5000}));

    // Back before the next try is due: the look between the tries sees it.
    s.capture.set(2, State::Present);
    s.capture.startAt48k = false;
    now += 500;
    ASSERT_GT(s.dueIn(now), 0ms);
    s.at(now);
    EXPECT_EQ(s.capture.takeCalls(), (Calls{"probe 2", "retry 2"}));
    EXPECT_EQ(s.window.rateTexts.back(), " 44.1 kHz");
    EXPECT_EQ(s.window.captureStatuses, (Calls{kNoSoundServerStatus, ""}));
    EXPECT_FALSE(s.recovery.idle());
    EXPECT_TRUE(s.window.messageBoxes.empty()) << "a recovery by itself asks nothing of the user";

    // A second loss starts again at half a second.
    s.capture.end();
    s.at(now + 500);
    EXPECT_EQ(s.dueIn(now + 500), 500ms);
}

TEST(CaptureRecovery, AGoneDeviceLeavesTheDefaultInItsPlaceUntilItReturns) {
    Stepped s;
    s.captureChosen(3);
    s.capture.end();
    s.capture.set(3, State::Gone);
    s.at(1000);
    EXPECT_EQ(s.window.captureStatuses, (Calls{kDeviceGoneStatus}));
    s.capture.takeCalls();
    s.at(1500);
    EXPECT_EQ(s.capture.takeCalls(), (Calls{"retry 3", "probe 3", "retry 0"}));
    EXPECT_EQ(s.recovery.capturingIndex(), 0);
    // The box says what happens: nothing is left for the user to do.
    ASSERT_EQ(s.window.messageBoxes.size(), 1u);
    EXPECT_NE(s.window.messageBoxes[0].find("88890004"), std::string::npos);
    EXPECT_NE(s.window.messageBoxes[0].find("goes back to the chosen one"), std::string::npos);
    EXPECT_EQ(s.window.messageBoxes[0].find("select this device again"), std::string::npos);
    EXPECT_EQ(s.window.rateTexts.back(), " 48.0 kHz");

    s.at(2000);  // still gone: stays on the default
    EXPECT_EQ(s.capture.takeCalls(), (Calls{"probe 3"}));
    s.capture.set(3, State::Present);
    s.at(2500);
    EXPECT_EQ(s.capture.takeCalls(), (Calls{"probe 3", "stop", "retry 3"}));
    EXPECT_EQ(s.recovery.capturingIndex(), 3);
    EXPECT_EQ(s.window.messageBoxes.size(), 1u) << "back without the user choosing again";
}

TEST(CaptureRecovery, TheSameEndpointBackBeforeTheFirstRetryNeedsNoMessage) {
    Stepped s;
    s.captureChosen(3);
    s.capture.end();
    s.capture.set(3, State::Gone);
    s.at(1000);
    s.capture.set(3, State::Present);  // the sink was added back
    s.capture.takeCalls();
    s.at(1500);
    EXPECT_EQ(s.capture.takeCalls(), (Calls{"retry 3"}));
    EXPECT_TRUE(s.window.messageBoxes.empty());
}

TEST(CaptureRecovery, AChoiceWithoutSoundServerSaysSoInWordsAndCapturesWhenOneComes) {
    Stepped s;
    s.capture.set(0, State::NoSoundServer);
    s.window.choice.choose(0);
    s.at(0);
    s.at(500);
    EXPECT_EQ(s.capture.takeCalls(), (Calls{"stop", "start 0", "probe 0"}));
    EXPECT_EQ(s.window.messageBoxes, (Calls{kNoSoundServerMessage}));
    EXPECT_EQ(s.window.captureStatuses, (Calls{kNoSoundServerStatus}));
    EXPECT_TRUE(s.recovery.idle());
    s.at(1000);
    EXPECT_EQ(s.capture.takeCalls(), (Calls{"retry 0", "probe 0"}));
    s.capture.set(0, State::Present);
    s.at(1500);
    EXPECT_EQ(s.capture.takeCalls(), (Calls{"probe 0", "retry 0"}));
    EXPECT_EQ(s.window.rateTexts.back(), " 48.0 kHz");
    EXPECT_EQ(s.window.messageBoxes.size(), 1u);
}

TEST(CaptureRecovery, AChosenDeviceThatIsMissingIsAwaitedWithoutTakingTheDefault) {
    Stepped s;
    s.capture.set(4, State::Gone);
    s.window.choice.choose(4);
    s.at(0);
    s.at(500);
    s.capture.takeCalls();
    // Its own box already asked to plug it in: retries on it alone.
    EXPECT_TRUE(s.window.messageBoxes.empty());
    s.at(1000);
    EXPECT_EQ(s.capture.takeCalls(), (Calls{"retry 4", "probe 4"}));
    s.capture.set(4, State::Present);
    s.at(1500);
    EXPECT_EQ(s.capture.takeCalls(), (Calls{"probe 4", "retry 4"}));
    EXPECT_EQ(s.recovery.capturingIndex(), 4);
}

TEST(CaptureRecovery, AnEndpointThatIsThereButCannotBeCapturedWaitsForANewChoice) {
    Stepped s;
    s.capture.presentResult = -2;
    s.window.choice.choose(1);
    s.at(0);
    s.at(500);
    s.capture.takeCalls();
    for (int ms = 1000; ms < 20000; ms += 500) s.at(ms);
    EXPECT_EQ(s.capture.takeCalls(), Calls{});
    EXPECT_FALSE(s.recovery.retrying());

    // A new choice during retries starts over with the pause.
    s.capture.presentResult = 0;
    s.capture.set(2, State::NoSoundServer);
    s.window.choice.choose(2);
    s.at(20000);
    s.at(20500);
    s.capture.takeCalls();
    s.window.choice.choose(1);
    s.at(21000);
    EXPECT_EQ(s.capture.takeCalls(), (Calls{"stop"}));
    s.at(21500);
    EXPECT_EQ(s.capture.takeCalls(), (Calls{"start 1"}));
}

}  // namespace
}  // namespace quavelink::test
