#include <QCommandLineParser>
#include <QTest>

#include "LinkChoice.h"
#include "LinkOptions.h"

namespace {

LinkOptions parse(const QStringList &rest) {
    return LinkOptions::parse(QStringList{QStringLiteral("/usr/bin/vantiko")} + rest);
}

}  // namespace

class TestLinkOptions : public QObject {
    Q_OBJECT

private slots:
    void init() {
        qunsetenv("VANTIKO_LINK");
        qunsetenv("VANTIKO_D2XX_LIBRARY");
    }

    void noOptionsRunsWithTheEnvironmentsChoice() {
        const LinkOptions options = parse({});
        QVERIFY(!options.finished());
        QVERIFY(options.link().isEmpty());
        QVERIFY(options.d2xxLibrary().isEmpty());
        qputenv("VANTIKO_LINK", "libftdi");
        const LinkChoice choice = LinkChoice::fromOptions(options);
        QCOMPARE(choice.backend, QStringLiteral("libftdi"));
        QVERIFY(choice.d2xxLibrary.isEmpty());
        // The choice is a value: nothing is written back into the environment.
        QCOMPARE(qEnvironmentVariable("VANTIKO_LINK"), QStringLiteral("libftdi"));
        QVERIFY(!qEnvironmentVariableIsSet("VANTIKO_D2XX_LIBRARY"));
    }

    void linkOptionWinsOverTheEnvironment_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("backend");
        QTest::newRow("separate value") << QStringList{"--link", "simulator"} << "simulator";
        QTest::newRow("equals sign") << QStringList{"--link=d2xx"} << "d2xx";
        QTest::newRow("upper case") << QStringList{"--link", "LibFtdi"} << "libftdi";
    }

    void linkOptionWinsOverTheEnvironment() {
        QFETCH(QStringList, arguments);
        QFETCH(QString, backend);
        qputenv("VANTIKO_LINK", "libftdi");
        const LinkOptions options = parse(arguments);
        QVERIFY(!options.finished());
        QCOMPARE(options.link(), backend);
        QCOMPARE(LinkChoice::fromOptions(options).backend, backend);
        QCOMPARE(qEnvironmentVariable("VANTIKO_LINK"), QStringLiteral("libftdi"));
    }

    void d2xxLibraryOptionWinsOverTheEnvironment() {
        qputenv("VANTIKO_D2XX_LIBRARY", "/elsewhere/libftd2xx.so");
        const LinkOptions options = parse({"--link", "d2xx", "--d2xx-library", "/opt/ftdi/libftd2xx.so.1.4.27"});
        QVERIFY(!options.finished());
        QCOMPARE(options.d2xxLibrary(), QStringLiteral("/opt/ftdi/libftd2xx.so.1.4.27"));
        const LinkChoice choice = LinkChoice::fromOptions(options);
        QCOMPARE(choice.d2xxLibrary, QStringLiteral("/opt/ftdi/libftd2xx.so.1.4.27"));
        QCOMPARE(choice.backend, QStringLiteral("d2xx"));
        QCOMPARE(qEnvironmentVariable("VANTIKO_D2XX_LIBRARY"), QStringLiteral("/elsewhere/libftd2xx.so"));
    }

    void theEnvironmentFillsWhatTheOptionsLeaveOut() {
        qputenv("VANTIKO_LINK", "d2xx");
        qputenv("VANTIKO_D2XX_LIBRARY", "/elsewhere/libftd2xx.so");
        const LinkChoice linkOnly = LinkChoice::fromOptions(parse({"--link", "simulator"}));
        QCOMPARE(linkOnly.backend, QStringLiteral("simulator"));
        QCOMPARE(linkOnly.d2xxLibrary, QStringLiteral("/elsewhere/libftd2xx.so"));
        const LinkChoice libraryOnly = LinkChoice::fromOptions(parse({"--d2xx-library", "/opt/libftd2xx.so"}));
        QCOMPARE(libraryOnly.backend, QStringLiteral("d2xx"));
        QCOMPARE(libraryOnly.d2xxLibrary, QStringLiteral("/opt/libftd2xx.so"));
        // A later set of options (the tool's, after its command) wins over an earlier one.
        const LinkChoice later =
            LinkChoice::fromOptions(parse({"--link", "libftdi"})).withOptions(parse({"--link", "simulator"}));
        QCOMPARE(later.backend, QStringLiteral("simulator"));
    }

    void unknownBackendListsTheValidOnes() {
        const LinkOptions options = parse({"--link", "usb3"});
        QVERIFY(options.finished());
        QCOMPARE(options.exitCode(), 2);
        QVERIFY(options.output().isEmpty());
        QCOMPARE(options.error(),
                 QStringLiteral("vantiko: Unknown link backend \"usb3\". Valid backends: simulator, libftdi, d2xx.\n"));
    }

    void usageErrorsEndWithStatusTwo_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("message");
        QTest::newRow("unknown option") << QStringList{"--frobnicate"} << "Unknown option 'frobnicate'.";
        QTest::newRow("missing value") << QStringList{"--link"} << "Missing value after '--link'.";
        QTest::newRow("empty backend") << QStringList{"--link="} << "Unknown link backend \"\"";
    }

    void usageErrorsEndWithStatusTwo() {
        QFETCH(QStringList, arguments);
        QFETCH(QString, message);
        const LinkOptions options = parse(arguments);
        QVERIFY(options.finished());
        QCOMPARE(options.exitCode(), LinkOptions::usageExitCode);
        QVERIFY2(options.error().contains(message), qPrintable(options.error()));
    }

    void helpNamesEveryOptionAndBackend() {
        for (const QString &flag : {QStringLiteral("--help"), QStringLiteral("-h")}) {
            const LinkOptions options = parse({flag});
            QVERIFY(options.finished());
            QCOMPARE(options.exitCode(), 0);
            QVERIFY(options.error().isEmpty());
            const QString &help = options.output();
            QVERIFY2(help.startsWith(QStringLiteral("Usage: vantiko [options]\n")), qPrintable(help));
            for (const char *text : {"--help", "--version", "--link <backend>", "--d2xx-library <path>",
                                     "simulator, libftdi, d2xx", "VANTIKO_LINK", "VANTIKO_D2XX_LIBRARY"}) {
                QVERIFY2(help.contains(QLatin1String(text)), text);
            }
            QVERIFY2(!help.contains(QLatin1String("platform")), "Qt's own options stay out of the help");
            QVERIFY2(!help.contains(QLatin1String("--help-all")), "no option that would not list Qt's options");
        }
    }

    void versionIsTheProjectVersion() {
        QVERIFY(!LinkOptions::version().isEmpty());
        QVERIFY(LinkOptions::version() != QLatin1String("unknown"));
        for (const QString &flag : {QStringLiteral("--version"), QStringLiteral("-v")}) {
            const LinkOptions options = parse({flag});
            QVERIFY(options.finished());
            QCOMPARE(options.exitCode(), 0);
            QCOMPARE(options.output(), QStringLiteral("vantiko %1\n").arg(LinkOptions::version()));
        }
    }

    void qtGuiOptionsPassThrough() {
        const LinkOptions options =
            parse({"-platform", "offscreen", "-style", "Fusion", "-reverse", "--link", "simulator"});
        QVERIFY2(!options.finished(), qPrintable(options.error()));
        QCOMPARE(options.link(), QStringLiteral("simulator"));
    }

    void aParserOfAnotherToolTakesTheLinkOptions() {
        QCommandLineParser parser;
        parser.addOption(QCommandLineOption(QStringLiteral("frames"), QString(), QStringLiteral("n")));
        LinkOptions::addOptions(parser);
        QVERIFY(parser.parse({"vantiko-cli", "--frames", "5", "--link", "simulator"}));
        const LinkOptions options = LinkOptions::fromParser(parser);
        QVERIFY(!options.finished());
        QCOMPARE(options.link(), QStringLiteral("simulator"));

        QVERIFY(parser.parse({"vantiko-cli", "--link", "serial"}));
        const LinkOptions bad = LinkOptions::fromParser(parser);
        QVERIFY(bad.finished());
        QCOMPARE(bad.exitCode(), 2);
        QVERIFY(bad.error().contains(QLatin1String("simulator, libftdi, d2xx")));
    }
};

QTEST_GUILESS_MAIN(TestLinkOptions)
#include "tst_linkoptions.moc"
