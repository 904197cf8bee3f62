#pragma once

// Checks a finished save run's folder against its own HDF5 file: the CSV files, pictures and video must be
// byte for byte what the export code writes for the frames, stamps and references the HDF5 file holds. As
// the HDF5 file holds the exact values, equal bytes show at once that every file holds the same frames.

#include <algorithm>
#include <vector>

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include "CsvExport.h"
#include "Hdf5Reader.h"
#include "MediaSaver.h"
#include "PixelConversion.h"

namespace runfiles {

inline QByteArray bytesOf(const QString &path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

// The files below `folder`, as sorted relative paths.
inline QStringList filesOf(const QString &folder) {
    const QDir root(folder);
    QStringList names;
    QDirIterator it(folder, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        names << root.relativeFilePath(QFileInfo(it.next()).absoluteFilePath());
    }
    names.sort();
    return names;
}

// Empty when every file of run `name` in `folder` is what its HDF5 file's frames make; else what differs.
// The run wrote the CSV files, the pictures and the video (at `videoFps`).
inline QString mismatchWithHdf5(const QString &folder, const QString &name, int videoFps) {
    using namespace hdf5reader;
    const H5File h5(folder + QLatin1Char('/') + name + QStringLiteral(".h5"));
    if (!h5.id.valid()) {
        return QStringLiteral("the HDF5 file does not open");
    }
    const hid_t file = *h5.id;
    if (!checkLayout(file)) {
        return QStringLiteral("the HDF5 file's layout is wrong");
    }
    const char *detector = "/entry/instrument/detector";
    const auto path = [detector](const char *dataset) { return (QByteArray(detector) + '/' + dataset); };
    const std::vector<std::vector<double>> currents = frames(doubles(file, path("data")));
    const std::vector<std::vector<double>> grays = frames(doubles(file, path("gray")));
    const QStringList stamps = texts(file, path("local_time"));

    // What the export code makes of those values, in a folder of its own.
    QTemporaryDir expected;
    const QString base = expected.filePath(name + QLatin1Char('/') + name);
    CsvExport::writeFrames(base + QStringLiteral("_current.csv"), currents, stamps);
    CsvExport::writeFrames(base + QStringLiteral("_gray.csv"), grays, stamps);
    CsvExport::writeReference(base + QStringLiteral("_fullon.csv"), doubles(file, path("full_on_reference")));
    CsvExport::writeReference(base + QStringLiteral("_fulloff.csv"), doubles(file, path("full_off_reference")));
    MediaSaver saver;
    MediaRun media;
    media.savePath = expected.path();
    media.saveName = name;
    media.frames = static_cast<int>(grays.size());
    media.videoFps = videoFps;
    media.pictures = true;
    media.video = true;
    for (const std::vector<double> &gray : grays) {
        QImage image(64, 64, QImage::Format_Grayscale8);
        for (int pixel = 0; pixel < 4096; ++pixel) {
            image.scanLine(pixel / 64)[pixel % 64] = PixelConversion::pixelValue(gray[static_cast<std::size_t>(pixel)]);
        }
        if (saver.save(image, media) == MediaSaver::Outcome::Failed) {
            return QStringLiteral("the expected pictures could not be written");
        }
    }
    const QString made = expected.filePath(name);
    for (const QString &relative : filesOf(made)) {
        if (bytesOf(folder + QLatin1Char('/') + relative) != bytesOf(made + QLatin1Char('/') + relative)) {
            return relative + QStringLiteral(" differs from what the HDF5 file's frames make");
        }
    }
    return QString();
}

}  // namespace runfiles
