#pragma once

#include <QImage>
#include <QString>

namespace cv {
class VideoWriter;
}

// What one media save run asks for, as the worker reads it once per frame.
struct MediaRun {
    QString savePath;  // the save directory
    QString saveName;  // the run name; files go into savePath/saveName/
    int frames = 0;    // frames the run covers
    int videoFps = 60;
    bool pictures = false;
    bool video = false;
};

// Saves the rendered frames of a run as numbered PNG pictures and as one MP4 video (codec mp4v).
// Lives on the worker thread. The video writer is the worker's; this class opens, fills and releases it.
class MediaSaver {
public:
    enum class Outcome {
        Saved,      // the frame was handled; the run goes on
        Completed,  // the run's last frame was handled; the video is closed
        Failed,     // the run could not go on and was closed; failureText says why, for the user
    };

    explicit MediaSaver(cv::VideoWriter &writer);

    // Handles the next frame of the run. Picture write errors and empty images are reported on the error
    // stream and do not end the run; a folder or video file that cannot be created does.
    Outcome save(const QImage &image, const MediaRun &run);
    // Closes a run early (released video, count back to 0).
    void abort();

    int savedFrames() const { return m_savedFrames; }
    QString failureText() const { return m_failureText; }

private:
    bool openVideo(const MediaRun &run);
    void writeVideoFrame(const QImage &image);
    bool writePicture(const QImage &image, const MediaRun &run);
    void finish(const MediaRun &run);
    Outcome fail(const QString &userText);

    cv::VideoWriter &m_writer;
    int m_savedFrames = 0;
    QString m_failureText;
};
