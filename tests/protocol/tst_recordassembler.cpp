// Deciding when a record is in and cutting it: stray bytes ahead of records, records in fixed-size and
// random pieces, short reads, headers split between reads, and records that never complete.

#include <deque>
#include <functional>

#include <QRandomGenerator>
#include <QTest>

#include "RecordAssembler.h"
#include "WireFormat.h"

using Bytes = std::vector<unsigned char>;
using Progress = RecordAssembler::Progress;

namespace {

// What one read brought: the bytes, and how many were asked for (more when the read came back short).
struct Piece {
    Bytes bytes;
    std::uint32_t asked = 0;
};
using Pieces = std::vector<Piece>;

const Bytes kHeader(wire::syncPattern.begin(), wire::syncPattern.end());

// A record whose pixel codes depend on `seed`, so records are told apart by their frames.
Bytes makeRecord(int seed) {
    Bytes record = kHeader;
    for (std::size_t i = 0; i < wire::frameBytes; ++i) {
        record.push_back(static_cast<unsigned char>((i * 31 + static_cast<std::size_t>(seed) * 97 + 5) & 0xFF));
    }
    record.push_back(0x00);
    record.push_back(0x0D);
    return record;
}

Bytes frameOf(const Bytes &record) {
    return Bytes(record.begin() + 6, record.begin() + 6 + static_cast<std::ptrdiff_t>(wire::frameBytes));
}

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes &part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

Bytes slice(const Bytes &bytes, std::size_t from, std::size_t to) {
    return Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(from), bytes.begin() + static_cast<std::ptrdiff_t>(to));
}

Piece whole(const Bytes &bytes) {
    return Piece{bytes, static_cast<std::uint32_t>(bytes.size())};
}

// Cuts `bytes` into pieces of `size` (the last one shorter), as a link delivers them.
std::deque<Bytes> inPieces(const Bytes &bytes, std::size_t size) {
    std::deque<Bytes> pieces;
    for (std::size_t at = 0; at < bytes.size(); at += size) {
        pieces.push_back(slice(bytes, at, std::min(bytes.size(), at + size)));
    }
    return pieces;
}

// The read loop in miniature: the answer to a request arrives as pieces, one piece per read, and is cut
// when the assembler says it is settled; only then does the next answer start coming (it is sent in reply
// to the request written after the cut). Returns the frames of the cuts in order (empty for a cut without
// a frame); `cuts` counts them.
std::vector<Bytes> runExchange(const std::vector<std::vector<Bytes>> &answers,
                               const std::function<std::size_t()> &pieceSize, int *cuts) {
    RecordAssembler assembler;
    std::vector<Bytes> frames;
    std::deque<Bytes> queue;
    std::size_t next = 0;
    const auto request = [&] {
        if (next < answers.size()) {
            // Each part of an answer (stray bytes read apart, the record) comes in its own pieces.
            for (const Bytes &part : answers[next++]) {
                for (Bytes &piece : inPieces(part, pieceSize())) {
                    queue.push_back(std::move(piece));
                }
            }
        }
    };
    *cuts = 0;
    request();
    while (!queue.empty()) {
        const Bytes piece = queue.front();
        queue.pop_front();
        assembler.append(piece.data(), piece.size(), static_cast<std::uint32_t>(piece.size()));
        if (assembler.readyToCut()) {
            Bytes frame(wire::recordLength, 0);
            ++*cuts;
            frames.push_back(assembler.cut(frame) ? Bytes(frame.begin(), frame.begin() + wire::frameBytes) : Bytes{});
            request();
        }
    }
    return frames;
}

}  // namespace

Q_DECLARE_METATYPE(Pieces)
Q_DECLARE_METATYPE(Progress)

class TestRecordAssembler : public QObject {
    Q_OBJECT

private slots:
    void progress_data();
    void progress();
    void strayBytesAheadOfRecordsInFixedPieces_data();
    void strayBytesAheadOfRecordsInFixedPieces();
    void randomPiecesAndStrayBytes();
    void cutStartsAfresh();
};

void TestRecordAssembler::progress_data() {
    QTest::addColumn<Pieces>("pieces");
    QTest::addColumn<Progress>("expected");
    // Where a cut finds the frame in all the bytes fed (-1 for none), whether or not it is time to cut.
    QTest::addColumn<int>("frameAt");

    const Bytes record = makeRecord(1);
    const Bytes reply{0xFF, 0xCC, 0xA0, 0x04, 0x0B, 0xB8, 0x7A, 0x0D};
    QTest::newRow("record in one read") << Pieces{whole(record)} << Progress::Complete << 6;
    QTest::newRow("one byte short of a record") << Pieces{whole(slice(record, 0, 8199))} << Progress::Gathering << 6;
    QTest::newRow("nothing yet") << Pieces{} << Progress::Gathering << -1;
    // Stray bytes make the total reach a record while its end is still on the way: not cut yet ...
    QTest::newRow("10 stray bytes, record's end missing")
        << Pieces{whole(Bytes(10, 0x11)), whole(slice(record, 0, 8190))} << Progress::AwaitingRest << -1;
    // ... until the frame is in; the closing bytes are not waited for.
    QTest::newRow("10 stray bytes, frame complete, closing bytes missing")
        << Pieces{whole(Bytes(10, 0x11)), whole(slice(record, 0, 8198))} << Progress::Complete << 16;
    QTest::newRow("unread reply ahead, whole record")
        << Pieces{whole(reply), whole(slice(record, 0, 5000)), whole(slice(record, 5000, 8200))} << Progress::Complete
        << 14;
    // A read that returns less than it asked for counts in full, and the rest is waited for.
    QTest::newRow("short read") << Pieces{Piece{slice(record, 0, 5000), 8200}} << Progress::AwaitingRest << -1;
    QTest::newRow("short read, then the rest")
        << Pieces{Piece{slice(record, 0, 5000), 8200}, whole(slice(record, 5000, 8200))} << Progress::Complete << 6;
    QTest::newRow("header split between reads")
        << Pieces{whole(concat({Bytes(40, 0x00), slice(record, 0, 3)})), whole(slice(record, 3, 8200))}
        << Progress::Complete << 46;
    QTest::newRow("header split one byte at a time")
        << Pieces{whole(Bytes{0x55}), whole(slice(record, 0, 1)), whole(slice(record, 1, 2)),
                  whole(slice(record, 2, 5)), whole(slice(record, 5, 8200))}
        << Progress::Complete << 7;
    QTest::newRow("no header") << Pieces{whole(Bytes(8200, 0x00))} << Progress::NoHeader << -1;
    QTest::newRow("header without its last byte")
        << Pieces{whole(concat({slice(kHeader, 0, 5), Bytes(8200, 0x11)}))} << Progress::NoHeader << -1;
    // The leftmost header wins, as in every cut.
    QTest::newRow("stray header ahead of the record")
        << Pieces{whole(concat({kHeader, Bytes(4, 0x00), record}))} << Progress::Complete << 6;
    Bytes disguised = record;
    std::copy(kHeader.begin(), kHeader.end(), disguised.begin() + 206);
    QTest::newRow("header pattern inside the pixels") << Pieces{whole(disguised)} << Progress::Complete << 6;
}

void TestRecordAssembler::progress() {
    QFETCH(Pieces, pieces);
    QFETCH(Progress, expected);
    QFETCH(int, frameAt);

    RecordAssembler assembler;
    Bytes fed;
    for (const Piece &piece : pieces) {
        assembler.append(piece.bytes.data(), piece.bytes.size(), piece.asked);
        fed.insert(fed.end(), piece.bytes.begin(), piece.bytes.end());
    }
    QCOMPARE(assembler.progress(), expected);
    QCOMPARE(assembler.readyToCut(), expected == Progress::Complete || expected == Progress::NoHeader);
    QCOMPARE(assembler.bufferedBytes(), fed.size());

    Bytes frame(wire::recordLength, 0xEE);
    QCOMPARE(assembler.cut(frame), frameAt >= 0);
    if (frameAt >= 0) {
        QVERIFY(std::equal(frame.begin(), frame.begin() + wire::frameBytes, fed.begin() + frameAt));
    } else {
        QVERIFY(std::all_of(frame.begin(), frame.end(), [](unsigned char b) { return b == 0xEE; }));
    }
    // Whatever the cut found, the next record starts from nothing.
    QCOMPARE(assembler.bufferedBytes(), std::size_t(0));
    QCOMPARE(assembler.reportedBytes(), std::int64_t(0));
    QCOMPARE(assembler.progress(), Progress::Gathering);
}

void TestRecordAssembler::strayBytesAheadOfRecordsInFixedPieces_data() {
    QTest::addColumn<int>("piece");
    QTest::addColumn<int>("stray");
    QTest::addColumn<bool>("strayApart");  // the stray bytes are read on their own, not in the first piece
    for (const int piece : {64, 510, 512, 4096}) {
        for (const int stray : {0, 1, 2, 10, 40, 64, 509, 511, 600}) {
            QTest::addRow("pieces of %d, %d stray bytes apart", piece, stray) << piece << stray << true;
            QTest::addRow("pieces of %d, %d stray bytes in them", piece, stray) << piece << stray << false;
        }
    }
}

void TestRecordAssembler::strayBytesAheadOfRecordsInFixedPieces() {
    // Stray bytes ahead of every record, every answer arriving in fixed-size pieces: every record yields
    // its own frame, with one cut per record.
    QFETCH(int, piece);
    QFETCH(int, stray);
    QFETCH(bool, strayApart);
    constexpr int records = 12;
    std::vector<std::vector<Bytes>> answers;
    for (int i = 0; i < records; ++i) {
        const Bytes strayBytes(i % 3 == 2 ? 0 : std::size_t(stray), 0xA5);
        if (strayApart) {
            answers.push_back({strayBytes, makeRecord(i)});
        } else {
            answers.push_back({concat({strayBytes, makeRecord(i)})});
        }
    }
    int cuts = 0;
    const std::vector<Bytes> frames = runExchange(
        answers, [piece] { return std::size_t(piece); }, &cuts);
    QCOMPARE(cuts, records);
    QCOMPARE(int(frames.size()), records);
    for (int i = 0; i < records; ++i) {
        QVERIFY2(frames[i] == frameOf(makeRecord(i)), qPrintable(QStringLiteral("record %1").arg(i)));
    }
}

void TestRecordAssembler::randomPiecesAndStrayBytes() {
    // Any splitting of the bytes and any stray prefix short of a record: every record still yields its frame.
    // Stray bytes include bits of headers and replies, but never a whole header.
    QRandomGenerator random(20240611);
    const Bytes strayAlphabet{0xFF, 0xCC, 0xC0, 0x01, 0x20, 0x0D, 0x00, 0xAA};
    for (int round = 0; round < 200; ++round) {
        std::vector<std::vector<Bytes>> answers;
        for (int i = 0; i < 4; ++i) {
            Bytes stray(static_cast<std::size_t>(random.bounded(800)));
            for (unsigned char &byte : stray) {
                byte = strayAlphabet[random.bounded(static_cast<int>(strayAlphabet.size()))];
            }
            // A full header made of the alphabet would be a record of its own; break any such run.
            for (std::size_t at = 0; at + 6 <= stray.size(); ++at) {
                if (std::equal(kHeader.begin(), kHeader.end(), stray.begin() + static_cast<std::ptrdiff_t>(at))) {
                    stray[at] = 0x00;
                }
            }
            if (random.bounded(2) == 0) {
                answers.push_back({stray, makeRecord(round * 4 + i)});
            } else {
                answers.push_back({concat({stray, makeRecord(round * 4 + i)})});
            }
        }
        const int largest = 1 + random.bounded(6000);
        int cuts = 0;
        const std::vector<Bytes> frames = runExchange(
            answers, [&] { return static_cast<std::size_t>(1 + random.bounded(largest)); }, &cuts);
        QCOMPARE(cuts, 4);
        for (int i = 0; i < 4; ++i) {
            QVERIFY2(frames[i] == frameOf(makeRecord(round * 4 + i)),
                     qPrintable(QStringLiteral("round %1, record %2").arg(round).arg(i)));
        }
    }
}

void TestRecordAssembler::cutStartsAfresh() {
    // A header found before the cut is forgotten with it: the next record is searched for anew.
    RecordAssembler assembler;
    const Bytes first = makeRecord(3);
    const Bytes second = concat({Bytes(100, 0x00), makeRecord(4)});
    Bytes frame(wire::recordLength, 0);
    assembler.append(first.data(), first.size(), static_cast<std::uint32_t>(first.size()));
    QVERIFY(assembler.cut(frame));
    assembler.append(second.data(), 50, 50);
    QCOMPARE(assembler.progress(), Progress::Gathering);
    assembler.append(second.data() + 50, second.size() - 50, static_cast<std::uint32_t>(second.size() - 50));
    QCOMPARE(assembler.progress(), Progress::Complete);
    QVERIFY(assembler.cut(frame));
    QVERIFY(std::equal(frame.begin(), frame.begin() + wire::frameBytes, frameOf(makeRecord(4)).begin()));
}

QTEST_APPLESS_MAIN(TestRecordAssembler)
#include "tst_recordassembler.moc"
