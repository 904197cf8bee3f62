#include "DisplayOrientation.h"

#include <QTransform>

QImage DisplayOrientation::apply(const QImage &image) const {
    QTransform rotation;
    rotation.rotate(m_angle);
    const QImage rotated = image.transformed(rotation, Qt::FastTransformation);
    return rotated.mirrored(m_mirrorHorizontal, m_mirrorVertical);
}
