#include "settings/ini_file.h"

#include <gtest/gtest.h>

#include <QBuffer>
#include <QFile>
#include <QStringList>
#include <QTemporaryDir>
#include <QVariant>

namespace quavelink {
namespace {

using namespace Qt::StringLiterals;

// Qt's own INI reader and writer are the reference for every file that holds no serialised
// object: a file either side wrote must read the same on the other, since earlier versions of
// the program wrote theirs with Qt.
class IniFile : public testing::Test {
  protected:
    QSettings::SettingsMap readWithQt(const QByteArray& text) {
        QString path = folder.filePath("qt.conf");
        QFile file(path);
        file.open(QIODevice::WriteOnly | QIODevice::Truncate);
        file.write(text);
        file.close();
        QSettings settings(path, QSettings::IniFormat);
        QSettings::SettingsMap map;
        for (const QString& key : settings.allKeys()) map.insert(key, settings.value(key));
        return map;
    }

    QByteArray writeWithQt(const QSettings::SettingsMap& map) {
        QString path = folder.filePath("qt-written.conf");
        QFile::remove(path);
        {
            QSettings settings(path, QSettings::IniFormat);
            for (auto it = map.cbegin(); it != map.cend(); ++it)
                settings.setValue(it.key(), it.value());
        }
        QFile file(path);
        file.open(QIODevice::ReadOnly);
        return file.readAll();
    }

    static QSettings::SettingsMap readWithUs(QByteArray text) {
        QBuffer buffer(&text);
        buffer.open(QIODevice::ReadOnly);
        QSettings::SettingsMap map;
        EXPECT_TRUE(ini::readFile(buffer, map));
        return map;
    }

    static QByteArray writeWithUs(const QSettings::SettingsMap& map) {
        QByteArray text;
        QBuffer buffer(&text);
        buffer.open(QIODevice::WriteOnly);
        EXPECT_TRUE(ini::writeFile(buffer, map));
        return text;
    }

    QTemporaryDir folder;
};

// Values the store holds, chosen at the edges of the escaping: spaces kept only by quotes,
// separators, escapes that a following hex digit would extend, '@' forms, characters outside
// ASCII and outside the first plane.
QSettings::SettingsMap storedValues() {
    const QStringList texts = {
        u""_s,
        u"plain"_s,
        u"  leading and trailing  "_s,
        u"a, b; c = d"_s,
        u"quote \" backslash \\ end"_s,
        u"tab\tnew\nline\rbell\a"_s,
        QString::fromUtf8("nul\0"
                          "7 unit\x1f"
                          "f",
                          12),
        u"@starts with at"_s,
        u"@@two"_s,
        u"@Variant(\\0\\0\\0\\t)"_s,
        u"@Invalid()"_s,
        u"Lautsprecher (Analog) – Büro 🎧"_s,
        u"delete\x7f"
        u"char"_s,
    };
    QSettings::SettingsMap map;
    for (qsizetype i = 0; i < texts.size(); ++i) map.insert(u"Text%1"_s.arg(i), texts[i]);
    map.insert(u"Number"_s, 42);
    map.insert(u"Negative"_s, -7);
    map.insert(u"Yes"_s, true);
    map.insert(u"No"_s, false);
    map.insert(u"List"_s, QStringList{u"one"_s, u" two "_s, u"th,ree"_s});
    map.insert(u"Bytes"_s, QByteArray("raw\x01\xff", 5));
    map.insert(u"Nothing"_s, QVariant());
    map.insert(u"Group/Inner key"_s, u"in a section"_s);
    map.insert(u"General/literal"_s, 1);
    return map;
}

TEST_F(IniFile, WhatEitherSideWritesTheOtherReadsUnchanged) {
    const QSettings::SettingsMap values = storedValues();
    const QSettings::SettingsMap ours = readWithQt(writeWithUs(values));
    const QSettings::SettingsMap theirs = readWithUs(writeWithQt(values));
    ASSERT_EQ(ours.keys(), values.keys());
    ASSERT_EQ(theirs.keys(), values.keys());
    for (const QString& key : values.keys()) {
        // Qt reads numbers and truth values back as text; what matters is the value converted
        // to the type the program asks for.
        QVariant expected = values[key];
        QString expectedText = expected.typeId() == QMetaType::QStringList
                                   ? expected.toStringList().join(u'|')
                                   : expected.toString();
        auto asText = [](const QVariant& v) {
            return v.typeId() == QMetaType::QStringList ? v.toStringList().join(u'|')
                                                        : v.toString();
        };
        EXPECT_EQ(asText(ours[key]), expectedText)
            << "written by us, read by Qt: " << key.toStdString();
        EXPECT_EQ(asText(theirs[key]), expectedText)
            << "written by Qt, read by us: " << key.toStdString();
        EXPECT_EQ(ours[key].isValid(), expected.isValid()) << key.toStdString();
        EXPECT_EQ(theirs[key].isValid(), expected.isValid()) << key.toStdString();
    }
}

TEST_F(IniFile, AHandEditedFileReadsAsQtReadsIt) {
    const QByteArray text =
        "; a comment\n"
        "[General]\n"
        "spaced =   value with spaces   \n"
        "quoted=\"  kept  \"\n"
        "list = a , \"b, c\" ,d\n"
        "escapes=\\x41\\102\\x00041z\\q\n"
        "continued=first\\\n"
        "second\n"
        "at=@@x\n"
        "string=@String(s)\n"
        "bytes=@ByteArray(b)\n"
        "invalid=@Invalid()\n"
        "mixed=@@a, b\n"
        "typed=@@a, @Invalid(), @String(s)\n"
        "empty=\n"
        "noequals\n"
        "[Sec%20tion]\n"
        "k%U00E9y=1\n"
        "deep\\key=2\n"
        "[%General]\n"
        "x=3\r\n"
        "[general]\n"
        "back=4\n";
    const QSettings::SettingsMap qt = readWithQt(text);
    const QSettings::SettingsMap us = readWithUs(text);
    ASSERT_EQ(us.keys(), qt.keys());
    for (const QString& key : qt.keys()) {
        EXPECT_EQ(us[key].typeId(), qt[key].typeId()) << key.toStdString();
        EXPECT_EQ(us[key], qt[key]) << key.toStdString();
    }
}

TEST_F(IniFile, ASerialisedObjectIsNeverBuiltAndSurvivesARewriteByteForByte) {
    // A list that claims two thousand million entries: building it is what must not happen.
    const QByteArray hostile = "@Variant(\\0\\0\\0\\t\\x7f\\xff\\xff\\xff)";
    const QByteArray quoted = "\"@Variant(\\0\\0\\0\\x1c\\0\\0\\0\\0)\", other";
    const QByteArray text = "[General]\nMinToTray=2\nForeign=" + hostile +
                            "\n[Other]\nAlso=" + quoted + "\nWhen=@DateTime(\\0\\x1)\n";
    QSettings::SettingsMap map = readWithUs(text);
    EXPECT_EQ(map.value(u"MinToTray"_s).toInt(), 2);
    for (const QString& key : {u"Foreign"_s, u"Other/Also"_s, u"Other/When"_s}) {
        EXPECT_EQ(map.value(key).metaType(), QMetaType::fromType<ini::UnreadValue>())
            << key.toStdString();
        EXPECT_EQ(map.value(key).toString(), QString());
        EXPECT_EQ(map.value(key).toInt(), 0);
    }
    map.insert(u"MinToTray"_s, 1);
    const QByteArray rewritten = writeWithUs(map);
    EXPECT_NE(rewritten.indexOf("Foreign=" + hostile + "\n"), -1) << rewritten.toStdString();
    EXPECT_NE(rewritten.indexOf("Also=" + quoted + "\n"), -1) << rewritten.toStdString();
    EXPECT_NE(rewritten.indexOf("MinToTray=1\n"), -1);
}

}  // namespace
}  // namespace quavelink
