#include "FormSettings.h"

#include <QSettings>

#include "AppSettings.h"
#include "InstrumentSession.h"
#include "ui_MainWindow.h"

std::array<std::pair<QRadioButton *, double>, 4> FormSettings::fixedRangeButtons(const Ui::MainWindow &form) {
    return {{{form.radioButton_500, 500.0},
             {form.radioButton_100, 100.0},
             {form.radioButton_10, 10.0},
             {form.radioButton_1, 1.0}}};
}

QString FormSettings::load(Ui::MainWindow &form, double *selectedRange) {
    Ui::MainWindow *ui = &form;
    QSettings settings(AppSettings::organisation, AppSettings::application);
    settings.beginGroup(AppSettings::group);
    const auto isTrue = [&settings](const QString &key) { return settings.value(key).toString() == "true"; };

    ui->comboBox_saveframes->setCurrentText(QString::number(settings.value(AppSettings::keys::saveFrames, 0).toInt()));
    ui->lineEdit_savepath->setText(settings.value(AppSettings::keys::saveDirectory).toString());
    ui->lineEdit_savename->setText(settings.value(AppSettings::keys::saveNames).toString());
    ui->lineEdit_von->setText(settings.value("lineEdit_von").toString());
    ui->lineEdit_voff->setText(settings.value("lineEdit_voff").toString());
    ui->lineEdit_vc->setText(settings.value("lineEdit_vc").toString());
    ui->lineEdit_vd->setText(settings.value("lineEdit_vd").toString());
    ui->lineEdit_gear->setText(settings.value("lineEdit_gear").toString());

    for (const auto &[radio, range] : fixedRangeButtons(form)) {
        if (isTrue(radio->objectName())) {
            radio->setChecked(true);
            *selectedRange = range;
        }
    }
    QString summary =
        InstrumentSession::settingsSummary(*selectedRange, ui->lineEdit_vc->text(), ui->lineEdit_vd->text(),
                                           ui->lineEdit_von->text(), ui->lineEdit_voff->text());
    if (isTrue(ui->checkBox_negative->objectName())) {
        ui->checkBox_negative->setChecked(true);
        summary += QStringLiteral("Model : negative");
    }
    if (isTrue(ui->checkBox_positive->objectName())) {
        ui->checkBox_positive->setChecked(true);
        summary += QStringLiteral("Model : positive");
    }
    if (isTrue(ui->radioButton_optional_gear->objectName())) {
        ui->radioButton_optional_gear->setChecked(true);
    }
    for (QCheckBox *box : {ui->checkBox_data, ui->checkBox_picture, ui->checkBox_video, ui->checkBox_hdf5}) {
        if (isTrue(box->objectName())) {
            box->setChecked(true);
        }
    }
    settings.endGroup();
    ui->lineEdit_savepath->setCursorPosition(0);
    ui->lineEdit_savename->setCursorPosition(0);
    return summary;
}

void FormSettings::save(const Ui::MainWindow &form) {
    const Ui::MainWindow *ui = &form;
    QSettings settings(AppSettings::organisation, AppSettings::application);
    settings.beginGroup(AppSettings::group);
    settings.setValue(AppSettings::keys::saveFrames, ui->comboBox_saveframes->currentText().toInt());
    settings.setValue(AppSettings::keys::saveDirectory, ui->lineEdit_savepath->text());
    settings.setValue(AppSettings::keys::saveNames, ui->lineEdit_savename->text());
    for (QLineEdit *field :
         {ui->lineEdit_von, ui->lineEdit_voff, ui->lineEdit_vc, ui->lineEdit_vd, ui->lineEdit_gear}) {
        settings.setValue(field->objectName(), field->text());
    }
    for (QAbstractButton *button : std::initializer_list<QAbstractButton *>{
             ui->radioButton_500, ui->radioButton_100, ui->radioButton_10, ui->radioButton_1,
             ui->radioButton_optional_gear, ui->checkBox_positive, ui->checkBox_negative, ui->checkBox_data,
             ui->checkBox_picture, ui->checkBox_video, ui->checkBox_hdf5}) {
        settings.setValue(button->objectName(), button->isChecked());
    }
    settings.endGroup();
}
