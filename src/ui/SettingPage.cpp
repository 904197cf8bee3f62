#include "SettingPage.h"

#include <cmath>

#include "FirstStartHint.h"
#include "FormSettings.h"
#include "UserDialogs.h"
#include "ui_MainWindow.h"

namespace {

// A typed current range; text that is not a finite number reads as 0.
double rangeFromText(const QString &text) {
    bool ok = false;
    const double value = text.toDouble(&ok);
    return ok && std::isfinite(value) ? value : 0.0;
}

}  // namespace

SettingPage::SettingPage(Ui::MainWindow &form, InstrumentSession &session, QObject *parent)
    : QObject(parent), m_form(form), m_session(session) {
    keepPolarityExclusive();
    followRangeButtons();
    connect(m_form.pushButton_set, &QPushButton::clicked, this, &SettingPage::applySetting);
    connect(&m_session, &InstrumentSession::settingFinished, this, &SettingPage::showOutcome);
}

// At most one polarity box is checked; both may be clear.
void SettingPage::keepPolarityExclusive() {
    connect(m_form.checkBox_positive, &QCheckBox::toggled, this, [this](bool checked) {
        if (checked && m_form.checkBox_negative->isChecked()) {
            m_form.checkBox_negative->setChecked(false);
        }
    });
    connect(m_form.checkBox_negative, &QCheckBox::toggled, this, [this](bool checked) {
        if (checked && m_form.checkBox_positive->isChecked()) {
            m_form.checkBox_positive->setChecked(false);
        }
    });
}

// The optional range shows its field; a fixed range hides it and becomes the selected range.
void SettingPage::followRangeButtons() {
    connect(m_form.radioButton_optional_gear, &QRadioButton::toggled, this, [this](bool checked) {
        if (checked) {
            m_form.widget_range->show();
        }
    });
    for (const auto &[radio, range] : FormSettings::fixedRangeButtons(m_form)) {
        connect(radio, &QRadioButton::toggled, this, [this, range = range](bool checked) {
            if (checked) {
                m_form.widget_range->hide();
                m_selectedRange = range;
            }
        });
    }
}

void SettingPage::applySetting() {
    if (m_session.isCapturing()) {
        UserDialogs::inform(QStringLiteral("Setting is not available during data collection."));
        return;
    }
    for (QLineEdit *field : {m_form.lineEdit_vc, m_form.lineEdit_voff, m_form.lineEdit_vd, m_form.lineEdit_von}) {
        if (field->text().isEmpty()) {
            UserDialogs::inform(QStringLiteral("input fields are empty"));
            return;
        }
    }
    if (m_form.radioButton_optional_gear->isChecked()) {
        m_selectedRange = rangeFromText(m_form.lineEdit_gear->text());
    }
    InstrumentSession::Setting setting;
    setting.rangeNa = m_selectedRange;
    setting.positive = m_form.checkBox_positive->isChecked();
    setting.von = m_form.lineEdit_von->text();
    setting.voff = m_form.lineEdit_voff->text();
    setting.vbias1 = m_form.lineEdit_vc->text();
    setting.vbias2 = m_form.lineEdit_vd->text();
    m_session.applySetting(setting);
}

void SettingPage::showOutcome(bool acknowledged) {
    if (!acknowledged) {
        UserDialogs::inform(QStringLiteral("Setting failed"));
        return;
    }
    FirstStartHint::dismiss(m_form.widget_display);
    UserDialogs::inform(QStringLiteral("Setting successful."));
}
