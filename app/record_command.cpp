#include "app/record_command.h"

#include <strings.h>
#include <unistd.h>

#include <cstdio>

#include "app/save_dialog.h"
#include "app/save_folder.h"
#include "recording/record_file.h"

namespace quavelink {

std::string defaultRecordingName(const std::tm& local) {
    char name[64];
    std::snprintf(name, sizeof(name), "Recording-%04d%02d%02d-%02d%02d%02d", local.tm_year + 1900,
                  local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
    return name;
}

bool extensionMatches(const std::string& path, bool mp3) {
    if (path.size() < 4) return false;
    return strcasecmp(path.c_str() + path.size() - 4, mp3 ? ".mp3" : ".wav") == 0;
}

bool startRecording(const SaveAsChoice& choice, RecordControl& recording, MessageBoxHost& boxes,
                    int& recordFd) {
    if (!extensionMatches(choice.path, choice.mp3)) boxes.ShowMessageBox(kExtensionWarning);
    if (choice.mp3 && recording.loadMp3Encoder(boxes) != 0) return false;
    if (recordFd != -1) {
        recording.setRecordTarget("", -1, 0, false, 0);
        ::close(recordFd);
        recordFd = -1;
    }
    // Like any file the user saves: what the umask allows (0644 with the usual 022). The dialog
    // has asked before replacing a file.
    RecordFile file = openRecordFile(choice.path, 0666);
    if (file.fd < 0) {
        boxes.ShowMessageBox("Could not open file " + choice.path + " for writing");
        return false;
    }
    recordFd = file.fd;
    recording.setRecordTarget(choice.path, file.fd, recording.streamIs48k() ? 48000 : 44100,
                              choice.mp3, choice.kbps);
    return true;
}

std::optional<SaveAsChoice> runSaveAsDialog(const std::string& defaultName) {
    CXFileDialog dialog(false, QString(), QString::fromStdString(defaultName),
                        CXFileDialog::OFN_HIDEREADONLY | CXFileDialog::OFN_OVERWRITEPROMPT,
                        QStringLiteral("All Files (*.*)"));
    dialog.setWindowTitle(QStringLiteral("Save audio as MP3 or WAV file"));
    dialog.setDirectory(initialSaveFolder());
    if (dialog.DoModal() != CXFileDialog::IDOK) return std::nullopt;
    SaveAsChoice choice;
    choice.path = dialog.GetPathName().toStdString();
    choice.mp3 = dialog.Mp3Chosen();
    choice.kbps = dialog.CurrentBitRate();
    if (choice.path.empty()) return std::nullopt;
    rememberSaveFolder(dialog.GetPathName());
    return choice;
}

}  // namespace quavelink
