#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "SimulatedCommandParser.h"
#include "SimulatedOutputQueue.h"

class SimulatedScene;

// What the simulated instrument's light source shows.
enum class Illumination {
    Scene,  // a light spot moving over a dim background
    Dark,   // no light: every pixel shows its dark current (full-off)
    Flood,  // uniform bright light (full-on)
};

// The parameters the last acknowledged parameter command applied.
struct AppliedParameters {
    std::uint32_t integrationCount = 7296;  // 12.5 ns ticks (100 nA range)
    int gearCode = 7;                       // 7 = 9.6 pF ... 0 = 0.13 pF
    bool positive = true;
    int vonCode = 2047;
    int voffCode = 2047;
    int vbias1Code = 2206;
    int vbias2Code = 2206;
};

// A simulated VANTIKO instrument as it behaves on the wire: it answers the handshake, the parameter command
// and the battery query, takes start and stop, and answers each frame request with one 8200-byte record,
// paced like the sensor (64 rows x (integration time + 110.162 us)). Its picture is physically sensible:
// per-pixel current = illumination x gain(i) + dark(i) + noise, turned into codes by inverting the pixel
// conversion for the applied polarity, capacitance and integration time.
//
// Thread-safe: every public operation takes the instrument's lock.
class SimulatedInstrument {
public:
    using Clock = std::chrono::steady_clock;

    explicit SimulatedInstrument(std::string serialNumber = "VANTIKO");
    ~SimulatedInstrument();
    SimulatedInstrument(const SimulatedInstrument &) = delete;
    SimulatedInstrument &operator=(const SimulatedInstrument &) = delete;

    const std::string &serialNumber() const { return m_serialNumber; }

    // --- The wire (called by the simulated link) -----------------------------------------------------------
    // Takes bytes the host wrote; complete command frames are acted on.
    void receiveFromHost(const std::uint8_t *data, std::size_t size);
    // Bytes queued for the host now (records become available when the sensor has read them out).
    std::size_t bytesQueued();
    // Moves up to `size` queued bytes into `buffer`; returns how many.
    std::size_t takeBytes(std::uint8_t *buffer, std::size_t size);
    void purge();
    void reset();
    // Whether the next read must fail (fault injection); consumes one injected failure.
    bool consumeReadFailure();
    // Serial number as the next enumeration reports it (empty while an "empty serial" fault lasts).
    std::string enumerateSerial();
    // Plugged in again: streaming off, queues empty, parameters back to their power-on values.
    void powerOn();

    // --- Waiting for the host's receive queue (called by the simulated link) -------------------------------
    // Both waits also end at `deadline` and at a wakeWaiters() made after `wakesSeen` was read from
    // wakeCount(), so a waiter that reads the count before it last checks its handle misses no close.
    std::uint64_t wakeCount() const;
    void wakeWaiters();
    // Until something that has arrived waits to be taken; true if so.
    bool waitForOutput(Clock::time_point deadline, std::uint64_t wakesSeen);
    // Bytes newly visible to the host since the count was `arrivalsSeen`; the count now.
    std::uint64_t arrivals() const;
    std::uint64_t waitForArrival(Clock::time_point deadline, std::uint64_t arrivalsSeen, std::uint64_t wakesSeen);

    // --- Control for tests and people ------------------------------------------------------------------
    void setIllumination(Illumination illumination);
    Illumination illumination() const;
    void setBatteryCode(std::uint16_t code);
    // Unpaced: records are ready as soon as they are requested (benchmarks).
    void setPaced(bool paced);
    // Frame time in microseconds for the applied integration count (what pacing uses).
    double frameTimeMicroseconds() const;
    // The fixed pixel pattern and the light model (immutable, usable without the lock).
    const SimulatedScene &scene() const { return *m_scene; }
    // Holds the moving spot at `seconds` after the scene's start, so a test knows where it is.
    void freezeSceneAt(double seconds);

    // --- Faults --------------------------------------------------------------------------------------------
    void injectBytesBeforeNextRecord(std::vector<std::uint8_t> bytes);
    void injectBytesAfterNextRecord(std::vector<std::uint8_t> bytes);
    // The next record becomes visible to the host in portions of these sizes, one portion per status call.
    void splitNextRecord(std::vector<std::size_t> portionSizes);
    // The next record is cut to its first `bytes` bytes.
    void shortenNextRecord(std::size_t bytes);
    // The next `count` reads fail with an I/O error.
    void failReads(int count);
    // The next `count` handshake or parameter commands get no acknowledgement (a parameter command left
    // unanswered is not applied either: the instrument never took it).
    void leaveCommandsUnanswered(int count);
    // The next `count` parameter commands get no acknowledgement and are not applied; the handshake is
    // still answered, so a connection succeeds and only the setting fails.
    void leaveSettingsUnanswered(int count);
    // The battery reply is cut to its first `bytes` bytes (8 is the whole reply).
    void setBatteryReplyLength(std::size_t bytes);
    // The serial number reads empty for the next `enumerations` device-list builds.
    void setSerialEmptyForEnumerations(int enumerations);

    // --- Observation for tests ----------------------------------------------------------------------------
    AppliedParameters appliedParameters() const;
    // Every complete command frame received, in order (torn ones too; the latest 4096 are kept, so a
    // simulator left streaming for hours does not grow without bound).
    std::vector<std::vector<std::uint8_t>> receivedCommands() const;
    bool started() const;
    std::uint64_t recordsSent() const;
    // Told, for every record the instrument queues, when it reaches the host's receive queue: for a whole
    // record (the usual case) the moment its last byte becomes readable; a record split into portions shows
    // the rest at later status calls. Runs on the thread that wrote the frame request, under the instrument's
    // lock, so it must not call back into the instrument. For latency measurements; an empty function removes it.
    using RecordReadyHook = std::function<void(std::chrono::steady_clock::time_point lastByteReadable)>;
    void setRecordReadyHook(RecordReadyHook hook);

private:
    void act(const SimulatedCommand &command);
    void answer(std::vector<std::uint8_t> reply);
    void applyParameters(const SimulatedCommand &command);
    void queueRecord();
    std::vector<std::uint8_t> recordBytes(double sceneSeconds);
    // Streaming off, nothing queued either way, no half-received command (lock held by the caller).
    void stopAndEmpty();
    // Lets the sensor's time pass: records whose readout is over join what the host can take. Const because
    // observing the instrument also lets time pass; the queue and the count are mutable for that.
    void advance() const;
    // Waits (lock held) until `ready`, `deadline` or a wake; wakes itself when the next record arrives.
    template <typename Ready>
    bool waitUntil(std::unique_lock<std::mutex> &lock, Clock::time_point deadline, std::uint64_t wakesSeen,
                   Ready ready);

    const std::string m_serialNumber;
    const Clock::time_point m_epoch = Clock::now();
    const std::unique_ptr<const SimulatedScene> m_scene;
    mutable std::mutex m_mutex;
    // Signalled when the host may find something new: a command was acted on, a portion shown, a wake.
    std::condition_variable m_outputChanged;
    // Everything below is guarded by m_mutex.
    std::uint64_t m_wakes = 0;
    SimulatedCommandParser m_parser;
    mutable SimulatedOutputQueue m_output;
    AppliedParameters m_parameters;
    Illumination m_illumination = Illumination::Scene;
    std::uint16_t m_batteryCode = 2400;
    bool m_paced = true;
    bool m_started = false;
    // When the sensor finishes the readout it is busy with; requests queue up behind it.
    Clock::time_point m_readoutEnd = m_epoch;
    std::optional<double> m_frozenSceneSeconds;
    // Chooses where each frame reads the noise table.
    std::mt19937 m_noiseGenerator{0x0a15eu};
    // Records that have reached the host's receive queue.
    mutable std::uint64_t m_recordsSent = 0;
    std::deque<std::vector<std::uint8_t>> m_receivedCommands;
    RecordReadyHook m_recordReadyHook;

    std::vector<std::uint8_t> m_bytesBeforeRecord;
    std::vector<std::uint8_t> m_bytesAfterRecord;
    std::vector<std::size_t> m_recordPortions;
    std::optional<std::size_t> m_shortRecordBytes;
    int m_failingReads = 0;
    int m_unansweredCommands = 0;
    int m_unansweredSettings = 0;
    std::size_t m_batteryReplyLength = 8;
    int m_emptySerialEnumerations = 0;
};
