#include "audio_files.h"

#include <sys/wait.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <numbers>
#include <regex>

namespace quavelink::testing {
namespace {

// Runs a shell command and returns what it printed on both streams, or "" with `ok` false.
std::string runCommand(const std::string& command, bool& ok) {
    std::string output;
    FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) {
        ok = false;
        return output;
    }
    char chunk[4096];
    std::size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, pipe)) > 0) output.append(chunk, got);
    int status = ::pclose(pipe);
    ok = status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return output;
}

std::string quoted(const std::filesystem::path& path) { return "'" + path.string() + "'"; }

double numberAfter(const std::string& text, const std::string& label) {
    std::smatch match;
    std::regex pattern(label + R"(:?\s*(-?[0-9.]+))");
    if (!std::regex_search(text, match, pattern)) return -1;
    return std::stod(match[1]);
}

}  // namespace

std::vector<std::uint8_t> stereoTone(double hz, int sampleRate, std::int64_t firstFrame,
                                     int frames) {
    std::vector<std::uint8_t> pcm;
    pcm.reserve(static_cast<std::size_t>(frames) * 4);
    for (std::int64_t frame = firstFrame; frame < firstFrame + frames; ++frame) {
        double phase = 2 * std::numbers::pi * hz * static_cast<double>(frame) / sampleRate;
        auto sample = static_cast<std::int16_t>(std::lround(16000 * std::sin(phase)));
        auto bits = static_cast<std::uint16_t>(sample);
        for (int channel = 0; channel < 2; ++channel) {
            pcm.push_back(static_cast<std::uint8_t>(bits & 0xFF));
            pcm.push_back(static_cast<std::uint8_t>(bits >> 8));
        }
    }
    return pcm;
}

SoxReport inspectWithSox(const std::filesystem::path& path) {
    SoxReport report;
    bool rateOk = false;
    bool channelsOk = false;
    bool framesOk = false;
    bool statOk = false;
    std::string rate = runCommand("soxi -r " + quoted(path), rateOk);
    std::string channels = runCommand("soxi -c " + quoted(path), channelsOk);
    std::string frames = runCommand("soxi -s " + quoted(path), framesOk);
    // One channel only: sox's frequency estimate of interleaved channels is off by a factor.
    std::string stat = runCommand("sox " + quoted(path) + " -n remix 1 stat", statOk);
    report.output = rate + channels + frames + stat;
    if (!rateOk || !channelsOk || !framesOk || !statOk) return report;
    report.sampleRate = std::stoi(rate);
    report.channels = std::stoi(channels);
    report.frames = std::stoll(frames);
    double framesDecoded = numberAfter(stat, "Samples read");
    report.roughFrequency = numberAfter(stat, R"(Rough\s+frequency)");
    // soxi takes the count from the header; what sox actually decoded must agree with it.
    report.readable = static_cast<std::int64_t>(framesDecoded) == report.frames;
    return report;
}

std::vector<std::uint8_t> readFileBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::uint32_t le32At(const std::vector<std::uint8_t>& bytes, std::size_t offset) {
    return static_cast<std::uint32_t>(bytes.at(offset)) |
           static_cast<std::uint32_t>(bytes.at(offset + 1)) << 8 |
           static_cast<std::uint32_t>(bytes.at(offset + 2)) << 16 |
           static_cast<std::uint32_t>(bytes.at(offset + 3)) << 24;
}

}  // namespace quavelink::testing
