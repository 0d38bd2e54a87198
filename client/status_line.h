#pragma once

#include <cstdint>
#include <string>

namespace quavelink {

//! Everything the status line shows, gathered on the network thread.
struct StatusFigures {
    std::string server;           //!< "host:port"
    std::string state;            //!< "connecting", "streaming", "waiting", "disconnected"
    bool reliable = true;         //!< what the client asked for
    int rateCode = 0;             //!< what the client asked for
    int sampleRate = 0;           //!< of the stream; 0 before any audio
    int streamRateCode = -1;      //!< as the server last sent it; -1 before any audio
    bool streamReliable = false;  //!< as the server last sent it
    double kilobitsPerSecond = 0;
    std::uint64_t received = 0;
    std::uint64_t lost = 0;
    std::uint64_t underruns = 0;             //!< the playout queue ran dry
    std::uint64_t outputUnderruns = 0;       //!< the sound server found its buffer empty
    std::uint64_t concealed = 0;             //!< blocks made up for lost or unusable ones
    int bufferMs = 0;                        //!< from arrival to the ear: the queue and the output
    int targetMs = 0;                        //!< what the controller holds that latency at now
    double jitterMs = 0;                     //!< arrival lateness the target covers
    double pullJitterMs = 0;                 //!< the playback side's own irregularity it covers
    double ratePpm = 0;                      //!< playing this much faster than nominal
    double outputMs = 0;                     //!< of the latency, what the output holds
    double deviceMs = -1;                    //!< what the sink runs at for us; -1 unknown
    const char* outputRealtime = "unknown";  //!< the output thread's priority (realtimeName)
    int latencyMs = -1;                      //!< estimate; -1 unknown
};

//! "reliable" or "best-effort".
const char* modeName(bool reliable);

//! One terminal line, no line feed, for people.
std::string formatStatusLine(const StatusFigures& figures);

//! "status key=value ..." for programs; values never contain a blank.
std::string formatMachineStatus(const StatusFigures& figures);

//! Time from the server's capture of a block's first frame to its playback, in ms: the block
//! fills for `blockMs`, travels half a round trip and waits `bufferMs` in the playout queue and
//! the output; Opus adds its 6.5 ms look-ahead.
int estimateLatencyMs(int blockMs, int roundTripMs, double bufferMs, bool opus);

//! Measures kbit/s from byte counts sampled at steady-clock milliseconds. Single thread.
class RateMeter {
  public:
    //! `totalBytes` so far at `nowMs`; returns the rate since the previous sample (0 for the
    //! first, and when no time passed).
    double sample(std::uint64_t totalBytes, std::int64_t nowMs);

  private:
    bool started = false;
    std::uint64_t lastBytes = 0;
    std::int64_t lastMs = 0;
    double last = 0;
};

}  // namespace quavelink
