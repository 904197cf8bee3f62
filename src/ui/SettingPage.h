#pragma once

#include <QObject>

#include "InstrumentSession.h"

namespace Ui {
class MainWindow;
}

// The Settings page: the current range (a fixed one or the optional one typed in), the polarity and the four
// voltages. Setting hands them to the session; the page shows whether the instrument acknowledged them.
class SettingPage : public QObject {
    Q_OBJECT

public:
    SettingPage(Ui::MainWindow &form, InstrumentSession &session, QObject *parent);

    // The range of the fixed range button last chosen, in nA (the optional range is read at Setting).
    double selectedRange() const { return m_selectedRange; }
    void setSelectedRange(double rangeNa) { m_selectedRange = rangeNa; }

    // What pressing Setting does (the button is disabled during capture; this still refuses then).
    void applySetting();

private:
    void keepPolarityExclusive();
    void followRangeButtons();
    void showOutcome(bool acknowledged);

    Ui::MainWindow &m_form;
    InstrumentSession &m_session;
    double m_selectedRange = 500.0;
};
