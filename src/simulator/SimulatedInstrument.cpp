#include "SimulatedInstrument.h"

#include <algorithm>
#include <array>
#include <random>

#include "SimulatedScene.h"
#include "SimulatorLogging.h"

namespace {

// The simulator spells the wire format itself rather than using the host's protocol code: it is a
// second, independent reading of the instrument, so a mistake in the host's bytes shows up as a
// simulator that does not answer instead of two sides agreeing on the same error.
constexpr std::uint8_t controlGroup = 0xA0;
constexpr std::uint8_t parameterGroup = 0xB0;
constexpr std::uint8_t dataGroup = 0xC0;
constexpr std::uint8_t handshakeCode = 0x01;
constexpr std::uint8_t stopCode = 0x02;
constexpr std::uint8_t startCode = 0x03;
constexpr std::uint8_t batteryCode = 0x04;
constexpr std::uint8_t parameterCode = 0x01;
constexpr std::uint8_t frameRequestCode = 0x01;
constexpr std::size_t parameterPayload = 13;

constexpr std::size_t pixelBytes = 2 * SimulatedScene::pixelCount;
constexpr std::size_t recordHeaderSize = 6;
constexpr std::size_t recordSize = recordHeaderSize + pixelBytes + 2;
constexpr std::size_t fullBatteryReply = 8;
constexpr std::size_t commandHistory = 4096;

// Sensor readout: every one of the 64 rows integrates, then takes this long to convert and shift out.
constexpr double rowOverheadMicroseconds = 110.162;
constexpr double rows = 64.0;
// Pixel noise, a fraction of full scale: visible in a still picture, small against the pattern.
constexpr double noiseFraction = 0.001;

// Standard normal samples drawn once (a fixed seed, like the pixel pattern): drawing 4096 of them for every
// frame cost the simulated instrument more than everything the host does with the frame.
constexpr std::size_t noiseTableSize = 16384;
constexpr std::size_t noiseTableMask = noiseTableSize - 1;

const std::vector<float> &standardNoise() {
    static const std::vector<float> table = [] {
        std::mt19937 generator(0x0a15eu);
        std::normal_distribution<float> normal(0.0F, 1.0F);
        std::vector<float> samples(noiseTableSize);
        for (float &sample : samples) {
            sample = normal(generator);
        }
        return samples;
    }();
    return table;
}

// An 8-byte frame FF CC group code hi lo check 0D, as the instrument sends its answers.
std::vector<std::uint8_t> replyFrame(std::uint8_t group, std::uint8_t code, std::uint16_t field) {
    std::vector<std::uint8_t> reply{
        0xFF, 0xCC, group, code, static_cast<std::uint8_t>(field >> 8), static_cast<std::uint8_t>(field & 0xFF)};
    reply.push_back(SimulatedCommandParser::checkByte(reply.data(), reply.size()));
    reply.push_back(0x0D);
    return reply;
}

int signedCode(const std::uint8_t *bytes) {
    return static_cast<std::int16_t>(static_cast<std::uint16_t>((bytes[0] << 8) | bytes[1]));
}

}  // namespace

SimulatedInstrument::SimulatedInstrument(std::string serialNumber)
    : m_serialNumber(std::move(serialNumber)), m_scene(std::make_unique<const SimulatedScene>()) {}

SimulatedInstrument::~SimulatedInstrument() = default;

void SimulatedInstrument::receiveFromHost(const std::uint8_t *data, std::size_t size) {
    std::lock_guard lock(m_mutex);
    for (const SimulatedCommand &command : m_parser.feed(data, size)) {
        m_receivedCommands.push_back(command.bytes);
        if (m_receivedCommands.size() > commandHistory) {
            m_receivedCommands.pop_front();
        }
        if (!command.intact) {
            qCDebug(lcSimulator) << "Ignoring a command with a wrong check or end byte";
            continue;
        }
        act(command);
    }
    // An answer is there at once, a record becomes due later: either way a waiting host looks again.
    m_outputChanged.notify_all();
}

void SimulatedInstrument::act(const SimulatedCommand &command) {
    // Whatever has arrived by now goes out ahead of the answer to this command.
    advance();
    const std::uint8_t group = command.group();
    const std::uint8_t code = command.subCode();
    const std::size_t payload = command.payloadLength();
    if (group == parameterGroup && code == parameterCode && payload == parameterPayload) {
        applyParameters(command);
        return;
    }
    if (payload != 0) {
        qCDebug(lcSimulator) << "Ignoring an unknown command" << Qt::hex << group << code;
        return;
    }
    if (group == controlGroup && code == handshakeCode) {
        answer(replyFrame(controlGroup, handshakeCode, 0));
    } else if (group == controlGroup && code == startCode) {
        m_started = true;
    } else if (group == controlGroup && code == stopCode) {
        m_started = false;
        m_output.dropPendingRecords();
        m_readoutEnd = Clock::now();
    } else if (group == controlGroup && code == batteryCode) {
        std::vector<std::uint8_t> reply = replyFrame(controlGroup, batteryCode, m_batteryCode);
        reply.resize(std::min(reply.size(), m_batteryReplyLength));
        m_output.pushReply(std::move(reply), Clock::now());
    } else if (group == dataGroup && code == frameRequestCode) {
        if (m_started) {
            queueRecord();
        } else {
            qCDebug(lcSimulator) << "Ignoring a frame request while not started";
        }
    } else {
        qCDebug(lcSimulator) << "Ignoring an unknown command" << Qt::hex << group << code;
    }
}

// An acknowledgement, unless a fault says this one goes unanswered.
void SimulatedInstrument::answer(std::vector<std::uint8_t> reply) {
    if (m_unansweredCommands > 0) {
        --m_unansweredCommands;
        return;
    }
    m_output.pushReply(std::move(reply), Clock::now());
}

void SimulatedInstrument::applyParameters(const SimulatedCommand &command) {
    const std::uint8_t *payload = command.payload();
    const int gear = payload[3];
    const int polarity = payload[4];
    // A gear without a capacitor or a polarity other than 0/1 is a command the instrument cannot carry out.
    if (SimulatedScene::capacitancePf(gear) <= 0.0 || polarity > 1) {
        qCWarning(lcSimulator) << "Refusing a parameter command with gear" << gear << "and polarity" << polarity;
        return;
    }
    if (m_unansweredCommands > 0) {
        --m_unansweredCommands;
        return;
    }
    if (m_unansweredSettings > 0) {
        --m_unansweredSettings;
        return;
    }
    AppliedParameters applied;
    applied.integrationCount = (std::uint32_t{payload[0]} << 16) | (std::uint32_t{payload[1]} << 8) | payload[2];
    applied.gearCode = gear;
    applied.positive = polarity == 1;
    applied.vonCode = signedCode(payload + 5);
    applied.voffCode = signedCode(payload + 7);
    applied.vbias1Code = signedCode(payload + 9);
    applied.vbias2Code = signedCode(payload + 11);
    m_parameters = applied;
    m_output.pushReply(replyFrame(parameterGroup, parameterCode, 0), Clock::now());
}

void SimulatedInstrument::queueRecord() {
    const Clock::time_point now = Clock::now();
    Clock::time_point readyAt = now;
    if (m_paced) {
        const auto frameTime = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double, std::micro>(
            rows * (SimulatedScene::integrationTimeNs(m_parameters) / 1000.0 + rowOverheadMicroseconds)));
        readyAt = std::max(now, m_readoutEnd) + frameTime;
        m_readoutEnd = readyAt;
    }
    const double sceneSeconds = m_frozenSceneSeconds.value_or(std::chrono::duration<double>(readyAt - m_epoch).count());

    std::vector<std::uint8_t> bytes = std::move(m_bytesBeforeRecord);
    m_bytesBeforeRecord.clear();
    std::vector<std::uint8_t> record = recordBytes(sceneSeconds);
    if (m_shortRecordBytes) {
        record.resize(std::min(record.size(), *m_shortRecordBytes));
        m_shortRecordBytes.reset();
    }
    bytes.insert(bytes.end(), record.begin(), record.end());
    bytes.insert(bytes.end(), m_bytesAfterRecord.begin(), m_bytesAfterRecord.end());
    m_bytesAfterRecord.clear();
    m_output.pushRecord(std::move(bytes), readyAt, std::move(m_recordPortions));
    m_recordPortions.clear();
    if (m_recordReadyHook) {
        m_recordReadyHook(readyAt);
    }
}

std::vector<std::uint8_t> SimulatedInstrument::recordBytes(double sceneSeconds) {
    std::vector<std::uint8_t> record(recordSize);
    const std::array<std::uint8_t, recordHeaderSize> header{0xFF, 0xCC, dataGroup, frameRequestCode, 0x20, 0x00};
    std::copy(header.begin(), header.end(), record.begin());
    const double noiseScale = noiseFraction * SimulatedScene::fullScaleCurrent(m_parameters);
    // Each frame reads the table from a start of its own, so no pattern stands still.
    std::size_t index = m_noiseGenerator() & noiseTableMask;
    const std::vector<float> &noise = standardNoise();
    std::vector<double> currents = m_scene->meanCurrents(m_illumination, m_parameters, sceneSeconds);
    for (double &current : currents) {
        current += noiseScale * noise[index];
        index = (index + 1) & noiseTableMask;
    }
    SimulatedScene::writeCodes(currents, m_parameters, record.data() + recordHeaderSize);
    // Closing bytes: the header's check byte and the end byte, like every other frame.
    record[recordSize - 2] = SimulatedCommandParser::checkByte(record.data(), recordHeaderSize);
    record[recordSize - 1] = 0x0D;
    return record;
}

void SimulatedInstrument::advance() const {
    m_recordsSent += m_output.update(Clock::now());
}

std::size_t SimulatedInstrument::bytesQueued() {
    std::lock_guard lock(m_mutex);
    advance();
    const std::uint64_t before = m_output.arrivals();
    m_output.revealPortion();
    if (m_output.arrivals() != before) {
        m_outputChanged.notify_all();
    }
    return m_output.visibleBytes();
}

template <typename Ready>
bool SimulatedInstrument::waitUntil(std::unique_lock<std::mutex> &lock, Clock::time_point deadline,
                                    std::uint64_t wakesSeen, Ready ready) {
    for (;;) {
        advance();
        if (ready()) {
            return true;
        }
        const Clock::time_point now = Clock::now();
        if (m_wakes != wakesSeen || now >= deadline) {
            return false;
        }
        // Nobody announces a record whose readout ends: the waiter sets its own alarm for it.
        Clock::time_point until = deadline;
        if (const std::optional<Clock::time_point> next = m_output.nextArrival()) {
            until = std::min(until, *next);
        }
        m_outputChanged.wait_until(lock, until);
    }
}

std::uint64_t SimulatedInstrument::wakeCount() const {
    std::lock_guard lock(m_mutex);
    return m_wakes;
}

void SimulatedInstrument::wakeWaiters() {
    std::lock_guard lock(m_mutex);
    ++m_wakes;
    m_outputChanged.notify_all();
}

bool SimulatedInstrument::waitForOutput(Clock::time_point deadline, std::uint64_t wakesSeen) {
    std::unique_lock lock(m_mutex);
    return waitUntil(lock, deadline, wakesSeen, [this] { return m_output.hasArrivedBytes(); });
}

std::uint64_t SimulatedInstrument::arrivals() const {
    std::lock_guard lock(m_mutex);
    advance();
    return m_output.arrivals();
}

std::uint64_t SimulatedInstrument::waitForArrival(Clock::time_point deadline, std::uint64_t arrivalsSeen,
                                                  std::uint64_t wakesSeen) {
    std::unique_lock lock(m_mutex);
    waitUntil(lock, deadline, wakesSeen, [&] { return m_output.arrivals() != arrivalsSeen; });
    return m_output.arrivals();
}

std::size_t SimulatedInstrument::takeBytes(std::uint8_t *buffer, std::size_t size) {
    std::lock_guard lock(m_mutex);
    advance();
    return m_output.take(buffer, size);
}

void SimulatedInstrument::purge() {
    std::lock_guard lock(m_mutex);
    advance();
    m_output.dropArrived();
}

void SimulatedInstrument::stopAndEmpty() {
    m_output.clear();
    m_parser.clear();
    m_started = false;
    m_readoutEnd = Clock::now();
}

void SimulatedInstrument::reset() {
    std::lock_guard lock(m_mutex);
    stopAndEmpty();
}

void SimulatedInstrument::powerOn() {
    std::lock_guard lock(m_mutex);
    stopAndEmpty();
    m_parameters = AppliedParameters{};
}

bool SimulatedInstrument::consumeReadFailure() {
    std::lock_guard lock(m_mutex);
    if (m_failingReads <= 0) {
        return false;
    }
    --m_failingReads;
    return true;
}

std::string SimulatedInstrument::enumerateSerial() {
    std::lock_guard lock(m_mutex);
    if (m_emptySerialEnumerations > 0) {
        --m_emptySerialEnumerations;
        return {};
    }
    return m_serialNumber;
}

void SimulatedInstrument::setIllumination(Illumination illumination) {
    std::lock_guard lock(m_mutex);
    m_illumination = illumination;
}

Illumination SimulatedInstrument::illumination() const {
    std::lock_guard lock(m_mutex);
    return m_illumination;
}

void SimulatedInstrument::setBatteryCode(std::uint16_t code) {
    std::lock_guard lock(m_mutex);
    m_batteryCode = code;
}

void SimulatedInstrument::setPaced(bool paced) {
    std::lock_guard lock(m_mutex);
    m_paced = paced;
}

double SimulatedInstrument::frameTimeMicroseconds() const {
    std::lock_guard lock(m_mutex);
    return rows * (SimulatedScene::integrationTimeNs(m_parameters) / 1000.0 + rowOverheadMicroseconds);
}

void SimulatedInstrument::freezeSceneAt(double seconds) {
    std::lock_guard lock(m_mutex);
    m_frozenSceneSeconds = seconds;
}

void SimulatedInstrument::injectBytesBeforeNextRecord(std::vector<std::uint8_t> bytes) {
    std::lock_guard lock(m_mutex);
    m_bytesBeforeRecord = std::move(bytes);
}

void SimulatedInstrument::injectBytesAfterNextRecord(std::vector<std::uint8_t> bytes) {
    std::lock_guard lock(m_mutex);
    m_bytesAfterRecord = std::move(bytes);
}

void SimulatedInstrument::splitNextRecord(std::vector<std::size_t> portionSizes) {
    std::lock_guard lock(m_mutex);
    m_recordPortions = std::move(portionSizes);
}

void SimulatedInstrument::shortenNextRecord(std::size_t bytes) {
    std::lock_guard lock(m_mutex);
    m_shortRecordBytes = bytes;
}

void SimulatedInstrument::failReads(int count) {
    std::lock_guard lock(m_mutex);
    m_failingReads = std::max(count, 0);
}

void SimulatedInstrument::leaveCommandsUnanswered(int count) {
    std::lock_guard lock(m_mutex);
    m_unansweredCommands = std::max(count, 0);
}

void SimulatedInstrument::leaveSettingsUnanswered(int count) {
    std::lock_guard lock(m_mutex);
    m_unansweredSettings = std::max(count, 0);
}

void SimulatedInstrument::setBatteryReplyLength(std::size_t bytes) {
    std::lock_guard lock(m_mutex);
    m_batteryReplyLength = std::min(bytes, fullBatteryReply);
}

void SimulatedInstrument::setSerialEmptyForEnumerations(int enumerations) {
    std::lock_guard lock(m_mutex);
    m_emptySerialEnumerations = std::max(enumerations, 0);
}

AppliedParameters SimulatedInstrument::appliedParameters() const {
    std::lock_guard lock(m_mutex);
    return m_parameters;
}

std::vector<std::vector<std::uint8_t>> SimulatedInstrument::receivedCommands() const {
    std::lock_guard lock(m_mutex);
    return {m_receivedCommands.begin(), m_receivedCommands.end()};
}

bool SimulatedInstrument::started() const {
    std::lock_guard lock(m_mutex);
    return m_started;
}

void SimulatedInstrument::setRecordReadyHook(RecordReadyHook hook) {
    std::lock_guard lock(m_mutex);
    m_recordReadyHook = std::move(hook);
}

std::uint64_t SimulatedInstrument::recordsSent() const {
    std::lock_guard lock(m_mutex);
    advance();
    return m_recordsSent;
}
