// The stand-in as the tool meets it: a QSerialPort on the serial end of its pseudo-terminal.

#include "factory_presets.h"
#include "firmware_image.h"
#include "synthesizer.h"
#include "wire.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QSerialPort>
#include <QtTest>

#include <functional>
#include <memory>

using namespace quillmar::standin;
using quillmar::protocol::command;

using setup = std::function<void(synthesizer&)>;
Q_DECLARE_METATYPE(setup)
Q_DECLARE_METATYPE(QSerialPort::SerialPortError)

namespace {

constexpr int wait_ms = 20'000;

QByteArray hex(const char* text) {
    return QByteArray::fromHex(text);
}

// Every answer without body, as the synthesizer sends it.
const QByteArray connection_acked = hex("f0002b17000401f7");
const QByteArray update_request_acked = hex("f0002b17000403f7");
const QByteArray update_request_nacked = hex("f0002b17000404f7");
const QByteArray update_succeeded = hex("f0002b17000406f7");
const QByteArray update_failed = hex("f0002b17000407f7");
const QByteArray export_nacked = hex("f0002b17000409f7");
const QByteArray import_succeeded = hex("f0002b1700040cf7");
const QByteArray import_failed = hex("f0002b1700040df7");

const QByteArray connection_request = hex("f0002b17000400f7");
const QByteArray update_request = hex("f0002b17000402f7");

// Planted in every test: slot 5 holds id 5 named "Init" (08 05 12 04 49 6E 69 74), slot 255
// holds id 255 alone (08 FF 01).
const QByteArray export_5 = hex("f0002b1700040805000000f7");
const QByteArray export_5_answer = hex("f0002b1700040a080005000201040009040e0609060407f7");
const QByteArray export_255_answer = hex("f0002b1700040a08000f0f0100f7");

// A preset with id 7 and name "x": 08 07 12 01 78.
const QByteArray import_7 = hex("f0002b1700040b08000700020101000807f7");

QByteArray serialized(const proto::Preset& preset) {
    const std::string bytes = preset.SerializeAsString();
    return QByteArray(bytes.data(), static_cast<int>(bytes.size()));
}

QByteArray without_realtime(QByteArray bytes) {
    bytes.replace('\xF8', QByteArray()).replace('\xFE', QByteArray());
    return bytes;
}

} // namespace

class tst_synthesizer : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void answers_data();
    void answers();
    void malformed_requests_go_unanswered_data();
    void malformed_requests_go_unanswered();
    void refusals_data();
    void refusals();
    void misbehaving_exports_data();
    void misbehaving_exports();
    void request_is_recognised_only_at_its_end_byte();
    void records_messages_and_bytes();
    void import_stores_the_preset_as_received();
    void refused_import_leaves_the_slot();
    void forgotten_presets_come_back_by_import();
    void full_firmware_image_is_accepted_and_kept();
    void corrupted_firmware_is_refused_and_kept();
    void silence_data();
    void silence();
    void answers_after_a_delay();
    void answers_in_chunks();
    void answers_with_realtime_bytes_between();
    void stops_in_the_middle_of_an_answer();
    void corrupts_the_next_answer_data();
    void corrupts_the_next_answer();
    void vanishing_data();
    void vanishing();
    void vanishing_while_the_image_is_written();
    void vanishing_while_a_child_process_runs();
    void unread_answers_can_be_discarded();

private:
    // Runs the event loop until `done` holds, checking it whenever `signal` comes.
    template <typename Sender, typename Signal, typename Predicate>
    static bool wait_until(Sender* sender, Signal signal, Predicate done) {
        QSignalSpy spy(sender, signal);
        QDeadlineTimer deadline(wait_ms);
        while (!done()) {
            if (deadline.hasExpired() || !spy.wait(int(deadline.remainingTime()))) {
                return done();
            }
        }
        return true;
    }
    // Waits until the serial end holds at least `count` bytes.
    bool wait_for_bytes(int count) {
        return wait_until(port.get(), &QSerialPort::readyRead,
                          [&] { return received.size() >= count; });
    }
    // Waits until the stand-in has recorded `count` messages.
    bool wait_for_messages(std::size_t count) {
        return wait_until(synth.get(), &synthesizer::received,
                          [&] { return synth->messages().size() >= count; });
    }
    void send(const QByteArray& bytes) { port->write(bytes); }
    // A hung-up tty reads as end of file, which Qt 5.15 turns into an error code taken from
    // whatever errno was left over: ResourceError (then reading stops) or, as often, ReadError
    // (then it comes again at every turn of the event loop while the port stays open). Writes
    // to it fail with EIO: ResourceError.
    bool only_hang_up_errors() const {
        return std::all_of(errors.begin(), errors.end(), [](QSerialPort::SerialPortError e) {
            return e == QSerialPort::ReadError || e == QSerialPort::ResourceError;
        });
    }
    // Takes the first `count` bytes the serial end has received.
    QByteArray take(int count) {
        const QByteArray head = received.left(count);
        received.remove(0, count);
        return head;
    }

    std::unique_ptr<synthesizer> synth;
    std::unique_ptr<QSerialPort> port;
    QByteArray received;
    int ready_reads = 0;
    QList<QSerialPort::SerialPortError> errors;
};

void tst_synthesizer::init() {
    synth = std::make_unique<synthesizer>();
    QVERIFY(synth->valid());
    QVERIFY(synth->port_path().startsWith(QStringLiteral("/dev/")));
    proto::Preset init_preset;
    init_preset.set_id(5);
    init_preset.set_name("Init");
    synth->set_preset(5, init_preset);
    proto::Preset last;
    last.set_id(255);
    synth->set_preset(255, last);

    received.clear();
    ready_reads = 0;
    errors.clear();
    port = std::make_unique<QSerialPort>(synth->port_path());
    connect(port.get(), &QSerialPort::readyRead, this, [this] {
        ++ready_reads;
        received += port->readAll();
    });
    connect(port.get(), &QSerialPort::errorOccurred, this, [this](QSerialPort::SerialPortError e) {
        if (e != QSerialPort::NoError) {
            errors.append(e);
        }
    });
    QVERIFY2(port->open(QIODevice::ReadWrite), qPrintable(port->errorString()));
}

void tst_synthesizer::cleanup() {
    port.reset();
    synth.reset();
}

void tst_synthesizer::answers_data() {
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("answer");

    QTest::newRow("connection request is acknowledged") << connection_request << connection_acked;
    QTest::newRow("update request is accepted") << update_request << update_request_acked;
    // Index 5 as 05 00 00 00; the answer carries the planted preset nibble by nibble.
    QTest::newRow("export of a planted preset") << export_5 << export_5_answer;
    // Index 255 as 0F 0F 00 00.
    QTest::newRow("export of the last slot")
        << hex("f0002b170004080f0f0000f7") << export_255_answer;
    // Only the low four bits of each id nibble count: 15 00 00 00 is index 5.
    QTest::newRow("export id nibbles with upper bits")
        << hex("f0002b1700040815000000f7") << export_5_answer;
    // A factory preset, serialized as the stand-in holds it.
    QTest::newRow("export of a factory preset")
        << hex("f0002b1700040800000000f7")
        << make_message(command::preset_export, encode_nibbles(serialized(make_factory_preset(0))));
    // Index 256 as 00 00 01 00: there is no such slot.
    QTest::newRow("export of index 256 is refused")
        << hex("f0002b1700040800000100f7") << export_nacked;
    QTest::newRow("export of index 0x1234 is refused")
        << hex("f0002b1700040804030201f7") << export_nacked;
    QTest::newRow("import of a preset succeeds") << import_7 << import_succeeded;
    // Three body bytes: half a payload byte is missing.
    QTest::newRow("import of an odd body fails") << hex("f0002b1700040b080007f7") << import_failed;
    // 12 01 78: a name but no id, which is required.
    QTest::newRow("import without id fails")
        << hex("f0002b1700040b020101000807f7") << import_failed;
    // An empty serialization lacks the id too.
    QTest::newRow("import of nothing fails") << hex("f0002b1700040bf7") << import_failed;
    // 08 80 02: id 256.
    QTest::newRow("import of id 256 fails") << hex("f0002b1700040b080000080200f7") << import_failed;
    // FF FF: a varint that never ends.
    QTest::newRow("import of garbage fails") << hex("f0002b1700040b0f0f0f0ff7") << import_failed;
    // CRC 0x91 (01 09) over 02 01 04 03.
    QTest::newRow("firmware with its CRC succeeds")
        << hex("f0002b17000405010902010403f7") << update_succeeded;
    QTest::newRow("firmware with another CRC fails")
        << hex("f0002b17000405010a02010403f7") << update_failed;
    QTest::newRow("firmware without CRC fails") << hex("f0002b17000405f7") << update_failed;
    // Data 01: CRC 0x31 is right, but the data are half a byte.
    QTest::newRow("firmware with odd data fails") << hex("f0002b17000405010301f7") << update_failed;
}

void tst_synthesizer::answers() {
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, answer);
    send(request);
    QVERIFY(wait_for_bytes(answer.size()));
    QCOMPARE(take(answer.size()).toHex(' '), answer.toHex(' '));
    QCOMPARE(synth->messages().size(), std::size_t{1});
    QCOMPARE(synth->messages().back().raw, request);
}

void tst_synthesizer::malformed_requests_go_unanswered_data() {
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<int>("recorded"); // messages the stand-in records from it

    QTest::newRow("connection request with a body") << hex("f0002b1700040000f7") << 1;
    QTest::newRow("update request with a body") << hex("f0002b1700040201f7") << 1;
    QTest::newRow("export request with three id nibbles") << hex("f0002b17000408000000f7") << 1;
    QTest::newRow("export request with five id nibbles") << hex("f0002b170004080000000000f7") << 1;
    QTest::newRow("command beyond the table") << hex("f0002b1700040ef7") << 1;
    // The synthesizer's own answers sent back to it.
    QTest::newRow("an answer as request") << connection_acked + import_failed << 2;
    QTest::newRow("another manufacturer") << hex("f0002b18000400f7") << 0;
    QTest::newRow("another model") << hex("f0002b17000500f7") << 0;
    // A note-on status byte in the middle drops the frame.
    QTest::newRow("frame broken by a status byte") << hex("f0002b1700900400f7") << 0;
    QTest::newRow("frame without command") << hex("f0002b170004f7") << 0;
    QTest::newRow("stray data and end bytes") << hex("0001f7f7") << 0;
}

void tst_synthesizer::malformed_requests_go_unanswered() {
    QFETCH(QByteArray, request);
    QFETCH(int, recorded);
    // A sound request follows; its answer must be the first thing to come back.
    send(request + update_request);
    QVERIFY(wait_for_bytes(update_request_acked.size()));
    QCOMPARE(take(update_request_acked.size()), update_request_acked);
    QCOMPARE(int(synth->messages().size()), recorded + 1);
    QCOMPARE(synth->bytes_received(), qint64(request.size() + update_request.size()));
}

void tst_synthesizer::refusals_data() {
    QTest::addColumn<setup>("prepare");
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("answer");

    QTest::newRow("refused export index")
        << setup([](synthesizer& s) { s.set_refused_exports({5}); }) << export_5 << export_nacked;
    QTest::newRow("refusing one index leaves the next") << setup([](synthesizer& s) {
        s.set_refused_exports({4, 6});
    }) << export_5 << export_5_answer;
    QTest::newRow("emptied slot") << setup([](synthesizer& s) { s.remove_preset(5); }) << export_5
                                  << export_nacked;
    QTest::newRow("forgotten presets")
        << setup([](synthesizer& s) { s.forget_presets(); }) << export_5 << export_nacked;
    QTest::newRow("all imports refused")
        << setup([](synthesizer& s) { s.set_refuse_imports(true); }) << import_7 << import_failed;
    QTest::newRow("import of a refused id")
        << setup([](synthesizer& s) { s.set_refused_import_ids({7}); }) << import_7
        << import_failed;
    QTest::newRow("import of an id not refused") << setup([](synthesizer& s) {
        s.set_refused_import_ids({6, 8});
    }) << import_7 << import_succeeded;
    QTest::newRow("update request refused")
        << setup([](synthesizer& s) { s.set_refuse_update_request(true); }) << update_request
        << update_request_nacked;
    QTest::newRow("sound update set to fail")
        << setup([](synthesizer& s) { s.set_fail_update(true); })
        << hex("f0002b17000405010902010403f7") << update_failed;
    // Switches are read when the answer is made: one set and cleared again has no effect.
    QTest::newRow("refusal taken back") << setup([](synthesizer& s) {
        s.set_refuse_update_request(true);
        s.set_refuse_update_request(false);
    }) << update_request << update_request_acked;
}

void tst_synthesizer::refusals() {
    QFETCH(setup, prepare);
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, answer);
    prepare(*synth);
    send(request);
    QVERIFY(wait_for_bytes(answer.size()));
    QCOMPARE(take(answer.size()).toHex(' '), answer.toHex(' '));
}

void tst_synthesizer::misbehaving_exports_data() {
    QTest::addColumn<setup>("prepare");
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("answer"); // everything that comes back for the request

    const setup twice = [](synthesizer& s) { s.set_answer_exports_twice(true); };
    const setup fixed_5 = [](synthesizer& s) { s.set_fixed_export_slot(5); };
    QTest::newRow("a preset answered twice")
        << twice << export_5 << export_5_answer + export_5_answer;
    // Index 256 as 00 00 01 00: refused, and the refusal comes twice.
    QTest::newRow("a refusal answered twice")
        << twice << hex("f0002b1700040800000100f7") << export_nacked + export_nacked;
    // Index 255 as 0F 0F 00 00 brings slot 5's preset.
    QTest::newRow("another index answered with the fixed slot")
        << fixed_5 << hex("f0002b170004080f0f0000f7") << export_5_answer;
    // Index 256 has no slot, yet the fixed slot answers it too.
    QTest::newRow("index 256 answered with the fixed slot")
        << fixed_5 << hex("f0002b1700040800000100f7") << export_5_answer;
    QTest::newRow("a refused fixed slot refuses every index") << setup([](synthesizer& s) {
        s.set_fixed_export_slot(5);
        s.set_refused_exports({5});
    }) << hex("f0002b170004080f0f0000f7") << export_nacked;
    QTest::newRow("the fixed slot taken back") << setup([](synthesizer& s) {
        s.set_fixed_export_slot(255);
        s.set_fixed_export_slot(std::nullopt);
    }) << export_5 << export_5_answer;
}

void tst_synthesizer::misbehaving_exports() {
    QFETCH(setup, prepare);
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, answer);
    prepare(*synth);
    // A connection request follows: its answer must come right after the export's, so no
    // further copy of the export's answer can hide behind it.
    send(request + connection_request);
    QVERIFY(wait_for_bytes(answer.size() + connection_acked.size()));
    QCOMPARE(take(answer.size()).toHex(' '), answer.toHex(' '));
    QCOMPARE(take(connection_acked.size()).toHex(' '), connection_acked.toHex(' '));
}

void tst_synthesizer::request_is_recognised_only_at_its_end_byte() {
    // A connection request with real-time bytes in it, one byte per write.
    const QByteArray stream = hex("f0f8002b17fe0004f800f7");
    QSignalSpy spy(synth.get(), &synthesizer::received);
    for (int i = 0; i < stream.size(); ++i) {
        send(stream.mid(i, 1));
        QTRY_COMPARE_WITH_TIMEOUT(synth->bytes_received(), qint64(i + 1), wait_ms);
        QCOMPARE(spy.count(), i == stream.size() - 1 ? 1 : 0);
    }
    QVERIFY(wait_for_bytes(connection_acked.size()));
    QCOMPARE(take(connection_acked.size()), connection_acked);
}

void tst_synthesizer::records_messages_and_bytes() {
    QSignalSpy spy(synth.get(), &synthesizer::received);
    // A stray byte and a clock byte before, active sensing inside an export request for 5.
    send(hex("f800f0002b17000408fe05000000f7") + connection_request);
    QVERIFY(wait_for_bytes(export_5_answer.size() + connection_acked.size()));
    QCOMPARE(synth->bytes_received(), qint64(15 + connection_request.size()));
    QCOMPARE(synth->bytes_sent(), qint64(export_5_answer.size() + connection_acked.size()));

    QCOMPARE(synth->messages().size(), std::size_t{2});
    const message& first = synth->messages()[0];
    QCOMPARE(first.command, command::preset_export_request);
    QCOMPARE(first.body, hex("05000000"));
    QCOMPARE(first.raw, export_5);
    QCOMPARE(synth->messages()[1].command, command::connection_request);
    QCOMPARE(synth->messages()[1].body, QByteArray());

    QCOMPARE(spy.count(), 2);
    QCOMPARE(spy[0][0].value<message>().raw, export_5);
    QCOMPARE(spy[1][0].value<message>().raw, connection_request);

    synth->clear_records();
    QVERIFY(synth->messages().empty());
    QCOMPARE(synth->bytes_received(), qint64{0});
    QCOMPARE(synth->bytes_sent(), qint64{0});
}

void tst_synthesizer::import_stores_the_preset_as_received() {
    // A full preset for slot 9 with a field this schema does not know (number 99, varint 42)
    // at the end: the stand-in keeps the bytes as they came and exports them unchanged.
    proto::Preset preset = make_factory_preset(3);
    preset.set_id(9);
    const QByteArray payload = serialized(preset) + hex("98062a");
    send(make_message(command::preset_import, encode_nibbles(payload)));
    QVERIFY(wait_for_bytes(import_succeeded.size()));
    QCOMPARE(take(import_succeeded.size()), import_succeeded);
    QCOMPARE(synth->preset_bytes(9), std::optional<QByteArray>(payload));
    QVERIFY(synth->preset(9).has_value());
    QCOMPARE(synth->preset(9)->name(), preset.name());

    send(make_message(command::preset_export_request, encode_preset_id(9)));
    const QByteArray expected = make_message(command::preset_export, encode_nibbles(payload));
    QVERIFY(wait_for_bytes(expected.size()));
    QCOMPARE(take(expected.size()), expected);
}

void tst_synthesizer::refused_import_leaves_the_slot() {
    const std::optional<QByteArray> before = synth->preset_bytes(7);
    synth->set_refuse_imports(true);
    send(import_7);
    QVERIFY(wait_for_bytes(import_failed.size()));
    QCOMPARE(take(import_failed.size()), import_failed);
    QCOMPARE(synth->preset_bytes(7), before);
    QCOMPARE(synth->preset_count(), 256);
}

void tst_synthesizer::forgotten_presets_come_back_by_import() {
    synth->forget_presets();
    QCOMPARE(synth->preset_count(), 0);
    const proto::Preset preset = make_factory_preset(200);
    send(make_message(command::preset_import, encode_nibbles(serialized(preset))));
    QVERIFY(wait_for_bytes(import_succeeded.size()));
    QCOMPARE(take(import_succeeded.size()), import_succeeded);
    QCOMPARE(synth->preset_count(), 1);
    QCOMPARE(synth->preset_bytes(200), std::optional<QByteArray>(serialized(preset)));

    synth->load_factory_presets();
    QCOMPARE(synth->preset_count(), 256);
}

void tst_synthesizer::full_firmware_image_is_accepted_and_kept() {
    // The whole shipped image in one write, as the tool sends it.
    const QByteArray image = make_firmware_image();
    QCOMPARE(port->write(image), qint64(image.size()));
    QVERIFY(wait_for_bytes(update_succeeded.size()));
    QCOMPARE(take(update_succeeded.size()), update_succeeded);
    QCOMPARE(synth->bytes_received(), qint64(image.size()));
    QCOMPARE(synth->firmware_check(), std::optional(firmware_verdict::intact));
    QVERIFY(synth->firmware_image() == image);
    QVERIFY(synth->messages().back().raw == image);
}

void tst_synthesizer::corrupted_firmware_is_refused_and_kept() {
    QByteArray image = make_firmware_message(QByteArray(1000, '\x5A'));
    image[500] = static_cast<char>(image[500] ^ 0x01); // one data nibble
    send(image);
    QVERIFY(wait_for_bytes(update_failed.size()));
    QCOMPARE(take(update_failed.size()), update_failed);
    QCOMPARE(synth->firmware_check(), std::optional(firmware_verdict::crc_mismatch));
    QCOMPARE(synth->firmware_image(), image);
}

void tst_synthesizer::silence_data() {
    QTest::addColumn<setup>("quiet");
    QTest::addColumn<setup>("revive");
    QTest::newRow("silent entirely") << setup([](synthesizer& s) { s.set_silent(true); })
                                     << setup([](synthesizer& s) { s.set_silent(false); });
    // The update request that follows is answered even while connection requests are not.
    QTest::newRow("silent to connection requests")
        << setup([](synthesizer& s) { s.set_silent_to(command::connection_request, true); })
        << setup([](synthesizer&) {});
}

void tst_synthesizer::silence() {
    QFETCH(setup, quiet);
    QFETCH(setup, revive);
    quiet(*synth);
    send(connection_request);
    QVERIFY(wait_for_messages(1));
    revive(*synth);
    // Had the connection request been answered, its answer would come first.
    send(update_request);
    QVERIFY(wait_for_bytes(update_request_acked.size()));
    QCOMPARE(take(update_request_acked.size()), update_request_acked);
    QCOMPARE(synth->messages().size(), std::size_t{2});
}

void tst_synthesizer::answers_after_a_delay() {
    synth->set_answer_delay(300);
    QSignalSpy answered(synth.get(), &synthesizer::answered);
    QElapsedTimer clock;
    clock.start();
    send(connection_request);
    QVERIFY(wait_for_messages(1));
    QCOMPARE(answered.count(), 0);
    QVERIFY(wait_for_bytes(connection_acked.size()));
    QVERIFY(clock.elapsed() >= 300);
    QCOMPARE(take(connection_acked.size()), connection_acked);
}

void tst_synthesizer::answers_in_chunks() {
    synth->set_chunk_size(3);
    QSignalSpy answered(synth.get(), &synthesizer::answered);
    send(export_5);
    QVERIFY(wait_for_bytes(export_5_answer.size()));
    QCOMPARE(take(export_5_answer.size()), export_5_answer);
    QVERIFY2(ready_reads >= 2, qPrintable(QString::number(ready_reads)));
    QTRY_COMPARE_WITH_TIMEOUT(answered.count(), 1, wait_ms);
    QCOMPARE(answered[0][0].toByteArray(), export_5_answer);
}

void tst_synthesizer::answers_with_realtime_bytes_between() {
    synth->set_interleave_realtime(true);
    send(connection_request + export_5);
    // Clock (F8) and active sensing (FE) in turn between every two bytes.
    const QByteArray ack = hex("f0f800fe2bf817fe00f804fe01f8f7");
    const int export_size = export_5_answer.size() * 2 - 1;
    QVERIFY(wait_for_bytes(ack.size() + export_size));
    QCOMPARE(take(ack.size()).toHex(' '), ack.toHex(' '));
    const QByteArray answer = take(export_size);
    QCOMPARE(without_realtime(answer), export_5_answer);
    QCOMPARE(answer.count('\xF8') + answer.count('\xFE'), export_5_answer.size() - 1);
}

void tst_synthesizer::stops_in_the_middle_of_an_answer() {
    synth->stop_next_answer_after(5);
    QSignalSpy answered(synth.get(), &synthesizer::answered);
    send(export_5);
    QTRY_COMPARE_WITH_TIMEOUT(answered.count(), 1, wait_ms);
    QVERIFY(wait_for_bytes(5));
    QCOMPARE(take(5), export_5_answer.left(5));
    QVERIFY(synth->is_silent());

    // Then nothing: the next request goes unanswered until the stand-in is revived.
    send(connection_request);
    QVERIFY(wait_for_messages(2));
    synth->set_silent(false);
    send(update_request);
    QVERIFY(wait_for_bytes(update_request_acked.size()));
    QCOMPARE(take(update_request_acked.size()), update_request_acked);
}

void tst_synthesizer::corrupts_the_next_answer_data() {
    QTest::addColumn<int>("body_index");
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("answer");
    // Body byte 2 is the id's low nibble: 05 becomes 04.
    QTest::newRow("a nibble of a preset")
        << 2 << export_5 << hex("f0002b1700040a080004000201040009040e0609060407f7");
    // No body: the model id 04 becomes 05.
    QTest::newRow("an answer without body") << 0 << connection_request << hex("f0002b17000501f7");
    // A body too short for the index: the model id again.
    QTest::newRow("index beyond the body")
        << 100 << hex("f0002b170004080f0f0000f7") << hex("f0002b1700050a08000f0f0100f7");
}

void tst_synthesizer::corrupts_the_next_answer() {
    QFETCH(int, body_index);
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, answer);
    synth->corrupt_next_answer(body_index);
    send(request + connection_request);
    QVERIFY(wait_for_bytes(answer.size() + connection_acked.size()));
    QCOMPARE(take(answer.size()).toHex(' '), answer.toHex(' '));
    // Only the next answer.
    QCOMPARE(take(connection_acked.size()), connection_acked);
}

void tst_synthesizer::vanishing_data() {
    QTest::addColumn<setup>("prepare");
    QTest::addColumn<QList<QByteArray>>("requests"); // each sent when the one before is answered
    QTest::addColumn<QByteArray>("answers");         // what comes back before the end
    QTest::addColumn<int>("recorded");               // messages recorded before the end
    QTest::addColumn<qint64>("bytes");               // bytes taken before the end

    QTest::newRow("at once") << setup([](synthesizer& s) { s.vanish(); }) << QList<QByteArray>{}
                             << QByteArray() << 0 << qint64{0};
    // The second request is recorded but not answered.
    QTest::newRow("on the second message")
        << setup([](synthesizer& s) { s.vanish_after_messages(2); })
        << QList<QByteArray>{connection_request, update_request} << connection_acked << 2
        << qint64{16};
    QTest::newRow("three bytes into a request")
        << setup([](synthesizer& s) { s.vanish_after_bytes(3); })
        << QList<QByteArray>{connection_request} << QByteArray() << 0 << qint64{3};
}

void tst_synthesizer::vanishing() {
    QFETCH(setup, prepare);
    QFETCH(QList<QByteArray>, requests);
    QFETCH(QByteArray, answers);
    QFETCH(int, recorded);
    QFETCH(qint64, bytes);
    QSignalSpy gone(synth.get(), &synthesizer::vanished);
    QSignalSpy answered(synth.get(), &synthesizer::answered);
    prepare(*synth);
    for (int i = 0; i < requests.size(); ++i) {
        send(requests[i]);
        QTRY_VERIFY_WITH_TIMEOUT(synth->has_vanished() || answered.count() > i, wait_ms);
    }
    QTRY_VERIFY_WITH_TIMEOUT(synth->has_vanished(), wait_ms);
    QCOMPARE(gone.count(), 1);

    // The serial end has hung up: QSerialPort reports an error and leaves the port open.
    QTRY_VERIFY_WITH_TIMEOUT(!errors.isEmpty(), wait_ms);
    QVERIFY(only_hang_up_errors());
    QVERIFY(port->isOpen());
    QCOMPARE(received, answers);
    QCOMPARE(int(synth->messages().size()), recorded);
    QCOMPARE(synth->bytes_received(), bytes);
    port->close();
}

void tst_synthesizer::vanishing_while_the_image_is_written() {
    synth->vanish_after_bytes(100'000);
    const QByteArray image = make_firmware_image();
    QCOMPARE(port->write(image), qint64(image.size()));
    QTRY_VERIFY_WITH_TIMEOUT(!errors.isEmpty(), wait_ms);
    QVERIFY(only_hang_up_errors());
    QVERIFY(synth->has_vanished());
    QCOMPARE(synth->bytes_received(), qint64{100'000});
    QVERIFY(synth->messages().empty());
    QVERIFY(port->bytesToWrite() > 0);
}

void tst_synthesizer::vanishing_while_a_child_process_runs() {
    // A process started meanwhile must not keep the master end, and so the link, alive.
    QProcess child;
    child.start(QStringLiteral("sleep"), {QStringLiteral("60")});
    QVERIFY(child.waitForStarted(wait_ms));
    synth->vanish();
    QTRY_VERIFY_WITH_TIMEOUT(!errors.isEmpty(), wait_ms);
    QVERIFY(only_hang_up_errors());
    port->close();
    child.kill();
    QVERIFY(child.waitForFinished(wait_ms));
}

void tst_synthesizer::unread_answers_can_be_discarded() {
    // The answer is written after the serial end has been closed.
    synth->set_answer_delay(100);
    QSignalSpy answered(synth.get(), &synthesizer::answered);
    send(connection_request);
    QVERIFY(wait_for_messages(1));
    port->close();
    QTRY_COMPARE_WITH_TIMEOUT(answered.count(), 1, wait_ms);

    synth->discard_unread();
    synth->set_answer_delay(0);
    QVERIFY(port->open(QIODevice::ReadWrite));
    send(update_request);
    QVERIFY(wait_for_bytes(update_request_acked.size()));
    QCOMPARE(take(update_request_acked.size()), update_request_acked);
}

QTEST_GUILESS_MAIN(tst_synthesizer)
#include "tst_synthesizer.moc"
