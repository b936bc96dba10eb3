#pragma once

#include "firmware_check.h"
#include "info_box.h"
#include "preset.pb.h"
#include "reader.h"
#include "timings.h"
#include "ui_vortan.h"
#include "writer.h"

#include <QByteArray>
#include <QDateTime>
#include <QDeadlineTimer>
#include <QDir>
#include <QMainWindow>
#include <QSerialPort>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <bitset>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

class QEvent;
class QLockFile;
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

// The tool's one window and the owner of everything else: the form, the guide panel that
// explains the button under the mouse, the status panel of the operations, the per-user
// data folder and the firmware image. The device link and the operations join it as
// further members and member functions.
class vortan_gui : public QMainWindow {
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

    // The window's state. The operations, the connection handling and the tests reach these
    // members directly.

    // Per-user data folder of the application; the backups live in its child "datesaves".
    QString data_location;
    // The backup folder being written by a backup; empty otherwise.
    std::unique_ptr<QDir> backup_dir;
    // The firmware image file, read whole at start-up; empty when it is missing or cannot be
    // read completely. Set it through set_firmware_image, which checks it.
    QByteArray firmware_image;
    // What the check found in firmware_image; only an intact image is ever sent.
    quillmar::protocol::firmware_image_verdict firmware_verdict =
        quillmar::protocol::firmware_image_verdict::too_short;
    // Takes `image` as the firmware to send and checks it once. The constructor gives it the
    // file read at start-up.
    void set_firmware_image(QByteArray image);

    // Sends every message to the synthesizer.
    writer_t writer;
    // Receives the synthesizer's bytes; owns the MIDI stream parser and the device message
    // parser, which the constructor joins.
    reader_t reader;
    // The one serial port object, a child of the window. Each operation points it at the
    // chosen port and opens it (open_link); disconnect_action closes it.
    QSerialPort* port;

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

    // Presets being restored, in sending order.
    std::vector<proto::Preset> restore_list;
    // Index of the preset last requested by a backup; 0 between backups.
    std::uint16_t preset_counter = 0;
    // Watches one preset export of a backup, from its start to its end.
    QTimer* export_timer;
    // Payload being received or sent by the running operation.
    QByteArray transfer_buffer;
    // Watches the answers of the running operation: the connection handshake, and every
    // request of a backup or a restore.
    QTimer* operation_timer;
    // Connection state of a firmware update.
    enum connection_state : std::int32_t { idle = 0, connected = 1, sending = 2 };
    connection_state update_state = idle;
    // The preset of restore_list whose import answer is awaited.
    std::vector<proto::Preset>::iterator restore_cursor;

    // Which operation runs, so that answers arriving while none (or another) runs are
    // ignored.
    enum class operation { none, backup, restore, update };
    operation running = operation::none;
    // The backup being written (operations/backup.cpp). Its presets go into a hidden
    // staging folder, backup_dir, which takes the dated name only when the backup ends.
    struct backup_progress {
        // The dated folder ("yy_MM_dd_hh_mm") the backup becomes.
        QString folder;
        // Preset files written, and answers that gave no file (a damaged preset, a file
        // that could not be written).
        int written = 0;
        int failed = 0;
        // The indexes the synthesizer refused, 0 to 256.
        std::bitset<257> refused;
        // When the request outstanding has waited long enough for its answer.
        QDeadlineTimer answer_due;
    };
    backup_progress backup;
    // Held from the click of a backup until it ends: one copy of the tool at a time writes
    // into the backup root.
    std::unique_ptr<QLockFile> backup_lock;
    // A firmware_update_request has been sent and not yet answered: only its acceptance
    // releases the firmware image.
    bool update_request_outstanding = false;
    // Clears the update's "LOOK AT VORTAN" hint a while after the request, as long as the
    // update still waits for its result.
    QTimer update_hint_timer;
    // Watches the synthesizer's silence while an update waits for its answer: started with
    // the update request and started again whenever bytes of the image go out, so it runs
    // out timing.update_verdict after the last byte sent without an answer.
    QTimer verdict_timer;
    // Imports of the running restore that the synthesizer refused.
    std::size_t restore_refused = 0;
    // The local time that names backup folders and dates the update's age check. Tests
    // set a clock of their own.
    std::function<QDateTime()> clock = [] { return QDateTime::currentDateTime(); };
    // How long the operations wait for the synthesizer. Tests shorten it.
    timings timing;
    // Replaces the catalog the port dialog lists (tests offer pseudo-terminals).
    void set_port_catalog(std::unique_ptr<port_catalog> catalog);

    // Lets the user choose a port; the chosen port's system location, or empty when none
    // was chosen or the chosen one is gone.
    std::optional<QString> checkForPort();
    // The first step of every operation button: while a firmware update connection is open
    // the click only closes it. True when it did.
    bool close_update_connection();
    // checkForPort, and the notice "ERROR\nVORTAN NOT CONNECTED" when no port was chosen.
    std::optional<QString> choose_port();
    // Notice "ERROR\nVORTAN NOT CONNECTED".
    void unable_to_connect();
    // Closes the link: the port, the writer and the reader; update_state becomes idle. The
    // update's watches end with it.
    void disconnect_action();
    // Stops the connection handshake's time-out, if it runs, so that it judges nothing.
    void end_handshake_watch();
    // Opens the link for an operation: points `port` at `location`, watches it for a lost
    // device, opens it read-write and attaches the writer and the reader. A port still open
    // (the connection an update leaves) is used as it is. A port that will not open is
    // reported at once in the box "PORT ERROR", which names the port and the reason
    // (permission denied, in use by another program, gone); nothing is attached then, and the
    // result is false: the operation does not start.
    bool open_link(const QString& location);

    // Firmware update (operations/firmware_update.cpp).
    void init_firmware_handlers();
    void send_firmware();
    // Backup and restore (operations/backup.cpp, operations/restore.cpp).
    void init_preset_handlers();
    void request_next();
    void backup_visuals();
    // Writes one received preset into the backup folder being written; false when its file
    // could not be written.
    bool preset_to_text(proto::Preset& preset);
    // Settles the folder of a backup that ended without success (time-out or lost port).
    void abandon_backup();
    // Ends a running backup: settles its folder, shows the notice, enables the buttons and
    // closes the link. `complete` when every index got its own answer and every file was
    // written.
    void end_backup(bool complete);
    // The restore's two import listeners, registered last by init_preset_handlers.
    void init_restore_handlers();
    // The name of the latest backup folder (the last of the backup root's sub-folders in
    // case-sensitive name order, leaving out the marked folders of failed backups); empty
    // when there is none.
    std::optional<QString> latest_backup_name() const;

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

private slots:
    // The reader found the device hung up (unplugged): the lost-port path.
    void connection_lost();

private:
    std::unique_ptr<port_catalog> ports;
};
