#include "client/status_line.h"

#include <gtest/gtest.h>

namespace quavelink {
namespace {

TEST(StatusLine, MachineLineCarriesEveryFigureAsOneWord) {
    StatusFigures f;
    f.server = "192.168.1.5:59010";
    f.state = "streaming";
    f.reliable = false;
    f.rateCode = 2;
    f.sampleRate = 44100;
    f.streamRateCode = 2;
    f.streamReliable = false;
    f.kilobitsPerSecond = 131.44;
    f.received = 12345;
    f.lost = 7;
    f.underruns = 1;
    f.concealed = 3;
    f.bufferMs = 22;
    f.targetMs = 40;
    f.jitterMs = 12.34;
    f.ratePpm = -312.4;
    f.latencyMs = 71;
    f.outputMs = 10.3;
    f.deviceMs = 5;
    f.outputUnderruns = 2;
    f.outputRealtime = "rtkit";
    EXPECT_EQ(
        formatMachineStatus(f),
        "status server=192.168.1.5:59010 state=streaming mode=best-effort rate=2 "
        "stream_mode=best-effort stream_rate=2 "
        "sample_rate=44100 kbps=131.4 received=12345 lost=7 underruns=1 concealed=3 "
        "buffer_ms=22 target_ms=40 jitter_ms=12.3 pull_jitter_ms=0.0 rate_ppm=-312 latency_ms=71 "
        "output_ms=10.3 device_ms=5.0 output_underruns=2 output_realtime=rtkit");
    std::string human = formatStatusLine(f);
    for (const char* part : {"best-effort", "Opus 128k", "44.1 kHz", "131 kbit/s", "lost 7",
                             "buffer 22/40 ms", "jitter 12.3 ms", "-312 ppm", "underruns 3",
                             "concealed 3", "~71 ms", "real-time rtkit"}) {
        EXPECT_NE(human.find(part), std::string::npos) << part << " in " << human;
    }
}

TEST(StatusLine, RateMeterGivesKilobitsPerSecondOverEachInterval) {
    RateMeter meter;
    EXPECT_EQ(meter.sample(1000, 5000), 0);
    EXPECT_DOUBLE_EQ(meter.sample(1000 + 176000, 6000), 1408.0);  // plain PCM at 48000 Hz
    EXPECT_DOUBLE_EQ(meter.sample(1000 + 176000, 6000), 1408.0);  // no time passed: keep it
    EXPECT_DOUBLE_EQ(meter.sample(1000 + 176000 + 8000, 6500), 128.0);
}

}  // namespace
}  // namespace quavelink
