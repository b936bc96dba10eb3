// The stand-in's own framer: which byte streams make which messages.

#include "device_framer.h"

#include <QtTest>

using quillmar::standin::device_framer;
using quillmar::standin::message;

namespace {

// Feeds every byte and returns the raw bytes of each message that came out.
QList<QByteArray> frames_of(const QByteArray& stream) {
    device_framer framer;
    QList<QByteArray> frames;
    for (const char c : stream) {
        if (auto m = framer.push(std::byte{static_cast<unsigned char>(c)})) {
            frames.append(m->raw);
        }
    }
    return frames;
}

} // namespace

class tst_device_framer : public QObject {
    Q_OBJECT

private slots:
    void frames_data();
    void frames();
    void message_parts();
    void completes_only_at_the_end_byte();
};

void tst_device_framer::frames_data() {
    QTest::addColumn<QByteArray>("stream");
    QTest::addColumn<QList<QByteArray>>("expected");
    const QByteArray request = QByteArray::fromHex("f0002b17000400f7");

    // A plain request comes out unchanged.
    QTest::newRow("bodyless request") << request << QList<QByteArray>{request};
    // Two requests back to back.
    QTest::newRow("two in a row") << request + request << QList<QByteArray>{request, request};
    // Timing clock and active sensing between every byte; the raw bytes leave them out.
    QTest::newRow("real-time bytes inside")
        << QByteArray::fromHex("f0f800fe2bff1700f804fe00f8f7") << QList<QByteArray>{request};
    // A new F0 drops the unfinished frame before it.
    QTest::newRow("F0 restarts a frame")
        << QByteArray::fromHex("f0002b17f0002b17000400f7") << QList<QByteArray>{request};
    // A note-on status byte in the body drops the frame; its data bytes are not a frame.
    QTest::newRow("voice status breaks a frame")
        << QByteArray::fromHex("f0002b17000408909000f7") << QList<QByteArray>{};
    // Tune request (F6), a system common byte, breaks a frame too.
    QTest::newRow("system common breaks a frame")
        << QByteArray::fromHex("f0002b170004f600f7") + request << QList<QByteArray>{request};
    // Another manufacturer: the frame is dropped and its F7 ends nothing.
    QTest::newRow("foreign manufacturer")
        << QByteArray::fromHex("f0002b18000400f7") << QList<QByteArray>{};
    // Another device id and another model id.
    QTest::newRow("foreign device")
        << QByteArray::fromHex("f0002b17010400f7") << QList<QByteArray>{};
    QTest::newRow("foreign model")
        << QByteArray::fromHex("f0002b17000500f7") << QList<QByteArray>{};
    // The header ends before the command byte.
    QTest::newRow("no command byte")
        << QByteArray::fromHex("f0002b170004f7") << QList<QByteArray>{};
    // F7 right after F0, and data and F7 outside any frame.
    QTest::newRow("empty and stray")
        << QByteArray::fromHex("f0f70102f7f7") + request << QList<QByteArray>{request};
    // A command byte beyond the table is still a frame; answering is not the framer's job.
    QTest::newRow("unknown command") << QByteArray::fromHex("f0002b1700040ef7")
                                     << QList<QByteArray>{QByteArray::fromHex("f0002b1700040ef7")};
}

void tst_device_framer::frames() {
    QFETCH(QByteArray, stream);
    QFETCH(QList<QByteArray>, expected);
    QCOMPARE(frames_of(stream), expected);
}

void tst_device_framer::message_parts() {
    // An export request for index 0x1234, with real-time bytes scattered in.
    device_framer framer;
    std::optional<message> out;
    for (const char c : QByteArray::fromHex("f0002b17000408f804030201fef7")) {
        out = framer.push(std::byte{static_cast<unsigned char>(c)});
    }
    QVERIFY(out.has_value());
    QCOMPARE(out->command, quillmar::protocol::command::preset_export_request);
    QCOMPARE(out->body, QByteArray::fromHex("04030201"));
    QCOMPARE(out->raw, QByteArray::fromHex("f0002b1700040804030201f7"));
    QVERIFY(!framer.in_frame());
}

void tst_device_framer::completes_only_at_the_end_byte() {
    // Byte by byte: nothing comes out until F7, and the framer is inside a frame from F0 on.
    const QByteArray stream = QByteArray::fromHex("f0002b1700040b0102f7");
    device_framer framer;
    for (int i = 0; i < stream.size(); ++i) {
        const bool last = i == stream.size() - 1;
        const auto out = framer.push(std::byte{static_cast<unsigned char>(stream[i])});
        QCOMPARE(out.has_value(), last);
        QCOMPARE(framer.in_frame(), !last);
    }
}

QTEST_GUILESS_MAIN(tst_device_framer)
#include "tst_device_framer.moc"
