// Building and taking apart message bytes: nibbles, preset ids, whole messages, CRC-8.

#include "wire.h"

#include <QtTest>

using namespace quillmar::standin;
using quillmar::protocol::command;

class tst_wire : public QObject {
    Q_OBJECT

private slots:
    void nibbles_data();
    void nibbles();
    void decoding_ignores_upper_bits();
    void odd_body_does_not_decode();
    void preset_ids_data();
    void preset_ids();
    void messages_data();
    void messages();
    void crc_data();
    void crc();
};

void tst_wire::nibbles_data() {
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<QByteArray>("body");
    // Low nibble first, then the high one.
    QTest::newRow("two bytes") << QByteArray::fromHex("1234") << QByteArray::fromHex("02010403");
    QTest::newRow("all bits") << QByteArray::fromHex("ff") << QByteArray::fromHex("0f0f");
    QTest::newRow("A7") << QByteArray::fromHex("a7") << QByteArray::fromHex("070a");
    QTest::newRow("empty") << QByteArray() << QByteArray();
}

void tst_wire::nibbles() {
    QFETCH(QByteArray, payload);
    QFETCH(QByteArray, body);
    QCOMPARE(encode_nibbles(payload), body);
    bool complete = false;
    QCOMPARE(decode_nibbles(body, &complete), payload);
    QVERIFY(complete);
}

void tst_wire::decoding_ignores_upper_bits() {
    QCOMPARE(decode_nibbles(QByteArray::fromHex("172a")), QByteArray::fromHex("a7"));
}

void tst_wire::odd_body_does_not_decode() {
    bool complete = true;
    QCOMPARE(decode_nibbles(QByteArray::fromHex("020104"), &complete), QByteArray());
    QVERIFY(!complete);
}

void tst_wire::preset_ids_data() {
    QTest::addColumn<int>("index");
    QTest::addColumn<QByteArray>("field");
    QTest::newRow("0") << 0 << QByteArray::fromHex("00000000");
    QTest::newRow("1") << 1 << QByteArray::fromHex("01000000");
    QTest::newRow("255") << 255 << QByteArray::fromHex("0f0f0000");
    QTest::newRow("256") << 256 << QByteArray::fromHex("00000100");
    QTest::newRow("0x1234") << 0x1234 << QByteArray::fromHex("04030201");
}

void tst_wire::preset_ids() {
    QFETCH(int, index);
    QFETCH(QByteArray, field);
    QCOMPARE(encode_preset_id(static_cast<std::uint16_t>(index)), field);
}

void tst_wire::messages_data() {
    QTest::addColumn<int>("command");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("connection request") << int(command::connection_request) << QByteArray()
                                        << QByteArray::fromHex("f0002b17000400f7");
    QTest::newRow("import failed") << int(command::preset_import_failed) << QByteArray()
                                   << QByteArray::fromHex("f0002b1700040df7");
    QTest::newRow("export request for 256")
        << int(command::preset_export_request) << QByteArray::fromHex("00000100")
        << QByteArray::fromHex("f0002b1700040800000100f7");
}

void tst_wire::messages() {
    QFETCH(int, command);
    QFETCH(QByteArray, body);
    QFETCH(QByteArray, bytes);
    QCOMPARE(make_message(static_cast<quillmar::protocol::command>(command), body), bytes);
}

void tst_wire::crc_data() {
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("crc");
    QTest::newRow("check value over 1 to 9") << QByteArray("123456789") << 0xA2;
    QTest::newRow("nibbles of 12 34") << QByteArray::fromHex("02010403") << 0x91;
    QTest::newRow("nibbles of FF") << QByteArray::fromHex("0f0f") << 0xB7;
    QTest::newRow("nothing") << QByteArray() << 0x00;
}

void tst_wire::crc() {
    QFETCH(QByteArray, bytes);
    QFETCH(int, crc);
    QCOMPARE(int(crc8(bytes)), crc);
}

QTEST_GUILESS_MAIN(tst_wire)
#include "tst_wire.moc"
