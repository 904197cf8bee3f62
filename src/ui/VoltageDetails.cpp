#include "VoltageDetails.h"

#include "ui_VoltageDetails.h"

VoltageDetails::VoltageDetails(QWidget *parent) : QDialog(parent), m_ui(std::make_unique<Ui::VoltageDetails>()) {
    m_ui->setupUi(this);
}

// Defined here, where Ui::VoltageDetails is complete, so the unique_ptr can delete it.
VoltageDetails::~VoltageDetails() = default;
