#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <QTest>

#include "LinkOptions.h"

#ifndef VANTIKO_PROGRAM
#error "VANTIKO_PROGRAM names the built program (tests/support/commandline)"
#endif

namespace {

struct Run {
    int exitCode = -1;
    QProcess::ExitStatus status = QProcess::CrashExit;
    QString out;
    QString err;
};

// No display at all: the platform is X11 and there is no X server to reach. A program that created its
// application object before answering would abort here.
QProcessEnvironment withoutDisplay(const QString &home) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("DISPLAY"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), home);
    return env;
}

Run run(const QStringList &arguments, const QString &home) {
    QProcess process;
    process.setProcessEnvironment(withoutDisplay(home));
    process.setWorkingDirectory(home);
    process.start(QStringLiteral(VANTIKO_PROGRAM), arguments);
    Run result;
    if (!process.waitForFinished(30000)) {
        process.kill();
        process.waitForFinished();
        return result;
    }
    result.exitCode = process.exitCode();
    result.status = process.exitStatus();
    result.out = QString::fromLocal8Bit(process.readAllStandardOutput());
    result.err = QString::fromLocal8Bit(process.readAllStandardError());
    return result;
}

}  // namespace

class TestCommandLine : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(m_home.isValid()); }

    void versionAnswersWithoutADisplay() {
        const Run result = run({QStringLiteral("--version")}, m_home.path());
        QCOMPARE(result.status, QProcess::NormalExit);
        QCOMPARE(result.exitCode, 0);
        QCOMPARE(result.out, QStringLiteral("vantiko %1\n").arg(LinkOptions::version()));
        QVERIFY2(result.err.isEmpty(), qPrintable(result.err));
    }

    void helpAnswersWithoutADisplay() {
        const Run result = run({QStringLiteral("--help")}, m_home.path());
        QCOMPARE(result.status, QProcess::NormalExit);
        QCOMPARE(result.exitCode, 0);
        QVERIFY2(result.out.startsWith(QStringLiteral("Usage: vantiko [options]\n")), qPrintable(result.out));
        for (const char *text :
             {"--version", "--link <backend>", "--d2xx-library <path>", "simulator, libftdi, d2xx"}) {
            QVERIFY2(result.out.contains(QLatin1String(text)), text);
        }
        QVERIFY2(result.err.isEmpty(), qPrintable(result.err));
    }

    void unknownBackendIsAUsageError() {
        const Run result = run({QStringLiteral("--link"), QStringLiteral("bogus")}, m_home.path());
        QCOMPARE(result.status, QProcess::NormalExit);
        QCOMPARE(result.exitCode, 2);
        QVERIFY(result.out.isEmpty());
        QCOMPARE(
            result.err,
            QStringLiteral("vantiko: Unknown link backend \"bogus\". Valid backends: simulator, libftdi, d2xx.\n"));
    }

    void unknownOptionIsAUsageError() {
        const Run result = run({QStringLiteral("--frobnicate")}, m_home.path());
        QCOMPARE(result.exitCode, 2);
        QVERIFY2(result.err.contains(QLatin1String("Unknown option 'frobnicate'")), qPrintable(result.err));
    }

    // The option wins over VANTIKO_LINK: the program starts on the simulator and says so.
    void linkSimulatorStarts() {
        QProcess process;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.insert(QStringLiteral("VANTIKO_LINK"), QStringLiteral("libftdi"));
        env.insert(QStringLiteral("QT_LOGGING_RULES"), QStringLiteral("vantiko.link.info=true"));
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), m_home.path());
        process.setProcessEnvironment(env);
        process.setWorkingDirectory(m_home.path());
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.start(QStringLiteral(VANTIKO_PROGRAM), {QStringLiteral("--link"), QStringLiteral("simulator")});
        QVERIFY(process.waitForStarted());
        QString output;
        QTRY_VERIFY_WITH_TIMEOUT(
            (output += QString::fromLocal8Bit(process.readAll()), output.contains(QLatin1String("Using link backend"))),
            20000);
        QVERIFY2(output.contains(QLatin1String("simulator")), qPrintable(output));
        QCOMPARE(process.state(), QProcess::Running);
        process.kill();
        process.waitForFinished();
    }

private:
    QTemporaryDir m_home;
};

QTEST_GUILESS_MAIN(TestCommandLine)
#include "tst_commandline.moc"
