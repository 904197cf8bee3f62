#pragma once

#include <QLabel>

// A short note over the picture area while no current range and bias setting has been applied since the
// settings store was empty. Until then the conversion has no integration time and capacitance, so the
// picture stays black and the readout says "Current : nan nA"; the note says why and what to do.
//
// The note floats over the area (a child outside any layout, following the area's size), so nothing else on
// the window moves when it shows or goes, and mouse presses pass through it to the picture.
class FirstStartHint : public QLabel {
    Q_OBJECT

public:
    static constexpr char objectNameText[] = "firstStartHint";

    // True when the settings store holds a setting applied earlier: the worker's integration time and
    // capacitance ("Integraltime", "Integralcurrent" in group "ReceiverSettings") are both above zero.
    static bool settingStored();
    // Puts a note over `area`, shown when no setting is stored yet, hidden otherwise. Returns the note.
    static FirstStartHint *install(QWidget *area);
    // Hides the note over `area` for good (a setting has been applied); nothing happens without one.
    static void dismiss(QWidget *area);

    explicit FirstStartHint(QWidget *area);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void place();
};
