#include "reader.h"
#include "vortan_log.h"

#include <QByteArray>
#include <QDebug>

#include <algorithm>
#include <cstddef>

#ifdef Q_OS_UNIX
#include <poll.h>
#endif

reader_t::reader_t(QSerialPort* port_, QObject* parent) : QObject(parent), port(port_) {
    timer.setSingleShot(false);
    timer.setInterval(default_log_interval);
}

void reader_t::set_log_interval(std::chrono::milliseconds interval) {
    // A running timer restarts with the new interval.
    timer.setInterval(std::max(interval, min_log_interval));
}

void reader_t::set_port(QSerialPort* port_) {
    if (port_ == nullptr) {
        return;
    }
    if (connected_port && connected_port != port_) {
        disconnect(connected_port, nullptr, this, nullptr);
    }
    port = port_;
    connected_port = port_;
    hangup_reported = false;
    read_errors_in_a_row = 0;
    connect(port, &QIODevice::readyRead, this, &reader_t::handleReadyRead, Qt::UniqueConnection);
    connect(port, &QSerialPort::errorOccurred, this, &reader_t::handleError, Qt::UniqueConnection);
    connect(&timer, &QTimer::timeout, this, &reader_t::handleTimeout, Qt::UniqueConnection);
    timer.start();
}

void reader_t::deactivate() {
    if (port != nullptr && port->isOpen()) {
        port->close();
    }
    port = nullptr;
    // Nothing is read any more: the periodic line would only repeat for ever.
    timer.stop();
}

void reader_t::handleReadyRead() {
    if (port == nullptr) {
        return;
    }
    const QByteArray bytes = port->readAll();
    if (!bytes.isEmpty()) {
        read_errors_in_a_row = 0;
    }
    for (const char c : bytes) {
        midi_parser.parse(static_cast<std::byte>(c));
    }
    if (!timer.isActive()) {
        timer.start();
    }
}

void reader_t::handleTimeout() {
    qCDebug(quillmar::vortan_log, "Timeout Read");
}

void reader_t::handleError(QSerialPort::SerialPortError error) {
    if (error != QSerialPort::ReadError) {
        return;
    }
    qCDebug(quillmar::vortan_log, "I/O error on Read ");
    ++read_errors_in_a_row;
    if (port == nullptr || hangup_reported || !port->isOpen()) {
        return;
    }
    if (device_hung_up() || read_errors_in_a_row >= read_errors_before_hangup) {
        hangup_reported = true;
        // Closing stops the port's read notifications, which would otherwise fire without
        // pause on the hung-up device.
        port->close();
        emit hangup();
    }
}

bool reader_t::device_hung_up() const {
#ifdef Q_OS_UNIX
    pollfd watched{};
    watched.fd = static_cast<int>(port->handle());
    watched.events = POLLIN;
    if (watched.fd < 0 || ::poll(&watched, 1, 0) < 0) {
        return false;
    }
    return (watched.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
#else
    return false;
#endif
}
