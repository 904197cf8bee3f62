#include "StoredConversion.h"

#include <QSettings>

#include "AppSettings.h"

StoredConversion::Values StoredConversion::load(QSettings &settings) {
    settings.beginGroup(QString::fromLatin1(AppSettings::group));
    Values values;
    values.integrationTimeNs = settings.value(QLatin1String(AppSettings::keys::integralTime), 0).toDouble();
    values.capacitancePf = settings.value(QLatin1String(AppSettings::keys::integralCurrent), 0).toDouble();
    values.positive = settings.value(QLatin1String(AppSettings::keys::currentMode), 0).toBool();
    values.rangeNa = settings.value(QLatin1String(AppSettings::keys::currentRange), 0).toInt();
    settings.endGroup();
    return values;
}

void StoredConversion::store(QSettings &settings, const Values &values) {
    settings.beginGroup(QString::fromLatin1(AppSettings::group));
    settings.setValue(QLatin1String(AppSettings::keys::integralTime), values.integrationTimeNs);
    settings.setValue(QLatin1String(AppSettings::keys::integralCurrent), values.capacitancePf);
    settings.setValue(QLatin1String(AppSettings::keys::currentMode), values.positive);
    settings.setValue(QLatin1String(AppSettings::keys::currentRange), values.rangeNa);
    settings.endGroup();
    settings.sync();
}
