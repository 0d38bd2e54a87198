#include "app/save_folder.h"

#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <QStandardPaths>

namespace quavelink {
namespace {

constexpr char kLastFolderKey[] = "LastFolder";

QSettings dialogStore() {
    return QSettings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("QuaveLink"),
                     QStringLiteral("ServerFileDialog"));
}

}  // namespace

QString chooseSaveFolder(const QString& last, const QString& music, const QString& home,
                         const std::function<bool(const QString&)>& exists) {
    if (!last.isEmpty() && exists(last)) return last;
    if (!music.isEmpty() && exists(music)) return music;
    return home;
}

QString initialSaveFolder() {
    QString last = dialogStore().value(QLatin1String(kLastFolderKey)).toString();
    return chooseSaveFolder(last, QStandardPaths::writableLocation(QStandardPaths::MusicLocation),
                            QDir::homePath(),
                            [](const QString& folder) { return QFileInfo(folder).isDir(); });
}

void rememberSaveFolder(const QString& filePath) {
    if (filePath.isEmpty()) return;
    dialogStore().setValue(QLatin1String(kLastFolderKey), QFileInfo(filePath).absolutePath());
}

}  // namespace quavelink
