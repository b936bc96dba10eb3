#include "hex.h"
#include "parser_chain.h"
#include "sysex_recorder.h"

#include <QtTest>

using link_test::bytes;
using link_test::sysex_recorder;
using quillmar::sysex_parser_buffered;

namespace {

// A row's messages are separated by '|'; each runs from sysex_start to sysex_end.
QList<QByteArray> messages(const char* row) {
    QList<QByteArray> out;
    for (const QByteArray& part : QByteArray(row).split('|')) {
        out << bytes(part.constData());
    }
    return out;
}

} // namespace

class test_sysex_parser : public QObject {
    Q_OBJECT

private slots:
    // The bytes after the manufacturer id; each event names the byte index or "end".
    void events_data() {
        QTest::addColumn<QByteArray>("row");
        QTest::addColumn<QStringList>("expected");
        const auto row = [](const char* name, const char* input, const QStringList& expected) {
            QTest::newRow(name) << QByteArray(input) << expected;
        };

        // Commands without body: the event waits for the end.
        const std::pair<const char*, const char*> bodiless[] = {
            {"00", "connection_request"},
            {"01", "connection_request_acked"},
            {"02", "firmware_update_request"},
            {"03", "firmware_update_request_acked"},
            {"04", "firmware_update_request_nacked"},
            {"06", "firmware_update_succeeded"},
            {"07", "firmware_update_failed"},
            {"09", "preset_export_request_nacked"},
            {"0C", "preset_import_succeeded"},
            {"0D", "preset_import_failed"},
        };
        for (const auto& [command, name] : bodiless) {
            QTest::addRow("bodiless %s", name)
                << QByteArray("00 04 ") + command << QStringList{QStringLiteral("end: ") + name};
        }

        // Malformed messages: one error at the fault, then unexpected_end at the end.
        row("byte after a bodiless command", "00 04 01 05",
            {"3: error unexpected_data", "end: error unexpected_end"});
        row("wrong device id", "01 04 00",
            {"0: error wrong_device_id", "end: error unexpected_end"});
        row("wrong model id", "00 05 01", {"1: error wrong_model_id", "end: error unexpected_end"});
        row("command 0E is invalid", "00 04 0E",
            {"2: error invalid_command", "end: error unexpected_end"});
        row("command 7F is invalid", "00 04 7F",
            {"2: error invalid_command", "end: error unexpected_end"});
        row("end right after start", "", {"end: error unexpected_end"});
        row("end before the command", "00 04", {"end: error unexpected_end"});
        row("end inside the CRC", "00 04 05 01", {"end: error unexpected_end"});

        // Preset id: four nibbles, least significant first; upper bits of each ignored.
        row("export request 258", "00 04 08 02 00 01 00", {"end: preset_export_request 258"});
        row("export request 0x1234", "00 04 08 04 03 02 01", {"end: preset_export_request 4660"});
        row("export request upper bits ignored", "00 04 08 14 73 22 71",
            {"end: preset_export_request 4660"});
        row("export request 65535", "00 04 08 0F 0F 0F 0F", {"end: preset_export_request 65535"});
        row("export request three id bytes", "00 04 08 02 00 01", {"end: error unexpected_end"});
        row("export request five id bytes", "00 04 08 02 00 01 00 00",
            {"7: error unexpected_data", "end: error unexpected_end"});

        // Preset bodies: a payload byte as soon as its high nibble arrives.
        row("export of 12 34", "00 04 0A 02 01 04 03",
            {"2: preset_export_start", "4: preset_export_data 12", "6: preset_export_data 34",
             "end: preset_export_end"});
        row("export with a lone last nibble", "00 04 0A 02 01 04",
            {"2: preset_export_start", "4: preset_export_data 12", "end: preset_export_data 04",
             "end: preset_export_end"});
        row("export after a lone nibble starts on a low nibble",
            "00 04 0A 02 01 04 | 00 04 0A 02 01",
            {"2: preset_export_start", "4: preset_export_data 12", "end: preset_export_data 04",
             "end: preset_export_end", "2: preset_export_start", "4: preset_export_data 12",
             "end: preset_export_end"});
        row("empty export", "00 04 0A", {"2: preset_export_start", "end: preset_export_end"});
        row("export nibble upper bits ignored", "00 04 0A 17 2A",
            {"2: preset_export_start", "4: preset_export_data A7", "end: preset_export_end"});
        row("import of 12", "00 04 0B 02 01",
            {"2: preset_import_start", "4: preset_import_data 12", "end: preset_import_end"});

        // Firmware body: CRC (bits 0-3 first), then data; the end only when the CRC matches.
        row("firmware 12 34", "00 04 05 01 09 02 01 04 03",
            {"4: firmware_update_start", "6: firmware_update_data 12", "8: firmware_update_data 34",
             "end: firmware_update_end"});
        row("firmware with a wrong CRC", "00 04 05 00 00 02 01 04 03",
            {"4: firmware_update_start", "6: firmware_update_data 12", "8: firmware_update_data 34",
             "end: error crc_mismatch"});
        row("firmware FF", "00 04 05 07 0B 0F 0F",
            {"4: firmware_update_start", "6: firmware_update_data FF", "end: firmware_update_end"});
        row("firmware without data", "00 04 05 00 00",
            {"4: firmware_update_start", "end: firmware_update_end"});
        row("firmware with odd nibbles", "00 04 05 0D 0D 0F 0F 05",
            {"4: firmware_update_start", "6: firmware_update_data FF",
             "end: firmware_update_data 05", "end: firmware_update_end"});
        row("firmware CRC over the bytes as received", "00 04 05 06 08 12 01",
            {"4: firmware_update_start", "6: firmware_update_data 12", "end: firmware_update_end"});
        row("firmware CRC of masked bytes differs", "00 04 05 01 09 12 01 04 03",
            {"4: firmware_update_start", "6: firmware_update_data 12", "8: firmware_update_data 34",
             "end: error crc_mismatch"});
    }

    void events() {
        QFETCH(QByteArray, row);
        QFETCH(QStringList, expected);
        sysex_parser_buffered<1> parser;
        sysex_recorder<1> r;
        r.attach(parser);
        // A parser without listeners takes the same messages without effect.
        sysex_parser_buffered<1> bare;
        for (const QByteArray& message : messages(row.constData())) {
            r.message(parser, message);
            QCOMPARE(parser.current_state(), sysex_parser_buffered<1>::state::waiting_for_start);
            r.message(bare, message);
        }
        QCOMPARE(r.events, expected);
    }

    // Blocks of N payload bytes go out when full; the rest at the end.
    void blocks_data() {
        QTest::addColumn<QByteArray>("row");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("nine bytes in blocks of four")
            << QByteArray("00 04 0A 01 00 02 00 03 00 04 00 05 00 06 00 07 00 08 00 09 00")
            << QStringList{"2: preset_export_start", "10: preset_export_data 01 02 03 04",
                           "18: preset_export_data 05 06 07 08", "end: preset_export_data 09",
                           "end: preset_export_end"};
        QTest::newRow("exactly one block")
            << QByteArray("00 04 0B 01 00 02 00 03 00 04 00")
            << QStringList{"2: preset_import_start", "10: preset_import_data 01 02 03 04",
                           "end: preset_import_end"};
        QTest::newRow("one block, then a lone nibble")
            << QByteArray("00 04 05 01 09 0A 0B 0C 0D 0E 0F 00 01 02")
            << QStringList{"4: firmware_update_start", "12: firmware_update_data BA DC FE 10",
                           "end: firmware_update_data 02", "end: firmware_update_end"};
    }

    void blocks() {
        QFETCH(QByteArray, row);
        QFETCH(QStringList, expected);
        sysex_parser_buffered<4> parser;
        sysex_recorder<4> r;
        r.attach(parser);
        r.message(parser, bytes(row.constData()));
        QCOMPARE(r.events, expected);
    }

    void outside_a_message() {
        sysex_parser_buffered<1> parser;
        sysex_recorder<1> r;
        r.attach(parser);
        parser.parse(std::byte{0x00});
        parser.parse(std::byte{0x04});
        parser.parse(std::byte{0x01});
        QVERIFY(r.events.isEmpty());
        parser.sysex_end();
        QCOMPARE(r.events, QStringList{"-: error unexpected_end"});
    }

    // The listener held when the command byte arrives is the one the end runs.
    void end_runs_the_listener_of_the_command_byte() {
        sysex_parser_buffered<1> parser;
        QStringList calls;
        parser.set_connection_request_acked_listener([&calls] { calls << "first"; });
        parser.sysex_start();
        for (const char c : bytes("00 04 01")) {
            parser.parse(static_cast<std::byte>(c));
        }
        parser.set_connection_request_acked_listener([&calls] { calls << "second"; });
        QVERIFY(calls.isEmpty());
        parser.sysex_end();
        QCOMPARE(calls, QStringList{"first"});
    }

    // A listener that feeds a whole further message: the outer end still completes, and the
    // parser ends in waiting_for_start.
    void listener_feeding_the_parser() {
        sysex_parser_buffered<1> parser;
        sysex_recorder<1> r;
        r.attach(parser);
        bool nested = false;
        parser.set_firmware_update_request_acked_listener([&] {
            r.log("firmware_update_request_acked");
            if (!nested) {
                nested = true;
                r.message(parser, bytes("00 04 03"));
            }
        });
        r.message(parser, bytes("00 04 03"));
        QCOMPARE(r.events, (QStringList{"end: firmware_update_request_acked",
                                        "end: firmware_update_request_acked"}));
        QCOMPARE(parser.current_state(), sysex_parser_buffered<1>::state::waiting_for_start);
    }

    void crc() {
        using quillmar::protocol::crc8x;
        QCOMPARE(sysex_parser_buffered<1>::crc8x_table[1], std::uint8_t{0x31});
        QCOMPARE(sysex_parser_buffered<1>::crc8x_table[2], std::uint8_t{0x62});
        QCOMPARE(sysex_parser_buffered<1>::crc8x_table[0x80], std::uint8_t{0x7A});
        QCOMPARE(crc8x(QByteArray("123456789")), std::byte{0xA2});
        QCOMPARE(crc8x(bytes("02 01 04 03")), std::byte{0x91});
        QCOMPARE(crc8x(bytes("0F 0F")), std::byte{0xB7});
        QCOMPARE(crc8x(QByteArray()), std::byte{0x00});
        QCOMPARE(sysex_parser_buffered<1>::crc8x_next(std::byte{0}, std::byte{1}), std::byte{0x31});
    }

    // A run of bytes given at once must act exactly as the same bytes given one by one,
    // wherever the run starts and ends, also when a data listener feeds the parser itself.
    void run_equals_byte_by_byte_data() {
        QTest::addColumn<QByteArray>("row");
        QTest::addColumn<bool>("feeding_listener");
        const char* firmware = "00 04 05 0D 0D 0F 0F 05";
        const char* long_firmware = "00 04 05 01 09 0A 0B 0C 0D 0E 0F 00 01 02";
        const char* bad_crc = "00 04 05 00 00 02 01 04 03";
        const char* export_body = "00 04 0A 02 01 04 03 05";
        for (const bool feeding : {false, true}) {
            const char* how = feeding ? "feeding listener" : "plain";
            QTest::addRow("firmware, odd nibbles, %s", how) << QByteArray(firmware) << feeding;
            QTest::addRow("firmware, long, %s", how) << QByteArray(long_firmware) << feeding;
            QTest::addRow("firmware, wrong CRC, %s", how) << QByteArray(bad_crc) << feeding;
            QTest::addRow("export, %s", how) << QByteArray(export_body) << feeding;
        }
    }

    void run_equals_byte_by_byte() {
        QFETCH(QByteArray, row);
        QFETCH(bool, feeding_listener);
        const QByteArray body = bytes(row.constData());
        const auto log_of = [&](int run_length) {
            sysex_parser_buffered<1> parser;
            sysex_recorder<1> r;
            r.attach(parser);
            if (feeding_listener) {
                // The first firmware payload byte makes the listener push one more nibble.
                parser.set_firmware_update_data_listener([&r, &parser](std::span<std::byte> b) {
                    r.log("firmware_update_data " + link_test::hex(b));
                    if (r.events.size() == 2) {
                        parser.parse(std::byte{0x03});
                    }
                });
            }
            parser.sysex_start();
            for (int i = 0; i < body.size(); i += run_length) {
                const QByteArray run = body.mid(i, run_length);
                r.at = QString::number(i);
                if (run_length == 1) {
                    parser.parse(static_cast<std::byte>(run.at(0)));
                } else {
                    parser.parse(std::span<const std::byte>{
                        reinterpret_cast<const std::byte*>(run.constData()),
                        static_cast<std::size_t>(run.size())});
                }
            }
            r.at = QStringLiteral("end");
            parser.sysex_end();
            return r.events;
        };
        const QStringList one_by_one = log_of(1);
        QVERIFY(!one_by_one.isEmpty());
        for (const int run_length : {2, 3, 4, 5, 100}) {
            // Events carry the index of the run's first byte; compare without it.
            QStringList a = log_of(run_length);
            QStringList b = one_by_one;
            for (QString& e : a) {
                e = e.section(": ", 1);
            }
            for (QString& e : b) {
                e = e.section(": ", 1);
            }
            QCOMPARE(a, b);
        }
    }

    // The MIDI stream parser chained to the device parser as the tool reads the port: wire
    // bytes in, protocol events out, each tagged with the wire byte index.
    void chained_data() {
        QTest::addColumn<QByteArray>("wire");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("connection acknowledgement")
            << bytes("F0 00 2B 17 00 04 01 F7") << QStringList{"7: connection_request_acked"};
        QTest::newRow("two messages in a row")
            << bytes("F0 00 2B 17 00 04 0C F7 F0 00 2B 17 00 04 0D F7")
            << QStringList{"7: preset_import_succeeded", "15: preset_import_failed"};
        QTest::newRow("preset export arrives with its end")
            << bytes("F0 00 2B 17 00 04 0A 02 01 04 03 F7")
            << QStringList{"11: preset_export_start", "11: preset_export_data 12",
                           "11: preset_export_data 34", "11: preset_export_end"};
        QTest::newRow("clock inside a message")
            << bytes("F0 00 2B 17 00 F8 04 01 F7") << QStringList{"8: connection_request_acked"};
        QTest::newRow("foreign manufacturer reaches the device parser as an end")
            << bytes("F0 7E 00 01 00 04 01 F7") << QStringList{"7: error unexpected_end"};
        QTest::newRow("wrong model id")
            << bytes("F0 00 2B 17 00 05 01 F7")
            << QStringList{"7: error wrong_model_id", "7: error unexpected_end"};
        QTest::newRow("note on ends an export")
            << bytes("F0 00 2B 17 00 04 0A 02 01 04 90 3C 40")
            << QStringList{"10: preset_export_start", "10: preset_export_data 12",
                           "10: preset_export_data 04", "10: preset_export_end"};
        QTest::newRow("too short for a start") << bytes("F0 00 2B F7") << QStringList{};
        QTest::newRow("garbage then a message") << bytes("01 F3 7F F0 00 2B 17 00 04 06 F7")
                                                << QStringList{"10: firmware_update_succeeded"};
    }

    void chained() {
        QFETCH(QByteArray, wire);
        QFETCH(QStringList, expected);
        quillmar::midi_parser_buffered<1000> midi;
        sysex_parser_buffered<1> device;
        quillmar::chain_parsers(midi, device);
        sysex_recorder<1> r;
        r.attach(device);
        for (int i = 0; i < wire.size(); ++i) {
            r.at = QString::number(i);
            midi.parse(static_cast<std::byte>(wire.at(i)));
        }
        QCOMPARE(r.events, expected);
    }
};

QTEST_APPLESS_MAIN(test_sysex_parser)
#include "test_sysex_parser.moc"
