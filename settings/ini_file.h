#pragma once

#include <QByteArray>
#include <QMetaType>
#include <QSettings>

// The settings file in the INI layout that Qt's own IniFormat reads and writes, read and
// written here so that no value in it is ever turned back into an object. Qt's reader decodes
// "@Variant(...)" and "@DateTime(...)" values with QDataStream, and a few hostile bytes there
// make it try to allocate tens of gigabytes and abort the program at start-up. The settings
// this program stores are numbers, truth values and text; anything else in the file (a value
// another version or a hand edit left) is carried through a rewrite byte for byte, unread.
//
// Files written by either side read the same on the other: sections, %-escaped keys, quoted
// and backslash-escaped values, comma-separated lists, "@@" for text starting with '@', and
// "@Invalid()", "@String(...)", "@ByteArray(...)".

namespace quavelink::ini {

//! A value kept as it stood in the file, because reading it would mean building an object.
struct UnreadValue {
    QByteArray text;
};

//! QSettings' read and write functions for a format registered with QSettings::registerFormat.
bool readFile(QIODevice& device, QSettings::SettingsMap& map);
bool writeFile(QIODevice& device, const QSettings::SettingsMap& map);

//! The format, registered once per process under the extension "conf": the same file name
//! as QSettings' native format on Linux.
QSettings::Format format();

}  // namespace quavelink::ini

Q_DECLARE_METATYPE(quavelink::ini::UnreadValue)
