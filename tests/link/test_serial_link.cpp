#include "hex.h"
#include "parser_chain.h"
#include "preset_related.h"
#include "pty_pair.h"
#include "reader.h"
#include "writer.h"

#include <QtTest>

#include <QElapsedTimer>
#include <QLoggingCategory>
#include <QSerialPort>

#include <memory>
#include <unistd.h>

using link_test::bytes;
using link_test::hex;

namespace {

// Debug log lines, captured while a test runs, and when each came (milliseconds on
// `log_clock`).
QStringList* captured_log = nullptr;
QList<qint64>* captured_at = nullptr;
QElapsedTimer log_clock;

void capture(QtMsgType, const QMessageLogContext&, const QString& text) {
    if (captured_log != nullptr) {
        *captured_log << text;
    }
    if (captured_at != nullptr) {
        *captured_at << log_clock.elapsed();
    }
}

QByteArray read_available(int fd) {
    QByteArray out;
    char chunk[4096];
    for (;;) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n <= 0) {
            return out;
        }
        out.append(chunk, static_cast<int>(n));
    }
}

bool write_all(int fd, const QByteArray& data) {
    return ::write(fd, data.constData(), static_cast<size_t>(data.size())) == data.size();
}

} // namespace

class test_serial_link : public QObject {
    Q_OBJECT

    std::unique_ptr<quillmar::standin::pty_pair> pty;
    std::unique_ptr<QSerialPort> port;
    QStringList log;
    QList<qint64> log_times; // beside each line of `log`
    QByteArray received;     // what reached the synthesizer's end

    // Reads what the master end has and tells whether all of `expected` has arrived.
    bool master_has(int size) {
        received += read_available(pty->master());
        return received.size() >= size;
    }

private slots:
    // The lines checked here are off by default in a release build.
    void initTestCase() { QLoggingCategory::setFilterRules(QStringLiteral("vortan.debug=true")); }

    void init() {
        log.clear();
        log_times.clear();
        received.clear();
        captured_log = &log;
        captured_at = &log_times;
        log_clock.start();
        qInstallMessageHandler(capture);
        pty = std::make_unique<quillmar::standin::pty_pair>();
        QVERIFY(pty->valid());
        port = std::make_unique<QSerialPort>(pty->slave_path());
        QVERIFY(port->open(QIODevice::ReadWrite));
    }

    void cleanup() {
        port.reset();
        pty.reset();
        qInstallMessageHandler(nullptr);
        captured_log = nullptr;
        captured_at = nullptr;
    }

    void writer_puts_exact_bytes_data() {
        QTest::addColumn<QString>("call");
        QTest::addColumn<QByteArray>("argument");
        QTest::addColumn<QString>("wire");
        QTest::newRow("connection request")
            << "sysex" << QByteArray(writer_t::connection_request.data())
            << "F0 00 2B 17 00 04 00 F7";
        QTest::newRow("firmware update request")
            << "sysex" << QByteArray(writer_t::firmware_update_request.data())
            << "F0 00 2B 17 00 04 02 F7";
        QTest::newRow("export request for preset 0 as hex text")
            << "export" << QByteArray("00000000") << "F0 00 2B 17 00 04 08 00 00 00 00 F7";
        QTest::newRow("export request for preset 256 as nibbles")
            << "prenibled" << bytes("00 00 01 00") << "F0 00 2B 17 00 04 08 00 00 01 00 F7";
        QTest::newRow("import of a two-byte preset, 2s + 8 bytes")
            << "import" << byte_array_to_sys(bytes("12 34"))
            << "F0 00 2B 17 00 04 0B 02 01 04 03 F7";
        QTest::newRow("firmware image sent as it stands")
            << "whole" << bytes("F0 00 2B 17 00 04 05 01 09 02 01 04 03 F7")
            << "F0 00 2B 17 00 04 05 01 09 02 01 04 03 F7";
    }

    void writer_puts_exact_bytes() {
        QFETCH(QString, call);
        QFETCH(QByteArray, argument);
        QFETCH(QString, wire);
        writer_t writer;
        QVERIFY(writer.finished());
        writer.set_port(port.get());
        const std::string text = argument.toStdString();
        if (call == "sysex") {
            writer.write_sysex(text);
        } else if (call == "export") {
            writer.write_export_request(text);
        } else if (call == "prenibled") {
            writer.write_prenibled(argument);
        } else if (call == "import") {
            writer.write_import(argument);
        } else {
            writer.write(argument);
        }
        const int size = static_cast<int>(wire.split(' ').size());
        QTRY_VERIFY(master_has(size));
        QCOMPARE(hex(received), wire);
        QTRY_VERIFY(writer.finished());
        QCOMPARE(writer.written_total(), 0);
        QVERIFY(log.isEmpty());
    }

    // A message larger than the line's buffer goes out, and is reported written, in parts
    // as the synthesizer's end reads it: not finished while parts are missing, then
    // finished with the total back at 0.
    void writer_counts_a_message_written_in_parts() {
        writer_t writer;
        writer.set_port(port.get());
        const QByteArray body(200000, '\x05');
        const QByteArray message = bytes("F0 00 2B 17 00 04 0B") + body + bytes("F7");
        writer.write_import(body);
        QVERIFY(!writer.finished());
        bool seen_a_part = false;
        const auto read_some = [&] {
            if (writer.written_total() > 0 && !writer.finished()) {
                seen_a_part = true;
            }
            return master_has(message.size());
        };
        QTRY_VERIFY_WITH_TIMEOUT(read_some(), 30000);
        QCOMPARE(received, message);
        QVERIFY(seen_a_part);
        QTRY_VERIFY(writer.finished());
        QCOMPARE(writer.written_total(), 0);
    }

    // Two requests handed over before the first has drained: both go out, and the writer
    // still ends finished.
    void writer_counts_back_to_back_messages() {
        writer_t writer;
        writer.set_port(port.get());
        writer.write_sysex(writer_t::connection_request);
        writer.write_sysex(writer_t::firmware_update_request);
        QVERIFY(!writer.finished());
        QTRY_VERIFY(master_has(16));
        QCOMPARE(hex(received), "F0 00 2B 17 00 04 00 F7 F0 00 2B 17 00 04 02 F7");
        QTRY_VERIFY(writer.finished());
        QCOMPARE(writer.written_total(), 0);
    }

    void writer_without_port() {
        writer_t writer;
        writer.deactivate();
        QCOMPARE(writer.attached_port(), nullptr);
        writer.write_sysex(writer_t::connection_request);
        QCOMPARE(log, QStringList{"No bytes written"});
        QVERIFY(writer.finished());
    }

    // Port errors reach the debug log once per signal, however often the port was attached;
    // each side logs only its own kind of error.
    void error_lines_data() {
        QTest::addColumn<QSerialPort::SerialPortError>("error");
        QTest::addColumn<QStringList>("lines");
        QTest::newRow("write error") << QSerialPort::WriteError << QStringList{"IO error occured"};
        QTest::newRow("read error") << QSerialPort::ReadError << QStringList{"I/O error on Read "};
        QTest::newRow("resource error") << QSerialPort::ResourceError << QStringList{};
        QTest::newRow("timeout error") << QSerialPort::TimeoutError << QStringList{};
    }

    void error_lines() {
        QFETCH(QSerialPort::SerialPortError, error);
        QFETCH(QStringList, lines);
        writer_t writer;
        reader_t reader;
        QSignalSpy hangups(&reader, &reader_t::hangup);
        for (int i = 0; i < 3; ++i) {
            writer.set_port(port.get());
            reader.set_port(port.get());
        }
        emit port->errorOccurred(error);
        QCOMPARE(log, lines);
        // A read error on a healthy line is no hang-up.
        QCOMPARE(hangups.count(), 0);
        QVERIFY(port->isOpen());
    }

    // The write time-out logs once, its interval after a write, even when all went out and
    // the writer was detached; the reader's line repeats at its interval while it is
    // attached, and ends when it is detached (after an operation it would repeat for ever).
    // Both intervals are five seconds unless the owner sets others, as here.
    void time_out_lines() {
        constexpr std::chrono::milliseconds write_interval{150};
        constexpr std::chrono::milliseconds read_interval{100};
        // A timer may fire up to 5 % early.
        const auto not_before = [](std::chrono::milliseconds interval) {
            return interval.count() * 95 / 100;
        };
        writer_t writer;
        reader_t reader;
        writer.set_log_interval(write_interval);
        reader.set_log_interval(read_interval);
        writer.set_port(port.get());
        const qint64 attached = log_clock.elapsed();
        reader.set_port(port.get());
        writer.write_sysex(writer_t::connection_request);
        QTRY_VERIFY(writer.finished());
        writer.deactivate();
        QTRY_VERIFY_WITH_TIMEOUT(log.contains("Timout occured"), 20000);
        const qint64 write_line_at = log_times[log.indexOf("Timout occured")];
        QVERIFY(write_line_at - attached >= not_before(write_interval));
        QTRY_VERIFY_WITH_TIMEOUT(log.count("Timeout Read") >= 2, 30000);
        QVERIFY(log_times[log.indexOf("Timeout Read", log.indexOf("Timeout Read") + 1)] -
                    attached >=
                2 * not_before(read_interval));
        // The reader's lines go on; two write intervals after the write's line, it has still
        // come only once.
        QTRY_VERIFY_WITH_TIMEOUT(log_times.last() - write_line_at >= 2 * write_interval.count(),
                                 30000);
        QCOMPARE(log.count("Timout occured"), 1);
        QVERIFY(reader.logging_periodically());
        reader.deactivate();
        QVERIFY(!reader.logging_periodically());
    }

    // A log interval under a millisecond is raised to one, so that no line can keep the
    // event loop busy; one set while the reader's line is under way takes effect at once.
    void log_interval_bounds() {
        writer_t writer;
        reader_t reader;
        writer.set_log_interval(std::chrono::milliseconds{0});
        reader.set_log_interval(std::chrono::milliseconds{-5});
        QCOMPARE(writer.log_interval(), writer_t::min_log_interval);
        QCOMPARE(reader.log_interval(), reader_t::min_log_interval);

        reader.set_log_interval(reader_t::default_log_interval);
        reader.set_port(port.get());
        reader.set_log_interval(std::chrono::milliseconds{50});
        QVERIFY(reader.logging_periodically());
        QTRY_VERIFY_WITH_TIMEOUT(log.contains("Timeout Read"), 2000);
    }

    // A message that arrives in three pieces raises its event once, in the read that
    // completes it.
    void reader_joins_pieces() {
        reader_t reader;
        quillmar::chain_parsers(reader.midi_parser, reader.sysex_parser);
        int reads = 0;
        // Connected before the reader, so it counts each delivery before the reader reads.
        connect(port.get(), &QIODevice::readyRead, this, [&reads] { ++reads; });
        reader.set_port(port.get());
        QList<int> acked_in_read;
        reader.sysex_parser.set_connection_request_acked_listener(
            [&acked_in_read, &reads] { acked_in_read << reads; });

        const auto midi_state = [&reader] { return reader.midi_parser.current_state().index(); };
        QVERIFY(write_all(pty->master(), bytes("F0 00 2B")));
        QTRY_COMPARE(midi_state(), 6u); // waiting for the third data byte
        QVERIFY(write_all(pty->master(), bytes("17 00 04")));
        QTRY_COMPARE(midi_state(), 7u); // collecting data
        QVERIFY(acked_in_read.isEmpty());
        QVERIFY(write_all(pty->master(), bytes("01 F7")));
        QTRY_COMPARE(acked_in_read.size(), 1);
        QVERIFY(reads >= 3);
        QCOMPARE(acked_in_read.front(), reads);
    }

    void reader_two_messages_in_one_read() {
        reader_t reader;
        quillmar::chain_parsers(reader.midi_parser, reader.sysex_parser);
        int reads = 0;
        connect(port.get(), &QIODevice::readyRead, this, [&reads] { ++reads; });
        reader.set_port(port.get());
        reader.set_port(nullptr); // changes nothing
        QCOMPARE(reader.attached_port(), port.get());
        QStringList events;
        reader.sysex_parser.set_preset_import_succeeded_listener(
            [&] { events << QStringLiteral("succeeded in read %1").arg(reads); });
        reader.sysex_parser.set_preset_import_failed_listener(
            [&] { events << QStringLiteral("failed in read %1").arg(reads); });
        QVERIFY(write_all(pty->master(), bytes("F0 00 2B 17 00 04 0C F7 F0 00 2B 17 00 04 0D F7")));
        QTRY_COMPARE(events.size(), 2);
        QCOMPARE(events, (QStringList{"succeeded in read 1", "failed in read 1"}));
    }

    void reader_detached_reads_nothing() {
        reader_t reader;
        int starts = 0;
        reader.midi_parser.set_sysex_start_listener(
            [&starts](std::byte, std::byte, std::byte) { ++starts; });
        reader.set_port(port.get());
        QVERIFY(reader.logging_periodically());
        reader.deactivate();
        QVERIFY(!port->isOpen());
        QCOMPARE(reader.attached_port(), nullptr);
        QVERIFY(!reader.logging_periodically());
        reader.handleReadyRead();
        QCOMPARE(starts, 0);
        // A late notification does not start the periodic line again; attaching does.
        QVERIFY(!reader.logging_periodically());
        reader.set_port(port.get());
        QVERIFY(reader.logging_periodically());
    }

    // The synthesizer vanishes while the port is open: the reader reports it once, closes
    // the port and does not spin on the dead line.
    void reader_reports_a_vanished_device_once() {
        reader_t reader;
        writer_t writer;
        QSignalSpy hangups(&reader, &reader_t::hangup);
        writer.set_port(port.get());
        reader.set_port(port.get());
        pty->close_master();
        QTRY_COMPARE(hangups.count(), 1);
        QVERIFY(!port->isOpen());
        // Let the event loop run on: nothing more may come.
        QTest::qWait(500);
        QCOMPARE(hangups.count(), 1);
        QVERIFY2(log.count("I/O error on Read ") <= reader_t::read_errors_before_hangup,
                 qPrintable(QString::number(log.count("I/O error on Read "))));
    }
};

QTEST_GUILESS_MAIN(test_serial_link)
#include "test_serial_link.moc"
