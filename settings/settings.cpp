#include "settings/settings.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <QByteArray>
#include <QSettings>
#include <QString>
#include <QVariant>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "platform/log.h"
#include "settings/ini_file.h"

namespace quavelink {
namespace {

constexpr char kOrganisation[] = "QuaveLink";
constexpr char kApplication[] = "Server";

struct Values {
    bool warn48kDone = false;
    int minToTray = 0;
    std::string inputSelect;
    int fileDialogEncOptMP3 = 2;
    bool fileDialogTypeMP3 = true;
    bool enableHotkeys = true;
    int versionCheckTime = 0;
    std::string versionCheckResponse;
};

Values values;

// Text goes out and comes back through the same 8-bit conversion, so that whatever bytes a
// setter was given are what the next start loads.
QString toStoredText(std::string_view text) {
    return QString::fromLocal8Bit(text.data(), static_cast<qsizetype>(text.size()));
}

std::string fromStoredText(const QVariant& stored) {
    QByteArray bytes = stored.toString().toLocal8Bit();
    return std::string(bytes.constData(), static_cast<std::size_t>(bytes.size()));
}

// The store object is opened per write and destroyed before returning: its destructor commits
// the file (atomically, through a temporary file), which is what makes every setter durable.
QSettings openStore() {
    return QSettings(ini::format(), QSettings::UserScope, kOrganisation, kApplication);
}

// QSettings says only that a write failed. The system's reason is found by taking its steps
// again: a file of its own in the folder (made first when missing), then the store file itself.
std::string whyUnwritable(const std::filesystem::path& file) {
    const std::filesystem::path folder = file.parent_path();
    auto tryFileInFolder = [&] {
        std::string probe = (folder / ".Server.conf-XXXXXX").string();
        const int fd = mkstemp(probe.data());
        if (fd < 0) return errno;
        close(fd);
        unlink(probe.c_str());
        return 0;
    };
    int error = tryFileInFolder();
    if (error == ENOENT) {
        std::error_code made;
        std::filesystem::create_directories(folder, made);
        if (made) return made.message();
        error = tryFileInFolder();
    }
    if (error == 0) {
        const int fd = open(file.c_str(), O_WRONLY | O_CLOEXEC);
        if (fd >= 0) close(fd);
        error = fd < 0 && errno != ENOENT ? errno : 0;
    }
    return error != 0 ? std::strerror(error) : "the reason is unknown";
}

void store(const char* key, const QVariant& value) {
    QSettings settings = openStore();
    settings.setValue(key, value);
    settings.sync();
    if (settings.status() != QSettings::NoError) {
        const std::string file = settings.fileName().toStdString();
        logErrorLine("Could not save the setting %s to %s: %s\n", key, file.c_str(),
                     whyUnwritable(file).c_str());
    }
}

}  // namespace

void LoadSettings() {
    QSettings settings = openStore();
    values.warn48kDone = settings.value("Warn48kDone", values.warn48kDone).toBool();
    values.minToTray = settings.value("MinToTray", values.minToTray).toInt();
    values.inputSelect =
        fromStoredText(settings.value("InputSelect", toStoredText(values.inputSelect)));
    values.fileDialogEncOptMP3 =
        settings.value("FileDialogEncOptMP3", values.fileDialogEncOptMP3).toInt();
    values.fileDialogTypeMP3 =
        settings.value("FileDialogTypeMP3", values.fileDialogTypeMP3).toBool();
    values.enableHotkeys = settings.value("EnableHotkeys", values.enableHotkeys).toBool();
    values.versionCheckTime = settings.value("VersionCheckTime", values.versionCheckTime).toInt();
    values.versionCheckResponse = fromStoredText(
        settings.value("VersionCheckResponse", toStoredText(values.versionCheckResponse)));
}

bool GetWarn48kDone() { return values.warn48kDone; }

void SetWarn48kDone(bool value) {
    values.warn48kDone = value;
    store("Warn48kDone", value);
}

int GetMinToTray() { return values.minToTray; }

void SetMinToTray(int value) {
    values.minToTray = value;
    store("MinToTray", value);
}

const std::string& GetInputSelect() { return values.inputSelect; }

void SetInputSelect(std::string_view value) {
    values.inputSelect = value;
    store("InputSelect", toStoredText(value));
}

int GetFileDialogEncOptMP3() { return values.fileDialogEncOptMP3; }

void SetFileDialogEncOptMP3(int value) {
    values.fileDialogEncOptMP3 = value;
    store("FileDialogEncOptMP3", value);
}

bool GetFileDialogTypeMP3() { return values.fileDialogTypeMP3; }

void SetFileDialogTypeMP3(bool value) {
    values.fileDialogTypeMP3 = value;
    store("FileDialogTypeMP3", value);
}

bool GetEnableHotkeys() { return values.enableHotkeys; }

void SetEnableHotkeys(bool value) {
    values.enableHotkeys = value;
    store("EnableHotkeys", value);
}

int GetVersionCheckTime() { return values.versionCheckTime; }

void SetVersionCheckTime(int value) {
    values.versionCheckTime = value;
    store("VersionCheckTime", value);
}

const std::string& GetVersionCheckResponse() { return values.versionCheckResponse; }

void SetVersionCheckResponse(std::string_view value) {
    values.versionCheckResponse = value;
    store("VersionCheckResponse", toStoredText(value));
}

void ResetSettingsToDefaults() { values = Values{}; }

}  // namespace quavelink
