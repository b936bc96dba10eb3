#include "full_preset.h"
#include "hex.h"
#include "parser_chain.h"
#include "preset.pb.h"
#include "preset_related.h"

#include <QtTest>

using link_test::bytes;
using link_test::hex;

class test_payload : public QObject {
    Q_OBJECT

private slots:
    void nibble_encoding_data() {
        QTest::addColumn<QByteArray>("payload");
        QTest::addColumn<QString>("body");
        QTest::newRow("12 34, low nibble first") << bytes("12 34") << "02 01 04 03";
        QTest::newRow("FF") << bytes("FF") << "0F 0F";
        QTest::newRow("A7") << bytes("A7") << "07 0A";
        QTest::newRow("negative chars are not sign-extended")
            << bytes("80 7F 00") << "00 08 0F 07 00 00";
        QTest::newRow("empty") << QByteArray() << "";
        // The preset id field is the encoding of the id's two bytes, low byte first.
        QTest::newRow("id 0") << bytes("00 00") << "00 00 00 00";
        QTest::newRow("id 1") << bytes("01 00") << "01 00 00 00";
        QTest::newRow("id 256") << bytes("00 01") << "00 00 01 00";
        QTest::newRow("id 0x1234") << bytes("34 12") << "04 03 02 01";
    }

    void nibble_encoding() {
        QFETCH(QByteArray, payload);
        QFETCH(QString, body);
        QCOMPARE(hex(byte_array_to_sys(payload)), body);
    }

    void preset_serialization() {
        const proto::Preset preset = link_test::full_preset(77);
        const QByteArray bytes = preset_to_byteArray(preset);
        QCOMPARE(bytes.toStdString(), preset.SerializeAsString());
        proto::Preset back;
        QVERIFY(back.ParseFromArray(bytes.constData(), bytes.size()));
        QCOMPARE(back.SerializeAsString(), preset.SerializeAsString());
    }

    void preset_without_its_id_is_serialized() {
        proto::Preset nameless_id;
        nameless_id.set_name("NO ID");
        QVERIFY(!nameless_id.IsInitialized());
        const QByteArray bytes = preset_to_byteArray(nameless_id);
        proto::Preset back;
        QVERIFY(back.ParsePartialFromArray(bytes.constData(), bytes.size()));
        QCOMPARE(back.name(), std::string("NO ID"));
        QVERIFY(!back.has_id());

        QVERIFY(preset_to_byteArray(proto::Preset{}).isEmpty());
    }

    // A preset export message from the synthesizer, read as the tool reads the port, gives
    // back the very preset.
    void preset_travels_through_both_parsers() {
        const proto::Preset sent = link_test::full_preset(130);
        const QByteArray body = byte_array_to_sys(preset_to_byteArray(sent));
        QVERIFY2(body.size() > 2000, "the preset spans several chunks of the stream parser");
        const QByteArray wire = bytes("F0 00 2B 17 00 04 0A") + body + bytes("F7");

        quillmar::midi_parser_buffered<1000> midi;
        quillmar::sysex_parser_buffered<1> device;
        quillmar::chain_parsers(midi, device);
        struct received {
            QByteArray payload;
            int starts = 0;
            int ends = 0;
        } r;
        device.set_preset_export_start_listener([&r] { ++r.starts; });
        device.set_preset_export_data_listener([&r](std::span<std::byte> block) {
            for (const std::byte b : block) {
                r.payload.append(static_cast<char>(b));
            }
        });
        device.set_preset_export_end_listener([&r] { ++r.ends; });
        for (const char c : wire) {
            midi.parse(static_cast<std::byte>(c));
        }
        QCOMPARE(r.starts, 1);
        QCOMPARE(r.ends, 1);
        proto::Preset got;
        QVERIFY(got.ParseFromArray(r.payload.constData(), r.payload.size()));
        QCOMPARE(got.SerializeAsString(), sent.SerializeAsString());
    }
};

QTEST_APPLESS_MAIN(test_payload)
#include "test_payload.moc"
