#include "CsvExport.h"

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>

#include "CheckedFile.h"
#include "ExportLog.h"
#include "FrameCsvFile.h"

namespace {

constexpr int kSignificantDigits = 6;

// True when |value| lies exactly halfway between two 6-digit decimals, i.e. its exact decimal expansion
// has 7 significant digits and ends in 5. The text stream rounds such a tie away from zero, the standard
// library to the even neighbour; every other value rounds the same in both.
bool isExactTie(double value) {
    int binaryExponent = 0;
    const double fraction = std::frexp(std::fabs(value), &binaryExponent);
    // |value| = mantissa * 2^exponent with an odd mantissa (exact, denormals included).
    auto mantissa = static_cast<std::uint64_t>(std::ldexp(fraction, std::numeric_limits<double>::digits));
    int exponent = binaryExponent - std::numeric_limits<double>::digits;
    const int trailingZeros = std::countr_zero(mantissa);
    mantissa >>= trailingZeros;
    exponent += trailingZeros;

    // A decimal ending in 5 has exactly as many fraction digits as the binary one has fraction bits, so
    // |value| = digits * 10^exponent; the digits are mantissa * 5^-exponent (or mantissa / 5^exponent).
    constexpr std::uint64_t kLowest = 1000000;
    constexpr std::uint64_t kBeyond = 10000000;
    std::uint64_t digits = 0;
    if (exponent < 0) {
        if (exponent < -10) {
            return false;  // 5^11 alone has 8 digits
        }
        std::uint64_t power = 1;
        for (int i = 0; i < -exponent; ++i) {
            power *= 5;
        }
        if (mantissa >= kBeyond / power + 1) {
            return false;
        }
        digits = mantissa * power;
    } else {
        if (exponent > 22) {
            return false;  // 5^23 exceeds any mantissa
        }
        std::uint64_t power = 1;
        for (int i = 0; i < exponent; ++i) {
            power *= 5;
        }
        if (mantissa % power != 0) {
            return false;
        }
        digits = mantissa / power;
    }
    return digits >= kLowest && digits < kBeyond && digits % 10 == 5;
}

// Exact powers of ten as doubles (10^22 is the last one a double holds exactly).
constexpr double kPowersOfTen[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                   1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// The usual case, about five times faster than the library's precision formatting: |value| scaled by an
// exact power of ten to six digits before the point, with one rounding error (below 1e-10 there). Returns
// null, leaving the value to the exact path, when the scaled value lies too near a rounding boundary for
// that error to be ruled out, or outside the range the exact powers cover.
char *formatSixDigitsFast(double value, char *out) {
    const double magnitude = std::fabs(value);
    int binaryExponent = 0;
    std::frexp(magnitude, &binaryExponent);
    // At most one below the decimal exponent; corrected below.
    int exponent = static_cast<int>(std::floor((binaryExponent - 1) * 0.30102999566398120));
    double scaled = 0.0;
    for (int attempt = 0; attempt < 3; ++attempt) {
        const int shift = 5 - exponent;
        if (shift < -22 || shift > 22) {
            return nullptr;
        }
        scaled = shift >= 0 ? magnitude * kPowersOfTen[shift] : magnitude / kPowersOfTen[-shift];
        if (scaled >= 1000000.0) {
            ++exponent;
        } else if (scaled < 100000.0) {
            --exponent;
        } else {
            break;
        }
    }
    if (scaled < 100000.0 || scaled >= 1000000.0) {
        return nullptr;
    }
    const double whole = std::floor(scaled);
    const double fraction = scaled - whole;
    if (std::fabs(fraction - 0.5) < 1e-7) {
        return nullptr;
    }
    auto digits = static_cast<std::uint32_t>(whole) + (fraction > 0.5 ? 1U : 0U);
    if (digits == 1000000U) {
        digits = 100000U;
        ++exponent;
    }
    char text[6];
    for (int i = 5; i >= 0; --i) {
        text[i] = static_cast<char>('0' + digits % 10U);
        digits /= 10U;
    }
    int length = 6;
    while (length > 1 && text[length - 1] == '0') {
        --length;  // trailing zeros are dropped
    }

    if (value < 0) {
        *out++ = '-';
    }
    if (exponent >= -4 && exponent < kSignificantDigits) {
        // Fixed form.
        if (exponent < 0) {
            *out++ = '0';
            *out++ = '.';
            for (int i = -1; i > exponent; --i) {
                *out++ = '0';
            }
            return std::copy(text, text + length, out);
        }
        const int integerDigits = exponent + 1;
        for (int i = 0; i < integerDigits; ++i) {
            *out++ = i < length ? text[i] : '0';
        }
        if (length > integerDigits) {
            *out++ = '.';
            out = std::copy(text + integerDigits, text + length, out);
        }
        return out;
    }
    // Exponent form: d.ddddde+XX, at least two exponent digits.
    *out++ = text[0];
    if (length > 1) {
        *out++ = '.';
        out = std::copy(text + 1, text + length, out);
    }
    *out++ = 'e';
    *out++ = exponent < 0 ? '-' : '+';
    const int absolute = exponent < 0 ? -exponent : exponent;
    if (absolute < 10) {
        *out++ = '0';
    }
    return std::to_chars(out, out + 4, absolute).ptr;
}

}  // namespace

void CsvExport::appendGrid(std::string &block, const double *values) {
    char number[maxValueLength];
    for (int row = 0; row < gridSize; ++row) {
        const double *line = values + static_cast<std::ptrdiff_t>(row) * gridSize;
        for (int column = 0; column < gridSize; ++column) {
            if (column > 0) {
                block += ',';
            }
            block.append(number, formatValue(line[column], number));
        }
        block += '\n';
    }
    block += '\n';
}

void CsvExport::appendFrame(std::string &block, const QString &stamp, const double *values) {
    block += "Time: ";
    block += stamp.isEmpty() ? std::string("Unknown") : stamp.toStdString();
    block += '\n';
    appendGrid(block, values);
}

char *CsvExport::formatValue(double value, char *out) {
    const auto copy = [out](std::string_view text) { return std::copy(text.begin(), text.end(), out); };
    // The stream writes every not-a-number as "nan" and both zeros as "0".
    if (std::isnan(value)) {
        return copy("nan");
    }
    if (value == 0.0) {
        return copy("0");
    }
    if (std::isfinite(value)) {
        if (char *end = formatSixDigitsFast(value, out)) {
            return end;
        }
    }
    if (std::isfinite(value) && isExactTie(value)) {
        // Any value just beyond the tie rounds away from zero, as the stream does.
        value = std::nextafter(value, std::copysign(std::numeric_limits<double>::infinity(), value));
    }
    return std::to_chars(out, out + maxValueLength, value, std::chars_format::general, kSignificantDigits).ptr;
}

SaveResult CsvExport::writeFrames(const QString &path, const std::vector<std::vector<double>> &frames,
                                  const QStringList &timestamps) {
    FrameCsvFile file(path);
    if (!file.open()) {
        return file.failure();
    }
    for (const std::vector<double> &frame : frames) {
        // A frame left out uses up no time stamp.
        const qsizetype written = file.frames();
        file.append(frame, written < timestamps.size() ? timestamps.at(written) : QString());
    }
    return file.close(frames.empty() && timestamps.isEmpty());
}

SaveResult CsvExport::writeReference(const QString &path, const std::vector<double> &reference) {
    CheckedFile file(path);
    if (!file.open()) {
        return file.failure();
    }
    if (reference.empty()) {
        qCWarning(lcExport) << "No data to save.";
        return file.close();
    }
    if (reference.size() < static_cast<std::size_t>(valuesPerFrame)) {
        // Never read past the end: a short reference is not a grid.
        qCWarning(lcExport) << "Data array does not contain enough data.";
        return file.close();
    }
    std::string block;
    block.reserve(blockCapacity);
    appendGrid(block, reference.data());
    file.write(block);
    return file.close();
}
