#include "writer.h"
#include "vortan_log.h"

#include <QDebug>

#include <algorithm>

namespace {

// The fixed parts of the messages, as hex text.
constexpr std::string_view header_hex = "f0002b170004";
constexpr std::string_view export_request_header_hex = "f0002b17000408";
constexpr std::string_view import_header_hex = "f0002b1700040b";
constexpr std::string_view end_hex = "f7";

QByteArray from_hex(std::string_view hex) {
    return QByteArray::fromHex(QByteArray(hex.data(), static_cast<int>(hex.size())));
}

} // namespace

writer_t::writer_t(QSerialPort* port_, QObject* parent) : QObject(parent), port(port_) {
    timer.setSingleShot(true);
}

void writer_t::set_log_interval(std::chrono::milliseconds interval) {
    log_every = std::max(interval, min_log_interval);
}

void writer_t::set_port(QSerialPort* port_) {
    if (connected_port && connected_port != port_) {
        disconnect(connected_port, nullptr, this, nullptr);
        connected_port = nullptr;
    }
    port = port_;
    if (port != nullptr) {
        connect(port, &QIODevice::bytesWritten, this, &writer_t::handleBytesWritten,
                Qt::UniqueConnection);
        connect(port, &QSerialPort::errorOccurred, this, &writer_t::handleError,
                Qt::UniqueConnection);
        connected_port = port;
    }
    connect(&timer, &QTimer::timeout, this, &writer_t::handleTimeout, Qt::UniqueConnection);
}

void writer_t::deactivate() {
    if (port != nullptr && port->isOpen()) {
        port->close();
    }
    port = nullptr;
    // Whatever the closed port still held will never be reported written.
    outstanding = 0;
}

void writer_t::write(const QByteArray& message) {
    last_message = message;
    const qint64 accepted = port != nullptr ? port->write(last_message) : -1;
    if (accepted == -1) {
        qCDebug(quillmar::vortan_log, "No bytes written");
    } else {
        outstanding += accepted;
        if (accepted != last_message.size()) {
            qCDebug(quillmar::vortan_log, "Not all bytes Written");
        }
    }
    finished_flag = outstanding == 0;
    timer.start(log_every);
}

void writer_t::write_sysex(std::string_view hex) {
    write(from_hex(header_hex) + from_hex(hex) + from_hex(end_hex));
}

void writer_t::write_export_request(std::string_view hex) {
    write(from_hex(export_request_header_hex) + from_hex(hex) + from_hex(end_hex));
}

void writer_t::write_prenibled(const QByteArray& nibbles) {
    write(from_hex(export_request_header_hex) + nibbles + from_hex(end_hex));
}

void writer_t::write_import(const QByteArray& body) {
    write(from_hex(import_header_hex) + body + from_hex(end_hex));
}

void writer_t::handleBytesWritten(qint64 bytes) {
    written += bytes;
    outstanding = bytes < outstanding ? outstanding - bytes : 0;
    if (outstanding == 0) {
        written = 0;
        finished_flag = true;
    } else {
        finished_flag = false;
    }
}

void writer_t::handleTimeout() {
    qCDebug(quillmar::vortan_log, "Timout occured");
}

void writer_t::handleError(QSerialPort::SerialPortError error) {
    if (error == QSerialPort::WriteError) {
        qCDebug(quillmar::vortan_log, "IO error occured");
    }
}
