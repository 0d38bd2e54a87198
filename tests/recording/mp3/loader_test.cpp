// The loader's state lives for the whole process and a successful load is never undone, so
// every case that loads successfully comes last in this file (CTest also runs each case in a
// process of its own).

#include <gtest/gtest.h>

#include <cstdint>

#include "mp3_test_support.h"
#include "recording/mp3/mp3_encoder.h"

namespace quavelink {
namespace {

using test::LogCapture;
using test::RecordedBoxes;
using test::TemporaryFolder;

const char* const kLoadFailed =
    "Error loading libmp3lame.so.0. To use the MP3 save function please download and install "
    "LAME MP3 (Debian package libmp3lame0), see https://packages.debian.org/stable/libmp3lame0 "
    "(or save audio as WAV)";
const char* const kMissingInterfaces =
    "Unable to get all LAME interfaces, check libmp3lame.so.0 (Debian package libmp3lame0)";

TEST(Mp3Loader, MissingLibraryFailsWithInstallAdviceAndLeavesRecordingInert) {
    setLameLibraryCandidates({"/nonexistent/libmp3lame.so.0", "/nonexistent/lib/libmp3lame.so.0"});
    RecordedBoxes boxes;
    EXPECT_EQ(loadLameEncoder(boxes), -1);
    ASSERT_EQ(boxes.shown().size(), 1u);
    EXPECT_EQ(boxes.shown()[0], kLoadFailed);

    // Unloaded, the recorder's calls succeed without touching the file.
    TemporaryFolder folder;
    const std::string path = folder.file("never.mp3");
    const int fd = test::openForRecording(path);
    ASSERT_GE(fd, 0);
    const std::int16_t pcm[676] = {};
    Mp3Stream recording;
    EXPECT_EQ(recording.openMp3Stream(2, 48000, 128, boxes), 0);
    EXPECT_EQ(recording.encodeMp3Chunk(fd, pcm, sizeof pcm), 0);
    EXPECT_EQ(recording.finishMp3Stream(fd, path.c_str()), 0);
    close(fd);
    EXPECT_EQ(test::fileSize(path), 0);
    EXPECT_EQ(boxes.shown().size(), 1u);

    BE_CONFIG config{};
    std::uint32_t samples = 0, bufferSize = 0;
    HBE_STREAM stream = 0;
    EXPECT_EQ(beInitStream(&config, &samples, &bufferSize, &stream), BE_ERR_INVALID_HANDLE);
    BE_VERSION version;
    version.byMajorVersion = 99;
    beVersion(&version);
    EXPECT_EQ(version.byMajorVersion, 0);
}

TEST(Mp3Loader, RefusesALibraryWithoutTheFullInterfaceAndNamesWhatIsMissing) {
    setLameLibraryCandidates({PARTIAL_LAME_PATH});
    RecordedBoxes boxes;
    LogCapture log;
    EXPECT_EQ(loadLameEncoder(boxes), -1);
    ASSERT_EQ(boxes.shown().size(), 1u);
    EXPECT_EQ(boxes.shown()[0], kMissingInterfaces);
    EXPECT_NE(log.text().find("lame_encode_buffer_interleaved"), std::string::npos);
    EXPECT_NE(log.text().find("get_lame_version_numerical"), std::string::npos);
    EXPECT_EQ(log.text().find("lame_init "), std::string::npos);

    // Still unloaded: the stream calls refuse instead of calling into the partial library.
    BE_CONFIG config{};
    std::uint32_t samples = 0, bufferSize = 0;
    HBE_STREAM stream = 0;
    EXPECT_EQ(beInitStream(&config, &samples, &bufferSize, &stream), BE_ERR_INVALID_HANDLE);
}

TEST(Mp3Loader, AfterAFailureALaterAttemptFindsTheLibraryInTheFallbackFolder) {
    RecordedBoxes boxes;
    setLameLibraryCandidates({PARTIAL_LAME_PATH});
    ASSERT_EQ(loadLameEncoder(boxes), -1);

    setLameLibraryCandidates({"/nonexistent/libmp3lame.so.0", REAL_LAME_PATH});
    EXPECT_EQ(loadLameEncoder(boxes), 0);
    EXPECT_EQ(boxes.shown().size(), 1u);

    BE_VERSION version{};
    beVersion(&version);
    EXPECT_EQ(version.byMajorVersion, 3);
    EXPECT_NE(version.zHomepage[0], '\0');

    // Once loaded, the library stays: a broken search list no longer matters.
    setLameLibraryCandidates({"/nonexistent/libmp3lame.so.0"});
    EXPECT_EQ(loadLameEncoder(boxes), 0);
    EXPECT_EQ(boxes.shown().size(), 1u);
}

}  // namespace
}  // namespace quavelink
