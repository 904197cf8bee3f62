#include "SaveRun.h"

#include <utility>

#include <QDateTime>

#include "CsvExport.h"
#include "ExportLog.h"

namespace {

const QString kCurrentSuffix = QStringLiteral("_current.csv");
const QString kGraySuffix = QStringLiteral("_gray.csv");
const QString kFullOffSuffix = QStringLiteral("_fulloff.csv");
const QString kFullOnSuffix = QStringLiteral("_fullon.csv");
const QString kVideoSuffix = QStringLiteral("_output_video.mp4");
const QString kHdf5Suffix = QStringLiteral(".h5");
const QString kParameterSuffix = QStringLiteral("_SetParameterData.txt");

}  // namespace

SaveRun::SaveRun(RunPlan plan, FailureHandler onFailure)
    : m_plan(std::move(plan)), m_folder(m_plan.directory, m_plan.name), m_onFailure(std::move(onFailure)) {}

SaveRun::~SaveRun() {
    closeAll();
}

QStringList SaveRun::filesToWrite() const {
    const QString &name = m_plan.name;
    QStringList files;
    if (m_plan.data) {
        files << name + kCurrentSuffix << name + kGraySuffix << name + kFullOffSuffix << name + kFullOnSuffix;
    }
    if (m_plan.video) {
        files << name + kVideoSuffix;
    }
    if (m_plan.hdf5) {
        files << name + kHdf5Suffix;
    }
    if (m_plan.pictures) {
        files << QStringLiteral("pic/");
    }
    return files;
}

void SaveRun::open() {
    if (!m_plan.writesFiles()) {
        return;
    }
    // The folder and the parameter file first: without them nothing of the run can be kept.
    if (const SaveResult failure = ensureDirectory(m_folder.path())) {
        fail(QStringLiteral("Save failed: could not create the save folder."), *failure);
        return;
    }
    if (const SaveResult failure =
            m_marker.create(m_folder.filePath(QString::fromLatin1(RunMarker::suffix)), filesToWrite())) {
        fail(QStringLiteral("Save failed: could not write the run's marker file."), *failure);
        return;
    }
    if (const SaveResult failure = m_folder.create(m_plan.settingsSummary)) {
        fail(QStringLiteral("Save failed: could not write the parameter file."), *failure);
        return;
    }
    m_mediaOpen = m_plan.pictures || m_plan.video;
    if (m_plan.data) {
        openCsv();
    }
    if (m_plan.hdf5) {
        openHdf5();
    }
}

void SaveRun::openCsv() {
    m_currentCsv.emplace(m_folder.filePath(kCurrentSuffix));
    m_grayCsv.emplace(m_folder.filePath(kGraySuffix));
    m_csvOpen = true;
    for (auto *file : {&*m_currentCsv, &*m_grayCsv}) {
        if (!file->open()) {
            m_csvOpen = false;
            fail(QStringLiteral("Save failed: could not write the data files."), *file->failure());
            return;
        }
    }
}

void SaveRun::openHdf5() {
    m_hdf5.emplace();
    if (!m_hdf5->create(m_folder.filePath(kHdf5Suffix), m_plan.nexus, nullptr)) {
        failHdf5(QStringLiteral("Save failed: could not create the HDF5 file."));
        return;
    }
    m_hdf5Open = true;
    m_lastFlush = Clock::now();
}

void SaveRun::write(const RecordedFrame &frame) {
    if (m_csvOpen) {
        writeCsv(frame);
    }
    if (m_mediaOpen) {
        writeMedia(frame);
    }
    if (m_hdf5Open) {
        writeHdf5(frame);
    }
}

void SaveRun::writeCsv(const RecordedFrame &frame) {
    const std::pair<FrameCsvFile *, const std::vector<double> *> files[] = {{&*m_currentCsv, &frame.currents},
                                                                            {&*m_grayCsv, &frame.grays}};
    for (const auto &[file, values] : files) {
        file->append(*values, frame.stamp);
        if (const SaveResult failure = file->failure()) {
            m_csvOpen = false;
            fail(QStringLiteral("Save failed: could not write the data files."), *failure);
            return;
        }
    }
}

MediaRun SaveRun::mediaRun() const {
    MediaRun run;
    run.savePath = m_plan.directory;
    run.saveName = m_plan.name;
    run.frames = m_plan.frames;
    run.videoFps = m_plan.videoFps;
    run.pictures = m_plan.pictures;
    run.video = m_plan.video;
    return run;
}

void SaveRun::writeMedia(const RecordedFrame &frame) {
    if (m_media.save(frame.image, mediaRun()) == MediaSaver::Outcome::Failed) {
        m_mediaOpen = false;
        fail(m_media.failureText(), m_media.failure());
    }
}

void SaveRun::writeHdf5(const RecordedFrame &frame) {
    const NexusWriter::Frame row{frame.sequence, frame.seconds, frame.stamp, frame.currents, frame.grays};
    if (!m_hdf5->appendFrame(row, nullptr)) {
        failHdf5(QStringLiteral("Save failed: could not write the HDF5 file."));
        return;
    }
    m_unflushed = true;
    flushIfDue(Clock::now());
}

std::optional<SaveRun::Clock::time_point> SaveRun::nextFlush() const {
    if (!m_hdf5Open || !m_unflushed) {
        return std::nullopt;
    }
    return m_lastFlush + flushInterval;
}

void SaveRun::flushIfDue(Clock::time_point now) {
    const std::optional<Clock::time_point> due = nextFlush();
    if (!due || now < *due) {
        return;
    }
    if (!m_hdf5->flush(nullptr)) {
        failHdf5(QStringLiteral("Save failed: could not write the HDF5 file."));
        return;
    }
    m_unflushed = false;
    m_lastFlush = now;
}

void SaveRun::failHdf5(const QString &text) {
    m_hdf5Open = false;
    fail(text, SaveFailure{m_folder.filePath(kHdf5Suffix), m_hdf5->reason()});
}

void SaveRun::finish(const std::vector<double> &fullOnReference, const std::vector<double> &fullOffReference) {
    if (m_csvOpen) {
        finishCsv(fullOnReference, fullOffReference);
    }
    if (m_mediaOpen) {
        finishMedia();
    }
    if (m_hdf5Open) {
        finishHdf5(fullOnReference, fullOffReference);
    }
    closeAll();
    if (!m_failure) {
        if (const SaveResult failure = m_marker.remove()) {
            fail(QStringLiteral("Save failed: could not remove the run's marker file."), *failure);
        }
    }
}

void SaveRun::finishCsv(const std::vector<double> &fullOnReference, const std::vector<double> &fullOffReference) {
    m_csvOpen = false;
    // Every file is closed or written even when one before it failed.
    const SaveResult results[] = {
        m_currentCsv->close(true),
        m_grayCsv->close(true),
        CsvExport::writeReference(m_folder.filePath(kFullOffSuffix), fullOffReference),
        CsvExport::writeReference(m_folder.filePath(kFullOnSuffix), fullOnReference),
    };
    for (const SaveResult &result : results) {
        if (result) {
            fail(QStringLiteral("Save failed: could not write the data files."), *result);
        }
    }
}

void SaveRun::finishMedia() {
    m_mediaOpen = false;
    if (m_media.complete(mediaRun()) == MediaSaver::Outcome::Failed) {
        fail(m_media.failureText(), m_media.failure());
    }
}

void SaveRun::finishHdf5(const std::vector<double> &fullOnReference, const std::vector<double> &fullOffReference) {
    m_hdf5Open = false;
    if (!m_hdf5->finish(QDateTime::currentDateTime(), fullOnReference, fullOffReference, nullptr)) {
        fail(QStringLiteral("Save failed: could not write the HDF5 file."),
             SaveFailure{m_folder.filePath(kHdf5Suffix), m_hdf5->reason()});
    }
}

void SaveRun::closeAll() {
    // Whatever is still open is closed as it stands; the marker stays unless finish() removed it.
    m_csvOpen = false;
    m_mediaOpen = false;
    m_hdf5Open = false;
    for (auto *file : {&m_currentCsv, &m_grayCsv}) {
        if (*file && (*file)->isOpen()) {
            (*file)->close();
        }
    }
    m_media.abort();
    m_hdf5.reset();
}

void SaveRun::fail(const QString &text, const SaveFailure &failure) {
    qCWarning(lcExport).noquote() << text << failure.file << failure.reason;
    m_marker.noteFailure(failure.file, failure.reason);
    // The user hears of the first failure; later ones are mostly its consequences.
    if (m_failure) {
        return;
    }
    m_failure = RunFailure{text, failure};
    if (m_onFailure) {
        m_onFailure(*m_failure);
    }
}
