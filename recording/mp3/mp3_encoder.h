#pragma once

// MP3 encoding for recordings: the encoder library's stream interface (be* calls, provided here
// over libmp3lame, which is loaded at run time and never linked) and the four operations the
// save-as flow and the record thread use.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/message_box.h"

namespace quavelink {

// ---- Stream interface types and constants ----

using BE_ERR = std::uint32_t;

//! Identifies one encoder stream; 0 is never a valid stream.
using HBE_STREAM = std::uintptr_t;
using PHBE_STREAM = HBE_STREAM*;

// The codes keep their numbers, which the log lines print ("Error opening encoding stream (2)").
// What each stands for here:
//   1 INVALID_FORMAT             a configuration not in the LAME form; or the file handed for the
//                                info tag is shorter than the tag, does not start with the
//                                stream's placeholder frame, or cannot be examined (fstat, pread)
//   2 INVALID_FORMAT_PARAMETERS  a missing argument; a rate, bit rate, mode or preset the
//                                encoder does not take; libmp3lame refused its parameters or
//                                failed in a way of its own; the tag's file could not be opened
//                                or written
//   3 NO_MORE_HANDLES            libmp3lame could not allocate (lame_init or its buffers)
//   4 INVALID_HANDLE             libmp3lame not loaded; a stream never opened or already closed
//   5 BUFFER_TOO_SMALL           more samples than one chunk; a frame or tag larger than the
//                                buffer sized for it
constexpr BE_ERR BE_ERR_SUCCESSFUL = 0x00000000;
constexpr BE_ERR BE_ERR_INVALID_FORMAT = 0x00000001;
constexpr BE_ERR BE_ERR_INVALID_FORMAT_PARAMETERS = 0x00000002;
constexpr BE_ERR BE_ERR_NO_MORE_HANDLES = 0x00000003;
constexpr BE_ERR BE_ERR_INVALID_HANDLE = 0x00000004;
constexpr BE_ERR BE_ERR_BUFFER_TOO_SMALL = 0x00000005;

constexpr std::uint32_t BE_CONFIG_MP3 = 0;
constexpr std::uint32_t BE_CONFIG_LAME = 256;

constexpr std::int32_t BE_MP3_MODE_STEREO = 0;
constexpr std::int32_t BE_MP3_MODE_JSTEREO = 1;
constexpr std::int32_t BE_MP3_MODE_DUALCHANNEL = 2;
constexpr std::int32_t BE_MP3_MODE_MONO = 3;

constexpr std::uint32_t MPEG1 = 1;
constexpr std::uint32_t MPEG2 = 0;

constexpr int BE_MAX_HOMEPAGE = 128;

// `nVbrMethod` values.
constexpr std::int32_t VBR_METHOD_NONE = -1;
constexpr std::int32_t VBR_METHOD_DEFAULT = 0;
constexpr std::int32_t VBR_METHOD_OLD = 1;
constexpr std::int32_t VBR_METHOD_NEW = 2;
constexpr std::int32_t VBR_METHOD_MTRH = 3;
constexpr std::int32_t VBR_METHOD_ABR = 4;

// `nPreset` values. Values not listed here are refused by beInitStream.
constexpr std::int32_t LQP_NOPRESET = -1;
constexpr std::int32_t LQP_NORMAL_QUALITY = 0;
constexpr std::int32_t LQP_LOW_QUALITY = 1;
constexpr std::int32_t LQP_HIGH_QUALITY = 2;
constexpr std::int32_t LQP_VOICE_QUALITY = 3;
constexpr std::int32_t LQP_R3MIX = 4;
constexpr std::int32_t LQP_VERYHIGH_QUALITY = 5;
constexpr std::int32_t LQP_STANDARD = 6;
constexpr std::int32_t LQP_FAST_STANDARD = 7;
constexpr std::int32_t LQP_EXTREME = 8;
constexpr std::int32_t LQP_FAST_EXTREME = 9;
constexpr std::int32_t LQP_INSANE = 10;
constexpr std::int32_t LQP_ABR = 11;
constexpr std::int32_t LQP_CBR = 12;
constexpr std::int32_t LQP_MEDIUM = 13;
constexpr std::int32_t LQP_FAST_MEDIUM = 14;

//! The encoder configuration (structure version 1). Only the LAME form (`dwConfig` =
//! BE_CONFIG_LAME, fields in `format.LHV1`) is accepted.
struct BE_CONFIG {
    std::uint32_t dwConfig;
    union {
        struct {
            std::uint32_t dwStructVersion;
            std::uint32_t dwStructSize;
            std::uint32_t dwSampleRate;
            std::uint32_t dwReSampleRate;  // 0: same as dwSampleRate
            std::int32_t nMode;            // BE_MP3_MODE_*
            std::uint32_t dwBitrate;       // kbit/s: the fixed rate, or the VBR minimum
            std::uint32_t dwMaxBitrate;    // kbit/s: the VBR maximum, 0 for the library's
            std::int32_t nPreset;          // LQP_*
            std::uint32_t dwMpegVersion;   // MPEG1 or MPEG2
            std::uint32_t dwPsyModel;
            std::uint32_t dwEmphasis;
            std::int32_t bPrivate;
            std::int32_t bCRC;
            std::int32_t bCopyright;
            std::int32_t bOriginal;
            std::int32_t bWriteVBRHeader;  // reserve the first frame for the info tag
            std::int32_t bEnableVBR;
            std::int32_t nVBRQuality;    // 0 (best) to 9
            std::uint32_t dwVbrAbr_bps;  // mean bit rate in bit/s for VBR_METHOD_ABR
            std::int32_t nVbrMethod;     // VBR_METHOD_*
            std::int32_t bNoRes;         // bit reservoir off
            std::int32_t bStrictIso;
            std::uint16_t nQuality;  // 0: library default; else low byte 0..9, high byte its ~
            std::uint8_t btReserved[255 - 4 * sizeof(std::uint32_t) - sizeof(std::uint16_t)];
        } LHV1;
    } format;
};
using PBE_CONFIG = BE_CONFIG*;

struct BE_VERSION {
    std::uint8_t byDLLMajorVersion;  // version of this stream interface
    std::uint8_t byDLLMinorVersion;
    std::uint8_t byMajorVersion;  // version of the loaded encoder library
    std::uint8_t byMinorVersion;
    std::uint8_t byDay;  // release date: not known for the loaded library, 0
    std::uint8_t byMonth;
    std::uint16_t wYear;
    char zHomepage[BE_MAX_HOMEPAGE + 1];
    std::uint8_t byAlphaLevel;
    std::uint8_t byBetaLevel;
    std::uint8_t byMMXEnabled;
    std::uint8_t btReserved[125];
};
using PBE_VERSION = BE_VERSION*;

constexpr std::uint32_t CURRENT_STRUCT_VERSION = 1;
constexpr std::uint32_t CURRENT_STRUCT_SIZE = sizeof(BE_CONFIG);

// ---- Stream interface ----
// All of them need a successful loadLameEncoder first; before it they fail with
// BE_ERR_INVALID_HANDLE. Any thread; one stream is used by one thread at a time.

//! Opens a stream for `pbeConfig`. Out: samples (16-bit, over all channels) that one
//! beEncodeChunk accepts at most, the output buffer size each call needs, the stream.
BE_ERR beInitStream(PBE_CONFIG pbeConfig, std::uint32_t* dwSamples, std::uint32_t* dwBufferSize,
                    PHBE_STREAM phbeStream);

//! Encodes `nSamples` interleaved samples (at most the chunk size) into `pOutput`, which holds
//! the buffer size beInitStream reported; `*pdwOutput` gets the byte count, possibly 0.
BE_ERR beEncodeChunk(HBE_STREAM hbeStream, std::uint32_t nSamples, const std::int16_t* pSamples,
                     std::uint8_t* pOutput, std::uint32_t* pdwOutput);

//! Flushes the encoder's last frames into `pOutput` (the reported buffer size).
BE_ERR beDeinitStream(HBE_STREAM hbeStream, std::uint8_t* pOutput, std::uint32_t* pdwOutput);

//! Ends the stream. When it reserved an info-tag frame, the stream stays readable for one
//! beWriteInfoTag (or beWriteVBRHeader) until the next stream is closed.
BE_ERR beCloseStream(HBE_STREAM hbeStream);

//! Writes the stream's info tag over the frame it reserved at the start of the finished file
//! `lpszFileName`, then releases a closed stream.
BE_ERR beWriteInfoTag(HBE_STREAM hbeStream, const char* lpszFileName);

//! As beWriteInfoTag, for the most recently closed stream that still awaits its tag.
BE_ERR beWriteVBRHeader(const char* lpszFileName);

//! Fills `pbeVersion`; all zero when the library is not loaded.
void beVersion(PBE_VERSION pbeVersion);

// ---- Operations for the recorder ----

//! Window thread. Loads libmp3lame once per process; 0 when ready (also when it already was),
//! -1 after showing why not on `boxes`.
int loadLameEncoder(MessageBoxHost& boxes);

//! One recording's encoder stream with its output buffer and chunk size. Each recording owns
//! its own, so recordings made at the same time never share a stream. Used by one thread at a
//! time: the record thread, or the window thread while it stops a recording, under the
//! recorder's recordLock.
class Mp3Stream {
  public:
    Mp3Stream() = default;
    //! Ends a stream still open, as abandonMp3Stream.
    ~Mp3Stream();

    Mp3Stream(const Mp3Stream&) = delete;
    Mp3Stream& operator=(const Mp3Stream&) = delete;

    //! Opens the encoder for `channels` (1 mono, else joint stereo), `sampleRate` in Hz and
    //! `kbps` (0 = VBR); 0 or -1. Shows its failure box on `boxes`, which must hold it until
    //! recordLock has been released. 0 at once while not loaded.
    int openMp3Stream(int channels, int sampleRate, int kbps, MessageBoxHost& boxes);

    //! Encodes `bytes` of 16-bit interleaved PCM and appends the result to `fd` (borrowed);
    //! 0 or -1. 0 at once while not loaded.
    int encodeMp3Chunk(int fd, const void* pcm, int bytes);

    //! Flushes the stream into `fd` (borrowed, left open), ends the stream and writes the info
    //! tag into the file at `path`; 0 or -1. 0 at once while not loaded.
    int finishMp3Stream(int fd, const char* path);

    //! Ends the stream of a recording whose file failed, writing nothing more into that file:
    //! neither the encoder's last frames nor the info tag. Nothing at once while not loaded.
    void abandonMp3Stream();

  private:
    HBE_STREAM stream = 0;
    std::unique_ptr<std::uint8_t[]> output;
    std::uint32_t chunkSamples = 0;
};

//! Where loadLameEncoder looks, in order: the bare soname (normal library search), then the
//! fixed fallback folder.
std::vector<std::string> defaultLameLibraryCandidates();

//! Replaces the places loadLameEncoder tries (dlopen names or paths), for tests. Has no effect
//! once the library is loaded. Any thread before loading.
void setLameLibraryCandidates(std::vector<std::string> candidates);

}  // namespace quavelink
