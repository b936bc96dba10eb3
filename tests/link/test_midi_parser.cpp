#include "hex.h"
#include "midi_recorder.h"

#include <QtTest>

using link_test::bytes;
using link_test::midi_recorder;

class test_midi_parser : public QObject {
    Q_OBJECT

private slots:
    // Each expected event names the index of the byte during which it must happen.
    void events_data() {
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<QStringList>("expected");

        // SysEx: start with the first three data bytes, the rest as data, then the end.
        QTest::newRow("sysex with data")
            << bytes("F0 00 2B 17 01 02 F7")
            << QStringList{"3: start 00 2B 17", "6: data 01 02", "6: end"};
        QTest::newRow("sysex without data")
            << bytes("F0 00 2B 17 F7") << QStringList{"3: start 00 2B 17", "4: end"};
        QTest::newRow("sysex of two data bytes is dropped")
            << bytes("F0 00 2B F7") << QStringList{};
        QTest::newRow("empty sysex is dropped") << bytes("F0 F7") << QStringList{};
        QTest::newRow("bytes after F7 belong to nothing")
            << bytes("F0 00 2B 17 F7 01 02") << QStringList{"3: start 00 2B 17", "4: end"};
        QTest::newRow("F0 ends one sysex and starts the next")
            << bytes("F0 00 2B 17 01 F0 00 2B 17 02 F7")
            << QStringList{"3: start 00 2B 17", "5: data 01",  "5: end",
                           "8: start 00 2B 17", "10: data 02", "10: end"};
        QTest::newRow("foreign manufacturer still reported")
            << bytes("F0 7E 00 01 05 F7")
            << QStringList{"3: start 7E 00 01", "5: data 05", "5: end"};

        // Real-time bytes change nothing, in any state.
        QTest::newRow("clock inside sysex data")
            << bytes("F0 00 2B 17 01 F8 02 F7")
            << QStringList{"3: start 00 2B 17", "7: data 01 02", "7: end"};
        QTest::newRow("real-time before the third data byte")
            << bytes("F0 00 FE 2B 17 F7") << QStringList{"4: start 00 2B 17", "5: end"};
        QTest::newRow("clock between note data bytes")
            << bytes("92 3C F8 40") << QStringList{"3: note_on 2 3C 40"};
        QTest::newRow("real-time alone") << bytes("F8 FA FF") << QStringList{};

        // A status byte ends a running sysex: the byte first, then data and end.
        QTest::newRow("note on ends sysex")
            << bytes("F0 00 2B 17 01 90 3C 40")
            << QStringList{"3: start 00 2B 17", "5: data 01", "5: end", "7: note_on 0 3C 40"};
        QTest::newRow("tune request inside sysex")
            << bytes("F0 00 2B 17 01 F6")
            << QStringList{"3: start 00 2B 17", "5: tune_request", "5: data 01", "5: end"};
        QTest::newRow("unsupported system byte ends sysex")
            << bytes("F0 00 2B 17 01 F2 02")
            << QStringList{"3: start 00 2B 17", "5: data 01", "5: end"};
        QTest::newRow("status before the start drops the sysex")
            << bytes("F0 00 90 3C 40") << QStringList{"4: note_on 0 3C 40"};

        // Voice messages and running status.
        QTest::newRow("note on by running status")
            << bytes("90 3C 40 3E 40") << QStringList{"2: note_on 0 3C 40", "4: note_on 0 3E 40"};
        QTest::newRow("program change by running status")
            << bytes("C5 10 11") << QStringList{"1: program_change 5 10", "2: program_change 5 11"};
        QTest::newRow("every voice kind")
            << bytes("80 01 02 A1 03 04 B2 05 06 E3 07 08 DF 09")
            << QStringList{"2: note_off 0 01 02", "5: polyphonic_key_pressure 1 03 04",
                           "8: control_change 2 05 06", "11: pitch_bend_change 3 07 08",
                           "13: channel_pressure 15 09"};
        QTest::newRow("incomplete voice message is dropped")
            << bytes("90 3C 80 01 02") << QStringList{"4: note_off 0 01 02"};
        QTest::newRow("tune request ends running status")
            << bytes("90 3C 40 F6 3E 40") << QStringList{"2: note_on 0 3C 40", "3: tune_request"};

        // Bytes that fit no supported message.
        QTest::newRow("song position and its data") << bytes("F2 01 02") << QStringList{};
        QTest::newRow("stray data bytes") << bytes("01 02 7F") << QStringList{};
        QTest::newRow("lone F7") << bytes("F7 01") << QStringList{};
    }

    void events() {
        QFETCH(QByteArray, input);
        QFETCH(QStringList, expected);
        midi_recorder<1000> r;
        r.feed(input);
        QCOMPARE(r.events, expected);
    }

    // Data arrive in chunks of exactly N bytes while the message runs and one last partial
    // chunk at its end.
    void chunks_data() {
        QTest::addColumn<int>("buffer");
        QTest::addColumn<int>("count");
        QTest::addColumn<QList<int>>("chunks");
        QTest::addColumn<bool>("last_at_end");

        QTest::newRow("1000: 2500 bytes") << 1000 << 2500 << QList<int>{1000, 1000, 500} << true;
        QTest::newRow("1000: exactly 1000 bytes") << 1000 << 1000 << QList<int>{1000} << false;
        QTest::newRow("1000: 999 bytes") << 1000 << 999 << QList<int>{999} << true;
        QTest::newRow("4: 9 bytes") << 4 << 9 << QList<int>{4, 4, 1} << true;
        QTest::newRow("4: 8 bytes") << 4 << 8 << QList<int>{4, 4} << false;
        QTest::newRow("1: 3 bytes") << 1 << 3 << QList<int>{1, 1, 1} << false;
    }

    void chunks() {
        QFETCH(int, buffer);
        switch (buffer) {
        case 1:
            check_chunks<1>();
            break;
        case 4:
            check_chunks<4>();
            break;
        case 1000:
            check_chunks<1000>();
            break;
        default:
            QFAIL("no parser of that size instantiated");
        }
    }

    // A listener that feeds the parser: the state computed for the outer byte wins.
    void listener_feeding_the_parser() {
        midi_recorder<1000> r;
        r.parser.set_sysex_start_listener([&r](std::byte, std::byte, std::byte) {
            r.log(QStringLiteral("start"));
            r.feed(bytes("90 3C 40"));
        });
        r.feed(bytes("F0 00 2B 17 01 F7"));
        // The note inside the listener is reported, but the sysex goes on afterwards.
        QCOMPARE(r.events, (QStringList{"3: start", "6: note_on 0 3C 40", "8: data 01", "8: end"}));
    }

private:
    template <std::size_t N> void check_chunks() {
        QFETCH(int, count);
        QFETCH(QList<int>, chunks);
        QFETCH(bool, last_at_end);

        quillmar::midi_parser_buffered<N> parser;
        struct seen {
            QList<int> sizes;
            QList<int> delivered_at;
            QByteArray received;
            int at = 0;
            bool ended = false;
        } s;
        parser.set_sysex_data_listener([&s](std::span<const std::byte> data) {
            QVERIFY(!s.ended);
            s.sizes << static_cast<int>(data.size());
            s.delivered_at << s.at;
            for (const std::byte b : data) {
                s.received.append(static_cast<char>(b));
            }
        });
        parser.set_sysex_end_listener([&s] { s.ended = true; });

        QByteArray input = bytes("F0 00 2B 17");
        QByteArray payload;
        for (int i = 0; i < count; ++i) {
            payload.append(static_cast<char>(i % 0x80));
        }
        input += payload + bytes("F7");
        for (const char c : input) {
            parser.parse(static_cast<std::byte>(c));
            ++s.at;
        }
        QCOMPARE(s.sizes, chunks);
        QCOMPARE(s.received, payload);
        QVERIFY(s.ended);
        // Full chunks go out with their last byte; a partial one only with F7.
        for (int i = 0; i < s.sizes.size(); ++i) {
            const bool at_end = s.delivered_at[i] == input.size() - 1;
            QCOMPARE(at_end, last_at_end && i == s.sizes.size() - 1);
        }
    }
};

QTEST_APPLESS_MAIN(test_midi_parser)
#include "test_midi_parser.moc"
