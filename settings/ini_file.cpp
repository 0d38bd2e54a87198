#include "settings/ini_file.h"

#include <QIODevice>
#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QVariant>

namespace quavelink::ini {
namespace {

using namespace Qt::StringLiterals;

constexpr char kTopLevelSection[] = "General";

bool isHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    return (c | 0x20) - 'a' + 10;
}

bool isSpace(char c) { return c == ' ' || c == '\t'; }

// %XX and %UXXXX stand for characters outside letters, digits, '_', '-' and '.'; a backslash
// stands for the '/' of a nested key.
QString unescapeKey(const QByteArray& key) {
    QString result;
    qsizetype plainStart = 0;
    auto flushPlain = [&](qsizetype end) {
        result += QString::fromUtf8(key.constData() + plainStart, end - plainStart);
    };
    qsizetype i = 0;
    while (i < key.size()) {
        char c = key.at(i);
        if (c == '\\') {
            flushPlain(i);
            result += u'/';
            plainStart = ++i;
            continue;
        }
        if (c != '%' || i + 1 >= key.size()) {
            ++i;
            continue;
        }
        qsizetype first = i + 1;
        qsizetype digits = 2;
        if (key.at(first) == 'U') {
            ++first;
            digits = 4;
        }
        bool allHex = first + digits <= key.size();
        for (qsizetype d = 0; allHex && d < digits; ++d) allHex = isHexDigit(key.at(first + d));
        if (!allHex) {
            ++i;
            continue;
        }
        char16_t value = 0;
        for (qsizetype d = 0; d < digits; ++d)
            value = static_cast<char16_t>(value * 16 + hexValue(key.at(first + d)));
        flushPlain(i);
        result += QChar(value);
        i = first + digits;
        plainStart = i;
    }
    flushPlain(key.size());
    return result;
}

void escapeKey(const QString& key, QByteArray& out) {
    for (QChar qc : key) {
        char16_t c = qc.unicode();
        if (c == u'/') {
            out += '\\';
        } else if ((c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') ||
                   (c >= u'0' && c <= u'9') || c == u'_' || c == u'-' || c == u'.') {
            out += static_cast<char>(c);
        } else if (c <= 0xFF) {
            out += '%' + QByteArray::number(c, 16).toUpper().rightJustified(2, '0');
        } else {
            out += "%U" + QByteArray::number(c, 16).toUpper().rightJustified(4, '0');
        }
    }
}

// One value as written: items split at commas outside quotes, each with C-style escapes.
struct ValueText {
    QStringList items;
    bool isList = false;
};

void chopTrailingSpaces(QString& text, qsizetype limit) {
    qsizetype n = text.size();
    while (n > limit && (text.at(n - 1) == u' ' || text.at(n - 1) == u'\t')) --n;
    text.truncate(n);
}

ValueText unescapeValue(const QByteArray& bytes) {
    static constexpr char kEscapes[][2] = {{'a', '\a'}, {'b', '\b'},  {'f', '\f'}, {'n', '\n'},
                                           {'r', '\r'}, {'t', '\t'},  {'v', '\v'}, {'"', '"'},
                                           {'?', '?'},  {'\'', '\''}, {'\\', '\\'}};
    ValueText value;
    QString current;
    bool inQuotes = false;
    bool currentQuoted = false;
    // Spaces that an escape or a quote wrote are kept; only written spaces are trimmed.
    qsizetype chopLimit = 0;
    qsizetype i = 0;
    const qsizetype n = bytes.size();
    auto skipSpaces = [&] {
        while (i < n && isSpace(bytes.at(i))) ++i;
        chopLimit = current.size();
    };
    skipSpaces();
    while (i < n) {
        char c = bytes.at(i);
        if (c == '\\') {
            if (++i >= n) break;
            char e = bytes.at(i++);
            bool simple = false;
            for (const auto& escape : kEscapes) {
                if (e == escape[0]) {
                    current += QLatin1Char(escape[1]);
                    simple = true;
                    break;
                }
            }
            if (!simple && (e == 'x' || (e >= '0' && e <= '7'))) {
                bool hex = e == 'x';
                char16_t code = hex ? 0 : static_cast<char16_t>(e - '0');
                bool any = !hex;
                while (i < n && (hex ? isHexDigit(bytes.at(i))
                                     : (bytes.at(i) >= '0' && bytes.at(i) <= '7'))) {
                    code = static_cast<char16_t>(hex ? code * 16 + hexValue(bytes.at(i))
                                                     : code * 8 + (bytes.at(i) - '0'));
                    any = true;
                    ++i;
                }
                if (any) current += QChar(code);
            } else if (!simple && (e == '\n' || e == '\r')) {
                if (i < n && (bytes.at(i) == '\n' || bytes.at(i) == '\r') && bytes.at(i) != e) ++i;
            }
            chopLimit = current.size();
        } else if (c == '"') {
            ++i;
            currentQuoted = true;
            inQuotes = !inQuotes;
            if (!inQuotes) skipSpaces();
        } else if (c == ',' && !inQuotes) {
            if (!currentQuoted) chopTrailingSpaces(current, chopLimit);
            value.isList = true;
            value.items.append(current);
            current.clear();
            currentQuoted = false;
            ++i;
            skipSpaces();
        } else {
            qsizetype j = i + 1;
            while (j < n && bytes.at(j) != '\\' && bytes.at(j) != '"' &&
                   (inQuotes || bytes.at(j) != ','))
                ++j;
            current += QString::fromUtf8(bytes.constData() + i, j - i);
            i = j;
        }
    }
    if (!currentQuoted) chopTrailingSpaces(current, chopLimit);
    value.items.append(current);
    return value;
}

// What an item stands for. Forms that would have to be built from their bytes are not read.
enum class ItemKind { Text, Invalid, Bytes, Unread };

ItemKind kindOf(const QString& item) {
    if (!item.startsWith(u'@') || item.startsWith("@@"_L1)) return ItemKind::Text;
    if (item == "@Invalid()"_L1) return ItemKind::Invalid;
    if (!item.endsWith(u')')) return ItemKind::Text;
    if (item.startsWith("@String("_L1)) return ItemKind::Text;
    if (item.startsWith("@ByteArray("_L1)) return ItemKind::Bytes;
    for (auto form : {"@Variant("_L1, "@DateTime("_L1, "@Rect("_L1, "@Size("_L1, "@Point("_L1})
        if (item.startsWith(form)) return ItemKind::Unread;
    return ItemKind::Text;
}

QVariant readItem(const QString& item) {
    switch (kindOf(item)) {
        case ItemKind::Invalid:
            return {};
        case ItemKind::Bytes:
            return QStringView(item).sliced(11).chopped(1).toLatin1();
        case ItemKind::Text:
            if (item.startsWith("@String("_L1) && item.endsWith(u')'))
                return item.sliced(8).chopped(1);
            return item.startsWith("@@"_L1) ? item.sliced(1) : item;
        case ItemKind::Unread:
            break;
    }
    return {};
}

QVariant readValue(const QByteArray& written) {
    ValueText value = unescapeValue(written);
    for (const QString& item : value.items)
        if (kindOf(item) == ItemKind::Unread) return QVariant::fromValue(UnreadValue{written});
    if (!value.isList) return readItem(value.items.front());
    // Text items stay a list of text, with a doubled '@' undone; any other form makes it a list
    // of values.
    QStringList texts;
    for (const QString& item : value.items) {
        if (item.startsWith(u'@') && !item.startsWith("@@"_L1)) {
            QVariantList items;
            for (const QString& each : value.items) items.append(readItem(each));
            return items;
        }
        texts.append(item.startsWith(u'@') ? item.sliced(1) : item);
    }
    return texts;
}

// Text goes out as UTF-8, byte by byte, so that a character outside the first plane stays
// whole; the bytes of "@ByteArray(...)" go out one character each.
void escapeText(const QString& text, QByteArray& out, bool asUtf8 = true) {
    const QByteArray bytes = asUtf8 ? text.toUtf8() : text.toLatin1();
    const qsizetype start = out.size();
    bool needsQuotes = false;
    bool escapeNextIfHexDigit = false;
    for (char byte : bytes) {
        auto c = static_cast<unsigned char>(byte);
        if (c == ';' || c == ',' || c == '=') needsQuotes = true;
        if (escapeNextIfHexDigit && isHexDigit(byte)) {
            out += "\\x" + QByteArray::number(c, 16);
            continue;
        }
        escapeNextIfHexDigit = false;
        switch (c) {
            case '\0':
                out += "\\0";
                escapeNextIfHexDigit = true;
                break;
            case '\a':
                out += "\\a";
                break;
            case '\b':
                out += "\\b";
                break;
            case '\f':
                out += "\\f";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\v':
                out += "\\v";
                break;
            case '"':
            case '\\':
                out += '\\';
                out += byte;
                break;
            default:
                if (c <= 0x1F || (c >= 0x7F && !asUtf8)) {
                    out += "\\x" + QByteArray::number(c, 16);
                    escapeNextIfHexDigit = true;
                } else {
                    out += byte;
                }
        }
    }
    if (needsQuotes || (out.size() > start && (out.at(start) == ' ' || out.back() == ' '))) {
        out.insert(start, '"');
        out += '"';
    }
}

// A text item as the store writes it: a leading '@' doubled, so that it never reads as a form.
void writeItem(const QVariant& item, QByteArray& out) {
    if (!item.isValid()) {
        out += "@Invalid()";
    } else if (item.typeId() == QMetaType::QByteArray) {
        QByteArray bytes = item.toByteArray();
        escapeText("@ByteArray("_L1 + QString::fromLatin1(bytes) + u')', out, false);
    } else if (item.typeId() == QMetaType::Bool) {
        out += item.toBool() ? "true" : "false";
    } else {
        QString text = item.toString();
        escapeText(text.startsWith(u'@') ? u'@' + text : text, out);
    }
}

void writeValue(const QVariant& value, QByteArray& out) {
    if (value.metaType() == QMetaType::fromType<UnreadValue>()) {
        out += value.value<UnreadValue>().text;
        return;
    }
    if (value.typeId() != QMetaType::QStringList && value.typeId() != QMetaType::QVariantList) {
        writeItem(value, out);
        return;
    }
    QVariantList items = value.toList();
    if (items.isEmpty()) {
        // An empty list reads back as no value, which converts to an empty list again.
        out += "@Invalid()";
        return;
    }
    for (qsizetype i = 0; i < items.size(); ++i) {
        if (i > 0) out += ", ";
        writeItem(items.at(i), out);
    }
}

// Reads one line, with a value that a trailing backslash continues on the next.
QByteArray nextLine(const QByteArray& data, qsizetype& pos) {
    QByteArray line;
    while (pos < data.size()) {
        qsizetype end = pos;
        while (end < data.size() && data.at(end) != '\n' && data.at(end) != '\r') ++end;
        QByteArray part = data.mid(pos, end - pos);
        qsizetype next = end;
        if (next < data.size()) {
            char first = data.at(next++);
            if (next < data.size() && first == '\r' && data.at(next) == '\n') ++next;
        }
        pos = next;
        qsizetype backslashes = 0;
        while (backslashes < part.size() && part.at(part.size() - 1 - backslashes) == '\\')
            ++backslashes;
        line += part;
        if (backslashes % 2 == 0 || end >= data.size()) break;
        line += '\n';
    }
    return line;
}

}  // namespace

bool readFile(QIODevice& device, QSettings::SettingsMap& map) {
    const QByteArray data = device.readAll();
    QString section;
    qsizetype pos = 0;
    while (pos < data.size()) {
        QByteArray line = nextLine(data, pos).trimmed();
        if (line.isEmpty() || line.startsWith(';') || line.startsWith('#')) continue;
        if (line.startsWith('[')) {
            qsizetype close = line.indexOf(']');
            QByteArray name = line.mid(1, close < 0 ? -1 : close - 1).trimmed();
            if (name.compare(kTopLevelSection, Qt::CaseInsensitive) == 0) {
                section.clear();
            } else {
                section = name.compare("%General", Qt::CaseInsensitive) == 0
                              ? QString::fromLatin1(kTopLevelSection)
                              : unescapeKey(name);
                section += u'/';
            }
            continue;
        }
        qsizetype equals = line.indexOf('=');
        if (equals <= 0) continue;
        QString key = unescapeKey(line.left(equals).trimmed());
        if (key.isEmpty()) continue;
        map.insert(section + key, readValue(line.mid(equals + 1).trimmed()));
    }
    return true;
}

bool writeFile(QIODevice& device, const QSettings::SettingsMap& map) {
    // Keys without a section first, under [General], then each section in key order.
    QMap<QString, QList<QPair<QString, QVariant>>> sections;
    for (auto it = map.cbegin(); it != map.cend(); ++it) {
        qsizetype slash = it.key().indexOf(u'/');
        QString section = slash < 0 ? QString() : it.key().left(slash);
        QString key = slash < 0 ? it.key() : it.key().sliced(slash + 1);
        sections[section].append({key, it.value()});
    }
    QByteArray out;
    for (auto it = sections.cbegin(); it != sections.cend(); ++it) {
        if (!out.isEmpty()) out += '\n';
        out += '[';
        if (it.key().isEmpty())
            out += kTopLevelSection;
        else if (it.key().compare(QLatin1String(kTopLevelSection), Qt::CaseInsensitive) == 0)
            out += "%General";
        else
            escapeKey(it.key(), out);
        out += "]\n";
        for (const auto& [key, value] : it.value()) {
            escapeKey(key, out);
            out += '=';
            writeValue(value, out);
            out += '\n';
        }
    }
    return device.write(out) == out.size();
}

QSettings::Format format() {
    static const QSettings::Format registered =
        QSettings::registerFormat("conf", readFile, writeFile);
    return registered;
}

}  // namespace quavelink::ini
