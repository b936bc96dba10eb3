#pragma once

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QSerialPort>
#include <QTimer>

#include <chrono>
#include <string_view>

// Sends the tool's messages to the synthesizer: frames a command or a body into one SysEx
// message, hands it to the serial port in a single write, keeps a copy of it, counts the
// bytes the port reports written and arms a write time-out (five seconds unless the owner
// sets another), which only writes a debug line. Failures go to the debug log only; nothing
// is retried.
class writer_t : public QObject {
    Q_OBJECT

public:
    // Hex text of the command bytes of the two bodiless requests the tool sends.
    static constexpr std::string_view connection_request = "0";
    static constexpr std::string_view firmware_update_request = "2";
    // The write time-out, until set_log_interval sets another.
    static constexpr std::chrono::milliseconds default_log_interval{5000};
    // The shortest write time-out; a shorter one is raised to it.
    static constexpr std::chrono::milliseconds min_log_interval{1};
    static_assert(min_log_interval.count() > 0 && min_log_interval <= default_log_interval,
                  "The write time-out is never zero, and its default is allowed.");

    explicit writer_t(QSerialPort* port = nullptr, QObject* parent = nullptr);

    // Sets the write time-out; it applies from the next write on.
    void set_log_interval(std::chrono::milliseconds interval);
    std::chrono::milliseconds log_interval() const noexcept { return log_every; }

    // Attaches a port. Repeated calls with the same port keep one connection per signal.
    void set_port(QSerialPort* port);
    // Closes the attached port, if any, and forgets it.
    void deactivate();

    // Sends one complete message as it stands.
    void write(const QByteArray& message);
    // Header, the command given as hex text, F7.
    void write_sysex(std::string_view hex);
    // Header with the export request command, the preset id given as hex text, F7.
    void write_export_request(std::string_view hex);
    // Header with the export request command, the preset id nibble bytes as they stand, F7.
    void write_prenibled(const QByteArray& nibbles);
    // Header with the import command, the nibble-encoded preset as it stands, F7.
    void write_import(const QByteArray& body);

    // True when every byte handed to the port has been reported written.
    bool finished() const noexcept { return finished_flag; }
    // Bytes reported written since the last completion.
    qint64 written_total() const noexcept { return written; }
    QSerialPort* attached_port() const noexcept { return port; }

public slots:
    void handleBytesWritten(qint64 bytes);
    void handleTimeout();
    void handleError(QSerialPort::SerialPortError error);

private:
    bool finished_flag = true;
    QSerialPort* port = nullptr;
    QByteArray last_message;
    qint64 written = 0;
    QTimer timer;
    std::chrono::milliseconds log_every = default_log_interval;
    // Bytes the port accepted and has not yet reported written, across messages.
    qint64 outstanding = 0;
    // The port whose signals are connected to this writer.
    QPointer<QSerialPort> connected_port;
};
