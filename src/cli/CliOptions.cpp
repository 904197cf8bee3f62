#include "CliOptions.h"

#include <cmath>

#include <QCommandLineParser>
#include <QRegularExpression>

#include "LinkOptions.h"
#include "SaveName.h"

#ifndef VANTIKO_VERSION
#define VANTIKO_VERSION "unknown"
#endif

namespace {

const QString program = QStringLiteral("vantiko-cli");
// A run of CSV files or a video holds what a person looks through; a run of HDF5 and pictures any length.
constexpr int maxFrames = InstrumentSession::maxSaveFrames;
constexpr int maxLongRunFrames = InstrumentSession::maxLongRunFrames;
// Timers count milliseconds in an int.
constexpr double maxSeconds = 2000000.0;

const QString commandsText = QStringLiteral(
    "\nCommands:\n"
    "  devices    List the serial numbers of the attached devices.\n"
    "  battery    Connect and read the battery.\n"
    "  acquire    Connect, apply the setting, capture N frames and save them as the window's Save does.\n"
    "  stream     Connect, apply the setting, capture for S seconds and print a line a second.\n"
    "\nRun \"vantiko-cli COMMAND --help\" for a command's options.\n"
    "Exit status: 0 success, 2 bad usage or input, 3 no device or no connection, 4 setting not acknowledged,\n"
    "5 a file could not be written, 6 the capture failed.\n");

CliParse usageError(const QString &message, const QString &helpCommand) {
    CliParse parse;
    parse.status = ExitStatus::Usage;
    parse.error = QStringLiteral("%1: %2. Try \"%3 --help\".").arg(program, message, helpCommand);
    return parse;
}

// Qt writes the executable's own name into the usage line; use the tool's.
QString helpText(const QCommandLineParser &parser, const QString &usage) {
    QString text = parser.helpText();
    const qsizetype endOfUsage = text.indexOf(QLatin1Char('\n'));
    if (text.startsWith(QLatin1String("Usage: ")) && endOfUsage > 0) {
        text = QStringLiteral("Usage: ") + usage + text.mid(endOfUsage);
    }
    return text;
}

void addGlobalOptions(QCommandLineParser &parser) {
    LinkOptions::addOptions(parser);
    parser.addOption(QCommandLineOption(QStringLiteral("serial"),
                                        QStringLiteral("Serial number of the instrument to open (default VANTIKO)."),
                                        QStringLiteral("serial")));
    parser.addOption(QCommandLineOption(QStringLiteral("verbose"),
                                        QStringLiteral("Also print the operation log and the library's messages.")));
}

void addSettingOptions(QCommandLineParser &parser) {
    parser.addOption(QCommandLineOption(
        QStringLiteral("range"), QStringLiteral("Current range in nA: 500, 100, 10, 1 or any other (default 100)."),
        QStringLiteral("nA")));
    parser.addOption(QCommandLineOption(QStringLiteral("polarity"),
                                        QStringLiteral("positive or negative (default positive)."),
                                        QStringLiteral("polarity")));
    parser.addOption(
        QCommandLineOption(QStringLiteral("von"), QStringLiteral("Von in volts (default 10)."), QStringLiteral("V")));
    parser.addOption(
        QCommandLineOption(QStringLiteral("voff"), QStringLiteral("Voff in volts (default -5)."), QStringLiteral("V")));
    parser.addOption(QCommandLineOption(QStringLiteral("vbias1"), QStringLiteral("Vbias1 in volts (default 0)."),
                                        QStringLiteral("V")));
    parser.addOption(QCommandLineOption(QStringLiteral("vbias2"), QStringLiteral("Vbias2 in volts (default 0)."),
                                        QStringLiteral("V")));
}

bool finiteNumber(const QString &text, double *value) {
    bool ok = false;
    const double number = text.toDouble(&ok);
    if (!ok || !std::isfinite(number)) {
        return false;
    }
    *value = number;
    return true;
}

// Fills the setting from the options given; returns the problem, or empty.
QString readSetting(const QCommandLineParser &parser, CliSetting *setting) {
    if (parser.isSet(QStringLiteral("range"))) {
        const QString text = parser.value(QStringLiteral("range"));
        if (!finiteNumber(text, &setting->rangeNa)) {
            return QStringLiteral("--range must be a finite number of nA (got \"%1\")").arg(text);
        }
    }
    if (parser.isSet(QStringLiteral("polarity"))) {
        const QString text = parser.value(QStringLiteral("polarity")).trimmed().toLower();
        if (text != QLatin1String("positive") && text != QLatin1String("negative")) {
            return QStringLiteral("--polarity must be positive or negative (got \"%1\")")
                .arg(parser.value(QStringLiteral("polarity")));
        }
        setting->positive = text == QLatin1String("positive");
    }
    const std::pair<const char *, QString *> voltages[] = {
        {"von", &setting->von}, {"voff", &setting->voff}, {"vbias1", &setting->vbias1}, {"vbias2", &setting->vbias2}};
    for (const auto &[name, field] : voltages) {
        const QString option = QString::fromLatin1(name);
        if (!parser.isSet(option)) {
            continue;
        }
        const QString text = parser.value(option);
        double volts = 0;
        if (!finiteNumber(text, &volts)) {
            return QStringLiteral("--%1 must be a finite number of volts (got \"%2\")").arg(option, text);
        }
        *field = text.trimmed();
    }
    return {};
}

// --frames N or --seconds S, and whether the run's files can take that length. Empty when they can.
QString readRunLength(const QCommandLineParser &parser, CliRequest *request) {
    const bool byFrames = parser.isSet(QStringLiteral("frames"));
    const bool bySeconds = parser.isSet(QStringLiteral("seconds"));
    if (byFrames == bySeconds) {
        return byFrames ? QStringLiteral("give --frames or --seconds, not both")
                        : QStringLiteral("--frames (or --seconds) is required");
    }
    const bool shortFormats = request->data || request->video;
    const QString onlyLongFormats = QStringLiteral(
        "%1 needs a run that writes only --hdf5 and --pictures: CSV files (--data) and videos "
        "(--video) hold at most %2 frames");
    if (bySeconds) {
        const QString text = parser.value(QStringLiteral("seconds"));
        if (!finiteNumber(text, &request->seconds) || request->seconds <= 0 || request->seconds > maxSeconds) {
            return QStringLiteral("--seconds must be a number above 0 (got \"%1\")").arg(text);
        }
        return shortFormats ? onlyLongFormats.arg(QStringLiteral("--seconds")).arg(maxFrames) : QString();
    }
    const QString text = parser.value(QStringLiteral("frames"));
    bool ok = false;
    const qlonglong frames = text.trimmed().toLongLong(&ok);
    const int limit = shortFormats ? maxFrames : maxLongRunFrames;
    if (ok && frames > maxFrames && frames <= maxLongRunFrames && shortFormats) {
        return onlyLongFormats.arg(QStringLiteral("--frames above %1").arg(maxFrames)).arg(maxFrames);
    }
    if (!ok || frames < 1 || frames > limit) {
        return QStringLiteral("--frames must be a whole number from 1 to %1 (got \"%2\")").arg(limit).arg(text);
    }
    request->frames = static_cast<int>(frames);
    return QString();
}

}  // namespace

CliSetting defaultCliSetting() {
    CliSetting setting;
    setting.rangeNa = 100.0;
    setting.positive = true;
    setting.von = QStringLiteral("10");
    setting.voff = QStringLiteral("-5");
    setting.vbias1 = QStringLiteral("0");
    setting.vbias2 = QStringLiteral("0");
    return setting;
}

QString runNameProblem(const QString &name) {
    const SaveName::Problem problem = SaveName::check(name);
    if (problem == SaveName::Problem::None) {
        return {};
    }
    return QStringLiteral("--name \"%1\": %2").arg(name, SaveName::refusalText(problem));
}

CliParse parseCommandLine(const QStringList &arguments) {
    // The global options, then the command; everything after the command is the command's.
    QCommandLineParser global;
    global.setApplicationDescription(
        QStringLiteral("Command-line control of the VANTIKO 64 x 64 photodiode-matrix light sensor."));
    global.setOptionsAfterPositionalArgumentsMode(QCommandLineParser::ParseAsPositionalArguments);
    const QCommandLineOption help = global.addHelpOption();
    const QCommandLineOption version = global.addVersionOption();
    addGlobalOptions(global);
    global.addPositionalArgument(QStringLiteral("command"), QStringLiteral("devices, battery, acquire or stream."));
    const QStringList all = arguments.isEmpty() ? QStringList{program} : arguments;
    if (!global.parse(all)) {
        return usageError(global.errorText().remove(QRegularExpression(QStringLiteral("\\.$"))), program);
    }
    const QString globalUsage = program + QStringLiteral(" [global options] COMMAND [options]");
    if (global.isSet(version)) {
        CliParse parse;
        parse.output = QStringLiteral("%1 %2\n").arg(program, QStringLiteral(VANTIKO_VERSION));
        return parse;
    }
    const QStringList rest = global.positionalArguments();
    if (rest.isEmpty()) {
        if (!global.isSet(help)) {
            return usageError(QStringLiteral("no command given"), program);
        }
        CliParse parse;
        parse.output = helpText(global, globalUsage) + commandsText;
        return parse;
    }

    const QString commandName = rest.first();
    CliRequest request;
    QCommandLineParser parser;
    parser.addHelpOption();
    addGlobalOptions(parser);
    parser.addOption(QCommandLineOption(QStringLiteral("json"), QStringLiteral("Print JSON instead of text.")));
    QString usageArguments;
    if (commandName == QLatin1String("devices")) {
        request.command = CliRequest::Command::Devices;
        parser.setApplicationDescription(QStringLiteral("Lists the serial numbers of the attached devices."));
    } else if (commandName == QLatin1String("battery")) {
        request.command = CliRequest::Command::Battery;
        parser.setApplicationDescription(
            QStringLiteral("Connects and prints the battery code and level in percent (as the window's gauge)."));
    } else if (commandName == QLatin1String("acquire")) {
        request.command = CliRequest::Command::Acquire;
        parser.setApplicationDescription(QStringLiteral(
            "Connects, applies the setting, captures N frames (or for S seconds) and writes the run folder OUT/NAME "
            "as the window's Save does (NAME_1, NAME_2, ... when NAME is taken). Without --data, --pictures, "
            "--video or --hdf5, --data is implied. Runs beyond 1000 frames, and runs of S seconds, write only "
            "--hdf5 and --pictures. Prints the run folder (with --json an object on standard output; progress as "
            "JSON lines on standard error)."));
        parser.addOption(QCommandLineOption(
            QStringLiteral("frames"),
            QStringLiteral("Frames to save: 1 to 1000, or up to 1000000000 with only --hdf5 and --pictures."),
            QStringLiteral("N")));
        parser.addOption(QCommandLineOption(QStringLiteral("seconds"),
                                            QStringLiteral("Save for S seconds instead (only --hdf5 and --pictures)."),
                                            QStringLiteral("S")));
        parser.addOption(QCommandLineOption(QStringLiteral("out"), QStringLiteral("Folder the run folder goes into."),
                                            QStringLiteral("DIR")));
        parser.addOption(QCommandLineOption(QStringLiteral("name"),
                                            QStringLiteral("Name of the run folder (default vantiko)."),
                                            QStringLiteral("NAME")));
        parser.addOption(QCommandLineOption(QStringLiteral("data"), QStringLiteral("Write the CSV files.")));
        parser.addOption(QCommandLineOption(QStringLiteral("pictures"), QStringLiteral("Write a PNG per frame.")));
        parser.addOption(QCommandLineOption(QStringLiteral("video"), QStringLiteral("Write the MP4 video.")));
        parser.addOption(
            QCommandLineOption(QStringLiteral("hdf5"), QStringLiteral("Write NAME/NAME.h5 (NeXus layout).")));
        addSettingOptions(parser);
        usageArguments = QStringLiteral(
            " (--frames N | --seconds S) --out DIR [--name NAME] [--data] [--pictures] [--video] [--hdf5]");
    } else if (commandName == QLatin1String("stream")) {
        request.command = CliRequest::Command::Stream;
        parser.setApplicationDescription(QStringLiteral(
            "Connects, applies the setting and captures for S seconds; prints a line a second with the frames so "
            "far, the frames per second, and the mean, minimum and maximum current (nA) of the latest frame."));
        parser.addOption(
            QCommandLineOption(QStringLiteral("seconds"), QStringLiteral("How long to capture."), QStringLiteral("S")));
        addSettingOptions(parser);
        usageArguments = QStringLiteral(" --seconds S");
    } else {
        return usageError(QStringLiteral("unknown command \"%1\"").arg(commandName), program);
    }
    const QString commandHelp = program + QLatin1Char(' ') + commandName;
    if (!parser.parse(QStringList{commandHelp} + rest.mid(1))) {
        return usageError(parser.errorText().remove(QRegularExpression(QStringLiteral("\\.$"))), commandHelp);
    }
    if (parser.isSet(QStringLiteral("help")) || global.isSet(help)) {
        CliParse parse;
        parse.output = helpText(
            parser, QStringLiteral("%1 [global options] %2%3 [options]").arg(program, commandName, usageArguments));
        return parse;
    }
    if (!parser.positionalArguments().isEmpty()) {
        return usageError(QStringLiteral("unexpected argument \"%1\"").arg(parser.positionalArguments().first()),
                          commandHelp);
    }

    // Global options may come before or after the command; after wins.
    LinkOptions link = LinkOptions::fromParser(global);
    const LinkOptions commandLink = LinkOptions::fromParser(parser);
    for (const LinkOptions *options : {static_cast<const LinkOptions *>(&link), &commandLink}) {
        if (!options->error().isEmpty()) {
            return usageError(options->error().trimmed(), commandHelp);
        }
    }
    for (const QCommandLineParser *source : {&global, &parser}) {
        if (source->isSet(QStringLiteral("serial"))) {
            request.serial = source->value(QStringLiteral("serial"));
        }
        request.verbose = request.verbose || source->isSet(QStringLiteral("verbose"));
    }
    if (request.serial.isEmpty()) {
        return usageError(QStringLiteral("--serial must not be empty"), commandHelp);
    }
    request.json = parser.isSet(QStringLiteral("json"));

    if (request.command == CliRequest::Command::Acquire || request.command == CliRequest::Command::Stream) {
        const QString problem = readSetting(parser, &request.setting);
        if (!problem.isEmpty()) {
            return usageError(problem, commandHelp);
        }
    }
    if (request.command == CliRequest::Command::Acquire) {
        request.out = parser.value(QStringLiteral("out"));
        if (request.out.trimmed().isEmpty()) {
            return usageError(QStringLiteral("--out must name a folder"), commandHelp);
        }
        if (parser.isSet(QStringLiteral("name"))) {
            request.name = parser.value(QStringLiteral("name"));
        }
        const QString nameProblem = runNameProblem(request.name);
        if (!nameProblem.isEmpty()) {
            return usageError(nameProblem, commandHelp);
        }
        request.data = parser.isSet(QStringLiteral("data"));
        request.pictures = parser.isSet(QStringLiteral("pictures"));
        request.video = parser.isSet(QStringLiteral("video"));
        request.hdf5 = parser.isSet(QStringLiteral("hdf5"));
        if (!request.data && !request.pictures && !request.video && !request.hdf5) {
            request.data = true;
        }
        const QString lengthProblem = readRunLength(parser, &request);
        if (!lengthProblem.isEmpty()) {
            return usageError(lengthProblem, commandHelp);
        }
    }
    if (request.command == CliRequest::Command::Stream) {
        if (!parser.isSet(QStringLiteral("seconds"))) {
            return usageError(QStringLiteral("--seconds is required"), commandHelp);
        }
        const QString text = parser.value(QStringLiteral("seconds"));
        if (!finiteNumber(text, &request.seconds) || request.seconds <= 0 || request.seconds > maxSeconds) {
            return usageError(QStringLiteral("--seconds must be a number above 0 (got \"%1\")").arg(text), commandHelp);
        }
    }

    request.link = LinkChoice::fromEnvironment().withOptions(link).withOptions(commandLink);
    CliParse parse;
    parse.run = true;
    parse.request = request;
    return parse;
}
