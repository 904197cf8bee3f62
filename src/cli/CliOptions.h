#pragma once

#include <QString>
#include <QStringList>

#include "InstrumentSession.h"
#include "LinkChoice.h"

// Exit statuses of the tool; scripts test them.
enum class ExitStatus {
    Success = 0,
    Usage = 2,           // bad usage or input
    NoDevice = 3,        // no device, or the connection or handshake failed
    SettingRefused = 4,  // the setting was not acknowledged
    WriteFailed = 5,     // a file of the run could not be written
    CaptureFailed = 6,   // the capture failed (read failures, no frames)
};

// The range and bias setting as given on the command line, the session's own type with the tool's
// defaults (100 nA, positive, Von 10, Voff -5, both biases 0). The voltages stay texts, as the window
// keeps its fields, so the parameter file holds them as typed.
using CliSetting = InstrumentSession::Setting;
CliSetting defaultCliSetting();

struct CliRequest {
    enum class Command { Devices, Battery, Acquire, Stream };
    Command command = Command::Devices;
    QString serial = QStringLiteral("VANTIKO");
    // The backend: --link and --d2xx-library (after the command wins), then the environment.
    LinkChoice link;
    bool json = false;
    bool verbose = false;
    CliSetting setting = defaultCliSetting();
    // acquire
    int frames = 0;
    QString out;
    QString name = QStringLiteral("vantiko");
    bool data = false;
    bool pictures = false;
    bool video = false;
    bool hdf5 = false;
    // stream
    double seconds = 0;
};

// The command line read: either a request to run, or text to print and a status to end with.
struct CliParse {
    bool run = false;
    ExitStatus status = ExitStatus::Success;
    QString output;  // for standard output (help, version)
    QString error;   // one line for standard error
    CliRequest request;
};

// Reads `arguments` (program name first).
CliParse parseCommandLine(const QStringList &arguments);

// Why a run name cannot be used, or empty when it can: it must name one folder inside --out.
QString runNameProblem(const QString &name);
