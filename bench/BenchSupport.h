#pragma once

// What the benchmarks share: the settings of a streaming worker, a real frame record, and the names of the
// figures the summary table picks up.

#include <cstdint>
#include <vector>

#include "CommandProtocol.h"
#include "ReceiverThread.h"
#include "SimulatedInstrument.h"
#include "WireFormat.h"

namespace bench {

// The simulated instrument's power-on parameters: 100 nA range, 9.6 pF, 7296 clock periods, positive.
inline void configure(ReceiverThread &worker) {
    worker.m_currentMode = true;
    worker.m_integralCurrent = 9.6;
    worker.m_integralTime = 7296 * 12.5;
    worker.m_currentRange = 100;
}

// One 8200-byte record as the simulated instrument sends it (the lit scene), so lookups and branches see
// the codes of a real picture rather than a synthetic pattern.
inline std::vector<unsigned char> sceneRecord() {
    SimulatedInstrument instrument;
    instrument.setPaced(false);
    instrument.receiveFromHost(CommandProtocol::start.data(), CommandProtocol::start.size());
    instrument.receiveFromHost(CommandProtocol::frameRequest.data(), CommandProtocol::frameRequest.size());
    std::vector<unsigned char> record(wire::recordLength);
    record.resize(instrument.takeBytes(record.data(), record.size()));
    return record;
}

// The worker's frame buffer for that record: the pixel codes first, as the cut leaves them.
inline std::vector<unsigned char> sceneFrame() {
    const std::vector<unsigned char> record = sceneRecord();
    std::vector<unsigned char> frame(wire::recordLength, 0);
    std::copy_n(record.begin() + wire::syncPattern.size(), wire::frameBytes, frame.begin());
    return frame;
}

void registerFrameBenchmarks();
void registerFileBenchmarks();
void registerDisplayBenchmarks();
void registerStreamBenchmarks();

}  // namespace bench
