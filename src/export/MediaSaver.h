#pragma once

#include <QImage>
#include <QString>

#include <opencv2/videoio.hpp>

#include "SaveFailure.h"

// What one media save run asks for, as the worker read it for one frame.
struct MediaRun {
    QString savePath;  // the save directory
    QString saveName;  // the run name; files go into savePath/saveName/
    int frames = 0;    // frames the run covers; 0 when complete() ends it
    int videoFps = 60;
    bool pictures = false;
    bool video = false;
};

// Saves the rendered frames of a run as numbered PNG pictures and as one MP4 video (codec mp4v).
// Used by one thread at a time (the save writer's). Every file is checked: a picture is written and
// closed by this class, and the finished video is read back, so no failure goes unnoticed.
class MediaSaver {
public:
    enum class Outcome {
        Saved,      // the frame was handled; the run goes on
        Completed,  // the run's last frame was handled; the video is closed and complete
        Failed,     // a file or folder could not be written; the run was closed, failure() says why
    };

    MediaSaver() = default;
    ~MediaSaver();
    MediaSaver(const MediaSaver &) = delete;
    MediaSaver &operator=(const MediaSaver &) = delete;

    // Handles the next frame of the run. An empty image is reported on the error stream and still counts.
    Outcome save(const QImage &image, const MediaRun &run);
    // Ends a run of no fixed length after its last frame: the video is closed and checked.
    Outcome complete(const MediaRun &run);
    // Closes a run early (released video, count back to 0); what was written stays.
    void abort();

    int savedFrames() const { return m_savedFrames; }
    // What failed, in words (for the log), and the file with the system's reason (for the user).
    QString failureText() const { return m_failureText; }
    const SaveFailure &failure() const { return m_failure; }

private:
    bool openVideo(const MediaRun &run);
    void writeVideoFrame(const QImage &image);
    bool writePicture(const QImage &image, const MediaRun &run);
    bool finish(const MediaRun &run);
    bool videoIsComplete(const QString &file);
    Outcome fail(const QString &text, const SaveFailure &failure);

    cv::VideoWriter m_writer;
    QString m_videoFile;
    int m_savedFrames = 0;
    int m_videoFrames = 0;  // frames handed to the video writer in this run
    QString m_failureText;
    SaveFailure m_failure;
};
