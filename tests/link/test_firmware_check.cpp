// The check a firmware image passes before the tool sends it: framing, nibbles, CRC.

#include "firmware_check.h"
#include "firmware_image.h"
#include "hex.h"
#include "splitmix64.h"

#include <QtTest>

#include <span>

using link_test::bytes;
using verdict = quillmar::protocol::firmware_image_verdict;

Q_DECLARE_METATYPE(verdict)

namespace {

verdict check(const QByteArray& image) {
    return quillmar::protocol::check_firmware_image(std::as_bytes(
        std::span<const char>(image.constData(), static_cast<std::size_t>(image.size()))));
}

} // namespace

class test_firmware_check : public QObject {
    Q_OBJECT

private slots:
    void hex_rows_data() {
        QTest::addColumn<QByteArray>("image");
        QTest::addColumn<verdict>("expected");
        // header | 05 firmware_update | CRC 0x91 as 01 09 | 12 34 as 02 01 04 03 | F7
        QTest::newRow("good image")
            << bytes("F0 00 2B 17 00 04 05 01 09 02 01 04 03 F7") << verdict::intact;
        // header | 05 | CRC 0x2E as 0E 02 | DE AD BE EF as 0E 0D 0D 0A 0E 0B 0F 0E | F7
        QTest::newRow("good image, four firmware bytes")
            << bytes("F0 00 2B 17 00 04 05 0E 02 0E 0D 0D 0A 0E 0B 0F 0E F7") << verdict::intact;
        // header | 05 | CRC 0x75 as 05 07 | A7 as 07 0A | F7: the smallest image
        QTest::newRow("good image, one firmware byte")
            << bytes("F0 00 2B 17 00 04 05 05 07 07 0A F7") << verdict::intact;
        // The four-byte image cut after its ninth body byte: no F7.
        QTest::newRow("truncated in the middle")
            << bytes("F0 00 2B 17 00 04 05 0E 02 0E 0D 0D 0A 0E") << verdict::no_end;
        // The good image without its last byte.
        QTest::newRow("no end byte")
            << bytes("F0 00 2B 17 00 04 05 01 09 02 01 04 03") << verdict::no_end;
        // Bytes of no message at all.
        QTest::newRow("random bytes")
            << bytes("9C 3E 71 05 D2 8B 44 F0 1A 67 BB 02 F7") << verdict::wrong_header;
        // Model id 05 instead of 04.
        QTest::newRow("wrong header")
            << bytes("F0 00 2B 17 00 05 05 01 09 02 01 04 03 F7") << verdict::wrong_header;
        // Another manufacturer.
        QTest::newRow("wrong manufacturer")
            << bytes("F0 00 2B 18 00 04 05 01 09 02 01 04 03 F7") << verdict::wrong_header;
        // 0B preset_import with the very body of the good image.
        QTest::newRow("wrong command")
            << bytes("F0 00 2B 17 00 04 0B 01 09 02 01 04 03 F7") << verdict::wrong_command;
        // The data byte 04 became 14.
        QTest::newRow("non-nibble data byte")
            << bytes("F0 00 2B 17 00 04 05 01 09 02 01 14 03 F7") << verdict::not_nibbles;
        // A CRC nibble byte with its upper bits set.
        QTest::newRow("non-nibble CRC byte")
            << bytes("F0 00 2B 17 00 04 05 01 19 02 01 04 03 F7") << verdict::not_nibbles;
        // An end byte inside the body: two messages glued together.
        QTest::newRow("end byte inside the body")
            << bytes("F0 00 2B 17 00 04 05 01 09 02 01 F7 04 03 F7") << verdict::not_nibbles;
        // CRC 0x92 carried, 0x91 computed.
        QTest::newRow("bad CRC") << bytes("F0 00 2B 17 00 04 05 02 09 02 01 04 03 F7")
                                 << verdict::crc_mismatch;
        // Data nibbles swapped: the same bytes in another order.
        QTest::newRow("data in another order")
            << bytes("F0 00 2B 17 00 04 05 01 09 01 02 04 03 F7") << verdict::crc_mismatch;
        // Three data nibbles: half a firmware byte left over.
        QTest::newRow("odd body length")
            << bytes("F0 00 2B 17 00 04 05 01 09 02 01 04 F7") << verdict::odd_data;
        // header | 05 | CRC 00 00 | F7: a message without firmware bytes.
        QTest::newRow("no firmware bytes")
            << bytes("F0 00 2B 17 00 04 05 00 00 F7") << verdict::too_short;
        QTest::newRow("bodyless message") << bytes("F0 00 2B 17 00 04 05 F7") << verdict::too_short;
        QTest::newRow("empty") << QByteArray() << verdict::too_short;
    }
    void hex_rows() {
        QFETCH(QByteArray, image);
        QFETCH(verdict, expected);
        QCOMPARE(check(image), expected);
    }

    // The image that ships beside the tool passes; what a broken copy or download of it
    // would leave does not.
    void the_shipped_image_data() {
        QTest::addColumn<QByteArray>("image");
        QTest::addColumn<verdict>("expected");
        const QByteArray image = quillmar::standin::make_firmware_image();
        QTest::newRow("whole") << image << verdict::intact;
        QTest::newRow("cut in half") << image.left(image.size() / 2) << verdict::no_end;
        QTest::newRow("end byte lost") << image.chopped(1) << verdict::no_end;
        QByteArray flipped = image;
        flipped[flipped.size() / 2] = static_cast<char>(flipped[flipped.size() / 2] ^ 0x01);
        QTest::newRow("one data bit flipped") << flipped << verdict::crc_mismatch;
        QByteArray noise(image.size(), Qt::Uninitialized);
        quillmar::standin::splitmix64 random(0x5EED);
        for (char& c : noise) {
            c = static_cast<char>(random.next() & 0xFFu);
        }
        QTest::newRow("as many random bytes") << noise << verdict::wrong_header;
        // Random bytes between a good header and an end byte still fail.
        QTest::newRow("random body")
            << image.left(7) + noise.mid(7, noise.size() - 8) + image.right(1)
            << verdict::not_nibbles;
    }
    void the_shipped_image() {
        QFETCH(QByteArray, image);
        QFETCH(verdict, expected);
        QCOMPARE(check(image), expected);
    }
};

QTEST_APPLESS_MAIN(test_firmware_check)
#include "test_firmware_check.moc"
