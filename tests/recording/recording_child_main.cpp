// recording_child wav|mp3 SECONDS PATH...
// Records SECONDS of a 1000 Hz tone at 48000 Hz into each PATH in turn, through a Recorder and
// its record thread, with the blocks queued at the pace a capture thread queues them; SECONDS 0
// records into the first PATH until the process is killed. A process of its own, so that a
// test can give it a file system of its own (full) or kill it mid-recording. Prints each
// message box as "box: TEXT", "pushed N" after every block and, after each recording,
// "recorded PATH pushed=N refused=M".
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "recorder_fixture.h"
#include "recording/mp3/mp3_encoder.h"

using namespace quavelink;
using namespace quavelink::testing;
using quavelink::test::RecordedBoxes;

namespace {

constexpr int kRate = 48000;

void printLine(const std::string& line) {
    std::fputs((line + "\n").c_str(), stdout);
    std::fflush(stdout);
}

// Queues blocks of `tone` for `seconds` (forever when 0), one per block period.
void feed(Recorder& recorder, ToneSource& tone, double seconds, int& pushed, int& refused) {
    const auto period = std::chrono::microseconds(1000000LL * kBlockFrames / kRate);
    const long blocks = static_cast<long>(seconds * kRate / kBlockFrames);
    auto next = std::chrono::steady_clock::now();
    for (long i = 0; seconds == 0 || i < blocks; ++i) {
        if (tone.push(recorder, 1) == 1) {
            ++pushed;
        } else {
            ++refused;
        }
        printLine("pushed " + std::to_string(pushed));
        next += period;
        std::this_thread::sleep_until(next);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fputs("usage: recording_child wav|mp3 SECONDS PATH...\n", stderr);
        return 2;
    }
    const bool mp3 = std::string(argv[1]) == "mp3";
    const double seconds = std::atof(argv[2]);
    RecordedBoxes boxes;
    boxes.onShow = [](const std::string& text) { printLine("box: " + text); };
    if (mp3 && loadLameEncoder(boxes) != 0) return 3;
    LockSem lock;
    Recorder recorder(lock, boxes);
    RecordThread thread(recorder);
    for (int i = 3; i < argc; ++i) {
        RecordingFile file(std::filesystem::path(argv[i]).parent_path(),
                           std::filesystem::path(argv[i]).filename());
        if (file.fd < 0) {
            printLine(std::string("cannot open ") + argv[i]);
            return 4;
        }
        ToneSource tone(1000, kRate);
        int pushed = 0;
        int refused = 0;
        recorder.setRecordTarget(file.path, file.fd, kRate, mp3, mp3 ? 128 : 0);
        feed(recorder, tone, seconds, pushed, refused);
        recorder.setRecordTarget("", -1, 0, false, 0);
        printLine("recorded " + file.path.string() + " pushed=" + std::to_string(pushed) +
                  " refused=" + std::to_string(refused));
    }
    return 0;
}
