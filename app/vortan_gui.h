#pragma once

#include "host.h"
#include "info_box.h"
#include "operation_engine.h"
#include "preset.pb.h"
#include "reader.h"
#include "timings.h"
#include "ui_vortan.h"
#include "writer.h"

#include <QByteArray>
#include <QDateTime>
#include <QDir>
#include <QMainWindow>
#include <QSerialPort>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

class QEvent;
class QMessageBox;
class QObject;
class QWidget;

// Builds the window's form on `window` (widgets, texts, click slots connected by name) and
// hands over the form object, which only points at the widgets; the widgets belong to
// `window`.
std::unique_ptr<Ui_vortan> make_ui(QMainWindow* window);

// Where the port dialog's names come from, and where the port chosen by name is found. The
// tool offers every serial port the system lists (QSerialPortInfo), USB ports first; the
// tests and the demo offer pseudo-terminals through a catalog of their own.
class port_catalog {
public:
    virtual ~port_catalog() = default;
    // The names the port dialog lists, in order.
    virtual QStringList names() const;
    // The system location of the port listed under `name` now; empty when no port of that
    // name is listed any more.
    virtual std::optional<QString> locate(const QString& name) const;
};

// The tool's one window and the host of the operations: the form, the guide panel that
// explains the button under the mouse, the status panel of the operations, the per-user data
// folder, the message boxes and the port dialog. The operations themselves and the device
// link belong to the engine (operation_engine.h); the window's link members and operation
// functions forward to it.
class vortan_gui : public QMainWindow, private quillmar::operation_host {
    Q_OBJECT

public:
    // Builds the form and the panels, creates the data folder and its child "datesaves" and
    // reads the firmware image beside the executable's folder. Opens no port.
    explicit vortan_gui(QWidget* parent = nullptr);
    ~vortan_gui() override;

    // The hover guide: entering one of the three operation buttons explains it in the guide
    // panel, leaving it puts the guide back. Only watches; the buttons get every event.
    bool eventFilter(QObject* watched, QEvent* event) override;

    // A styled box with a single OK button, child of the window; the caller shows it (as a
    // rule with exec()) and may delete it afterwards.
    QMessageBox* message_box_core(QString title, QString text, QString informativeText);
    // Asks with the buttons OK (the default, also for Return) and NO, modally; true exactly
    // when OK was pressed. NO, Escape and closing the box all answer false.
    bool message_box_executor_2choices(QString title, QString text, QString informativeText);

private:
    // Declared first: the link members below refer to its objects.
    std::unique_ptr<quillmar::operation_engine> engine;

public:
    // Per-user data folder of the application; the backups live in its child "datesaves".
    const QString data_location;
    // The staging folder of the running backup; empty while none runs.
    std::optional<QDir> backup_dir() const;
    // The firmware image, read whole at start-up; empty when it is missing or cannot be read
    // completely. The engine checks it when it is set; only an intact image is ever sent.
    const QByteArray& firmware_image;

    // The engine's link: the writer, the reader and the one serial port object.
    writer_t& writer;
    reader_t& reader;
    QSerialPort* const port;

    // Rich texts of the guide panel: the guide itself and one explanation per button.
    const QString guide_title;
    const QString guide_text;
    const QString backup_title;
    const QString backup_text;
    const QString update_title;
    const QString update_text;
    const QString restore_title;
    const QString restore_text;

    // The form: pointers to every widget of the window.
    std::unique_ptr<Ui_vortan> ui;
    // Guide texts over passive_info_title and passive_info_main.
    info_box guide_panel;
    // Progress, spinner and result notices over label_spinner and active_info_text.
    info_box status_panel;

    // The state of the running operation, as the engine has it.
    // Presets of the running restore, in sending order, and the one whose answer is awaited.
    const std::vector<proto::Preset>& restore_list() const;
    std::vector<proto::Preset>::const_iterator restore_cursor() const;
    // Index of the preset last requested by a backup; 0 between backups.
    std::uint16_t preset_counter() const;
    // The engine's answer and export watches, and the payload of the running operation.
    QTimer* const export_timer;
    QByteArray& transfer_buffer;
    QTimer* const operation_timer;
    // Connection state of a firmware update.
    using connection_state = quillmar::connection_state;
    static constexpr connection_state idle = quillmar::idle;
    static constexpr connection_state connected = quillmar::connected;
    static constexpr connection_state sending = quillmar::sending;
    connection_state update_state() const;
    // Which operation runs (operation_engine::running).
    using operation = quillmar::operation_kind;

    // Replaces the catalog the port dialog lists (tests offer pseudo-terminals).
    void set_port_catalog(std::unique_ptr<port_catalog> catalog);

    // Lets the user choose a port; the chosen port's system location, or empty when none
    // was chosen or the chosen one is gone.
    std::optional<QString> checkForPort();
    // Notice "ERROR\nVORTAN NOT CONNECTED".
    void unable_to_connect();
    // Closes the link: the port, the writer and the reader; update_state becomes idle.
    void disconnect_action();

    // The operations' steps, forwarded to the engine.
    void init_firmware_handlers();
    void send_firmware();
    void init_preset_handlers();
    void request_next();
    void backup_visuals();
    bool preset_to_text(proto::Preset& preset);

private slots:
    // A preset export began and did not end in time.
    void export_failed();

    // The operations' entry points, connected by name to clicked() of the three buttons.
    bool on_button_send_clicked();
    bool on_button_backup_clicked();
    bool on_button_firmware_clicked();

    // Time-outs of operation_timer: the connection handshake, a backup, a restore.
    void connection_acked();
    void backup_nacked();
    void send_nacked();

public slots:
    // The port reports an error: a lost device (ResourceError) ends the operation.
    void connection_err(QSerialPort::SerialPortError err);

private:
    // The host: what the operations show and ask.
    void show_progress(const QString& text, bool start_spinner) override;
    void end_progress() override;
    void show_notice(const QString& text) override;
    void show_message(const QString& title, const QString& text,
                      const QString& informative) override;
    bool ask(const QString& title, const QString& text, const QString& informative) override;
    void set_buttons_enabled(bool enabled) override;
    std::optional<QString> choose_port() override;

    std::unique_ptr<port_catalog> ports;

    // The tests' view of the engine (tests/common/gui_access.h).
    friend struct vortan_gui_test_access;
};
