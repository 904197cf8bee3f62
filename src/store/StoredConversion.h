#pragma once

class QSettings;

// The acquisition worker's four conversion settings as the settings store keeps them from one run of the
// program to the next (group "ReceiverSettings": "Integraltime", "Integralcurrent", "currentmode",
// "currentRange").
class StoredConversion {
public:
    struct Values {
        double integrationTimeNs = 0.0;
        double capacitancePf = 0.0;
        bool positive = false;
        int rangeNa = 0;
    };

    // A missing key reads as 0 (false for the polarity): a first start has no range until one is set.
    static Values load(QSettings &settings);
    // Writes all four and syncs the store.
    static void store(QSettings &settings, const Values &values);
};
