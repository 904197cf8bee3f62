#pragma once

#include <memory>

#include <QDialog>

namespace Ui {
class VoltageDetails;
}

// Help dialog for the four bias voltages of the Settings page: what each one does, the values to start
// with, and two diagrams.
class VoltageDetails : public QDialog {
    Q_OBJECT

public:
    explicit VoltageDetails(QWidget *parent = nullptr);
    ~VoltageDetails() override;

private:
    std::unique_ptr<Ui::VoltageDetails> m_ui;
};
