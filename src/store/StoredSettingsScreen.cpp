#include "StoredSettingsScreen.h"

#include <QFile>
#include <QSettings>

#include "AppSettings.h"

namespace {

bool isOctalDigit(char c) {
    return c >= '0' && c <= '7';
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// The character a one-letter escape stands for, or 0 when Qt drops the pair.
char namedEscape(char c) {
    switch (c) {
        case 'a':
            return '\a';
        case 'b':
            return '\b';
        case 'f':
            return '\f';
        case 'n':
            return '\n';
        case 'r':
            return '\r';
        case 't':
            return '\t';
        case 'v':
            return '\v';
        case '"':
        case '?':
        case '\'':
        case '\\':
            return c;
        default:
            return 0;
    }
}

}  // namespace

// The whole file unescaped the way Qt unescapes a value: quotes vanish, a backslash at the end of a line
// joins the next one, numeric escapes keep their low sixteen bits, unknown escapes vanish. Reading the file
// as one value over-approximates: whatever Qt would see in any single value is in here too.
QString StoredSettingsScreen::decodedText(QByteArrayView text) {
    QString out;
    out.reserve(text.size());
    const qsizetype size = text.size();
    for (qsizetype i = 0; i < size; ++i) {
        const char c = text[i];
        if (c == '"') {
            continue;
        }
        if (c != '\\') {
            out += static_cast<unsigned char>(c) < 0x80 ? QChar(c) : QChar(QChar::ReplacementCharacter);
            continue;
        }
        if (++i == size) {
            break;
        }
        const char e = text[i];
        if (e == '\r' || e == '\n') {
            if (e == '\r' && i + 1 < size && text[i + 1] == '\n') {
                ++i;
            }
        } else if (e == 'x') {
            quint32 value = 0;
            while (i + 1 < size && hexValue(text[i + 1]) >= 0) {
                value = (value << 4) + static_cast<quint32>(hexValue(text[++i]));
            }
            out += QChar(static_cast<char16_t>(value));
        } else if (isOctalDigit(e)) {
            quint32 value = static_cast<quint32>(e - '0');
            while (i + 1 < size && isOctalDigit(text[i + 1])) {
                value = (value << 3) + static_cast<quint32>(text[++i] - '0');
            }
            out += QChar(static_cast<char16_t>(value));
        } else if (const char named = namedEscape(e)) {
            out += QChar(named);
        }
    }
    return out;
}

// Qt decodes a value as binary only when the marker opens it or one of its list elements; inside a text it is
// just text (a folder may well be called so). Whitespace may stand between, as Qt skips it there.
bool StoredSettingsScreen::holdsBinaryValue(QByteArrayView text) {
    const QString decoded = decodedText(text);
    for (const QLatin1String marker : {QLatin1String("@Variant("), QLatin1String("@DateTime(")}) {
        for (qsizetype at = decoded.indexOf(marker); at >= 0; at = decoded.indexOf(marker, at + 1)) {
            qsizetype before = at - 1;
            while (before >= 0 && decoded[before].unicode() <= u' ') {
                --before;
            }
            if (before < 0 || decoded[before] == u'=' || decoded[before] == u',') {
                return true;
            }
        }
    }
    return false;
}

QString StoredSettingsScreen::setAsideIfDamaged() {
    // Building the store reads the file but parses no value yet; only its name is wanted here.
    const QString path =
        QSettings(QString::fromLatin1(AppSettings::organisation), QString::fromLatin1(AppSettings::application))
            .fileName();
    return setAsideIfDamaged(path);
}

QString StoredSettingsScreen::setAsideIfDamaged(const QString &path) {
    QFile file(path);
    if (!file.exists() || !file.open(QIODevice::ReadOnly)) {
        return {};
    }
    const QByteArray text = file.readAll();
    file.close();
    if (!holdsBinaryValue(text)) {
        return {};
    }
    const QString aside = freeNameBeside(path);
    if (aside.isEmpty() || !QFile::rename(path, aside)) {
        return QStringLiteral("The settings file %1 is damaged and could not be set aside; remove it.").arg(path);
    }
    return QStringLiteral("The settings file %1 was damaged; it is kept as %2 and the defaults are used.")
        .arg(path, aside);
}

QString StoredSettingsScreen::freeNameBeside(const QString &path) {
    for (int n = 1; n < 1000; ++n) {
        const QString name = path + (n == 1 ? QStringLiteral(".damaged") : QStringLiteral(".damaged-%1").arg(n));
        if (!QFile::exists(name)) {
            return name;
        }
    }
    return {};
}
