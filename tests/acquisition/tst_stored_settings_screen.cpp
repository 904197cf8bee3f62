// The settings file is screened before it is read: a value Qt would decode as binary data (whose sizes Qt
// believes) marks the file as damaged, and it is set aside, never deleted. Every spelling below is checked
// against Qt itself, with a harmless binary value, so the screen and Qt cannot drift apart unnoticed.

#include <QDir>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include "AppSettings.h"
#include "ReceiverTestSupport.h"
#include "ReceiverThread.h"
#include "StoredSettingsScreen.h"

using namespace receivertest;

namespace {

// A stored int, as Qt spells binary values; it decodes to a small value, never a large allocation.
constexpr char kBinary[] = R"(\0\0\0\x2\0\0\0\0\x5))";

QByteArray withBinary(const char *prefix) {
    return QByteArray(prefix) + kBinary + '\n';
}

bool qtReadsBinary(const QString &path) {
    const QVariant value = QSettings(path, QSettings::IniFormat).value(QStringLiteral("x"));
    const int type = value.typeId();
    return type != QMetaType::QString && type != QMetaType::QStringList && type != QMetaType::QByteArray;
}

bool writeFile(const QString &path, const QByteArray &bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

}  // namespace

class TestStoredSettingsScreen : public QObject {
    Q_OBJECT

private slots:
    void init();
    void agreesWithQt_data();
    void agreesWithQt();
    void whatTheProgramStoresPasses();
    void damagedFileIsSetAsideAndDefaultsLoad();

private:
    std::unique_ptr<QTemporaryDir> m_dir;
};

void TestStoredSettingsScreen::init() {
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    isolateSettings(m_dir->path());
}

void TestStoredSettingsScreen::agreesWithQt_data() {
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<bool>("binary");
    QTest::newRow("plain") << withBinary("x=@Variant(") << true;
    QTest::newRow("quoted") << QByteArray("x=\"@Variant(") + kBinary + "\"\n" << true;
    QTest::newRow("spaces around the sign") << withBinary("x = @Variant(") << true;
    QTest::newRow("quotes inside") << withBinary("x=@\"Vari\"ant(") << true;
    QTest::newRow("leading spaces") << withBinary("x=   @Variant(") << true;
    QTest::newRow("hex escape") << withBinary(R"(x=\x40Variant()") << true;
    QTest::newRow("hex escape over 16 bits") << withBinary(R"(x=\x10040Variant()") << true;
    QTest::newRow("octal escape") << withBinary(R"(x=@V\141riant()") << true;
    QTest::newRow("escaped parenthesis") << withBinary(R"(x=@Variant\x28)") << true;
    QTest::newRow("unknown escape vanishes") << withBinary(R"(x=@\ZVariant()") << true;
    QTest::newRow("continued line") << withBinary("x=@Var\\\niant(") << true;
    QTest::newRow("continued CRLF line") << withBinary("x=@Var\\\r\niant(") << true;
    QTest::newRow("list element") << withBinary("x=a, @Variant(") << true;
    QTest::newRow("escaped quote stays") << withBinary(R"(x=@\"Variant()") << false;
    QTest::newRow("space inside") << withBinary("x=@ Variant(") << false;
    QTest::newRow("doubled at") << withBinary("x=@@Variant(") << false;
    QTest::newRow("inside a text") << withBinary("x=runs @Variant(") << false;
    QTest::newRow("inside a list element") << withBinary("x=a, b @Variant(") << false;
    QTest::newRow("byte array") << QByteArray("x=@ByteArray(abc)\n") << false;
    QTest::newRow("number") << QByteArray("x=91200\n") << false;
}

void TestStoredSettingsScreen::agreesWithQt() {
    QFETCH(QByteArray, text);
    QFETCH(bool, binary);
    const QString path = m_dir->filePath(QStringLiteral("probe.ini"));
    QVERIFY(writeFile(path, text));
    QCOMPARE(qtReadsBinary(path), binary);
    QCOMPARE(StoredSettingsScreen::holdsBinaryValue(text), binary);
}

void TestStoredSettingsScreen::whatTheProgramStoresPasses() {
    {
        QSettings settings(QString::fromLatin1(AppSettings::organisation),
                           QString::fromLatin1(AppSettings::application));
        settings.beginGroup(QString::fromLatin1(AppSettings::group));
        settings.setValue(QLatin1String(AppSettings::keys::integralTime), 91200.0);
        settings.setValue(QLatin1String(AppSettings::keys::currentMode), true);
        settings.setValue(QLatin1String(AppSettings::keys::saveDirectory),
                          QStringLiteral("/home/lab/@Variant(\"runs\"), \\ Mai 2026 \u00e9t\u00e9"));
        settings.setValue(QLatin1String(AppSettings::keys::saveNames), QStringLiteral("@DateTime(x)"));
        settings.endGroup();
        settings.sync();
        QCOMPARE(settings.status(), QSettings::NoError);
    }
    const QString path =
        QSettings(QString::fromLatin1(AppSettings::organisation), QString::fromLatin1(AppSettings::application))
            .fileName();
    QVERIFY(QFile::exists(path));
    QCOMPARE(StoredSettingsScreen::setAsideIfDamaged(), QString());
    QVERIFY(QFile::exists(path));
}

void TestStoredSettingsScreen::damagedFileIsSetAsideAndDefaultsLoad() {
    const QString path =
        QSettings(QString::fromLatin1(AppSettings::organisation), QString::fromLatin1(AppSettings::application))
            .fileName();
    QVERIFY(QDir().mkpath(QFileInfo(path).absolutePath()));
    // A list that claims almost two billion entries: read as it stands, Qt would try to reserve 61 GB.
    const QByteArray damaged =
        "[ReceiverSettings]\nIntegraltime=91200\ncurrentRange=100\n"
        "x=@Variant(\\0\\0\\0\\tr\\x7f\\x7f\\x7f)\n";
    QVERIFY(writeFile(path, damaged));
    QVERIFY(writeFile(path + QStringLiteral(".damaged"), "an earlier one"));

    const QString note = StoredSettingsScreen::setAsideIfDamaged();
    QVERIFY2(note.contains(path + QStringLiteral(".damaged-2")), qPrintable(note));
    QVERIFY(!QFile::exists(path));
    QFile kept(path + QStringLiteral(".damaged-2"));
    QVERIFY(kept.open(QIODevice::ReadOnly));
    QCOMPARE(kept.readAll(), damaged);

    ReceiverThread worker;
    QCOMPARE(worker.m_integralTime.load(), 0.0);
    QCOMPARE(worker.m_currentRange.load(), 0);
}

QTEST_GUILESS_MAIN(TestStoredSettingsScreen)
#include "tst_stored_settings_screen.moc"
