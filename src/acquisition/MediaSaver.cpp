#include "MediaSaver.h"

#include <iostream>
#include <string>
#include <vector>

#include <QDir>
#include <QFile>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

namespace {

constexpr int kVideoSide = 64;

QString runDirectory(const MediaRun &run) {
    return run.savePath + QLatin1Char('/') + run.saveName;
}

bool ensureDirectory(const QString &path) {
    const QDir directory(path);
    return directory.exists() || directory.mkpath(QStringLiteral("."));
}

// A view of the picture's pixels, no copy: the matrix is used before the image goes out of scope.
cv::Mat grayView(const QImage &image) {
    if (image.isNull()) {
        return {};
    }
    return cv::Mat(image.height(), image.width(), CV_8UC1, const_cast<uchar *>(image.constBits()),
                   static_cast<std::size_t>(image.bytesPerLine()));
}

}  // namespace

MediaSaver::MediaSaver(cv::VideoWriter &writer) : m_writer(writer) {}

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

    if (frameNumber >= run.frames) {
        finish(run);
        return Outcome::Completed;
    }
    return Outcome::Saved;
}

void MediaSaver::abort() {
    if (m_writer.isOpened()) {
        m_writer.release();
    }
    m_savedFrames = 0;
}

bool MediaSaver::openVideo(const MediaRun &run) {
    const QString directory = runDirectory(run) + QLatin1Char('/');
    if (!ensureDirectory(directory)) {
        std::cerr << "Error: Failed to create directory." << std::endl;
        fail(QStringLiteral("Save failed: could not create the save folder."));
        return false;
    }
    const QString file = directory + run.saveName + QStringLiteral("_output_video.mp4");
    bool opened = false;
    try {
        opened = m_writer.open(QFile::encodeName(file).toStdString(), cv::VideoWriter::fourcc('m', 'p', '4', 'v'),
                               static_cast<double>(run.videoFps), cv::Size(kVideoSide, kVideoSide), true);
    } catch (const cv::Exception &) {
        opened = false;  // a backend that throws is a writer that did not open
    }
    if (!opened || !m_writer.isOpened()) {
        std::cerr << "Error: Could not create video writer." << std::endl;
        std::cerr << "Ticks: " << cv::getTickCount() << std::endl;
        fail(QStringLiteral("Save failed: could not create the video file."));
        return false;
    }
    return true;
}

void MediaSaver::writeVideoFrame(const QImage &image) {
    // The video takes colour frames: the gray picture in three equal channels.
    cv::Mat colour;
    cv::cvtColor(grayView(image), colour, cv::COLOR_GRAY2BGR);
    m_writer.write(colour);
}

bool MediaSaver::writePicture(const QImage &image, const MediaRun &run) {
    const QString directory = runDirectory(run) + QStringLiteral("/pic");
    if (!ensureDirectory(directory)) {
        std::cerr << "Error: Failed to create directory." << std::endl;
        fail(QStringLiteral("Save failed: could not create the picture folder."));
        return false;
    }
    const QString file = directory + QLatin1Char('/') + run.saveName + QLatin1Char('_') +
                         QString::number(m_savedFrames) + QStringLiteral(".png");
    bool written = false;
    try {
        written = cv::imwrite(QFile::encodeName(file).toStdString(), grayView(image));
    } catch (const cv::Exception &) {
        written = false;  // reported like any other write failure
    }
    if (!written) {
        std::cerr << "Error: Failed to save the image." << std::endl;
    }
    return true;
}

void MediaSaver::finish(const MediaRun &run) {
    if (run.video) {
        m_writer.release();
        std::cout << "video saved successfully." << std::endl;
    }
    if (run.pictures) {
        std::cout << "picture saved successfully." << std::endl;
    }
    m_savedFrames = 0;
}

MediaSaver::Outcome MediaSaver::fail(const QString &userText) {
    m_failureText = userText;
    abort();
    return Outcome::Failed;
}
