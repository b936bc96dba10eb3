// The link the operations share: opening and closing the port, the answer watches, and a
// lost device.

#include "operation_engine.h"

#include "parser_chain.h"
#include "vortan_log.h"

#include <QtGlobal>

#include <cerrno>

namespace quillmar {

namespace {

const QString not_connected_notice = QStringLiteral("ERROR\nVORTAN NOT CONNECTED");
const QString connection_rejected_text = QStringLiteral("ERROR\nCONNECTION REJECTED!");
const QString port_error_title = QStringLiteral("PORT ERROR");
const QString permission_denied_text =
    QStringLiteral("PERMISSION DENIED\nADD YOUR USER TO THE GROUP DIALOUT AND LOG IN AGAIN");
const QString port_busy_text =
    QStringLiteral("THE PORT IS IN USE BY ANOTHER PROGRAM\nCLOSE IT AND TRY AGAIN");
const QString port_gone_text = QStringLiteral("THE PORT IS GONE\nCONNECT VORTAN AND TRY AGAIN");
const QString port_failed_text = QStringLiteral("THE PORT REPORTS AN ERROR");

// Why a serial port would not open, as far as the user can do something about it.
enum class port_fault { permission_denied, busy, gone, other };

// QSerialPort reports a refused open(), a port another program holds exclusively (EBUSY) and
// a port whose lock file another program holds all as PermissionError. Only the refused
// open() carries the system's own text for a denied access.
port_fault classify_port_fault(QSerialPort::SerialPortError error, const QString& error_text) {
    switch (error) {
    case QSerialPort::DeviceNotFoundError:
        return port_fault::gone;
    case QSerialPort::PermissionError:
        return error_text == qt_error_string(EACCES) || error_text == qt_error_string(EPERM)
                   ? port_fault::permission_denied
                   : port_fault::busy;
    default:
        return port_fault::other;
    }
}

QString port_fault_explanation(port_fault fault, const QString& error_text) {
    switch (fault) {
    case port_fault::permission_denied:
        return permission_denied_text;
    case port_fault::busy:
        return port_busy_text;
    case port_fault::gone:
        return port_gone_text;
    case port_fault::other:
        break;
    }
    return error_text.isEmpty() ? port_failed_text
                                : port_failed_text + QStringLiteral("\n") + error_text.toUpper();
}

// "CANNOT OPEN ttyUSB0": the port as the port dialog lists it, which is its location without
// "/dev/" (a location elsewhere is shown whole).
QString port_error_text(const QString& location) {
    const QString devices = QStringLiteral("/dev/");
    return QStringLiteral("CANNOT OPEN ") +
           (location.startsWith(devices) ? location.mid(devices.size()) : location);
}

} // namespace

operation_engine::operation_engine(QString data_location, operation_host& host, QObject* parent)
    : QObject(parent), port(new QSerialPort(this)), operation_timer(new QTimer(this)),
      export_timer(new QTimer(this)), data_location(std::move(data_location)), host(host) {
    operation_timer->setSingleShot(true);
    export_timer->setSingleShot(true);
    update_hint_timer.setSingleShot(true);
    verdict_timer.setSingleShot(true);
    // Each timer means one thing to each operation; the running one decides.
    connect(operation_timer, &QTimer::timeout, this, &operation_engine::answer_overdue);
    connect(export_timer, &QTimer::timeout, this, &operation_engine::export_failed);
    connect(&reader, &reader_t::hangup, this, &operation_engine::connection_lost);
    watch_update();
    chain_parsers(reader.midi_parser, reader.sysex_parser);
    init_firmware_handlers();
    init_preset_handlers();
}

operation_engine::~operation_engine() {
    // Nothing may reach the host while the engine goes.
    QObject::disconnect(port, nullptr, this, nullptr);
    QObject::disconnect(&reader, nullptr, this, nullptr);
    operation_timer->stop();
    export_timer->stop();
    verdict_timer.stop();
    update_hint_timer.stop();
}

operation_kind operation_engine::running() const {
    return std::visit(
        [](const auto& state) {
            using type = std::decay_t<decltype(state)>;
            if constexpr (std::is_same_v<type, backup_run>) {
                return operation_kind::backup;
            } else if constexpr (std::is_same_v<type, restore_run>) {
                return operation_kind::restore;
            } else if constexpr (std::is_same_v<type, update_run>) {
                return operation_kind::update;
            } else {
                return operation_kind::none;
            }
        },
        run);
}

void operation_engine::set_buttons_enabled(bool enabled) {
    host.set_buttons_enabled(enabled);
}

bool operation_engine::close_update_connection() {
    // Open from the greeting on: while the handshake is awaited as much as once it stands.
    if (link_state == idle && running() != operation_kind::update) {
        return false;
    }
    run = idle_run{};
    disconnect_action();
    return true;
}

std::optional<QString> operation_engine::choose_port() {
    std::optional<QString> location = host.choose_port();
    if (!location) {
        unable_to_connect();
    }
    return location;
}

void operation_engine::unable_to_connect() {
    host.show_notice(not_connected_notice);
}

bool operation_engine::open_link(const QString& location) {
    port->setPortName(location);
    // One connection however often a port is opened, so a lost device is handled once.
    connect(port, &QSerialPort::errorOccurred, this, &operation_engine::connection_err,
            Qt::UniqueConnection);
    // A port still open (the connection an update leaves) is used as it is.
    if (!port->isOpen() && !port->open(QIODevice::ReadWrite)) {
        qCDebug(vortan_log, "Unable to open");
        const port_fault fault = classify_port_fault(port->error(), port->errorString());
        host.show_message(port_error_title, port_error_text(location),
                          port_fault_explanation(fault, port->errorString()));
        return false;
    }
    writer.set_log_interval(timing.link_log);
    reader.set_log_interval(timing.link_log);
    writer.set_port(port);
    reader.set_port(port);
    return true;
}

void operation_engine::disconnect_action() {
    // No answer can come over a closed link, so nothing may judge the update later. A
    // backup or a restore ends its own watch.
    if (running() != operation_kind::backup && running() != operation_kind::restore) {
        operation_timer->stop();
    }
    verdict_timer.stop();
    port->close();
    writer.deactivate();
    reader.deactivate();
    link_state = idle;
}

void operation_engine::answer_overdue() {
    switch (running()) {
    case operation_kind::backup:
        backup_nacked();
        break;
    case operation_kind::restore:
        send_nacked();
        break;
    case operation_kind::update:
        connection_acked();
        break;
    case operation_kind::none:
        break;
    }
}

void operation_engine::connection_acked() {
    const update_run* update = update_state_of_run();
    if (update == nullptr || update->at != update_run::step::handshake) {
        return;
    }
    operation_timer->stop();
    if (link_state == idle) {
        host.show_message(QString(), connection_rejected_text, QString());
        // Whatever happened while the box was open, the handshake has failed.
        link_state = idle;
        run = idle_run{};
    }
}

void operation_engine::connection_err(QSerialPort::SerialPortError err) {
    if (err != QSerialPort::ResourceError) {
        return;
    }
    connection_lost();
}

// The device has gone (unplugged, or the port reports it unavailable). The link is closed
// before the user is told, so a hung-up port cannot keep the event loop busy while the box
// is open, and the box is shown once: a second report of the same loss finds the link
// already closed.
void operation_engine::connection_lost() {
    if (writer.attached_port() == nullptr && reader.attached_port() == nullptr) {
        return;
    }
    QObject::disconnect(port, &QSerialPort::errorOccurred, this, &operation_engine::connection_err);
    // No answer can come any more: nothing may time out later.
    operation_timer->stop();
    export_timer->stop();
    if (running() == operation_kind::backup) {
        abandon_backup();
    }
    run = idle_run{};
    host.end_progress();
    set_buttons_enabled(true);
    disconnect_action();
    host.show_message(QStringLiteral("ERROR"), QStringLiteral("DISCONNECTED"), QString());
}

} // namespace quillmar
