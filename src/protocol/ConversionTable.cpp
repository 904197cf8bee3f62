#include "ConversionTable.h"

bool ConversionTable::update(const PixelConversion &conversion) {
    if (holds(conversion)) {
        return false;
    }
    m_currents.resize(codeCount);
    m_plainGrays.resize(codeCount);
    m_plainPixels.resize(codeCount);
    for (int code = 0; code < codeCount; ++code) {
        const double current = conversion.current(code);
        const double gray = PixelConversion::grayLevel(conversion.plainScale(current));
        m_currents[code] = current;
        m_plainGrays[code] = gray;
        m_plainPixels[code] = PixelConversion::pixelValue(gray);
    }
    m_conversion = conversion;
    m_built = true;
    return true;
}
