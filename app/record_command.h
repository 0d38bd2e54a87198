#pragma once

#include <ctime>
#include <functional>
#include <optional>
#include <string>

#include "platform/message_box.h"

namespace quavelink {

//! What the user chose in the save-as dialog.
struct SaveAsChoice {
    std::string path;
    bool mp3 = true;
    int kbps = 160;  //!< MP3 bit rate, 0 for VBR
};

//! Runs the save-as dialog with `defaultName` as the initial file name; nothing when the user
//! cancelled. GUI thread.
using SaveAsPrompt = std::function<std::optional<SaveAsChoice>(const std::string& defaultName)>;

//! The recording machinery as the record command uses it. Main thread.
class RecordControl {
  public:
    virtual ~RecordControl() = default;
    //! Whether the running capture delivers 48000 Hz (else 44100 Hz); a recording keeps the
    //! rate it started with.
    virtual bool streamIs48k() const = 0;
    //! Makes the MP3 encoder ready: 0, or -1 after telling the user why on `boxes`.
    virtual int loadMp3Encoder(MessageBoxHost& boxes) = 0;
    //! Hands the record thread its target; ("", -1, 0, false, 0) finishes the current file. The
    //! descriptor stays the caller's, to close once the target has been replaced.
    virtual void setRecordTarget(const std::string& path, int fd, int sampleRate, bool mp3,
                                 int kbps) = 0;
};

constexpr char kExtensionWarning[] =
    "Warning: Non-standard file name extension used. Recording will proceed but you may want "
    "to rename the file later.";

//! "Recording-YYYYMMDD-hhmmss" for the local time `local`.
std::string defaultRecordingName(const std::tm& local);

//! Whether the last four characters of `path` are ".mp3" (for MP3) or ".wav", in any case.
bool extensionMatches(const std::string& path, bool mp3);

//! Starts recording into the chosen file: warns about an unusual extension, makes the MP3
//! encoder ready, finishes a file still open in `recordFd`, opens the new one (created or
//! truncated, with the permissions the umask leaves) and hands it over at the capture's
//! current rate. Returns whether the recording runs; on false the user has been told why
//! (except when the encoder loader already did) and `recordFd` is -1 or the old, still-open
//! descriptor. Main thread.
bool startRecording(const SaveAsChoice& choice, RecordControl& recording, MessageBoxHost& boxes,
                    int& recordFd);

//! The dialog of a real run: CXFileDialog titled "Save audio as MP3 or WAV file", opened in
//! initialSaveFolder(); the chosen file's folder is remembered for the next one.
std::optional<SaveAsChoice> runSaveAsDialog(const std::string& defaultName);

}  // namespace quavelink
