#include "recording/mp3/mp3_encoder.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <lame/lame.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <new>

#include "platform/log.h"

#ifndef QUAVELINK_LAME_FALLBACK_DIR
#define QUAVELINK_LAME_FALLBACK_DIR "/usr/local/lib"
#endif

namespace quavelink {
namespace {

constexpr const char* kLameSoname = "libmp3lame.so.0";

constexpr const char* kLoadFailedMessage =
    "Error loading libmp3lame.so.0. To use the MP3 save function please download and install "
    "LAME MP3 (Debian package libmp3lame0), see https://packages.debian.org/stable/libmp3lame0 "
    "(or save audio as WAV)";
constexpr const char* kMissingInterfacesMessage =
    "Unable to get all LAME interfaces, check libmp3lame.so.0 (Debian package libmp3lame0)";
constexpr const char* kOpenStreamMessage = "Error opening encoding stream";

// Every libmp3lame call the stream interface makes; the header supplies only the signatures.
struct LameApi {
    decltype(&lame_init) init;
    decltype(&lame_close) close;
    decltype(&lame_set_num_channels) setNumChannels;
    decltype(&lame_set_in_samplerate) setInSamplerate;
    decltype(&lame_set_out_samplerate) setOutSamplerate;
    decltype(&lame_set_mode) setMode;
    decltype(&lame_set_brate) setBrate;
    decltype(&lame_set_VBR) setVbr;
    decltype(&lame_set_VBR_q) setVbrQ;
    decltype(&lame_set_VBR_min_bitrate_kbps) setVbrMinBitrate;
    decltype(&lame_set_VBR_max_bitrate_kbps) setVbrMaxBitrate;
    decltype(&lame_set_VBR_mean_bitrate_kbps) setVbrMeanBitrate;
    decltype(&lame_set_preset) setPreset;
    decltype(&lame_set_quality) setQuality;
    decltype(&lame_set_bWriteVbrTag) setWriteVbrTag;
    decltype(&lame_set_copyright) setCopyright;
    decltype(&lame_set_original) setOriginal;
    decltype(&lame_set_error_protection) setErrorProtection;
    decltype(&lame_set_extension) setExtension;
    decltype(&lame_set_emphasis) setEmphasis;
    decltype(&lame_set_strict_ISO) setStrictIso;
    decltype(&lame_set_disable_reservoir) setDisableReservoir;
    decltype(&lame_set_errorf) setErrorf;
    decltype(&lame_set_debugf) setDebugf;
    decltype(&lame_set_msgf) setMsgf;
    decltype(&lame_init_params) initParams;
    decltype(&lame_get_framesize) getFramesize;
    decltype(&lame_encode_buffer) encodeBuffer;
    decltype(&lame_encode_buffer_interleaved) encodeBufferInterleaved;
    decltype(&lame_encode_flush) encodeFlush;
    decltype(&lame_get_lametag_frame) getLametagFrame;
    decltype(&get_lame_version_numerical) getVersionNumerical;
    decltype(&get_lame_url) getUrl;
};

template <typename F>
bool bindCall(void* library, const char* name, F& slot) {
    slot = reinterpret_cast<F>(dlsym(library, name));
    if (slot) return true;
    logErrorLine("libmp3lame: %s not found\n", name);
    return false;
}

bool bindAll(void* library, LameApi& api) {
    bool ok = true;
    // No early exit: the log then names every missing call at once.
    ok &= bindCall(library, "lame_init", api.init);
    ok &= bindCall(library, "lame_close", api.close);
    ok &= bindCall(library, "lame_set_num_channels", api.setNumChannels);
    ok &= bindCall(library, "lame_set_in_samplerate", api.setInSamplerate);
    ok &= bindCall(library, "lame_set_out_samplerate", api.setOutSamplerate);
    ok &= bindCall(library, "lame_set_mode", api.setMode);
    ok &= bindCall(library, "lame_set_brate", api.setBrate);
    ok &= bindCall(library, "lame_set_VBR", api.setVbr);
    ok &= bindCall(library, "lame_set_VBR_q", api.setVbrQ);
    ok &= bindCall(library, "lame_set_VBR_min_bitrate_kbps", api.setVbrMinBitrate);
    ok &= bindCall(library, "lame_set_VBR_max_bitrate_kbps", api.setVbrMaxBitrate);
    ok &= bindCall(library, "lame_set_VBR_mean_bitrate_kbps", api.setVbrMeanBitrate);
    ok &= bindCall(library, "lame_set_preset", api.setPreset);
    ok &= bindCall(library, "lame_set_quality", api.setQuality);
    ok &= bindCall(library, "lame_set_bWriteVbrTag", api.setWriteVbrTag);
    ok &= bindCall(library, "lame_set_copyright", api.setCopyright);
    ok &= bindCall(library, "lame_set_original", api.setOriginal);
    ok &= bindCall(library, "lame_set_error_protection", api.setErrorProtection);
    ok &= bindCall(library, "lame_set_extension", api.setExtension);
    ok &= bindCall(library, "lame_set_emphasis", api.setEmphasis);
    ok &= bindCall(library, "lame_set_strict_ISO", api.setStrictIso);
    ok &= bindCall(library, "lame_set_disable_reservoir", api.setDisableReservoir);
    ok &= bindCall(library, "lame_set_errorf", api.setErrorf);
    ok &= bindCall(library, "lame_set_debugf", api.setDebugf);
    ok &= bindCall(library, "lame_set_msgf", api.setMsgf);
    ok &= bindCall(library, "lame_init_params", api.initParams);
    ok &= bindCall(library, "lame_get_framesize", api.getFramesize);
    ok &= bindCall(library, "lame_encode_buffer", api.encodeBuffer);
    ok &= bindCall(library, "lame_encode_buffer_interleaved", api.encodeBufferInterleaved);
    ok &= bindCall(library, "lame_encode_flush", api.encodeFlush);
    ok &= bindCall(library, "lame_get_lametag_frame", api.getLametagFrame);
    ok &= bindCall(library, "get_lame_version_numerical", api.getVersionNumerical);
    ok &= bindCall(library, "get_lame_url", api.getUrl);
    return ok;
}

// Written only while `loaded` is false and read only after it was seen true, so the release
// store publishes the table to the record thread.
LameApi lame;
std::atomic<bool> loaded{false};

std::mutex loadMutex;
std::vector<std::string> libraryCandidates = defaultLameLibraryCandidates();

struct Stream {
    lame_global_flags* flags = nullptr;
    int channels = 2;
    std::uint32_t chunkSamples = 0;
    bool tagReserved = false;
    bool closed = false;
};

// Handles are numbers looked up here, so a stale or made-up handle is refused instead of
// being dereferenced.
// Never destroyed: the detached record thread may still be encoding while the process exits,
// and a stream kept for its info tag lives until the process ends.
std::mutex& streamsMutex = *new std::mutex;
std::map<HBE_STREAM, std::unique_ptr<Stream>>& streams =
    *new std::map<HBE_STREAM, std::unique_ptr<Stream>>;
HBE_STREAM nextHandle = 1;
HBE_STREAM closedAwaitingTag = 0;

Stream* findStream(HBE_STREAM handle) {
    std::lock_guard lock(streamsMutex);
    auto found = streams.find(handle);
    return found == streams.end() ? nullptr : found->second.get();
}

// Caller holds streamsMutex.
void releaseStreamLocked(HBE_STREAM handle) {
    auto found = streams.find(handle);
    if (found == streams.end()) return;
    lame.close(found->second->flags);
    streams.erase(found);
    if (closedAwaitingTag == handle) closedAwaitingTag = 0;
}

void reportLameError(const char* format, va_list args) {
    char text[512];
    vsnprintf(text, sizeof text, format, args);
    logErrorLine("%s", text);
}

void discardLameMessage(const char*, va_list) {}

bool isOneOf(std::uint32_t value, std::initializer_list<std::uint32_t> allowed) {
    return std::find(allowed.begin(), allowed.end(), value) != allowed.end();
}

bool validSampleRate(std::uint32_t rate, std::uint32_t mpegVersion) {
    return mpegVersion == MPEG1 ? isOneOf(rate, {32000, 44100, 48000})
                                : isOneOf(rate, {16000, 22050, 24000});
}

bool validBitrate(std::uint32_t kbps, std::uint32_t mpegVersion) {
    return mpegVersion == MPEG1
               ? isOneOf(kbps, {32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320})
               : isOneOf(kbps, {8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160});
}

bool validConfig(const BE_CONFIG& config) {
    const auto& c = config.format.LHV1;
    if (c.dwStructVersion < 1 || c.dwStructSize < CURRENT_STRUCT_SIZE) return false;
    if (c.dwMpegVersion != MPEG1 && c.dwMpegVersion != MPEG2) return false;
    if (!isOneOf(c.dwSampleRate, {16000, 22050, 24000, 32000, 44100, 48000})) return false;
    const std::uint32_t outRate = c.dwReSampleRate != 0 ? c.dwReSampleRate : c.dwSampleRate;
    if (!validSampleRate(outRate, c.dwMpegVersion)) return false;
    if (c.nMode < BE_MP3_MODE_STEREO || c.nMode > BE_MP3_MODE_MONO) return false;
    if (c.bEnableVBR) {
        if (c.dwBitrate != 0 && !validBitrate(c.dwBitrate, c.dwMpegVersion)) return false;
        if (c.dwMaxBitrate != 0 &&
            (!validBitrate(c.dwMaxBitrate, c.dwMpegVersion) || c.dwMaxBitrate < c.dwBitrate))
            return false;
        if (c.nVBRQuality < 0 || c.nVBRQuality > 9) return false;
        if (c.nVbrMethod < VBR_METHOD_NONE || c.nVbrMethod > VBR_METHOD_ABR) return false;
    } else if (!validBitrate(c.dwBitrate, c.dwMpegVersion)) {
        return false;
    }
    if (c.nPreset < LQP_NOPRESET || c.nPreset > LQP_FAST_MEDIUM || c.nPreset == LQP_VOICE_QUALITY)
        return false;
    if (c.nPreset == LQP_ABR && (c.dwVbrAbr_bps < 8000 || c.dwVbrAbr_bps > 320000)) return false;
    return true;
}

// Applies the preset; returns whether it chose the VBR settings itself.
bool applyPreset(lame_global_flags* flags, const BE_CONFIG& config) {
    const auto& c = config.format.LHV1;
    switch (c.nPreset) {
        case LQP_LOW_QUALITY:
            lame.setQuality(flags, 7);
            break;
        case LQP_HIGH_QUALITY:
            lame.setQuality(flags, 2);
            break;
        case LQP_VERYHIGH_QUALITY:
            lame.setQuality(flags, 0);
            break;
        case LQP_R3MIX:
            lame.setPreset(flags, R3MIX);
            return true;
        case LQP_STANDARD:
            lame.setPreset(flags, STANDARD);
            return true;
        case LQP_FAST_STANDARD:
            lame.setPreset(flags, STANDARD_FAST);
            return true;
        case LQP_EXTREME:
            lame.setPreset(flags, EXTREME);
            return true;
        case LQP_FAST_EXTREME:
            lame.setPreset(flags, EXTREME_FAST);
            return true;
        case LQP_INSANE:
            lame.setPreset(flags, INSANE);
            return true;
        case LQP_MEDIUM:
            lame.setPreset(flags, MEDIUM);
            return true;
        case LQP_FAST_MEDIUM:
            lame.setPreset(flags, MEDIUM_FAST);
            return true;
        case LQP_ABR:
            lame.setVbr(flags, vbr_abr);
            lame.setVbrMeanBitrate(flags, static_cast<int>(c.dwVbrAbr_bps / 1000));
            return true;
        default:
            break;
    }
    return false;
}

void applyConfig(lame_global_flags* flags, const BE_CONFIG& config) {
    const auto& c = config.format.LHV1;
    const bool mono = c.nMode == BE_MP3_MODE_MONO;
    lame.setNumChannels(flags, mono ? 1 : 2);
    lame.setInSamplerate(flags, static_cast<int>(c.dwSampleRate));
    lame.setOutSamplerate(
        flags, static_cast<int>(c.dwReSampleRate != 0 ? c.dwReSampleRate : c.dwSampleRate));
    static constexpr MPEG_mode kModes[] = {STEREO, JOINT_STEREO, DUAL_CHANNEL, MONO};
    lame.setMode(flags, kModes[c.nMode]);

    const bool presetChoseVbr = applyPreset(flags, config);
    if (c.nPreset == LQP_CBR || !c.bEnableVBR) {
        lame.setVbr(flags, vbr_off);
        lame.setBrate(flags, static_cast<int>(c.dwBitrate));
    } else {
        if (!presetChoseVbr) {
            switch (c.nVbrMethod) {
                case VBR_METHOD_OLD:
                    lame.setVbr(flags, vbr_rh);
                    break;
                case VBR_METHOD_NEW:
                case VBR_METHOD_MTRH:
                    lame.setVbr(flags, vbr_mtrh);
                    break;
                case VBR_METHOD_ABR:
                    lame.setVbr(flags, vbr_abr);
                    lame.setVbrMeanBitrate(flags, static_cast<int>(c.dwVbrAbr_bps / 1000));
                    break;
                default:
                    lame.setVbr(flags, vbr_default);
                    break;
            }
            lame.setVbrQ(flags, c.nVBRQuality);
        }
        if (c.dwBitrate != 0) lame.setVbrMinBitrate(flags, static_cast<int>(c.dwBitrate));
        if (c.dwMaxBitrate != 0) lame.setVbrMaxBitrate(flags, static_cast<int>(c.dwMaxBitrate));
    }

    const int quality = c.nQuality & 0xFF;
    if (c.nQuality != 0 && ((c.nQuality >> 8) & 0xFF) == (~quality & 0xFF) && quality <= 9)
        lame.setQuality(flags, quality);
    lame.setEmphasis(flags, static_cast<int>(c.dwEmphasis));
    lame.setExtension(flags, c.bPrivate ? 1 : 0);
    lame.setErrorProtection(flags, c.bCRC ? 1 : 0);
    lame.setCopyright(flags, c.bCopyright ? 1 : 0);
    lame.setOriginal(flags, c.bOriginal ? 1 : 0);
    lame.setWriteVbrTag(flags, c.bWriteVBRHeader ? 1 : 0);
    lame.setDisableReservoir(flags, c.bNoRes ? 1 : 0);
    lame.setStrictIso(flags, c.bStrictIso ? 1 : 0);
}

BE_ERR fromLameResult(int result) {
    switch (result) {
        case -1:
            return BE_ERR_BUFFER_TOO_SMALL;
        case -2:
            return BE_ERR_NO_MORE_HANDLES;
        case -3:
            return BE_ERR_INVALID_HANDLE;
        default:
            return BE_ERR_INVALID_FORMAT_PARAMETERS;
    }
}

std::uint32_t outputBufferSize(std::uint32_t framesPerChunk) {
    // The library's worst case for one call: 1.25 bytes per frame plus 7200.
    return framesPerChunk * 5 / 4 + 7200;
}

bool looksLikeFrameHeader(const std::uint8_t* bytes) {
    return bytes[0] == 0xFF && (bytes[1] & 0xE0) == 0xE0;
}

BE_ERR writeTag(const Stream& stream, const char* path) {
    if (!path) return BE_ERR_INVALID_FORMAT_PARAMETERS;
    std::uint8_t frame[4096];
    const std::size_t size = lame.getLametagFrame(stream.flags, frame, sizeof frame);
    if (size == 0) return BE_ERR_SUCCESSFUL;
    if (size > sizeof frame) return BE_ERR_BUFFER_TOO_SMALL;

    const int fd = open(path, O_RDWR | O_CLOEXEC);
    if (fd < 0) return BE_ERR_INVALID_FORMAT_PARAMETERS;
    // The tag replaces the placeholder frame the stream put first; anything else at the
    // start means this is not that stream's file, and overwriting it would destroy audio.
    struct stat info {};
    std::uint8_t head[4];
    BE_ERR result = BE_ERR_SUCCESSFUL;
    if (fstat(fd, &info) != 0 || info.st_size < static_cast<off_t>(size) ||
        pread(fd, head, sizeof head, 0) != static_cast<ssize_t>(sizeof head) ||
        !looksLikeFrameHeader(head) || !looksLikeFrameHeader(frame)) {
        result = BE_ERR_INVALID_FORMAT;
    } else {
        std::size_t done = 0;
        while (done < size) {
            const ssize_t n = pwrite(fd, frame + done, size - done, static_cast<off_t>(done));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                result = BE_ERR_INVALID_FORMAT_PARAMETERS;
                break;
            }
            done += static_cast<std::size_t>(n);
        }
    }
    close(fd);
    return result;
}

// A short write to a regular file is retried; only a write that makes no progress fails.
bool writeAll(int fd, const std::uint8_t* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

BE_ERR beInitStream(PBE_CONFIG pbeConfig, std::uint32_t* dwSamples, std::uint32_t* dwBufferSize,
                    PHBE_STREAM phbeStream) {
    if (!loaded.load(std::memory_order_acquire)) return BE_ERR_INVALID_HANDLE;
    if (!pbeConfig || !dwSamples || !dwBufferSize || !phbeStream)
        return BE_ERR_INVALID_FORMAT_PARAMETERS;
    *phbeStream = 0;
    if (pbeConfig->dwConfig != BE_CONFIG_LAME) return BE_ERR_INVALID_FORMAT;
    if (!validConfig(*pbeConfig)) return BE_ERR_INVALID_FORMAT_PARAMETERS;

    lame_global_flags* flags = lame.init();
    if (!flags) return BE_ERR_NO_MORE_HANDLES;
    lame.setErrorf(flags, reportLameError);
    lame.setDebugf(flags, discardLameMessage);
    lame.setMsgf(flags, discardLameMessage);
    applyConfig(flags, *pbeConfig);
    if (lame.initParams(flags) < 0) {
        lame.close(flags);
        return BE_ERR_INVALID_FORMAT_PARAMETERS;
    }

    auto stream = std::make_unique<Stream>();
    stream->flags = flags;
    stream->channels = pbeConfig->format.LHV1.nMode == BE_MP3_MODE_MONO ? 1 : 2;
    const auto frames = static_cast<std::uint32_t>(lame.getFramesize(flags));
    stream->chunkSamples = frames * static_cast<std::uint32_t>(stream->channels);
    stream->tagReserved = pbeConfig->format.LHV1.bWriteVBRHeader != 0;
    *dwSamples = stream->chunkSamples;
    *dwBufferSize = outputBufferSize(frames);

    std::lock_guard lock(streamsMutex);
    const HBE_STREAM handle = nextHandle++;
    streams.emplace(handle, std::move(stream));
    *phbeStream = handle;
    return BE_ERR_SUCCESSFUL;
}

BE_ERR beEncodeChunk(HBE_STREAM hbeStream, std::uint32_t nSamples, const std::int16_t* pSamples,
                     std::uint8_t* pOutput, std::uint32_t* pdwOutput) {
    if (!loaded.load(std::memory_order_acquire)) return BE_ERR_INVALID_HANDLE;
    Stream* stream = findStream(hbeStream);
    if (!stream || stream->closed) return BE_ERR_INVALID_HANDLE;
    if (!pOutput || !pdwOutput || (nSamples > 0 && !pSamples))
        return BE_ERR_INVALID_FORMAT_PARAMETERS;
    *pdwOutput = 0;
    // The output buffer is only sized for one chunk; more input could overrun it.
    if (nSamples > stream->chunkSamples) return BE_ERR_BUFFER_TOO_SMALL;
    const int frames = static_cast<int>(nSamples / static_cast<std::uint32_t>(stream->channels));
    const int room = static_cast<int>(
        outputBufferSize(stream->chunkSamples / static_cast<std::uint32_t>(stream->channels)));
    const int bytes =
        stream->channels == 1
            ? lame.encodeBuffer(stream->flags, pSamples, pSamples, frames, pOutput, room)
            : lame.encodeBufferInterleaved(stream->flags, const_cast<short*>(pSamples), frames,
                                           pOutput, room);
    if (bytes < 0) return fromLameResult(bytes);
    *pdwOutput = static_cast<std::uint32_t>(bytes);
    return BE_ERR_SUCCESSFUL;
}

BE_ERR beDeinitStream(HBE_STREAM hbeStream, std::uint8_t* pOutput, std::uint32_t* pdwOutput) {
    if (!loaded.load(std::memory_order_acquire)) return BE_ERR_INVALID_HANDLE;
    Stream* stream = findStream(hbeStream);
    if (!stream || stream->closed) return BE_ERR_INVALID_HANDLE;
    if (!pOutput || !pdwOutput) return BE_ERR_INVALID_FORMAT_PARAMETERS;
    *pdwOutput = 0;
    const int room = static_cast<int>(
        outputBufferSize(stream->chunkSamples / static_cast<std::uint32_t>(stream->channels)));
    const int bytes = lame.encodeFlush(stream->flags, pOutput, room);
    if (bytes < 0) return fromLameResult(bytes);
    *pdwOutput = static_cast<std::uint32_t>(bytes);
    return BE_ERR_SUCCESSFUL;
}

BE_ERR beCloseStream(HBE_STREAM hbeStream) {
    if (!loaded.load(std::memory_order_acquire)) return BE_ERR_INVALID_HANDLE;
    std::lock_guard lock(streamsMutex);
    auto found = streams.find(hbeStream);
    if (found == streams.end() || found->second->closed) return BE_ERR_INVALID_HANDLE;
    if (!found->second->tagReserved) {
        releaseStreamLocked(hbeStream);
        return BE_ERR_SUCCESSFUL;
    }
    // Kept for its info tag; at most one such stream waits, so a tag never written leaks
    // nothing beyond the next close.
    if (closedAwaitingTag != 0) releaseStreamLocked(closedAwaitingTag);
    found->second->closed = true;
    closedAwaitingTag = hbeStream;
    return BE_ERR_SUCCESSFUL;
}

BE_ERR beWriteInfoTag(HBE_STREAM hbeStream, const char* lpszFileName) {
    if (!loaded.load(std::memory_order_acquire)) return BE_ERR_INVALID_HANDLE;
    std::lock_guard lock(streamsMutex);
    auto found = streams.find(hbeStream);
    if (found == streams.end()) return BE_ERR_INVALID_HANDLE;
    const BE_ERR result = writeTag(*found->second, lpszFileName);
    if (found->second->closed) releaseStreamLocked(hbeStream);
    return result;
}

BE_ERR beWriteVBRHeader(const char* lpszFileName) {
    HBE_STREAM handle;
    {
        std::lock_guard lock(streamsMutex);
        handle = closedAwaitingTag;
    }
    if (handle == 0) return BE_ERR_INVALID_HANDLE;
    return beWriteInfoTag(handle, lpszFileName);
}

void beVersion(PBE_VERSION pbeVersion) {
    if (!pbeVersion) return;
    std::memset(pbeVersion, 0, sizeof *pbeVersion);
    if (!loaded.load(std::memory_order_acquire)) return;
    pbeVersion->byDLLMajorVersion = 1;
    pbeVersion->byDLLMinorVersion = 0;
    lame_version_t version{};
    lame.getVersionNumerical(&version);
    pbeVersion->byMajorVersion = static_cast<std::uint8_t>(version.major);
    pbeVersion->byMinorVersion = static_cast<std::uint8_t>(version.minor);
    pbeVersion->byAlphaLevel = static_cast<std::uint8_t>(version.alpha);
    pbeVersion->byBetaLevel = static_cast<std::uint8_t>(version.beta);
    if (const char* url = lame.getUrl())
        std::snprintf(pbeVersion->zHomepage, sizeof pbeVersion->zHomepage, "%s", url);
}

std::vector<std::string> defaultLameLibraryCandidates() {
    return {kLameSoname, std::string(QUAVELINK_LAME_FALLBACK_DIR) + "/" + kLameSoname};
}

void setLameLibraryCandidates(std::vector<std::string> candidates) {
    std::lock_guard lock(loadMutex);
    libraryCandidates = std::move(candidates);
}

int loadLameEncoder(MessageBoxHost& boxes) {
    std::lock_guard lock(loadMutex);
    if (loaded.load(std::memory_order_acquire)) return 0;

    void* library = nullptr;
    for (const std::string& candidate : libraryCandidates) {
        library = dlopen(candidate.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (library) break;
        if (const char* why = dlerror()) logErrorLine("%s\n", why);
    }
    if (!library) {
        boxes.ShowMessageBox(kLoadFailedMessage);
        return -1;
    }
    // A library lacking calls stays loaded; a later attempt binds it again.
    LameApi api{};
    if (!bindAll(library, api)) {
        boxes.ShowMessageBox(kMissingInterfacesMessage);
        return -1;
    }
    lame = api;
    loaded.store(true, std::memory_order_release);
    return 0;
}

Mp3Stream::~Mp3Stream() { abandonMp3Stream(); }

int Mp3Stream::openMp3Stream(int channels, int sampleRate, int kbps, MessageBoxHost& boxes) {
    if (!loaded.load(std::memory_order_acquire)) return 0;
    // A stream left open (a recording never finished) would otherwise leak its encoder.
    abandonMp3Stream();

    BE_CONFIG config;
    std::memset(&config, 0, sizeof config);
    auto& c = config.format.LHV1;
    config.dwConfig = BE_CONFIG_LAME;
    c.dwStructVersion = 1;
    c.dwStructSize = CURRENT_STRUCT_SIZE;
    c.dwSampleRate = sampleRate > 0 ? static_cast<std::uint32_t>(sampleRate) : 0;
    c.dwReSampleRate = 0;
    c.nMode = channels == 1 ? BE_MP3_MODE_MONO : BE_MP3_MODE_JSTEREO;
    c.dwBitrate = kbps == 0 ? 160 : (kbps > 0 ? static_cast<std::uint32_t>(kbps) : 0);
    c.dwMaxBitrate = 0;
    c.nPreset = kbps == 0 ? LQP_R3MIX : LQP_NOPRESET;
    c.dwMpegVersion = MPEG1;
    c.bOriginal = 1;
    c.bWriteVBRHeader = 1;
    c.bEnableVBR = kbps == 0 ? 1 : 0;
    c.bNoRes = 1;

    std::uint32_t samples = 0;
    std::uint32_t bufferSize = 0;
    HBE_STREAM opened = 0;
    const BE_ERR err = beInitStream(&config, &samples, &bufferSize, &opened);
    if (err != BE_ERR_SUCCESSFUL) {
        logErrorLine("Error opening encoding stream (%lu)\n", static_cast<unsigned long>(err));
        boxes.ShowMessageBox(kOpenStreamMessage);
        return -1;
    }
    stream = opened;
    chunkSamples = samples;
    output.reset(new (std::nothrow) std::uint8_t[bufferSize]);
    if (!output) {
        logErrorLine("Out of memory\n");
        abandonMp3Stream();
        return -1;
    }
    return 0;
}

int Mp3Stream::encodeMp3Chunk(int fd, const void* pcm, int bytes) {
    if (!loaded.load(std::memory_order_acquire)) return 0;
    if (bytes < 0 || (bytes > 0 && !pcm)) {
        logErrorLine("beEncodeChunk() failed (%lu)\n",
                     static_cast<unsigned long>(BE_ERR_INVALID_FORMAT_PARAMETERS));
        return -1;
    }
    if (stream == 0 || !output || chunkSamples == 0) {
        logErrorLine("beEncodeChunk() failed (%lu)\n",
                     static_cast<unsigned long>(BE_ERR_INVALID_HANDLE));
        return -1;
    }
    // Copied into aligned samples, and split into chunks the output buffer can hold: the
    // caller's block may be any length and start at any byte.
    const auto* in = static_cast<const std::uint8_t*>(pcm);
    std::uint32_t remaining = static_cast<std::uint32_t>(bytes) / 2;
    std::unique_ptr<std::int16_t[]> chunk(new (std::nothrow) std::int16_t[chunkSamples]);
    if (!chunk) {
        logErrorLine("Out of memory\n");
        return -1;
    }
    while (remaining > 0) {
        const std::uint32_t count = std::min(remaining, chunkSamples);
        std::memcpy(chunk.get(), in, count * 2);
        std::uint32_t produced = 0;
        const BE_ERR err = beEncodeChunk(stream, count, chunk.get(), output.get(), &produced);
        if (err != BE_ERR_SUCCESSFUL) {
            logErrorLine("beEncodeChunk() failed (%lu)\n", static_cast<unsigned long>(err));
            return -1;
        }
        if (!writeAll(fd, output.get(), produced)) {
            logErrorLine("Output file write error\n");
            return -1;
        }
        in += count * 2;
        remaining -= count;
    }
    return 0;
}

void Mp3Stream::abandonMp3Stream() {
    if (!loaded.load(std::memory_order_acquire)) return;
    if (stream != 0) {
        // Released at once: no info tag will be asked for.
        std::lock_guard lock(streamsMutex);
        releaseStreamLocked(stream);
    }
    stream = 0;
    output.reset();
    chunkSamples = 0;
}

int Mp3Stream::finishMp3Stream(int fd, const char* path) {
    if (!loaded.load(std::memory_order_acquire)) return 0;
    std::uint32_t produced = 0;
    const BE_ERR err =
        output ? beDeinitStream(stream, output.get(), &produced) : BE_ERR_INVALID_HANDLE;
    if (err != BE_ERR_SUCCESSFUL) {
        logErrorLine("beExitStream failed (%lu)\n", static_cast<unsigned long>(err));
        abandonMp3Stream();  // no info tag follows a failed end
        return -1;
    }
    if (!writeAll(fd, output.get(), produced)) {
        logErrorLine("Output file write error\n");
        abandonMp3Stream();
        return -1;
    }
    // Tagged before it is released rather than through the one closed stream that
    // beCloseStream keeps for its tag: another recording may close its own stream in between.
    const BE_ERR tagErr = beWriteInfoTag(stream, path);
    abandonMp3Stream();
    if (tagErr != BE_ERR_SUCCESSFUL)
        logErrorLine("beWriteInfoTag failed (%lu)\n", static_cast<unsigned long>(tagErr));
    return 0;
}

}  // namespace quavelink
