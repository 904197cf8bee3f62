#include "MediaSaver.h"

#include <filesystem>
#include <iostream>
#include <system_error>
#include <vector>

#include <QFile>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "RunFolder.h"

namespace {

constexpr int kVideoSide = 64;
// Written past the end of an unreadable video to learn why it could not be completed (then cut off again).
constexpr qint64 kProbeBytes = 64 * 1024;

RunFolder folderOf(const MediaRun &run) {
    return RunFolder(run.savePath, run.saveName);
}

// A view of the picture's pixels, no copy: the matrix is used before the image goes out of scope.
cv::Mat grayView(const QImage &image) {
    if (image.isNull()) {
        return {};
    }
    return cv::Mat(image.height(), image.width(), CV_8UC1, const_cast<uchar *>(image.constBits()),
                   static_cast<std::size_t>(image.bytesPerLine()));
}

// The video writer never says why it failed; writing to the file ourselves does. Opens (or creates) the
// file and writes past its end, then cuts it back to its size (or removes it if it was not there before).
// Empty when the file takes the bytes.
QString reasonFileCannotBeWritten(const QString &path, const QString &fallback) {
    const bool existed = QFile::exists(path);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered)) {
        return file.errorString();
    }
    const qint64 size = file.size();
    const QByteArray probe(kProbeBytes, '\0');
    const QString reason = writeFully(file, probe.constData(), probe.size()) ? fallback : file.errorString();
    file.resize(size);
    file.close();
    if (!existed) {
        file.remove();
    }
    return reason;
}

}  // namespace

MediaSaver::~MediaSaver() {
    if (m_writer.isOpened()) {
        m_writer.release();
    }
}

MediaSaver::Outcome MediaSaver::save(const QImage &image, const MediaRun &run) {
    if (!run.pictures && !run.video) {
        return Outcome::Saved;
    }
    if (m_savedFrames == 0 && run.video && !openVideo(run)) {
        return Outcome::Failed;
    }
    const int frameNumber = ++m_savedFrames;

    const cv::Mat pixels = grayView(image);
    if (pixels.empty()) {
        std::cerr << "Error: Source image is empty." << std::endl;
    } else {
        if (run.video) {
            writeVideoFrame(image);
        }
        if (run.pictures && !writePicture(image, run)) {
            return Outcome::Failed;
        }
    }

    if (run.frames > 0 && frameNumber >= run.frames) {
        return finish(run) ? Outcome::Completed : Outcome::Failed;
    }
    return Outcome::Saved;
}

MediaSaver::Outcome MediaSaver::complete(const MediaRun &run) {
    if (m_savedFrames == 0) {
        return Outcome::Completed;  // nothing open
    }
    return finish(run) ? Outcome::Completed : Outcome::Failed;
}

void MediaSaver::abort() {
    if (m_writer.isOpened()) {
        m_writer.release();
    }
    m_savedFrames = 0;
    m_videoFrames = 0;
}

bool MediaSaver::openVideo(const MediaRun &run) {
    const QString directory = folderOf(run).path() + QLatin1Char('/');
    if (const SaveResult failure = ensureDirectory(directory)) {
        std::cerr << "Error: Failed to create directory." << std::endl;
        fail(QStringLiteral("Save failed: could not create the save folder."), *failure);
        return false;
    }
    m_videoFile = folderOf(run).filePath(QStringLiteral("_output_video.mp4"));
    m_videoFrames = 0;
    bool opened = false;
    try {
        opened =
            m_writer.open(QFile::encodeName(m_videoFile).toStdString(), cv::VideoWriter::fourcc('m', 'p', '4', 'v'),
                          static_cast<double>(run.videoFps), cv::Size(kVideoSide, kVideoSide), true);
    } catch (const cv::Exception &) {
        opened = false;  // a backend that throws is a writer that did not open
    }
    if (!opened || !m_writer.isOpened()) {
        std::cerr << "Error: Could not create video writer." << std::endl;
        std::cerr << "Ticks: " << cv::getTickCount() << std::endl;
        const QString reason =
            reasonFileCannotBeWritten(m_videoFile, QStringLiteral("the video encoder could not be opened"));
        fail(QStringLiteral("Save failed: could not create the video file."), SaveFailure{m_videoFile, reason});
        return false;
    }
    return true;
}

void MediaSaver::writeVideoFrame(const QImage &image) {
    // The video takes colour frames: the gray picture in three equal channels.
    cv::Mat colour;
    cv::cvtColor(grayView(image), colour, cv::COLOR_GRAY2BGR);
    m_writer.write(colour);
    ++m_videoFrames;
}

bool MediaSaver::writePicture(const QImage &image, const MediaRun &run) {
    const QString directory = folderOf(run).path() + QStringLiteral("/pic");
    if (const SaveResult failure = ensureDirectory(directory)) {
        std::cerr << "Error: Failed to create directory." << std::endl;
        fail(QStringLiteral("Save failed: could not create the picture folder."), *failure);
        return false;
    }
    const QString path = directory + QLatin1Char('/') + run.saveName + QLatin1Char('_') +
                         QString::number(m_savedFrames) + QStringLiteral(".png");
    // Encoded here and written by us rather than by the image writer, whose file errors go unreported.
    std::vector<uchar> png;
    bool encoded = false;
    try {
        encoded = cv::imencode(".png", grayView(image), png);
    } catch (const cv::Exception &) {
        encoded = false;
    }
    QFile file(path);
    QString reason;
    if (!encoded) {
        reason = QStringLiteral("the picture could not be encoded");
    } else if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered)) {
        reason = file.errorString();
    } else {
        const auto size = static_cast<qint64>(png.size());
        if (!writeFully(file, reinterpret_cast<const char *>(png.data()), size) || !file.flush()) {
            reason = file.errorString();
        }
        file.close();
        if (reason.isEmpty() && file.error() != QFileDevice::NoError) {
            reason = file.errorString();
        }
    }
    if (!reason.isEmpty()) {
        std::cerr << "Error: Failed to save the image." << std::endl;
        fail(QStringLiteral("Save failed: could not write a picture."), SaveFailure{path, reason});
        return false;
    }
    return true;
}

bool MediaSaver::finish(const MediaRun &run) {
    m_savedFrames = 0;
    if (run.video) {
        m_writer.release();
        // The writer reports no file error at all: read the file back and count its frames.
        if (m_videoFrames > 0 && !videoIsComplete(m_videoFile)) {
            std::cerr << "Error: The video file is incomplete." << std::endl;
            const QString reason =
                reasonFileCannotBeWritten(m_videoFile, QStringLiteral("the video encoder did not complete the file"));
            fail(QStringLiteral("Save failed: could not complete the video file."), SaveFailure{m_videoFile, reason});
            return false;
        }
        std::cout << "video saved successfully." << std::endl;
    }
    if (run.pictures) {
        std::cout << "picture saved successfully." << std::endl;
    }
    return true;
}

bool MediaSaver::videoIsComplete(const QString &file) {
    cv::VideoCapture capture;
    try {
        if (!capture.open(QFile::encodeName(file).toStdString(), cv::CAP_FFMPEG)) {
            return false;
        }
        return static_cast<int>(capture.get(cv::CAP_PROP_FRAME_COUNT)) == m_videoFrames;
    } catch (const cv::Exception &) {
        return false;
    }
}

MediaSaver::Outcome MediaSaver::fail(const QString &text, const SaveFailure &failure) {
    m_failureText = text;
    m_failure = failure;
    abort();
    return Outcome::Failed;
}
