#pragma once

#include <array>
#include <utility>

#include <QString>

namespace Ui {
class MainWindow;
}
class QRadioButton;

// The window's part of the settings store: the save page, the voltage and range fields and every range,
// polarity and save box, each stored under its object name.
class FormSettings {
public:
    // The fixed current-range buttons and their ranges in nA.
    static std::array<std::pair<QRadioButton *, double>, 4> fixedRangeButtons(const Ui::MainWindow &form);

    // Fills the form from the store. A stored false never unchecks a box. Sets *selectedRange to the range of
    // a stored fixed range button (leaves it otherwise) and returns the settings summary of what was loaded.
    static QString load(Ui::MainWindow &form, double *selectedRange);
    static void save(const Ui::MainWindow &form);

    FormSettings() = delete;
};
