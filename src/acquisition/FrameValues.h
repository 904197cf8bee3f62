#pragma once

#include <vector>

#include <QMetaType>
#include <QString>

// One frame's values as a save run records them, for a view that keeps them in a format of its own.
struct FrameValues {
    bool recorded = false;         // the frame belongs to the save run in progress
    int sequence = 0;              // 1 ... N within the run when recorded, else 0
    QString time;                  // the CSV's time stamp text when recorded, else empty
    std::vector<double> currents;  // nA, pixel order, as the current CSV holds them
    std::vector<double> grays;     // gray levels before the cut to 8 bits, as the gray CSV holds them
};
Q_DECLARE_METATYPE(FrameValues)
