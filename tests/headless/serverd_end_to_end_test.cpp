#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "child_process.h"
#include "pulse_daemon.h"
#include "pulse_player.h"
#include "test_client.h"
#include "tone.h"

namespace quavelink::test {
namespace {

using namespace std::chrono_literals;

std::vector<std::uint8_t> readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The daemon runs the discovery responder, which joins a multicast group: only in a namespace
// of the test's own.
TEST(Serverd, StreamsTheSinkAndFinishesItsRecordingOnSigterm) {
    if (!inPrivateNetwork()) GTEST_SKIP() << "needs scripts/in-private-network.sh";
    PulseDaemon pulse({"module-null-sink sink_name=test rate=48000"});
    ASSERT_TRUE(pulse.ready());
    PulsePlayer player("test", {}, stereoTones(1000, 1500, 48000, 2));

    char folder[] = "/tmp/quavelink-serverd-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    const std::string wav = std::string(folder) + "/take.wav";
    const std::uint16_t port = freeUdpPort();
    ChildProcess serverd({SERVERD_PROGRAM, "--device", "0", "--record", wav},
                         {"QUAVELINK_SERVER_PORT=" + std::to_string(port),
                          "XDG_CONFIG_HOME=" + std::string(folder), "PULSE_SERVER=" + pulse.server(),
                          "QUAVELINK_SERVER_NOWARN_48K=1"});
    ASSERT_TRUE(serverd.waitForOutput("Recording to", 20s)) << serverd.output();

    TestClient client(port, 1 | CONNECT_FLAG_SHARED);
    bool asked = false;
    for (int i = 0; i < 1000 && client.messages().size() < 300; ++i) {
        client.service(10);
        if (client.connected() && !asked) {
            client.sendDataRequest(FLAG_RELIABLE, "e2e");
            asked = true;
        }
    }
    ASSERT_GE(client.messages().size(), 300u) << serverd.output();
    std::vector<float> left, right;
    for (const ReceivedMessage& m : client.messages()) {
        ASSERT_EQ(m.payload.size(), 1352u);
        for (std::size_t i = 0; i + 3 < m.payload.size(); i += 4) {
            left.push_back(static_cast<std::int16_t>(m.payload[i] | m.payload[i + 1] << 8));
            right.push_back(static_cast<std::int16_t>(m.payload[i + 2] | m.payload[i + 3] << 8));
        }
    }
    EXPECT_GT(toneShare(left, 1000, 48000), 0.9);
    EXPECT_GT(toneShare(right, 1500, 48000), 0.9);
    EXPECT_TRUE(serverd.waitForOutput("Status: Connected to e2e", 5s)) << serverd.output();

    EXPECT_EQ(serverd.stop(), 0);
    EXPECT_NE(serverd.output().find("Recording finished"), std::string::npos);
    // The file's header tells its true length, and the file holds the tone.
    std::vector<std::uint8_t> file = readFile(wav);
    ASSERT_GT(file.size(), 44u + 48000);
    EXPECT_EQ(readLittleEndian32(file.data() + 40), file.size() - 44);
    EXPECT_EQ(readLittleEndian32(file.data() + 24), 48000u);
    EXPECT_GT(toneShare(leftChannel(file.data() + 44, file.size() - 44), 1000, 48000), 0.9);
    std::filesystem::remove_all(folder);
}

}  // namespace
}  // namespace quavelink::test
