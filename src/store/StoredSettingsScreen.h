#pragma once

#include <QByteArrayView>
#include <QString>

// Screens the stored settings file before anything reads it. Qt turns a value spelled "@Variant(...)" (or
// "@DateTime(...)") back into data through a binary stream that believes the sizes written inside it: one
// damaged byte there can ask for tens of gigabytes and end the program while it loads its settings. The
// program itself stores only plain numbers, words and flags, so a file holding such a value is damaged. It
// is set aside under another name, never deleted, and the program starts from its defaults.
class StoredSettingsScreen {
public:
    // True when Qt would decode some value of this settings file text as binary data.
    static bool holdsBinaryValue(QByteArrayView text);

    // Screens the program's own settings file (see AppSettings). Returns what happened, for a warning;
    // empty when the file was sound or absent.
    static QString setAsideIfDamaged();
    static QString setAsideIfDamaged(const QString &path);

private:
    static QString decodedText(QByteArrayView text);
    static QString freeNameBeside(const QString &path);
};
