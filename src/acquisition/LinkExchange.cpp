#include "LinkExchange.h"

#include <algorithm>
#include <memory>

#include <QTimer>

#include "UsbFifoLink.h"

struct LinkExchange::Acknowledgement {
    UsbFifoLink *link = nullptr;
    ft::Handle handle = nullptr;
    CommandProtocol::Command expected{};
    std::vector<std::uint8_t> buffer;
    int waitMs = 0;
    int misses = 0;
    AcknowledgementHandler done;
};

LinkExchange::LinkExchange(QObject *parent) : QObject(parent) {}

void LinkExchange::awaitAcknowledgement(UsbFifoLink &link, ft::Handle handle, const CommandProtocol::Command &expected,
                                        std::size_t bufferSize, int waitMs, AcknowledgementHandler done) {
    auto exchange = std::make_shared<Acknowledgement>();
    exchange->link = &link;
    exchange->handle = handle;
    exchange->expected = expected;
    exchange->buffer.assign(std::max(bufferSize, expected.size()), 0);
    exchange->waitMs = waitMs;
    exchange->done = std::move(done);
    readForAcknowledgement(std::move(exchange), m_generation);
}

void LinkExchange::readForAcknowledgement(std::shared_ptr<Acknowledgement> exchange, unsigned generation) {
    std::uint32_t got = 0;
    m_lastStatus = readWaiting(*exchange->link, exchange->handle, exchange->buffer, &got);
    if (CommandProtocol::startsWith(exchange->buffer, exchange->expected)) {
        exchange->done(true);
        return;
    }
    const bool lastRead = ++exchange->misses >= CommandProtocol::acknowledgementReads;
    after(exchange->waitMs, generation, [this, exchange, generation, lastRead] {
        if (lastRead) {
            exchange->done(false);
        } else {
            readForAcknowledgement(exchange, generation);
        }
    });
}

void LinkExchange::queryBattery(UsbFifoLink &link, ft::Handle handle, BatteryHandler done) {
    m_lastStatus = writeFrame(link, handle, CommandProtocol::batteryQuery);
    after(CommandProtocol::batteryWaitMs, m_generation, [this, &link, handle, done = std::move(done)] {
        std::vector<std::uint8_t> reply(CommandProtocol::batteryReplyBufferSize, 0);
        std::uint32_t got = 0;
        m_lastStatus = readWaiting(link, handle, reply, &got);
        done(got == 0 ? std::nullopt : std::optional<int>(CommandProtocol::batteryCode(reply)));
    });
}

void LinkExchange::cancel() {
    ++m_generation;
}

ft::Status LinkExchange::writeFrame(UsbFifoLink &link, ft::Handle handle, const std::uint8_t *bytes,
                                    std::size_t count) {
    std::uint32_t written = 0;
    return link.write(handle, bytes, static_cast<std::uint32_t>(count), &written);
}

ft::Status LinkExchange::readWaiting(UsbFifoLink &link, ft::Handle handle, std::vector<std::uint8_t> &buffer,
                                     std::uint32_t *got) {
    std::uint32_t rx = 0, tx = 0, event = 0;
    *got = 0;
    const ft::Status status = link.getStatus(handle, &rx, &tx, &event);
    if (status != ft::Ok || rx == 0) {
        return status;
    }
    const auto wanted = static_cast<std::uint32_t>(std::min<std::size_t>(rx, buffer.size()));
    return link.read(handle, buffer.data(), wanted, got);
}

void LinkExchange::after(int ms, unsigned generation, std::function<void()> step) {
    QTimer::singleShot(ms, this, [this, generation, step = std::move(step)] {
        if (generation == m_generation) {
            step();
        }
    });
}
