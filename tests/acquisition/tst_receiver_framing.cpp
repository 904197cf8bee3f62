// Cutting frames out of the byte stream, and where each pixel sits in a frame and in the picture.

#include <QTemporaryDir>
#include <QTest>

#include "FrameCutter.h"
#include "ReceiverTestSupport.h"
#include "ReceiverThread.h"

using namespace receivertest;

Q_DECLARE_METATYPE(receivertest::Bytes)

namespace {

// Pixel codes that differ from pixel to pixel and from record to record.
int patternCode(int pixel) {
    return (pixel * 7919 + 13) & 0xFFFF;
}

Bytes patternRecord() {
    return makeRecord(patternCode);
}

Bytes filler(std::size_t count, std::uint8_t value) {
    return Bytes(count, value);
}

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes &part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

}  // namespace

class TestReceiverFraming : public QObject {
    Q_OBJECT

private slots:
    void cut_data();
    void cut();
    void cutAlwaysEmptiesTheStream();
    void pixelOffsets_data();
    void pixelOffsets();

private:
    QTemporaryDir m_settingsDir;
};

void TestReceiverFraming::cut_data() {
    QTest::addColumn<Bytes>("stream");
    QTest::addColumn<bool>("expectFrame");
    QTest::addColumn<int>("framePosition");  // stream offset of the frame's first byte

    const Bytes record = patternRecord();
    QTest::newRow("record alone") << record << true << 6;
    QTest::newRow("1 leading byte") << concat({filler(1, 0x00), record}) << true << 7;
    QTest::newRow("8 leading bytes (an unread reply)")
        << concat({Bytes{0xFF, 0xCC, 0xA0, 0x04, 0x0B, 0xB8, 0x7A, 0x0D}, record}) << true << 14;
    QTest::newRow("500 leading bytes") << concat({filler(500, 0xAB), record}) << true << 506;
    QTest::newRow("trailing bytes are discarded") << concat({record, filler(300, 0x55)}) << true << 6;
    QTest::newRow("header and pixels only, no closing bytes")
        << Bytes(record.begin(), record.begin() + 8198) << true << 6;
    QTest::newRow("one pixel byte short") << Bytes(record.begin(), record.begin() + 8197) << false << -1;
    // Ten bytes ahead of the record make the total reach 8200 before the record's last ten bytes are in.
    const Bytes early = concat({filler(10, 0x01), record});
    QTest::newRow("leading bytes push the end out") << Bytes(early.begin(), early.begin() + 8200) << false << -1;
    QTest::newRow("no header") << filler(8200, 0x00) << false << -1;
    QTest::newRow("header without its last byte")
        << concat({Bytes{0xFF, 0xCC, 0xC0, 0x01, 0x20}, filler(8200, 0x11)}) << false << -1;
    QTest::newRow("empty stream") << Bytes{} << false << -1;
    QTest::newRow("shorter than a header") << Bytes{0xFF, 0xCC, 0xC0} << false << -1;

    // Pixel codes that spell the header: the record's own header comes first and wins.
    Bytes disguised = record;
    std::copy(kHeader.begin(), kHeader.end(), disguised.begin() + 6 + 200);
    QTest::newRow("header pattern inside the pixels") << disguised << true << 6;
    // A stray header ahead of the record is the leftmost one and is used.
    QTest::newRow("stray header ahead of the record") << concat({kHeader, filler(4, 0x00), record}) << true << 6;
}

void TestReceiverFraming::cut() {
    QFETCH(Bytes, stream);
    QFETCH(bool, expectFrame);
    QFETCH(int, framePosition);

    const std::vector<unsigned char> sync(kHeader.begin(), kHeader.end());
    std::vector<unsigned char> buffer(stream.begin(), stream.end());
    std::vector<unsigned char> frame(kRecordLength, 0xEE);

    QCOMPARE(FrameCutter::cut(buffer, sync, frame), expectFrame);
    QVERIFY(buffer.empty());
    if (expectFrame) {
        QVERIFY(std::equal(frame.begin(), frame.begin() + 8192, stream.begin() + framePosition));
    } else {
        QVERIFY(std::all_of(frame.begin(), frame.begin() + 8192, [](unsigned char b) { return b == 0xEE; }));
    }
    // The bytes behind the pixel codes are never written.
    QVERIFY(std::all_of(frame.begin() + 8192, frame.end(), [](unsigned char b) { return b == 0xEE; }));
}

void TestReceiverFraming::cutAlwaysEmptiesTheStream() {
    // The stream keeps its storage, so a steady stream does not allocate per frame.
    const std::vector<unsigned char> sync(kHeader.begin(), kHeader.end());
    const Bytes record = patternRecord();
    std::vector<unsigned char> stream(record.begin(), record.end());
    const std::size_t capacity = stream.capacity();
    std::vector<unsigned char> frame(kRecordLength, 0);
    QVERIFY(FrameCutter::cut(stream, sync, frame));
    QVERIFY(stream.empty());
    QCOMPARE(stream.capacity(), capacity);
    QCOMPARE(PixelConversion::codeAt(frame.data(), 4095), patternCode(4095));
}

void TestReceiverFraming::pixelOffsets_data() {
    QTest::addColumn<int>("x");
    QTest::addColumn<int>("y");
    QTest::addColumn<int>("byteOffset");
    QTest::newRow("(0,0)") << 0 << 0 << 0;
    QTest::newRow("(63,0)") << 63 << 0 << 126;
    QTest::newRow("(0,1)") << 0 << 1 << 128;
    QTest::newRow("(63,63)") << 63 << 63 << 8190;
    QTest::newRow("(17,40)") << 17 << 40 << 2 * (17 + 64 * 40);
}

void TestReceiverFraming::pixelOffsets() {
    QFETCH(int, x);
    QFETCH(int, y);
    QFETCH(int, byteOffset);
    QVERIFY(m_settingsDir.isValid());
    isolateSettings(m_settingsDir.path());

    // Every pixel reads 0 nA (black) except the one under test, which is at the range (white).
    std::vector<unsigned char> frame = uniformFrame(32768);
    frame[byteOffset] = 0x7F;
    frame[byteOffset + 1] = 0xFF;
    QCOMPARE(PixelConversion::codeAt(frame.data(), x + 64 * y), 0x7FFF);

    ReceiverThread worker;
    worker.m_currentMode = true;
    worker.m_integralTime = 64000.0;
    worker.m_integralCurrent = 9.6;
    worker.m_currentRange = 150;
    const QImage image = worker.renderFrame(frame);
    QCOMPARE(image.format(), QImage::Format_Grayscale8);
    for (int row = 0; row < 64; ++row) {
        for (int column = 0; column < 64; ++column) {
            const int expected = (row == y && column == x) ? 255 : 0;
            QCOMPARE(int(image.constScanLine(row)[column]), expected);
        }
    }
}

QTEST_GUILESS_MAIN(TestReceiverFraming)
#include "tst_receiver_framing.moc"
