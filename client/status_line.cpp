#include "client/status_line.h"

#include <cinttypes>
#include <cstdio>

namespace quavelink {

const char* modeName(bool reliable) { return reliable ? "reliable" : "best-effort"; }

namespace {

std::string rateText(int rateCode) {
    static const char* const names[] = {"PCM", "Opus 64k", "Opus 128k", "Opus 256k"};
    return (rateCode >= 0 && rateCode <= 3) ? names[rateCode] : "?";
}

std::string latencyText(int latencyMs) {
    return latencyMs < 0 ? std::string("?") : std::to_string(latencyMs);
}

}  // namespace

std::string formatStatusLine(const StatusFigures& f) {
    char line[512];
    std::snprintf(line, sizeof line,
                  "%s %s | %s %s | %.1f kHz | %.0f kbit/s | blocks %" PRIu64 " lost %" PRIu64
                  " | buffer %d/%d ms | jitter %.1f ms | %+.0f ppm | underruns %" PRIu64
                  " | concealed %" PRIu64 " | latency ~%s ms | real-time %s",
                  f.server.c_str(), f.state.c_str(), modeName(f.reliable),
                  rateText(f.rateCode).c_str(), f.sampleRate / 1000.0, f.kilobitsPerSecond,
                  f.received, f.lost, f.bufferMs, f.targetMs, f.jitterMs, f.ratePpm,
                  f.underruns + f.outputUnderruns, f.concealed, latencyText(f.latencyMs).c_str(),
                  f.outputRealtime);
    return line;
}

std::string formatMachineStatus(const StatusFigures& f) {
    char line[512];
    std::snprintf(line, sizeof line,
                  "status server=%s state=%s mode=%s rate=%d stream_mode=%s stream_rate=%d "
                  "sample_rate=%d kbps=%.1f "
                  "received=%" PRIu64 " lost=%" PRIu64 " underruns=%" PRIu64 " concealed=%" PRIu64
                  " buffer_ms=%d target_ms=%d jitter_ms=%.1f pull_jitter_ms=%.1f rate_ppm=%.0f"
                  " latency_ms=%d output_ms=%.1f device_ms=%.1f output_underruns=%" PRIu64
                  " output_realtime=%s",
                  f.server.empty() ? "-" : f.server.c_str(), f.state.c_str(), modeName(f.reliable),
                  f.rateCode, f.streamRateCode < 0 ? "-" : modeName(f.streamReliable),
                  f.streamRateCode, f.sampleRate, f.kilobitsPerSecond, f.received, f.lost,
                  f.underruns, f.concealed, f.bufferMs, f.targetMs, f.jitterMs, f.pullJitterMs,
                  f.ratePpm, f.latencyMs, f.outputMs, f.deviceMs, f.outputUnderruns,
                  f.outputRealtime);
    return line;
}

int estimateLatencyMs(int blockMs, int roundTripMs, double bufferMs, bool opus) {
    double total = blockMs + roundTripMs / 2.0 + bufferMs + (opus ? 6.5 : 0.0);
    return static_cast<int>(total + 0.5);
}

double RateMeter::sample(std::uint64_t totalBytes, std::int64_t nowMs) {
    if (!started) {
        started = true;
        lastBytes = totalBytes;
        lastMs = nowMs;
        return 0;
    }
    if (nowMs <= lastMs) return last;
    last = static_cast<double>(totalBytes - lastBytes) * 8.0 / static_cast<double>(nowMs - lastMs);
    lastBytes = totalBytes;
    lastMs = nowMs;
    return last;
}

}  // namespace quavelink
