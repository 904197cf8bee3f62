#include "NexusWriter.h"

#include <array>
#include <cstring>
#include <string>
#include <type_traits>
#include <utility>

#include <QFile>

#include <hdf5.h>

static_assert(std::is_same_v<hid_t, std::int64_t>, "the header passes identifiers as std::int64_t");

namespace {

constexpr hsize_t kSide = NexusWriter::side;
constexpr std::size_t kValues = NexusWriter::side * NexusWriter::side;
const char *const kDataPath = "/entry/instrument/detector/data";
// The CSV's time stamp text, "yyyy/MM/dd HH:mm:ss.zzz", in a fixed-length string: a reader may open the file
// while it is written, and only fixed-size data is safe to read then.
constexpr std::size_t kLocalTimeLength = 23;

// Closes an HDF5 identifier of any kind when it goes out of scope.
class Id {
public:
    Id() = default;
    explicit Id(hid_t id) : m_id(id) {}
    ~Id() { reset(); }
    Id(const Id &) = delete;
    Id &operator=(const Id &) = delete;
    Id(Id &&other) noexcept : m_id(other.m_id) { other.m_id = H5I_INVALID_HID; }
    Id &operator=(Id &&other) noexcept {
        if (this != &other) {
            reset();
            m_id = other.m_id;
            other.m_id = H5I_INVALID_HID;
        }
        return *this;
    }
    // Gives the identifier back; a file closes once nothing inside it is open either.
    bool reset() {
        const bool closed = m_id < 0 || H5Idec_ref(m_id) >= 0;
        m_id = H5I_INVALID_HID;
        return closed;
    }
    hid_t get() const { return m_id; }
    bool valid() const { return m_id >= 0; }

private:
    hid_t m_id = H5I_INVALID_HID;
};

// A variable-length UTF-8 string type, as h5py reads back as text.
Id textType() {
    Id type(H5Tcopy(H5T_C_S1));
    if (type.valid()) {
        H5Tset_size(type.get(), H5T_VARIABLE);
        H5Tset_cset(type.get(), H5T_CSET_UTF8);
    }
    return type;
}

bool setTextAttribute(hid_t object, const char *name, const QString &value) {
    const Id type = textType();
    const Id space(H5Screate(H5S_SCALAR));
    const Id attribute(H5Acreate2(object, name, type.get(), space.get(), H5P_DEFAULT, H5P_DEFAULT));
    if (!attribute.valid()) {
        return false;
    }
    const QByteArray text = value.toUtf8();
    const char *pointer = text.constData();
    return H5Awrite(attribute.get(), type.get(), &pointer) >= 0;
}

Id createGroup(hid_t parent, const char *name, const char *nxClass) {
    Id group(H5Gcreate2(parent, name, H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT));
    if (group.valid() && !setTextAttribute(group.get(), "NX_class", QString::fromLatin1(nxClass))) {
        return Id();
    }
    return group;
}

bool writeText(hid_t group, const char *name, const QString &value, Id *created = nullptr) {
    const Id type = textType();
    const Id space(H5Screate(H5S_SCALAR));
    Id dataset(H5Dcreate2(group, name, type.get(), space.get(), H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT));
    if (!dataset.valid()) {
        return false;
    }
    const QByteArray text = value.toUtf8();
    const char *pointer = text.constData();
    if (H5Dwrite(dataset.get(), type.get(), H5S_ALL, H5S_ALL, H5P_DEFAULT, &pointer) < 0) {
        return false;
    }
    if (created) {
        *created = std::move(dataset);
    }
    return true;
}

// A scalar number with its unit (none for counts and codes).
template <typename T>
bool writeNumber(hid_t group, const char *name, hid_t fileType, hid_t memoryType, T value, const char *units) {
    const Id space(H5Screate(H5S_SCALAR));
    const Id dataset(H5Dcreate2(group, name, fileType, space.get(), H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT));
    if (!dataset.valid() || H5Dwrite(dataset.get(), memoryType, H5S_ALL, H5S_ALL, H5P_DEFAULT, &value) < 0) {
        return false;
    }
    return units == nullptr || setTextAttribute(dataset.get(), "units", QString::fromLatin1(units));
}

bool writeDouble(hid_t group, const char *name, double value, const char *units) {
    return writeNumber(group, name, H5T_IEEE_F64LE, H5T_NATIVE_DOUBLE, value, units);
}

bool writeInteger(hid_t group, const char *name, std::int64_t value, const char *units = nullptr) {
    return writeNumber(group, name, H5T_STD_I64LE, H5T_NATIVE_INT64, value, units);
}

// A dataset that grows by one frame at a time along its first dimension; `chunk` is one frame's extent.
Id createGrowing(hid_t group, const char *name, hid_t type, int rank, const hsize_t *chunk) {
    std::array<hsize_t, 3> initial{0, kSide, kSide};
    std::array<hsize_t, 3> maximum{H5S_UNLIMITED, kSide, kSide};
    const Id space(H5Screate_simple(rank, initial.data(), maximum.data()));
    const Id properties(H5Pcreate(H5P_DATASET_CREATE));
    // No chunk cache: each frame goes to the file as it is written, so a full disk fails that frame's write
    // (not a later close, which the library cannot then complete), and a flush has only metadata left to do.
    const Id access(H5Pcreate(H5P_DATASET_ACCESS));
    if (!space.valid() || !properties.valid() || !access.valid() || H5Pset_chunk(properties.get(), rank, chunk) < 0 ||
        H5Pset_chunk_cache(access.get(), 0, 0, H5D_CHUNK_CACHE_W0_DEFAULT) < 0) {
        return Id();
    }
    return Id(H5Dcreate2(group, name, type, space.get(), H5P_DEFAULT, properties.get(), access.get()));
}

// A fixed-length UTF-8 string type of `length` bytes, padded with zeros.
Id fixedTextType(std::size_t length) {
    Id type(H5Tcopy(H5T_C_S1));
    if (type.valid()) {
        H5Tset_size(type.get(), length);
        H5Tset_strpad(type.get(), H5T_STR_NULLPAD);
        H5Tset_cset(type.get(), H5T_CSET_UTF8);
    }
    return type;
}

bool writeGrid(hid_t dataset, const std::vector<double> &values) {
    if (values.size() < kValues) {
        return false;
    }
    return H5Dwrite(dataset, H5T_NATIVE_DOUBLE, H5S_ALL, H5S_ALL, H5P_DEFAULT, values.data()) >= 0;
}

Id createGrid(hid_t group, const char *name, const std::vector<double> &values) {
    const std::array<hsize_t, 2> dims{kSide, kSide};
    const Id space(H5Screate_simple(2, dims.data(), nullptr));
    Id dataset(H5Dcreate2(group, name, H5T_IEEE_F64LE, space.get(), H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT));
    if (!dataset.valid() || !writeGrid(dataset.get(), values) ||
        !setTextAttribute(dataset.get(), "units", QStringLiteral("nA"))) {
        return Id();
    }
    return dataset;
}

// Writes `values` as row `row` of a growing dataset that has just been extended to hold it.
bool writeRow(hid_t dataset, hid_t memoryType, int rank, hsize_t row, const void *values) {
    std::array<hsize_t, 3> extent{row + 1, kSide, kSide};
    if (H5Dset_extent(dataset, extent.data()) < 0) {
        return false;
    }
    const Id fileSpace(H5Dget_space(dataset));
    std::array<hsize_t, 3> start{row, 0, 0};
    std::array<hsize_t, 3> count{1, kSide, kSide};
    const Id memorySpace(H5Screate_simple(rank, count.data(), nullptr));
    if (!fileSpace.valid() ||
        H5Sselect_hyperslab(fileSpace.get(), H5S_SELECT_SET, start.data(), nullptr, count.data(), nullptr) < 0) {
        return false;
    }
    return H5Dwrite(dataset, memoryType, memorySpace.get(), fileSpace.get(), H5P_DEFAULT, values) >= 0;
}

// The most telling line of the library's error stack: the system's reason where there is one.
herr_t collectError(unsigned, const H5E_error2_t *entry, void *data) {
    auto *text = static_cast<QString *>(data);
    const QString description = QString::fromUtf8(entry->desc ? entry->desc : "");
    static const QString marker = QStringLiteral("error message = '");
    const qsizetype at = description.indexOf(marker);
    if (at >= 0) {
        const qsizetype begin = at + marker.size();
        const qsizetype end = description.indexOf(QLatin1Char('\''), begin);
        *text = description.mid(begin, end < 0 ? -1 : end - begin);
        return 1;  // the system's own words: stop here
    }
    if (text->isEmpty()) {
        *text = description;
    }
    return 0;
}

// The reason of the library's last failure on this thread. Taken when the failure happens: every later call
// (closing the identifiers on the way out, say) starts with an empty error stack.
thread_local QString t_lastError;

herr_t captureError(hid_t stack, void *) {
    QString text;
    H5Ewalk2(stack, H5E_WALK_UPWARD, collectError, &text);
    t_lastError = text;
    return 0;
}

QString libraryError() {
    QString text = std::exchange(t_lastError, QString());
    return text.isEmpty() ? QStringLiteral("HDF5 error") : text;
}

}  // namespace

struct NexusWriter::Handles {
    Id file;
    Id data;
    Id gray;
    Id sequence;
    Id frameStart;
    Id localTime;
    Id fullOn;
    Id fullOff;
};

NexusWriter::NexusWriter() {
    // A file the disk could not take keeps the datasets the library failed to close; its clean-up at exit
    // would close them again and crash the program on its way out. Every file we write is closed by us, so
    // there is nothing for that clean-up to do. Only effective before the library's first use.
    static const bool noCleanUpAtExit = H5dont_atexit() >= 0;
    (void)noCleanUpAtExit;
    // Failures come back as values with a text of ours; instead of its own printout the library hands over the
    // reason.
    H5Eset_auto2(H5E_DEFAULT, captureError, nullptr);
}

NexusWriter::~NexusWriter() {
    close();
}

bool NexusWriter::isOpen() const {
    return m_handles && m_handles->file.valid();
}

QString NexusWriter::isoTime(const QDateTime &time) {
    const QDateTime zoned = time.toOffsetFromUtc(time.offsetFromUtc());
    return zoned.toString(Qt::ISODateWithMs);
}

bool NexusWriter::fail(const QString &what, QString *error) {
    m_reason = libraryError();
    if (error) {
        *error = QStringLiteral("%1 (%2)").arg(what, m_reason);
    }
    return false;
}

bool NexusWriter::close() {
    if (!m_handles) {
        return true;
    }
    // Datasets first, the file last, so the file really closes (and says whether it could).
    const std::unique_ptr<Handles> handles = std::move(m_handles);
    for (Id *object : {&handles->data, &handles->gray, &handles->sequence, &handles->frameStart, &handles->localTime,
                       &handles->fullOn, &handles->fullOff}) {
        object->reset();
    }
    return handles->file.reset();
}

bool NexusWriter::create(const QString &path, const Run &run, QString *error) {
    close();
    m_path = path;
    m_frames = 0;
    const QString cannot = QStringLiteral("could not write %1").arg(path);
    // The newest format: the only one a reader may open while the file is being written.
    const Id access(H5Pcreate(H5P_FILE_ACCESS));
    if (!access.valid() || H5Pset_libver_bounds(access.get(), H5F_LIBVER_LATEST, H5F_LIBVER_LATEST) < 0) {
        return fail(cannot, error);
    }
    auto handles = std::make_unique<Handles>();
    const QByteArray fileName = QFile::encodeName(path);
    handles->file = Id(H5Fcreate(fileName.constData(), H5F_ACC_TRUNC, H5P_DEFAULT, access.get()));
    if (!handles->file.valid()) {
        return fail(cannot, error);
    }
    m_handles = std::move(handles);
    if (!writeLayout(run)) {
        return fail(cannot, error);
    }
    // From here on only the datasets' contents change, which lets readers follow the file as it grows. Every
    // object is on disk before the first frame.
    if (H5Fstart_swmr_write(m_handles->file.get()) < 0) {
        return fail(cannot, error);
    }
    return flush(error);
}

bool NexusWriter::writeLayout(const Run &run) {
    Handles &h = *m_handles;
    const hid_t root = h.file.get();
    // NeXus readers follow "default" from the root to the plottable data.
    if (!setTextAttribute(root, "default", QStringLiteral("entry"))) {
        return false;
    }
    const Id entry = createGroup(root, "entry", "NXentry");
    if (!entry.valid() || !setTextAttribute(entry.get(), "default", QStringLiteral("data"))) {
        return false;
    }
    Id program;
    const QString start = isoTime(run.startTime);
    if (!writeText(entry.get(), "start_time", start) ||
        !writeText(entry.get(), "program_name", run.programName, &program) ||
        !setTextAttribute(program.get(), "version", run.programVersion)) {
        return false;
    }
    const Id instrument = createGroup(entry.get(), "instrument", "NXinstrument");
    if (!instrument.valid()) {
        return false;
    }
    const Id detector = createGroup(instrument.get(), "detector", "NXdetector");
    return detector.valid() && writeFrameDatasets(detector.get(), start) && writeDetectorFields(detector.get(), run) &&
           writeSettings(detector.get(), run.settings) && writePlot(entry.get(), detector.get());
}

bool NexusWriter::writeFrameDatasets(hid_t detector, const QString &startTime) {
    Handles &h = *m_handles;
    const std::array<hsize_t, 3> frameChunk{1, kSide, kSide};
    h.data = createGrowing(detector, "data", H5T_IEEE_F64LE, 3, frameChunk.data());
    h.gray = createGrowing(detector, "gray", H5T_IEEE_F64LE, 3, frameChunk.data());
    // Small entries per frame: a chunk holds many, so the file does not grow by a chunk per frame.
    const std::array<hsize_t, 1> listChunk{256};
    h.sequence = createGrowing(detector, "sequence_number", H5T_STD_I64LE, 1, listChunk.data());
    h.frameStart = createGrowing(detector, "frame_start", H5T_IEEE_F64LE, 1, listChunk.data());
    h.localTime = createGrowing(detector, "local_time", fixedTextType(kLocalTimeLength).get(), 1, listChunk.data());
    return h.data.valid() && h.gray.valid() && h.sequence.valid() && h.frameStart.valid() && h.localTime.valid() &&
           setTextAttribute(h.data.get(), "units", QStringLiteral("nA")) &&
           setTextAttribute(h.data.get(), "target", QString::fromLatin1(kDataPath)) &&
           setTextAttribute(h.frameStart.get(), "units", QStringLiteral("s")) &&
           setTextAttribute(h.frameStart.get(), "start", startTime);
}

bool NexusWriter::writeDetectorFields(hid_t detector, const Run &run) {
    Handles &h = *m_handles;
    h.fullOn = createGrid(detector, "full_on_reference", run.fullOnReference);
    h.fullOff = createGrid(detector, "full_off_reference", run.fullOffReference);
    // NeXus meanings: count_time is the exposure (the integration), frame_time exposure plus readout.
    const double framePeriod = run.settings.framePeriodS;
    return h.fullOn.valid() && h.fullOff.valid() && writeText(detector, "serial_number", run.serialNumber) &&
           writeDouble(detector, "count_time", run.settings.integrationTimeNs * 1e-9, "s") &&
           (framePeriod <= 0 || writeDouble(detector, "frame_time", framePeriod, "s"));
}

bool NexusWriter::writeSettings(hid_t detector, const Settings &s) {
    const Id settings = createGroup(detector, "settings", "NXcollection");
    return settings.valid() && writeDouble(settings.get(), "range", s.rangeNa, "nA") &&
           writeText(settings.get(), "polarity",
                     s.positive ? QStringLiteral("positive") : QStringLiteral("negative")) &&
           writeDouble(settings.get(), "von", s.vonV, "V") && writeDouble(settings.get(), "voff", s.voffV, "V") &&
           writeDouble(settings.get(), "vbias1", s.vbias1V, "V") &&
           writeDouble(settings.get(), "vbias2", s.vbias2V, "V") && writeInteger(settings.get(), "gear", s.gearCode) &&
           writeInteger(settings.get(), "integration_count", s.integrationCount) &&
           writeDouble(settings.get(), "integration_time", s.integrationTimeNs, "ns") &&
           writeDouble(settings.get(), "capacitance", s.capacitancePf, "pF");
}

bool NexusWriter::writePlot(hid_t entry, hid_t detector) {
    const Id plot = createGroup(entry, "data", "NXdata");
    return plot.valid() && setTextAttribute(plot.get(), "signal", QStringLiteral("data")) &&
           H5Lcreate_hard(detector, "data", plot.get(), "data", H5P_DEFAULT, H5P_DEFAULT) >= 0;
}

bool NexusWriter::appendFrame(const Frame &frame, QString *error) {
    const QString cannot = QStringLiteral("could not write frame %1 to %2").arg(frame.sequence).arg(m_path);
    if (!isOpen()) {
        if (error) {
            *error = cannot + QStringLiteral(" (the file is not open)");
        }
        m_reason = QStringLiteral("the file is not open");
        return false;
    }
    if (frame.currents.size() < kValues || frame.grays.size() < kValues) {
        if (error) {
            *error = cannot + QStringLiteral(" (the frame holds fewer than 4096 values)");
        }
        m_reason = QStringLiteral("the frame holds fewer than 4096 values");
        return false;
    }
    Handles &h = *m_handles;
    const auto row = static_cast<hsize_t>(m_frames);
    std::array<char, kLocalTimeLength> localTime{};
    const QByteArray text = frame.localTime.toUtf8().left(static_cast<qsizetype>(kLocalTimeLength));
    std::memcpy(localTime.data(), text.constData(), static_cast<std::size_t>(text.size()));
    const std::int64_t sequence = frame.sequence;
    if (!writeRow(h.data.get(), H5T_NATIVE_DOUBLE, 3, row, frame.currents.data()) ||
        !writeRow(h.gray.get(), H5T_NATIVE_DOUBLE, 3, row, frame.grays.data()) ||
        !writeRow(h.sequence.get(), H5T_NATIVE_INT64, 1, row, &sequence) ||
        !writeRow(h.frameStart.get(), H5T_NATIVE_DOUBLE, 1, row, &frame.seconds) ||
        !writeRow(h.localTime.get(), fixedTextType(kLocalTimeLength).get(), 1, row, localTime.data())) {
        return fail(cannot, error);
    }
    ++m_frames;
    return true;
}

bool NexusWriter::flush(QString *error) {
    if (!isOpen()) {
        return true;
    }
    if (H5Fflush(m_handles->file.get(), H5F_SCOPE_GLOBAL) < 0) {
        return fail(QStringLiteral("could not write %1").arg(m_path), error);
    }
    return true;
}

bool NexusWriter::finish(const QDateTime &endTime, const std::vector<double> &fullOnReference,
                         const std::vector<double> &fullOffReference, QString *error) {
    const QString cannot = QStringLiteral("could not write %1").arg(m_path);
    if (!isOpen()) {
        if (error) {
            *error = cannot + QStringLiteral(" (the file is not open)");
        }
        m_reason = QStringLiteral("the file is not open");
        return false;
    }
    Handles &h = *m_handles;
    if (!writeGrid(h.fullOn.get(), fullOnReference) || !writeGrid(h.fullOff.get(), fullOffReference) ||
        H5Fflush(h.file.get(), H5F_SCOPE_GLOBAL) < 0 || !close()) {
        close();
        return fail(cannot, error);
    }
    // A new object cannot be added while readers may follow the file: end_time goes in once it is closed.
    return writeEndTime(endTime) || fail(cannot, error);
}

bool NexusWriter::writeEndTime(const QDateTime &endTime) {
    const QByteArray fileName = QFile::encodeName(m_path);
    Id file(H5Fopen(fileName.constData(), H5F_ACC_RDWR, H5P_DEFAULT));
    if (!file.valid()) {
        return false;
    }
    bool written = false;
    {
        const Id entry(H5Gopen2(file.get(), "entry", H5P_DEFAULT));
        written = entry.valid() && writeText(entry.get(), "end_time", isoTime(endTime));
    }
    return file.reset() && written;
}
