#pragma once

#include "midi_parser.h"
#include "sysex_parser.h"

#include <QObject>
#include <QPointer>
#include <QSerialPort>
#include <QTimer>

#include <chrono>

// Receives everything the synthesizer sends: whenever the attached port has data, reads
// all of it and feeds it byte by byte to the MIDI stream parser, which hands SysEx
// messages on to the device message parser (the owner joins the two). Every listener runs
// inside that read. Port errors go to the debug log, and a line every five seconds (unless
// the owner sets another interval) while a port is attached.
//
// A device that vanishes (USB unplug, or a pseudo-terminal whose master closed) leaves the
// port hung up: every read then ends at once with nothing, which the port reports as a
// read error over and over. The reader recognises that state, closes the port so the event
// loop no longer spins on it, and emits hangup() once per attachment.
class reader_t : public QObject {
    Q_OBJECT

public:
    // The interval of the periodic line, until set_log_interval sets another.
    static constexpr std::chrono::milliseconds default_log_interval{5000};
    // The shortest interval; a shorter one is raised to it, so that the line can never keep
    // the event loop busy.
    static constexpr std::chrono::milliseconds min_log_interval{1};
    static_assert(min_log_interval.count() > 0 && min_log_interval <= default_log_interval,
                  "The periodic line never repeats without a pause, and its default is allowed.");
    // Read errors in a row with no data in between after which the device counts as gone,
    // where the system cannot tell a hang-up directly.
    static constexpr int read_errors_before_hangup = 16;
    static_assert(read_errors_before_hangup > 1,
                  "A single read error must not be taken for a vanished device.");

    explicit reader_t(QSerialPort* port = nullptr, QObject* parent = nullptr);

    // Public: the owner joins the two parsers and registers the operations' listeners.
    quillmar::sysex_parser_buffered<1> sysex_parser;
    quillmar::midi_parser_buffered<1000> midi_parser;

    // Attaches a port; a null port changes nothing. Repeated calls with the same port keep
    // one connection per signal.
    void set_port(QSerialPort* port);
    // Closes the attached port, if any, and forgets it; the periodic line stops.
    void deactivate();
    // Sets the interval of the periodic line; a line under way is rescheduled with it.
    void set_log_interval(std::chrono::milliseconds interval);
    std::chrono::milliseconds log_interval() const noexcept {
        return std::chrono::milliseconds{timer.interval()};
    }

    QSerialPort* attached_port() const noexcept { return port; }
    // True while the periodic line is due.
    bool logging_periodically() const noexcept { return timer.isActive(); }

signals:
    // The attached device has gone away; the port has been closed.
    void hangup();

public slots:
    void handleReadyRead();
    void handleTimeout();
    void handleError(QSerialPort::SerialPortError error);

private:
    bool device_hung_up() const;

    QSerialPort* port = nullptr;
    QTimer timer;
    // The port whose signals are connected to this reader.
    QPointer<QSerialPort> connected_port;
    bool hangup_reported = false;
    int read_errors_in_a_row = 0;
};
