#include "CliCommands.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonObject>
#include <QTimer>

#include "CliConsole.h"
#include "InstrumentSession.h"
#include "IntegrationSearch.h"

namespace {

// Longest wait for the next frame before the capture counts as failed (the slowest range takes ~75 ms).
constexpr int frameWatchdogMs = 10000;

// The window's battery gauge: the code as a voltage between 1.65 V (empty) and 2.075 V (full), in percent.
int batteryPercent(int code) {
    const double volts = std::clamp(code * 3.3 / 4096, 1.65, 2.075);
    return static_cast<int>((volts - 1.65) / (2.075 - 1.65) * 100);
}

QString settingText(const CliSetting &s) {
    return QStringLiteral("range %1 nA, %2, Von %3 V, Voff %4 V, Vbias1 %5 V, Vbias2 %6 V")
        .arg(QString::number(s.rangeNa, 'g', 6), s.positive ? QStringLiteral("positive") : QStringLiteral("negative"),
             s.von, s.voff, s.vbias1, s.vbias2);
}

// ---- devices ---------------------------------------------------------------------------------------------------

class DevicesCommand : public CliCommand {
public:
    using CliCommand::CliCommand;

    void start() override {
        connect(&m_session, &InstrumentSession::devicesDescribed, this, [this](const std::vector<DeviceInfo> &list) {
            if (finishing()) {
                return;
            }
            QJsonArray array;
            for (const DeviceInfo &device : list) {
                const QString serial = QString::fromStdString(device.serialNumber);
                if (m_request.json) {
                    array.append(
                        QJsonObject{{QStringLiteral("serial"), serial},
                                    {QStringLiteral("description"), QString::fromStdString(device.description)},
                                    {QStringLiteral("open"), (device.flags & 1u) != 0},
                                    {QStringLiteral("location"), static_cast<qint64>(device.locationId)}});
                } else {
                    m_console.out(serial);
                }
            }
            if (m_request.json) {
                m_console.outJson(array);
            }
            finish(ExitStatus::Success);
        });
        connect(&m_session, &InstrumentSession::discoveryFailed, this,
                [this](InstrumentSession::DiscoveryFailure failure) {
                    if (finishing()) {
                        return;
                    }
                    switch (failure) {
                        case InstrumentSession::DiscoveryFailure::NoDevices:
                            // Still a valid list for a program that reads the JSON.
                            if (m_request.json) {
                                m_console.outJson(QJsonArray());
                            }
                            finish(ExitStatus::NoDevice,
                                   QStringLiteral("No device found (link %1): plug the instrument in and switch it "
                                                  "on, or choose another --link.")
                                       .arg(m_linkName));
                            return;
                        case InstrumentSession::DiscoveryFailure::ListFailed:
                        case InstrumentSession::DiscoveryFailure::InfoFailed:
                            finish(ExitStatus::NoDevice,
                                   QStringLiteral("The device list could not be read (link %1): check the USB "
                                                  "driver and permissions (docs/hardware.md).")
                                       .arg(m_linkName));
                            return;
                        case InstrumentSession::DiscoveryFailure::Incomplete:
                            finish(ExitStatus::NoDevice,
                                   QStringLiteral("The attached devices did not report their serial numbers: "
                                                  "reconnect them and try again."));
                            return;
                    }
                });
        m_session.startDiscovery();
    }
};

// ---- battery ---------------------------------------------------------------------------------------------------

class BatteryCommand : public CliCommand {
public:
    using CliCommand::CliCommand;

    void start() override {
        connect(&m_session, &InstrumentSession::batteryRead, this, [this](int code) { m_code = code; });
        connectThen([this] {
            m_session.readBattery();
            whenIdle([this] { report(); });
        });
    }

private:
    void report() {
        if (m_code < 0) {
            finish(ExitStatus::NoDevice, QStringLiteral("The instrument did not answer the battery query: "
                                                        "switch it off and on and try again."));
            return;
        }
        if (m_request.json) {
            m_console.outJson(
                QJsonObject{{QStringLiteral("code"), m_code}, {QStringLiteral("percent"), batteryPercent(m_code)}});
        } else {
            m_console.out(QStringLiteral("%1 %2%").arg(m_code).arg(batteryPercent(m_code)));
        }
        finish(ExitStatus::Success);
    }

    int m_code = -1;
};

// ---- acquire ---------------------------------------------------------------------------------------------------

class AcquireCommand : public CliCommand {
public:
    using CliCommand::CliCommand;

    void start() override {
        connect(&m_session, &InstrumentSession::saveFailed, this, [this](const QString &file, const QString &reason) {
            finish(ExitStatus::WriteFailed,
                   QStringLiteral("Save failed: could not write %1 (%2). Free some space or choose another --out "
                                  "folder, then run again.")
                       .arg(file, reason));
        });
        connect(&m_session, &InstrumentSession::saveProgress, this, &AcquireCommand::progress);
        connect(&m_session, &InstrumentSession::saveFinished, this, &AcquireCommand::filesWritten);
        m_watchdog.setSingleShot(true);
        m_watchdog.setInterval(frameWatchdogMs);
        connect(&m_watchdog, &QTimer::timeout, this, [this] {
            finish(ExitStatus::CaptureFailed,
                   QStringLiteral("No frame arrived for %1 s after %2: check the instrument and its cable, then run "
                                  "again.")
                       .arg(frameWatchdogMs / 1000)
                       .arg(framesSoFar()));
        });
        connectThen([this] { applySettingThen([this] { startCapture(); }); });
    }

protected:
    void connectionLost() override {
        finish(ExitStatus::CaptureFailed,
               QStringLiteral("Reading frames failed after %1 (the instrument stopped answering or was unplugged): "
                              "check its cable and power, then run again.")
                   .arg(framesSoFar()));
    }

private:
    bool timed() const { return m_request.seconds > 0; }

    // "231 of 1000 frames", or "231 frames" for a run of some seconds.
    QString framesSoFar() const {
        return timed() ? QStringLiteral("%1 frames").arg(m_recorded)
                       : QStringLiteral("%1 of %2 frames").arg(m_recorded).arg(m_request.frames);
    }

    void startCapture() {
        connect(
            &m_session, &InstrumentSession::captureStarted, this, [this] { startRun(); }, Qt::SingleShotConnection);
        m_session.startCapture();
    }

    // Capturing: the run goes through the session's save pipeline, as the window's does.
    void startRun() {
        if (finishing()) {
            return;
        }
        InstrumentSession::SaveRequest save;
        save.directory = m_request.out;
        save.name = m_request.name;
        save.frames = m_request.frames;
        save.seconds = m_request.seconds;
        save.data = m_request.data;
        save.pictures = m_request.pictures;
        save.video = m_request.video;
        save.hdf5 = m_request.hdf5;
        save.longRun = true;
        const InstrumentSession::SaveRefusal refusal = m_session.startSave(save);
        if (refusal != InstrumentSession::SaveRefusal::None) {
            finish(
                ExitStatus::WriteFailed,
                QStringLiteral("The save run could not start (reason %1): run again.").arg(static_cast<int>(refusal)));
            return;
        }
        m_folder = QDir(m_request.out).absoluteFilePath(m_session.runName());
        m_watchdog.start();
    }

    void progress(int frames, int total) {
        if (finishing() || frames <= m_recorded) {
            return;  // the run's last count comes twice (recorded, then complete)
        }
        m_watchdog.start();
        if (m_recorded == 0) {
            m_clock.start();
        }
        m_recorded = frames;
        const double seconds = m_clock.elapsed() / 1000.0;
        const double fps = frames > 1 && seconds > 0 ? (frames - 1) / seconds : 0.0;
        if (m_request.json) {
            m_console.errorJson(QJsonObject{{QStringLiteral("frames"), frames},
                                            {QStringLiteral("total"), total > 0 ? QJsonValue(total) : QJsonValue()},
                                            {QStringLiteral("fps"), std::round(fps * 10) / 10}});
        } else if (total > 0) {
            m_console.progressBar(frames, total, fps);
        } else {
            m_console.progressCount(frames, seconds, m_request.seconds, fps);
        }
        if (frames == total) {
            // The files of the last frame (CSV, last picture, video) are written after this count comes:
            // saveFinished tells when they are.
            m_watchdog.stop();
        }
    }

    // Every file of the run is written and closed, or the run failed (saveFailed came first and ended it).
    void filesWritten(bool ok) {
        if (ok && !finishing()) {
            complete();
        }
    }

    void complete() {
        m_watchdog.stop();
        m_console.endProgressBar();
        if (m_request.json) {
            QJsonArray files;
            const QDir folder(m_folder);
            QDirIterator it(m_folder, QDir::Files, QDirIterator::Subdirectories);
            QStringList names;
            while (it.hasNext()) {
                names << folder.relativeFilePath(QFileInfo(it.next()).absoluteFilePath());
            }
            names.sort();
            for (const QString &name : names) {
                files.append(name);
            }
            QJsonObject result{{QStringLiteral("run"), m_session.runName()},
                               {QStringLiteral("folder"), m_folder},
                               {QStringLiteral("frames"), m_recorded},
                               {QStringLiteral("files"), files}};
            if (m_request.hdf5) {
                result.insert(QStringLiteral("hdf5"),
                              m_folder + QLatin1Char('/') + m_session.runName() + QStringLiteral(".h5"));
            }
            m_console.outJson(result);
        } else {
            m_console.out(m_folder);
        }
        finish(ExitStatus::Success);
    }

    QTimer m_watchdog;
    QElapsedTimer m_clock;
    int m_recorded = 0;
    QString m_folder;
};

// ---- stream ----------------------------------------------------------------------------------------------------

class StreamCommand : public CliCommand {
public:
    using CliCommand::CliCommand;

    void start() override {
        connect(&m_session, &InstrumentSession::frameValues, this, &StreamCommand::frame);
        m_watchdog.setSingleShot(true);
        m_watchdog.setInterval(frameWatchdogMs);
        connect(&m_watchdog, &QTimer::timeout, this, [this] {
            finish(ExitStatus::CaptureFailed,
                   QStringLiteral("No frame arrived for %1 s: check the instrument and its cable, then run again.")
                       .arg(frameWatchdogMs / 1000));
        });
        m_lineTimer.setSingleShot(true);
        m_lineTimer.setTimerType(Qt::PreciseTimer);
        connect(&m_lineTimer, &QTimer::timeout, this, [this] { line(); });
        connectThen([this] {
            applySettingThen([this] {
                connect(
                    &m_session, &InstrumentSession::captureStarted, this,
                    [this] {
                        m_clock.start();
                        m_watchdog.start();
                        scheduleLine();
                    },
                    Qt::SingleShotConnection);
                m_session.setFrameValuesWanted(true);
                m_session.startCapture();
            });
        });
    }

protected:
    void connectionLost() override {
        finish(ExitStatus::CaptureFailed,
               QStringLiteral("Reading frames failed after %1 frames (the instrument stopped answering or was "
                              "unplugged): check its cable and power, then run again.")
                   .arg(m_frames));
    }

private:
    void frame(const FrameValues &values) {
        if (finishing() || values.currents.empty()) {
            return;
        }
        m_watchdog.start();
        ++m_frames;
        const auto [low, high] = std::minmax_element(values.currents.begin(), values.currents.end());
        double sum = 0;
        for (const double current : values.currents) {
            sum += current;
        }
        m_mean = sum / static_cast<double>(values.currents.size());
        m_min = *low;
        m_max = *high;
    }

    // The next line at the next whole second, or at the end when that comes first.
    void scheduleLine() {
        const qint64 end = static_cast<qint64>(std::llround(m_request.seconds * 1000));
        const qint64 next = std::min<qint64>((m_linesShown + 1) * 1000LL, end);
        // Decided here, not from the clock when the timer fires: a timer may fire a little early.
        m_lastLine = next >= end;
        m_lineTimer.start(static_cast<int>(std::max<qint64>(0, next - m_clock.elapsed())));
    }

    void line() {
        if (finishing()) {
            return;
        }
        const qint64 now = m_clock.elapsed();
        const double interval = (now - m_lastLineMs) / 1000.0;
        const double fps = interval > 0 ? (m_frames - m_lastLineFrames) / interval : 0.0;
        const double seconds = now / 1000.0;
        const bool haveFrame = m_frames > 0;
        if (m_request.json) {
            const auto number = [haveFrame](double value) { return haveFrame ? QJsonValue(value) : QJsonValue(); };
            m_console.outJson(QJsonObject{{QStringLiteral("seconds"), std::round(seconds * 1000) / 1000},
                                          {QStringLiteral("frames"), m_frames},
                                          {QStringLiteral("fps"), std::round(fps * 10) / 10},
                                          {QStringLiteral("mean"), number(m_mean)},
                                          {QStringLiteral("min"), number(m_min)},
                                          {QStringLiteral("max"), number(m_max)}});
        } else {
            const auto number = [haveFrame](double value) {
                return haveFrame ? QString::number(value, 'g', 6) : QStringLiteral("-");
            };
            m_console.out(QStringLiteral("t=%1s frames=%2 fps=%3 mean=%4 min=%5 max=%6 nA")
                              .arg(QString::number(seconds, 'f', 1))
                              .arg(m_frames)
                              .arg(QString::number(fps, 'f', 1), number(m_mean), number(m_min), number(m_max)));
        }
        ++m_linesShown;
        m_lastLineMs = now;
        m_lastLineFrames = m_frames;
        if (m_lastLine) {
            finish(ExitStatus::Success);
            return;
        }
        scheduleLine();
    }

    QTimer m_watchdog;
    QTimer m_lineTimer;
    QElapsedTimer m_clock;
    int m_frames = 0;
    int m_linesShown = 0;
    bool m_lastLine = false;
    qint64 m_lastLineMs = 0;
    int m_lastLineFrames = 0;
    double m_mean = 0;
    double m_min = 0;
    double m_max = 0;
};

}  // namespace

// ---- the common steps ----------------------------------------------------------------------------------------------

CliCommand::CliCommand(const CliRequest &request, CliConsole &console, InstrumentSession &session,
                       const QString &linkName, const QString &linkDiagnostic)
    : m_request(request),
      m_console(console),
      m_session(session),
      m_linkName(linkName),
      m_linkDiagnostic(linkDiagnostic) {
    connect(&m_session, &InstrumentSession::disconnected, this, [this](InstrumentSession::DisconnectReason reason) {
        if (!m_finishing && reason != InstrumentSession::DisconnectReason::Requested) {
            connectionLost();
        }
    });
}

std::unique_ptr<CliCommand> CliCommand::create(const CliRequest &request, CliConsole &console,
                                               InstrumentSession &session, const QString &linkName,
                                               const QString &linkDiagnostic) {
    switch (request.command) {
        case CliRequest::Command::Devices:
            return std::make_unique<DevicesCommand>(request, console, session, linkName, linkDiagnostic);
        case CliRequest::Command::Battery:
            return std::make_unique<BatteryCommand>(request, console, session, linkName, linkDiagnostic);
        case CliRequest::Command::Acquire:
            return std::make_unique<AcquireCommand>(request, console, session, linkName, linkDiagnostic);
        case CliRequest::Command::Stream:
            return std::make_unique<StreamCommand>(request, console, session, linkName, linkDiagnostic);
    }
    return nullptr;
}

void CliCommand::connectThen(std::function<void()> next) {
    connect(
        &m_session, &InstrumentSession::connectFinished, this,
        [this, next](InstrumentSession::ConnectOutcome outcome) {
            if (m_finishing) {
                return;
            }
            switch (outcome) {
                case InstrumentSession::ConnectOutcome::Connected:
                    next();
                    return;
                case InstrumentSession::ConnectOutcome::NotFound: {
                    const QString why =
                        m_linkDiagnostic.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(m_linkDiagnostic);
                    finish(ExitStatus::NoDevice,
                           QStringLiteral("No instrument with serial number %1 could be opened (link %2)%3: plug it "
                                          "in and switch it on, close any other program using it, or choose another "
                                          "--link or --serial.")
                               .arg(m_request.serial, m_linkName, why));
                    return;
                }
                case InstrumentSession::ConnectOutcome::HandshakeFailed:
                    finish(ExitStatus::NoDevice,
                           QStringLiteral("The instrument %1 did not answer the handshake: switch it off and on, "
                                          "reconnect its cable and try again.")
                               .arg(m_request.serial));
                    return;
            }
        },
        Qt::SingleShotConnection);
    m_session.setSerial(m_request.serial);
    m_session.connectInstrument();
}

void CliCommand::applySettingThen(std::function<void()> next) {
    connect(
        &m_session, &InstrumentSession::settingFinished, this,
        [this, next](bool acknowledged) {
            if (m_finishing) {
                return;
            }
            if (!acknowledged) {
                finish(ExitStatus::SettingRefused,
                       QStringLiteral("The instrument did not acknowledge the setting (%1): check the values, switch "
                                      "the instrument off and on, and try again.")
                           .arg(settingText(m_request.setting)));
                return;
            }
            next();
        },
        Qt::SingleShotConnection);
    const CliSetting &s = m_request.setting;
    if (!IntegrationSearch::find(s.rangeNa)) {
        // The window goes on the same way: the instrument keeps the integration it has.
        m_console.error(QStringLiteral("warning: no integration time fits a range of %1 nA (about 0.095 to 651 nA "
                                       "fit); the previous integration time is sent.")
                            .arg(QString::number(s.rangeNa, 'g', 6)));
    }
    m_session.applySetting(s);
}

void CliCommand::whenIdle(std::function<void()> next) {
    if (m_session.isIdle()) {
        next();
        return;
    }
    connect(
        &m_session, &InstrumentSession::idle, this, [next] { next(); }, Qt::SingleShotConnection);
}

void CliCommand::connectionLost() {
    finish(ExitStatus::NoDevice, QStringLiteral("The connection to the instrument was lost: check its cable and "
                                                "power, then try again."));
}

void CliCommand::finish(ExitStatus status, const QString &message) {
    if (m_finishing) {
        return;
    }
    m_finishing = true;
    if (!message.isEmpty()) {
        m_console.error(message);
    }
    // Leave the instrument as the window's Disconnect does: capture stopped, link closed.
    m_session.setFrameValuesWanted(false);
    m_session.stopCapture();
    m_session.disconnectInstrument();
    whenIdle([this, status] { emit finished(static_cast<int>(status)); });
}
