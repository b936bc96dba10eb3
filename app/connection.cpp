// How the window reaches the synthesizer: the port dialog, opening and closing the link,
// and the failure handling every operation shares (answer time-outs, a lost device).

#include "custom_dialog.h"
#include "port_order.h"
#include "vortan_gui.h"
#include "vortan_log.h"

#include <QComboBox>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QSerialPortInfo>
#include <QtGlobal>

#include <cerrno>
#include <vector>

namespace {

const QString not_connected_notice = QStringLiteral("ERROR\nVORTAN NOT CONNECTED");
const QString backup_failed_notice = QStringLiteral("ERROR\nBACKUP FAILED");
const QString send_failed_notice = QStringLiteral("ERROR\nSEND FAILED");
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

QStringList port_catalog::names() const {
    std::vector<quillmar::listed_port> listed;
    for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts()) {
        listed.push_back({info.portName(), info.hasVendorIdentifier()});
    }
    return quillmar::usb_ports_first(listed);
}

std::optional<QString> port_catalog::locate(const QString& name) const {
    for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts()) {
        if (!info.portName().isEmpty() && info.portName() == name) {
            return info.systemLocation();
        }
    }
    return std::nullopt;
}

void vortan_gui::set_port_catalog(std::unique_ptr<port_catalog> catalog) {
    if (catalog) {
        ports = std::move(catalog);
    }
}

std::optional<QString> vortan_gui::checkForPort() {
    custom_dialog dialog(this);
    dialog.init(ports->names());
    if (dialog.exec() != QDialog::Accepted) {
        return std::nullopt;
    }
    // Listed again: the chosen port may have gone while the dialog was open.
    return ports->locate(dialog.comboBox()->currentText());
}

bool vortan_gui::close_update_connection() {
    // Open from the greeting on: while the handshake is awaited as much as once it stands.
    if (update_state == idle && running != operation::update) {
        return false;
    }
    running = operation::none;
    update_request_outstanding = false;
    update_state = idle;
    disconnect_action();
    return true;
}

std::optional<QString> vortan_gui::choose_port() {
    std::optional<QString> location = checkForPort();
    if (!location) {
        unable_to_connect();
    }
    return location;
}

void vortan_gui::unable_to_connect() {
    status_panel.take_notification_action(QString(), not_connected_notice);
}

bool vortan_gui::open_link(const QString& location) {
    port->setPortName(location);
    // One connection however often a port is opened, so a lost device is handled once.
    connect(port, SIGNAL(error(QSerialPort::SerialPortError)), this,
            SLOT(connection_err(QSerialPort::SerialPortError)), Qt::UniqueConnection);
    // A port still open (the connection an update leaves) is used as it is.
    if (!port->isOpen() && !port->open(QIODevice::ReadWrite)) {
        qCDebug(quillmar::vortan_log, "Unable to open");
        const port_fault fault = classify_port_fault(port->error(), port->errorString());
        QPointer<QMessageBox> box =
            message_box_core(port_error_title, port_error_text(location),
                             port_fault_explanation(fault, port->errorString()));
        box->exec();
        delete box.data();
        return false;
    }
    writer.set_port(port);
    reader.set_port(port);
    return true;
}

void vortan_gui::disconnect_action() {
    // No answer can come over a closed link, so nothing may judge the update later.
    end_handshake_watch();
    verdict_timer.stop();
    port->close();
    writer.deactivate();
    reader.deactivate();
    update_state = idle;
}

void vortan_gui::end_handshake_watch() {
    if (disconnect(operation_timer, SIGNAL(timeout()), this, SLOT(connection_acked()))) {
        operation_timer->stop();
    }
}

void vortan_gui::connection_acked() {
    if (update_state == idle) {
        QPointer<QMessageBox> box =
            message_box_core(QString(), connection_rejected_text, QString());
        box->exec();
        delete box.data();
        // Whatever happened while the box was open, the handshake has failed.
        update_state = idle;
        running = operation::none;
    }
    end_handshake_watch();
}

void vortan_gui::backup_nacked() {
    preset_counter = 0;
    export_timer->stop();
    abandon_backup();
    running = operation::none;
    status_panel.finish(info_box::state::active);
    status_panel.take_notification_action(QString(), backup_failed_notice);
    ui->button_firmware->setEnabled(true);
    ui->button_send->setEnabled(true);
    ui->button_backup->setEnabled(true);
    disconnect_action();
    disconnect(operation_timer, SIGNAL(timeout()), this, SLOT(backup_nacked()));
    operation_timer->stop();
}

void vortan_gui::send_nacked() {
    preset_counter = 0;
    running = operation::none;
    status_panel.finish(info_box::state::active);
    status_panel.take_notification_action(QString(), send_failed_notice);
    ui->button_firmware->setEnabled(true);
    ui->button_send->setEnabled(true);
    ui->button_backup->setEnabled(true);
    disconnect_action();
    disconnect(operation_timer, SIGNAL(timeout()), this, SLOT(send_nacked()));
    operation_timer->stop();
}

void vortan_gui::connection_err(QSerialPort::SerialPortError err) {
    if (err != QSerialPort::ResourceError) {
        return;
    }
    connection_lost();
}

// The device has gone (unplugged, or the port reports it unavailable). The link is closed
// before the user is told, so a hung-up port cannot keep the event loop busy while the box
// is open, and the box is shown once: a second report of the same loss finds the link
// already closed.
void vortan_gui::connection_lost() {
    if (writer.attached_port() == nullptr && reader.attached_port() == nullptr) {
        return;
    }
    disconnect(port, SIGNAL(error(QSerialPort::SerialPortError)), this,
               SLOT(connection_err(QSerialPort::SerialPortError)));
    // No answer can come any more: nothing may time out later.
    operation_timer->stop();
    disconnect(operation_timer, SIGNAL(timeout()), this, nullptr);
    export_timer->stop();
    disconnect(export_timer, SIGNAL(timeout()), this, nullptr);
    if (running == operation::backup) {
        abandon_backup();
    }
    running = operation::none;
    preset_counter = 0;
    status_panel.finish(info_box::state::active);
    ui->button_firmware->setEnabled(true);
    ui->button_send->setEnabled(true);
    ui->button_backup->setEnabled(true);
    disconnect_action();
    QPointer<QMessageBox> box =
        message_box_core(QStringLiteral("ERROR"), QStringLiteral("DISCONNECTED"), QString());
    box->exec();
    delete box.data();
}
