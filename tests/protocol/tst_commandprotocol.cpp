#include <QTest>

#include "CommandProtocol.h"
#include "IntegrationSearch.h"

using Bytes = std::vector<std::uint8_t>;
Q_DECLARE_METATYPE(Bytes)

namespace {

Bytes bytesOf(const char *hex) {
    Bytes out;
    for (const QByteArray &word : QByteArray(hex).split(' ')) {
        out.push_back(static_cast<std::uint8_t>(word.toUInt(nullptr, 16)));
    }
    return out;
}

template <std::size_t N>
Bytes toBytes(const std::array<std::uint8_t, N> &a) {
    return Bytes(a.begin(), a.end());
}

}  // namespace

class TestCommandProtocol : public QObject {
    Q_OBJECT

private slots:
    void bareCommandsCarryTheirCheckByte_data() {
        QTest::addColumn<Bytes>("command");
        QTest::newRow("handshake") << toBytes(CommandProtocol::handshake);
        QTest::newRow("stop") << toBytes(CommandProtocol::stop);
        QTest::newRow("start") << toBytes(CommandProtocol::start);
        QTest::newRow("battery") << toBytes(CommandProtocol::batteryQuery);
        QTest::newRow("frame request") << toBytes(CommandProtocol::frameRequest);
        QTest::newRow("handshake ack") << toBytes(CommandProtocol::handshakeAck);
        QTest::newRow("parameter ack") << toBytes(CommandProtocol::parameterAck);
    }
    void bareCommandsCarryTheirCheckByte() {
        QFETCH(Bytes, command);
        QCOMPARE(command.size(), 8u);
        QCOMPARE(command[6], CommandProtocol::checkByte(command.data(), 6));
        QCOMPARE(command[7], 0x0D);
    }

    void voltageCodes_data() {
        QTest::addColumn<double>("volts");
        QTest::addColumn<bool>("bias");
        QTest::addColumn<int>("code");
        QTest::newRow("Von 0 V") << 0.0 << false << 2047;
        QTest::newRow("Vbias 0 V") << 0.0 << true << 2206;
        QTest::newRow("Von +21.6 V") << 21.6 << false << 4095;
        QTest::newRow("Von -21.6 V") << -21.6 << false << 0;
        QTest::newRow("Von 10 V") << 10.0 << false << 2995;
        QTest::newRow("Voff -5 V") << -5.0 << false << 1573;
        QTest::newRow("Von 25 V wraps high") << 25.0 << false << 4417;
        QTest::newRow("Von -25 V goes negative") << -25.0 << false << -322;
        QTest::newRow("not finite") << qInf() << false << INT_MIN;
        QTest::newRow("beyond 32 bits") << 1e12 << false << INT_MIN;
    }
    void voltageCodes() {
        QFETCH(double, volts);
        QFETCH(bool, bias);
        QFETCH(int, code);
        QCOMPARE(bias ? CommandProtocol::biasVoltageCode(volts) : CommandProtocol::gateVoltageCode(volts), code);
    }

    void voltsFromTextReadsNonNumbersAsZero() {
        QCOMPARE(CommandProtocol::voltsFromText("10"), 10.0);
        QCOMPARE(CommandProtocol::voltsFromText("-5.5"), -5.5);
        QCOMPARE(CommandProtocol::voltsFromText("abc"), 0.0);
        QCOMPARE(CommandProtocol::voltsFromText(""), 0.0);
    }

    void parameterCommand_data() {
        QTest::addColumn<double>("range");
        QTest::addColumn<bool>("positive");
        QTest::addColumn<Bytes>("expected");
        QTest::newRow("100 nA positive") << 100.0 << true
                                         << bytesOf("FF AA B0 01 00 0D 00 1C 80 07 01 0B B3 06 25 08 9E 08 9E 40 0D");
        QTest::newRow("1 nA negative") << 1.0 << false
                                       << bytesOf("FF AA B0 01 00 0D 01 64 40 03 00 0B B3 06 25 08 9E 08 9E 44 0D");
    }
    void parameterCommand() {
        QFETCH(double, range);
        QFETCH(bool, positive);
        QFETCH(Bytes, expected);
        const auto choice = IntegrationSearch::find(range);
        QVERIFY(choice);
        CommandProtocol::Parameters p;
        p.integrationCount = static_cast<std::uint32_t>(choice->integrationCount);
        p.gearCode = choice->gearCode;
        p.positive = positive;
        p.vonCode = CommandProtocol::gateVoltageCode(10);
        p.voffCode = CommandProtocol::gateVoltageCode(-5);
        p.vbias1Code = CommandProtocol::biasVoltageCode(0);
        p.vbias2Code = CommandProtocol::biasVoltageCode(0);
        QCOMPARE(toBytes(CommandProtocol::parameterCommand(p)), expected);
    }

    void wrappedVoltagesGoOutAsTheirLow16Bits() {
        CommandProtocol::Parameters p;
        p.vonCode = CommandProtocol::gateVoltageCode(25);
        p.voffCode = CommandProtocol::gateVoltageCode(-25);
        const auto frame = CommandProtocol::parameterCommand(p);
        QCOMPARE(frame[11], 0x11);
        QCOMPARE(frame[12], 0x41);
        QCOMPARE(frame[13], 0xFE);
        QCOMPARE(frame[14], 0xBE);
    }

    void batteryGauge_data() {
        QTest::addColumn<int>("code");
        QTest::addColumn<int>("width");
        QTest::newRow("empty at 1.65 V") << 2048 << 0;
        QTest::newRow("below the range") << 100 << 0;
        QTest::newRow("2300") << 2300 << 7;
        QTest::newRow("full at 2576") << 2576 << 16;
        QTest::newRow("above the range") << 4000 << 16;
        QTest::newRow("short reply reads zero") << 0 << 0;
    }
    void batteryGauge() {
        QFETCH(int, code);
        QFETCH(int, width);
        QCOMPARE(CommandProtocol::batteryGaugeWidth(code), width);
    }

    void replyRecognition() {
        const Bytes ack = toBytes(CommandProtocol::parameterAck);
        Bytes longer = ack;
        longer.insert(longer.end(), {0x01, 0x02});
        QVERIFY(CommandProtocol::startsWith(longer, CommandProtocol::parameterAck));
        Bytes shifted{0x00};
        shifted.insert(shifted.end(), ack.begin(), ack.end());
        QVERIFY(!CommandProtocol::startsWith(shifted, CommandProtocol::parameterAck));
        QVERIFY(!CommandProtocol::startsWith(Bytes(ack.begin(), ack.end() - 1), CommandProtocol::parameterAck));
        QCOMPARE(CommandProtocol::batteryCode(bytesOf("FF CC A0 04 08 FC 00 0D 00 00")), 0x08FC);
        QCOMPARE(CommandProtocol::batteryCode(bytesOf("FF CC A0 04")), 0);
    }
};

QTEST_GUILESS_MAIN(TestCommandProtocol)
#include "tst_commandprotocol.moc"
