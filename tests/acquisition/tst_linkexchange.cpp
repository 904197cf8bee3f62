#include <optional>

#include <QElapsedTimer>
#include <QTest>

#include "CommandProtocol.h"
#include "LinkExchange.h"
#include "ScriptedLink.h"

using Bytes = std::vector<std::uint8_t>;

namespace {

template <std::size_t N>
Bytes toBytes(const std::array<std::uint8_t, N> &a) {
    return Bytes(a.begin(), a.end());
}

// The handler's answer, once it came.
template <typename T>
struct Answer {
    std::optional<T> value;
    int calls = 0;
    auto handler() {
        return [this](T v) {
            value = v;
            ++calls;
        };
    }
};

}  // namespace

// The exchanges wait on timers, so the thread that asked keeps running its event loop meanwhile.
class TestLinkExchange : public QObject {
    Q_OBJECT

private slots:
    void acknowledgementFoundOnALaterRead() {
        ScriptedLink link;
        link.queue(toBytes(CommandProtocol::parameterAck), 3);
        LinkExchange exchange;
        Answer<bool> answer;
        exchange.awaitAcknowledgement(link, &link, CommandProtocol::parameterAck, 256, 1, answer.handler());
        QTRY_COMPARE(answer.calls, 1);
        QCOMPARE(answer.value, std::optional<bool>(true));
        QCOMPARE(exchange.lastStatus(), ft::Ok);
        QCOMPARE(link.statusCalls(), 4);
    }

    void strayByteAheadOfTheAcknowledgementFailsAfterTenReads() {
        ScriptedLink link;
        Bytes shifted{0x00};
        const Bytes ack = toBytes(CommandProtocol::handshakeAck);
        shifted.insert(shifted.end(), ack.begin(), ack.end());
        link.queue(shifted);
        LinkExchange exchange;
        Answer<bool> answer;
        QElapsedTimer clock;
        clock.start();
        exchange.awaitAcknowledgement(link, &link, CommandProtocol::handshakeAck, CommandProtocol::handshakeBufferSize,
                                      5, answer.handler());
        QCOMPARE(answer.calls, 0);  // the first miss does not answer at once
        QTRY_COMPARE(answer.calls, 1);
        QCOMPARE(answer.value, std::optional<bool>(false));
        QCOMPARE(link.statusCalls(), 10);
        QCOMPARE(link.reads(), 1);       // the queue is empty after the first read
        QVERIFY(clock.elapsed() >= 50);  // ten waits, the last one after the tenth miss
    }

    void cancelledExchangeNeverAnswers() {
        ScriptedLink link;
        LinkExchange exchange;
        Answer<bool> answer;
        exchange.awaitAcknowledgement(link, &link, CommandProtocol::handshakeAck, 10, 1, answer.handler());
        exchange.cancel();
        link.queue(toBytes(CommandProtocol::handshakeAck));
        QTest::qWait(50);
        QCOMPARE(answer.calls, 0);
        QCOMPARE(link.statusCalls(), 1);
    }

    void batteryReply() {
        ScriptedLink link;
        link.queue({0xFF, 0xCC, 0xA0, 0x04, 0x08, 0xFC, 0x00, 0x0D});
        LinkExchange exchange;
        Answer<std::optional<int>> answer;
        exchange.queryBattery(link, &link, answer.handler());
        QCOMPARE(link.writes().size(), 1u);
        QCOMPARE(link.writes()[0], toBytes(CommandProtocol::batteryQuery));
        QCOMPARE(link.statusCalls(), 0);  // the reply is read only after the wait
        QTRY_COMPARE(answer.calls, 1);
        QCOMPARE(*answer.value, std::optional<int>(0x08FC));
    }

    void shortBatteryReplyReadsZeroAndNoReplyReadsNothing() {
        ScriptedLink shortReply;
        shortReply.queue({0xFF, 0xCC, 0xA0, 0x04});
        LinkExchange exchange;
        Answer<std::optional<int>> answer;
        exchange.queryBattery(shortReply, &shortReply, answer.handler());
        QTRY_COMPARE(answer.calls, 1);
        QCOMPARE(*answer.value, std::optional<int>(0));

        ScriptedLink silent;
        Answer<std::optional<int>> none;
        exchange.queryBattery(silent, &silent, none.handler());
        QTRY_COMPARE(none.calls, 1);
        QCOMPARE(*none.value, std::optional<int>());
    }
};

QTEST_GUILESS_MAIN(TestLinkExchange)
#include "tst_linkexchange.moc"
