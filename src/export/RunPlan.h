#pragma once

#include <QString>

#include "NexusWriter.h"

// What one save run writes, and where: everything the save writer needs to open the run's files. The run's
// folder is directory/name, the name already made unique within the directory.
struct RunPlan {
    QString directory;
    QString name;
    QString settingsSummary;  // the parameter file's text
    int frames = 0;           // frames the run records; 0 when it records for `seconds` instead
    double seconds = 0;
    bool data = false;      // the frame and reference CSV files
    bool pictures = false;  // pic/NAME_k.png
    bool video = false;     // NAME_output_video.mp4
    bool hdf5 = false;      // NAME.h5
    int videoFps = 60;      // taken when the run's first frame is recorded
    // The HDF5 file's description of the run: its start time, the program, the instrument and its setting,
    // the references at the start.
    NexusWriter::Run nexus;

    // A plan without a directory writes nothing: a worker driven on its own records without files.
    bool writesFiles() const { return !directory.isEmpty(); }
};
