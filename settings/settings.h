#pragma once

#include <string>
#include <string_view>

// The program's eight persistent settings. Each lives in memory as a plain variable with a
// built-in default; LoadSettings fills them from the per-user store once at start-up, and
// every setter writes its key back to the store at once, so a change survives even an abnormal
// end of the program right after it.
//
// The store is QSettings("QuaveLink", "Server") in the INI layout of QSettings' native format,
// read and written by settings/ini_file.h: the file $XDG_CONFIG_HOME/QuaveLink/Server.conf
// (~/.config when the variable is unset). QSettings fixes that path at its first use in a
// process, so XDG_CONFIG_HOME must be set before then. No QCoreApplication is needed.
//
// Threads: the variables take no lock; each key has a single writer thread. The main thread
// loads them (before starting any worker) and owns MinToTray, InputSelect, EnableHotkeys and the
// two FileDialog keys; the capture engine owns Warn48kDone; the version-check thread owns
// VersionCheckTime and VersionCheckResponse. A key is read only on its owner thread. Setters on
// different threads may run at the same time: each opens its own store object.
//
// A failed read keeps the in-memory value. A failed write is lost and the in-memory value stays
// in use; each one is told on standard error with the system's reason.

namespace quavelink {

//! Reads all eight keys, each with its current in-memory value as the default, converting
//! what is stored to the key's type as QVariant does (a value of the wrong type or garbage
//! never fails: "abc" read as a number is 0). A missing key keeps its value.
void LoadSettings();

//! The 48 kHz capture advice has been shown once. Default false.
bool GetWarn48kDone();
void SetWarn48kDone(bool value);

//! "Minimize to" choice: 0 "Tray", 1 "Tray on Start", 2 "Task Bar". Default 0. The store may
//! hold any number (a hand-edited file): callers check the range.
int GetMinToTray();
void SetMinToTray(int value);

//! List text of the capture endpoint chosen last. Default empty. The reference stays valid
//! until the next SetInputSelect or LoadSettings.
const std::string& GetInputSelect();
void SetInputSelect(std::string_view value);

//! Index of the chosen entry in the save dialog's MP3 encoding list. Default 2.
int GetFileDialogEncOptMP3();
void SetFileDialogEncOptMP3(int value);

//! The save dialog's file type is MP3 (false: WAV). Default true.
bool GetFileDialogTypeMP3();
void SetFileDialogTypeMP3(bool value);

//! The global hot keys act. Default true.
bool GetEnableHotkeys();
void SetEnableHotkeys(bool value);

//! Time of the last version check, in whole minutes since 1970-01-01 00:00 UTC. Default 0.
int GetVersionCheckTime();
void SetVersionCheckTime(int value);

//! The newest version text the user has already been told about. Default empty. The
//! reference stays valid until the next SetVersionCheckResponse or LoadSettings.
const std::string& GetVersionCheckResponse();
void SetVersionCheckResponse(std::string_view value);

//! Puts every in-memory value back to its built-in default without touching the store, as at
//! a fresh start of the program. For tests that simulate a restart.
void ResetSettingsToDefaults();

}  // namespace quavelink
