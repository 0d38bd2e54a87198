#pragma once

#include <QString>
#include <functional>

namespace quavelink {

//! Where the save-as dialog of a recording opens: the folder of the last recording when it
//! still exists, else `music` (the user's Music folder) when it exists, else `home`.
//! `exists` says whether a folder exists.
QString chooseSaveFolder(const QString& last, const QString& music, const QString& home,
                         const std::function<bool(const QString&)>& exists);

//! chooseSaveFolder for this user: the folder remembered by rememberSaveFolder, the desktop's
//! Music folder, the home folder. GUI thread.
QString initialSaveFolder();

//! Remembers the folder of `filePath`, across runs, as the place for the next recording. The
//! desktop's own file dialogs keep such a record for each program apart from its settings:
//! it lives in $XDG_CONFIG_HOME/QuaveLink/ServerFileDialog.conf. GUI thread.
void rememberSaveFolder(const QString& filePath);

}  // namespace quavelink
