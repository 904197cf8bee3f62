#pragma once

// Reads a run's HDF5 file back with the library's C API, independently of the program's writer, and checks
// the layout every run's file has.

#include <algorithm>
#include <optional>
#include <utility>
#include <vector>

#include <QDebug>
#include <QFile>
#include <QRegularExpression>
#include <QString>
#include <QStringList>

#include <hdf5.h>

namespace hdf5reader {

class H5 {
public:
    explicit H5(hid_t id = H5I_INVALID_HID) : m_id(id) {}
    ~H5() {
        if (m_id >= 0) {
            H5Idec_ref(m_id);
        }
    }
    H5(const H5 &) = delete;
    H5 &operator=(const H5 &) = delete;
    hid_t operator*() const { return m_id; }
    bool valid() const { return m_id >= 0; }

private:
    hid_t m_id;
};

inline QString textAttribute(hid_t file, const char *object, const char *name) {
    if (H5Aexists_by_name(file, object, name, H5P_DEFAULT) <= 0) {
        return QStringLiteral("<none>");
    }
    const H5 attribute(H5Aopen_by_name(file, object, name, H5P_DEFAULT, H5P_DEFAULT));
    const H5 type(H5Aget_type(*attribute));
    if (H5Tget_class(*type) != H5T_STRING || H5Tis_variable_str(*type) <= 0) {
        return QStringLiteral("<not a text>");
    }
    const H5 memoryType(H5Tcopy(H5T_C_S1));
    H5Tset_size(*memoryType, H5T_VARIABLE);
    H5Tset_cset(*memoryType, H5T_CSET_UTF8);
    char *text = nullptr;
    if (H5Aread(*attribute, *memoryType, &text) < 0 || !text) {
        return QStringLiteral("<unreadable>");
    }
    const QString value = QString::fromUtf8(text);
    H5free_memory(text);
    return value;
}

inline std::vector<hsize_t> shapeOf(hid_t file, const char *path) {
    const H5 dataset(H5Dopen2(file, path, H5P_DEFAULT));
    if (!dataset.valid()) {
        return {};
    }
    const H5 space(H5Dget_space(*dataset));
    std::vector<hsize_t> dims(static_cast<std::size_t>(std::max(0, H5Sget_simple_extent_ndims(*space))));
    H5Sget_simple_extent_dims(*space, dims.data(), nullptr);
    return dims;
}

inline std::vector<double> doubles(hid_t file, const char *path) {
    const H5 dataset(H5Dopen2(file, path, H5P_DEFAULT));
    const H5 space(H5Dget_space(*dataset));
    std::vector<double> values(static_cast<std::size_t>(std::max<hssize_t>(0, H5Sget_simple_extent_npoints(*space))));
    if (H5Dread(*dataset, H5T_NATIVE_DOUBLE, H5S_ALL, H5S_ALL, H5P_DEFAULT, values.data()) < 0) {
        return {};
    }
    return values;
}

inline std::vector<long long> integers(hid_t file, const char *path) {
    const H5 dataset(H5Dopen2(file, path, H5P_DEFAULT));
    const H5 space(H5Dget_space(*dataset));
    std::vector<long long> values(
        static_cast<std::size_t>(std::max<hssize_t>(0, H5Sget_simple_extent_npoints(*space))));
    if (H5Dread(*dataset, H5T_NATIVE_LLONG, H5S_ALL, H5S_ALL, H5P_DEFAULT, values.data()) < 0) {
        return {};
    }
    return values;
}

// A text dataset's values, whether its strings are of variable or of fixed length.
inline QStringList texts(hid_t file, const char *path) {
    const H5 dataset(H5Dopen2(file, path, H5P_DEFAULT));
    const H5 space(H5Dget_space(*dataset));
    const H5 fileType(H5Dget_type(*dataset));
    const auto count = static_cast<std::size_t>(std::max<hssize_t>(0, H5Sget_simple_extent_npoints(*space)));
    QStringList list;
    if (H5Tget_class(*fileType) != H5T_STRING) {
        return {QStringLiteral("<not a text>")};
    }
    if (H5Tis_variable_str(*fileType) <= 0) {
        const std::size_t size = H5Tget_size(*fileType);
        std::vector<char> bytes(count * size);
        if (H5Dread(*dataset, *fileType, H5S_ALL, H5S_ALL, H5P_DEFAULT, bytes.data()) < 0) {
            return {QStringLiteral("<unreadable>")};
        }
        for (std::size_t at = 0; at < count; ++at) {
            const char *text = bytes.data() + at * size;
            list << QString::fromUtf8(text, static_cast<qsizetype>(qstrnlen(text, static_cast<uint>(size))));
        }
        return list;
    }
    const H5 memoryType(H5Tcopy(H5T_C_S1));
    H5Tset_size(*memoryType, H5T_VARIABLE);
    H5Tset_cset(*memoryType, H5T_CSET_UTF8);
    std::vector<char *> pointers(count);
    if (H5Dread(*dataset, *memoryType, H5S_ALL, H5S_ALL, H5P_DEFAULT, pointers.data()) < 0) {
        return {QStringLiteral("<unreadable>")};
    }
    for (char *pointer : pointers) {
        list << QString::fromUtf8(pointer ? pointer : "");
    }
    H5Dvlen_reclaim(*memoryType, *space, H5P_DEFAULT, pointers.data());
    return list;
}

// Frames of a N x 64 x 64 dataset, one vector of 4096 values each.
inline std::vector<std::vector<double>> frames(const std::vector<double> &values) {
    std::vector<std::vector<double>> list;
    for (std::size_t at = 0; at + 4096 <= values.size(); at += 4096) {
        list.emplace_back(values.begin() + static_cast<std::ptrdiff_t>(at),
                          values.begin() + static_cast<std::ptrdiff_t>(at + 4096));
    }
    return list;
}

inline haddr_t objectAddress(hid_t file, const char *path) {
    H5O_info_t info{};
    if (H5Oget_info_by_name2(file, path, &info, H5O_INFO_BASIC, H5P_DEFAULT) < 0) {
        return HADDR_UNDEF;
    }
    return info.addr;
}

// Checks the layout every file the tool writes has, whatever its frame count. Returns the frame count.
inline std::optional<hsize_t> checkLayout(hid_t file) {
    const std::pair<const char *, const char *> classes[] = {
        {"/entry", "NXentry"},
        {"/entry/instrument", "NXinstrument"},
        {"/entry/instrument/detector", "NXdetector"},
        {"/entry/instrument/detector/settings", "NXcollection"},
        {"/entry/data", "NXdata"},
    };
    for (const auto &[path, nxClass] : classes) {
        if (textAttribute(file, path, "NX_class") != QLatin1String(nxClass)) {
            qWarning() << path << "has NX_class" << textAttribute(file, path, "NX_class");
            return std::nullopt;
        }
    }
    const std::vector<hsize_t> data = shapeOf(file, "/entry/instrument/detector/data");
    if (data.size() != 3 || data[1] != 64 || data[2] != 64) {
        qWarning() << "data has the wrong shape";
        return std::nullopt;
    }
    const hsize_t n = data[0];
    const std::vector<hsize_t> frameShape{n, 64, 64};
    const std::vector<hsize_t> listShape{n};
    const std::vector<hsize_t> gridShape{64, 64};
    const bool shapes = shapeOf(file, "/entry/instrument/detector/gray") == frameShape &&
                        shapeOf(file, "/entry/instrument/detector/sequence_number") == listShape &&
                        shapeOf(file, "/entry/instrument/detector/frame_start") == listShape &&
                        shapeOf(file, "/entry/instrument/detector/local_time") == listShape &&
                        shapeOf(file, "/entry/instrument/detector/full_on_reference") == gridShape &&
                        shapeOf(file, "/entry/instrument/detector/full_off_reference") == gridShape;
    if (!shapes) {
        qWarning() << "a dataset has the wrong shape";
        return std::nullopt;
    }
    // One frame per chunk.
    const H5 dataset(H5Dopen2(file, "/entry/instrument/detector/data", H5P_DEFAULT));
    const H5 properties(H5Dget_create_plist(*dataset));
    hsize_t chunk[3] = {0, 0, 0};
    if (H5Pget_chunk(*properties, 3, chunk) != 3 || chunk[0] != 1 || chunk[1] != 64 || chunk[2] != 64) {
        qWarning() << "data is not chunked by frame";
        return std::nullopt;
    }
    const std::pair<const char *, const char *> units[] = {
        {"/entry/instrument/detector/data", "nA"},
        {"/entry/instrument/detector/full_on_reference", "nA"},
        {"/entry/instrument/detector/full_off_reference", "nA"},
        {"/entry/instrument/detector/frame_start", "s"},
        {"/entry/instrument/detector/count_time", "s"},
        {"/entry/instrument/detector/settings/range", "nA"},
        {"/entry/instrument/detector/settings/von", "V"},
        {"/entry/instrument/detector/settings/voff", "V"},
        {"/entry/instrument/detector/settings/vbias1", "V"},
        {"/entry/instrument/detector/settings/vbias2", "V"},
        {"/entry/instrument/detector/settings/integration_time", "ns"},
        {"/entry/instrument/detector/settings/capacitance", "pF"},
    };
    for (const auto &[path, unit] : units) {
        if (textAttribute(file, path, "units") != QLatin1String(unit)) {
            qWarning() << path << "has units" << textAttribute(file, path, "units");
            return std::nullopt;
        }
    }
    // The plot group's data is the detector's data itself, and says so.
    H5L_info_t link{};
    const haddr_t detectorData = objectAddress(file, "/entry/instrument/detector/data");
    if (H5Lget_info(file, "/entry/data/data", &link, H5P_DEFAULT) < 0 || link.type != H5L_TYPE_HARD ||
        detectorData == HADDR_UNDEF || objectAddress(file, "/entry/data/data") != detectorData ||
        textAttribute(file, "/entry/data", "signal") != QLatin1String("data")) {
        qWarning() << "/entry/data/data is not the detector's data";
        return std::nullopt;
    }
    static const QRegularExpression iso(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}(Z|[+-]\d\d:\d\d)$)");
    const QString start = texts(file, "/entry/start_time").value(0);
    if (!iso.match(start).hasMatch() || texts(file, "/entry/program_name") != QStringList{QStringLiteral("vantiko")} ||
        textAttribute(file, "/entry/program_name", "version").isEmpty()) {
        qWarning() << "start time or program name missing";
        return std::nullopt;
    }
    // NeXus names keep their NeXus meaning: frame_start counts seconds from start_time, which it names;
    // frame_time is one number, the frame period (exposure plus readout: longer than count_time, the
    // exposure); the CSV's time texts have a name of their own.
    const std::vector<double> seconds = doubles(file, "/entry/instrument/detector/frame_start");
    const std::vector<double> period = doubles(file, "/entry/instrument/detector/frame_time");
    const std::vector<double> exposure = doubles(file, "/entry/instrument/detector/count_time");
    if (textAttribute(file, "/entry/instrument/detector/frame_start", "start") != start ||
        !std::is_sorted(seconds.begin(), seconds.end()) || (!seconds.empty() && seconds.front() < 0) ||
        period.size() != 1 || exposure.size() != 1 || !(period[0] > exposure[0]) ||
        textAttribute(file, "/entry/instrument/detector/frame_time", "units") != QLatin1String("s")) {
        qWarning() << "frame_start or frame_time do not keep their NeXus meaning";
        return std::nullopt;
    }
    static const QRegularExpression stampForm(R"(^\d{4}/\d\d/\d\d \d\d:\d\d:\d\d\.\d{3}$)");
    for (const QString &stamp : texts(file, "/entry/instrument/detector/local_time")) {
        if (!stampForm.match(stamp).hasMatch()) {
            qWarning() << "local_time holds" << stamp;
            return std::nullopt;
        }
    }
    return n;
}

// One line per object of the file: its path, kind and shape (a growing first extent as "N"), its attributes
// and, for a scalar field, its value (times as "<time>"). Runs of the same setting have the same outline.
inline QStringList outline(hid_t file) {
    struct Walk {
        hid_t file;
        QStringList lines;
    } walk{file, {}};
    H5Ovisit2(
        file, H5_INDEX_NAME, H5_ITER_INC,
        [](hid_t root, const char *name, const H5O_info_t *info, void *data) -> herr_t {
            auto &walk = *static_cast<Walk *>(data);
            const QByteArray path = QByteArray("/") + (qstrcmp(name, ".") == 0 ? "" : name);
            QString line = QString::fromUtf8(path);
            const H5 object(H5Oopen(root, name, H5P_DEFAULT));
            if (info->type == H5O_TYPE_DATASET) {
                const H5 space(H5Dget_space(*object));
                const int rank = std::max(0, H5Sget_simple_extent_ndims(*space));
                std::vector<hsize_t> dims(static_cast<std::size_t>(rank)), maximum(static_cast<std::size_t>(rank));
                H5Sget_simple_extent_dims(*space, dims.data(), maximum.data());
                QStringList shape;
                for (int d = 0; d < rank; ++d) {
                    shape << (d == 0 && maximum[0] == H5S_UNLIMITED ? QStringLiteral("N")
                                                                    : QString::number(dims[std::size_t(d)]));
                }
                line += QStringLiteral(" dataset(") + shape.join(QLatin1Char('x')) + QLatin1Char(')');
                if (rank == 0) {
                    const H5 type(H5Dget_type(*object));
                    line += QStringLiteral(" = ") +
                            (path.endsWith("_time") && H5Tget_class(*type) == H5T_STRING ? QStringLiteral("<time>")
                             : H5Tget_class(*type) == H5T_STRING
                                 ? texts(walk.file, path.constData()).value(0)
                                 : QString::number(doubles(walk.file, path.constData()).at(0), 'g', 17));
                }
            } else {
                line += QStringLiteral(" group");
            }
            QStringList names;
            H5Aiterate2(
                *object, H5_INDEX_NAME, H5_ITER_INC, nullptr,
                [](hid_t, const char *attribute, const H5A_info_t *, void *list) -> herr_t {
                    static_cast<QStringList *>(list)->append(QString::fromUtf8(attribute));
                    return 0;
                },
                &names);
            for (const QString &attribute : names) {
                const QByteArray key = attribute.toUtf8();
                const bool time = attribute == QLatin1String("start") || attribute == QLatin1String("version");
                line +=
                    QLatin1Char(' ') + attribute + QLatin1Char('=') +
                    (time ? QStringLiteral("<varies>") : textAttribute(walk.file, path.constData(), key.constData()));
            }
            walk.lines << line;
            return 0;
        },
        &walk, H5O_INFO_BASIC);
    return walk.lines;
}

// A file opened for reading; `followWriter`: as a reader that follows a writer (SWMR), the only way to
// open a file that is being written or whose writer was killed.
struct H5File {
    explicit H5File(const QString &path, bool followWriter = false)
        : id(H5Fopen(QFile::encodeName(path).constData(),
                     followWriter ? H5F_ACC_RDONLY | H5F_ACC_SWMR_READ : H5F_ACC_RDONLY, H5P_DEFAULT)) {}
    H5 id;
};

}  // namespace hdf5reader
