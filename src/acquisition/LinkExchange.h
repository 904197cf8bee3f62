#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include <QObject>

#include "CommandProtocol.h"
#include "FtTypes.h"

class UsbFifoLink;

// The request-and-reply exchanges with the instrument (acknowledgements, the battery query). The waits
// between reads run on timers of the calling thread's event loop, so that thread never sleeps; the answer
// arrives through the handler. One exchange at a time; cancel() drops the one in progress unanswered.
class LinkExchange : public QObject {
    Q_OBJECT

public:
    using AcknowledgementHandler = std::function<void(bool acknowledged)>;
    using BatteryHandler = std::function<void(std::optional<int> code)>;

    explicit LinkExchange(QObject *parent = nullptr);

    // Writes nothing; reads the waiting bytes into a zero-filled buffer of `bufferSize` up to ten times,
    // `waitMs` apart, until it starts with `expected`. Each read stores from the start of the buffer. After
    // the tenth miss and one more wait the handler hears false.
    void awaitAcknowledgement(UsbFifoLink &link, ft::Handle handle, const CommandProtocol::Command &expected,
                              std::size_t bufferSize, int waitMs, AcknowledgementHandler done);
    // Writes the battery query, waits 100 ms and reads the reply once. Empty when nothing came back;
    // otherwise byte 4 x 256 + byte 5 of the zero-filled reply buffer.
    void queryBattery(UsbFifoLink &link, ft::Handle handle, BatteryHandler done);
    // Drops the exchange in progress: its handler is never called.
    void cancel();

    // Writes a whole frame; the status is returned, the written count ignored.
    static ft::Status writeFrame(UsbFifoLink &link, ft::Handle handle, const std::uint8_t *bytes, std::size_t count);
    template <std::size_t N>
    static ft::Status writeFrame(UsbFifoLink &link, ft::Handle handle, const std::array<std::uint8_t, N> &frame) {
        return writeFrame(link, handle, frame.data(), frame.size());
    }

    // The status of the last link call the exchanges made.
    ft::Status lastStatus() const { return m_lastStatus; }

private:
    struct Acknowledgement;
    void readForAcknowledgement(std::shared_ptr<Acknowledgement> exchange, unsigned generation);
    // Reads whatever is waiting (never more than the buffer holds) into the start of `buffer`.
    ft::Status readWaiting(UsbFifoLink &link, ft::Handle handle, std::vector<std::uint8_t> &buffer, std::uint32_t *got);
    // Runs `step` after `ms` unless the exchange was cancelled meanwhile.
    void after(int ms, unsigned generation, std::function<void()> step);

    ft::Status m_lastStatus = ft::Ok;
    unsigned m_generation = 0;
};
