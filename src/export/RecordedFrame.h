#pragma once

#include <vector>

#include <QImage>
#include <QString>

// One recorded frame of a save run, as every file of the run takes it. Moved, never copied, from the
// acquisition loop to the save writer.
struct RecordedFrame {
    int sequence = 0;              // 1, 2, ... within the run
    QString stamp;                 // local time "yyyy/MM/dd HH:mm:ss.zzz" (the CSV's time line); empty: unknown
    double seconds = 0;            // since the run's start time
    std::vector<double> currents;  // nA, pixel order
    std::vector<double> grays;     // gray levels before the cut to 8 bits
    QImage image;                  // the rendered picture; null when the run saves no pictures or video
};
