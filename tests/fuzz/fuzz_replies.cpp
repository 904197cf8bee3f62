// Reply and acknowledgement recognition: the handshake and parameter acknowledgements (alone, and through
// the exchange that reads them off a link in pieces), the battery reply, and the parameter command built
// from any typed voltages. Properties: recognition only at the buffer's start, the battery code from bytes
// 4 and 5 and the gauge within its 16 pixels, a parameter command that always checks out, and an exchange
// that answers exactly once and never reads past its buffer.

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include <QCoreApplication>
#include <QString>

#include <fuzzer/FuzzedDataProvider.h>

#include "CommandProtocol.h"
#include "FuzzCheck.h"
#include "LinkExchange.h"
#include "ScriptedLink.h"

namespace {

const CommandProtocol::Command kCommands[] = {
    CommandProtocol::handshake,    CommandProtocol::stop,         CommandProtocol::start,
    CommandProtocol::batteryQuery, CommandProtocol::frameRequest, CommandProtocol::handshakeAck,
    CommandProtocol::parameterAck,
};

void checkRecognition(const std::vector<std::uint8_t> &reply) {
    for (const CommandProtocol::Command &command : kCommands) {
        const bool expected =
            reply.size() >= command.size() && std::memcmp(reply.data(), command.data(), command.size()) == 0;
        FUZZ_CHECK(CommandProtocol::startsWith(reply, command) == expected);
    }
    const int code = CommandProtocol::batteryCode(reply);
    FUZZ_CHECK(reply.size() < 6 ? code == 0 : code == reply[4] * 256 + reply[5]);
    const int width = CommandProtocol::batteryGaugeWidth(code);
    FUZZ_CHECK(width >= 0 && width <= 16);
}

int voltageCode(FuzzedDataProvider &input, bool gate) {
    const double volts = input.ConsumeBool()
                             ? input.ConsumeFloatingPoint<double>()
                             : CommandProtocol::voltsFromText(QString::fromUtf8(input.ConsumeRandomLengthString(24)));
    return gate ? CommandProtocol::gateVoltageCode(volts) : CommandProtocol::biasVoltageCode(volts);
}

void checkParameterCommand(FuzzedDataProvider &input) {
    CommandProtocol::Parameters parameters;
    parameters.integrationCount = input.ConsumeIntegral<std::uint32_t>();
    parameters.gearCode = input.ConsumeIntegral<int>();
    parameters.positive = input.ConsumeBool();
    parameters.vonCode = voltageCode(input, true);
    parameters.voffCode = voltageCode(input, true);
    parameters.vbias1Code = voltageCode(input, false);
    parameters.vbias2Code = voltageCode(input, false);
    const CommandProtocol::ParameterCommand command = CommandProtocol::parameterCommand(parameters);
    const std::uint8_t head[] = {0xFF, 0xAA, 0xB0, 0x01, 0x00, 0x0D};
    FUZZ_CHECK(std::memcmp(command.data(), head, sizeof head) == 0);
    FUZZ_CHECK(command[19] == CommandProtocol::checkByte(command.data(), 19));
    FUZZ_CHECK(command[20] == 0x0D);
    FUZZ_CHECK(command[10] == (parameters.positive ? 1 : 0));
}

// The acknowledgement exchange on a link whose receive queue fills in the input's pieces, one more at
// each status call the exchange makes.
void checkExchange(FuzzedDataProvider &input) {
    const CommandProtocol::Command &expected =
        input.ConsumeBool() ? CommandProtocol::handshakeAck : CommandProtocol::parameterAck;
    const auto bufferSize = input.ConsumeBool() ? std::size_t{CommandProtocol::handshakeBufferSize}
                                                : input.ConsumeIntegralInRange<std::size_t>(0, 300);
    ScriptedLink link;
    std::vector<std::uint8_t> first;
    for (int call = 0; call < CommandProtocol::acknowledgementReads + 2 && input.remaining_bytes() > 0; ++call) {
        std::vector<std::uint8_t> piece =
            input.ConsumeBytes<std::uint8_t>(input.ConsumeIntegralInRange<std::size_t>(0, 40));
        if (call == 0) {
            first = piece;
        }
        link.queue(std::move(piece), call);
    }

    LinkExchange exchange;
    int answers = 0;
    bool acknowledged = false;
    exchange.awaitAcknowledgement(link, &link, expected, bufferSize, 0, [&](bool ack) {
        ++answers;
        acknowledged = ack;
    });
    while (answers == 0) {
        QCoreApplication::processEvents();
    }
    QCoreApplication::processEvents();
    FUZZ_CHECK(answers == 1);
    FUZZ_CHECK(link.reads() <= CommandProtocol::acknowledgementReads);
    FUZZ_CHECK(link.writes().empty());
    // An acknowledgement that is waiting at the first read, at the start of the queue, is always seen.
    if (CommandProtocol::startsWith(first, expected)) {
        FUZZ_CHECK(acknowledged);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv) {
    // The exchange waits on the event loop's timers.
    static QCoreApplication app(*argc, *argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    switch (input.ConsumeIntegralInRange(0, 2)) {
        case 0:
            checkRecognition(input.ConsumeRemainingBytes<std::uint8_t>());
            break;
        case 1:
            checkParameterCommand(input);
            break;
        default:
            checkExchange(input);
            break;
    }
    return 0;
}
