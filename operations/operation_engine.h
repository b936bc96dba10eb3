// The three operations (backup, restore, firmware update) and the device link they share,
// without a window: the serial port, the writer and the reader with their two parsers, the
// timers that watch the synthesizer's answers, and the operation that runs.
//
// The running operation is one value: idle, or a backup, a restore or an update with its own
// state. Device answers, timer expiries and the user's answers (through the host) drive it;
// an answer or an expiry that does not belong to the running operation is ignored.
//
// The link: each operation opens the chosen port and attaches the writer and the reader
// (open_link); disconnect_action closes it again. A firmware update leaves the port open
// after its result; the next start of any operation only closes it.
#pragma once

#include "backup_store.h"
#include "firmware_check.h"
#include "host.h"
#include "preset.pb.h"
#include "reader.h"
#include "timings.h"
#include "writer.h"

#include <QByteArray>
#include <QDateTime>
#include <QDeadlineTimer>
#include <QObject>
#include <QSerialPort>
#include <QString>
#include <QTimer>

#include <bitset>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <variant>
#include <vector>

namespace quillmar {

// Which operation runs.
enum class operation_kind { none, backup, restore, update };

// Connection state of a firmware update: `connected` from the synthesizer's acknowledgement
// of the connection request (and after an update's result) until the link closes, `sending`
// while the accepted image goes out and its verdict is awaited.
enum connection_state : std::int32_t { idle = 0, connected = 1, sending = 2 };

// The index of a backup's last request; its answer ends the backup.
inline constexpr std::uint16_t backup_last_index = 256;

// "WORK IN PROGRESS\n12/256": the progress of a backup or a restore at the preset `index`.
inline QString progress_text(std::uint32_t index) {
    return QStringLiteral("WORK IN PROGRESS\n%1/%2").arg(index).arg(backup_last_index);
}

// No operation runs.
struct idle_run {};

// A backup: the index asked for, what became of the answers so far, and its folder.
struct backup_run {
    std::unique_ptr<backup_store> store;
    // The index of the request outstanding.
    std::uint16_t counter = 0;
    // Preset files written, and answers that gave no file (a damaged preset, a file that
    // could not be written).
    int written = 0;
    int failed = 0;
    // The indexes the synthesizer refused, 0 to 256.
    std::bitset<backup_last_index + 1> refused;
    // When the request outstanding has waited long enough for its answer.
    QDeadlineTimer answer_due;
};

// A restore: the presets in sending order, the one whose answer is awaited, and the imports
// the synthesizer refused so far.
struct restore_run {
    std::vector<proto::Preset> presets;
    std::size_t cursor = 0;
    std::size_t refused = 0;
    // The user asked to stop: the restore ends when the import in flight is answered.
    bool stop_requested = false;
};

// A firmware update, from the connection request to the verdict on the image.
struct update_run {
    enum class step {
        // The connection request is out; operation_timer watches for its acknowledgement.
        handshake,
        // Acknowledged: the user is asked whether to go on.
        confirming,
        // The update request is out; only its acceptance releases the image.
        requested,
        // The image went out; the synthesizer's verdict is awaited.
        sending,
    };
    step at = step::handshake;
};

using operation_run = std::variant<idle_run, backup_run, restore_run, update_run>;

class operation_engine : public QObject {
    Q_OBJECT

public:
    // `data_location` holds the backup root; `host` shows and asks for every operation and
    // outlives the engine.
    operation_engine(QString data_location, operation_host& host, QObject* parent = nullptr);
    ~operation_engine() override;
    operation_engine(const operation_engine&) = delete;
    operation_engine& operator=(const operation_engine&) = delete;

    // The starts of the three operations; true when the operation began. While a firmware
    // update connection is open, each only closes it.
    bool start_backup();
    bool start_restore();
    // A restore of the backup folder at `folder`; the latest backup when none is given.
    bool start_restore_from(const std::optional<QString>& folder);
    bool start_update();
    // The user asks the running operation to stop. A backup ends at once as failed, and its
    // folder is settled as a failed one; a restore ends when the import in flight has been
    // answered; a firmware update goes on. True when the operation stops (or has ended).
    bool interrupt();
    // How many imports the last restore had sent and seen answered.
    std::size_t restore_answered() const { return answered_imports; }

    // The link.
    // Points `port` at `location`, watches it for a lost device, opens it read-write and
    // attaches the writer and the reader. A port still open (the connection an update
    // leaves) is used as it is. A port that will not open is reported at once in the box
    // "PORT ERROR", which names the port and the reason; nothing is attached then, and the
    // result is false.
    bool open_link(const QString& location);
    // Closes the port and detaches the writer and the reader; update_state becomes idle and
    // the update's watches end.
    void disconnect_action();
    // The notice "ERROR\nVORTAN NOT CONNECTED".
    void unable_to_connect();

    // Steps and expiries of the operations, each ignored unless its operation runs.
    // The connection handshake went unanswered.
    void connection_acked();
    // A backup's request, or a restore's import, went unanswered.
    void backup_nacked();
    void send_nacked();
    // A preset export began and did not end in time.
    void export_failed();
    // Asks the backup's next index, or ends the backup after the last.
    void request_next();
    // Disables the buttons and shows the backup's progress.
    void backup_visuals();
    // Writes one received preset into the running backup's folder; false when its file could
    // not be written.
    bool preset_to_text(proto::Preset& preset);
    // Announces the update and lets the image go once the synthesizer accepts.
    void send_firmware();
    // Register the operations' listeners on the device message parser.
    void init_firmware_handlers();
    void init_preset_handlers();

    // What runs and what it has reached.
    operation_kind running() const;
    connection_state update_state() const { return link_state; }
    // The index a backup asked for last; 0 when no backup runs.
    std::uint16_t preset_counter() const;
    // The presets of the running restore (empty when none runs), and the one whose answer is
    // awaited.
    const std::vector<proto::Preset>& restore_list() const;
    std::vector<proto::Preset>::const_iterator restore_cursor() const;
    // The staging folder of the running backup; empty when none runs.
    std::optional<QString> backup_folder() const;
    // The latest backup folder's name (backup_store.h).
    std::optional<QString> latest_backup_name() const;

    // The firmware image to send, checked once when it is set.
    void set_firmware_image(QByteArray image);
    const QByteArray& firmware_image() const { return image; }
    protocol::firmware_image_verdict firmware_verdict() const { return image_verdict; }

    // Sends every message to the synthesizer.
    writer_t writer;
    // Receives the synthesizer's bytes; owns the MIDI stream parser and the device message
    // parser, which the constructor joins.
    reader_t reader;
    // The one serial port object.
    QSerialPort* const port;
    // Watches the answers of the running operation: the connection handshake, and every
    // request of a backup or a restore.
    QTimer* const operation_timer;
    // Watches one preset export of a backup, from its start to its end.
    QTimer* const export_timer;
    // Clears the update's "LOOK AT VORTAN" hint a while after the request.
    QTimer update_hint_timer;
    // Watches the synthesizer's silence while an update waits for its answer: started with
    // the update request and again whenever bytes go out.
    QTimer verdict_timer;
    // Payload being received or sent by the running operation.
    QByteArray transfer_buffer;
    // How long the operations wait for the synthesizer. Tests shorten it.
    timings timing;
    // The local time that names backup folders and dates the update's age check.
    std::function<QDateTime()> clock = [] { return QDateTime::currentDateTime(); };

public slots:
    // The port reports an error: a lost device (ResourceError) ends the operation.
    void connection_err(QSerialPort::SerialPortError err);

private:
    // Closes the update's connection when one is open; true when it did.
    bool close_update_connection();
    // The host's port choice, with the notice "ERROR\nVORTAN NOT CONNECTED" when none.
    std::optional<QString> choose_port();
    // The device has gone: the lost-port path.
    void connection_lost();
    // operation_timer ran out: the running operation's answer watch.
    void answer_overdue();

    // Backup.
    void report_folder_error(backup_start_fault fault);
    void end_backup(bool complete);
    void abandon_backup();
    void backup_export_started();
    void backup_export_data(std::span<std::byte> bytes);
    void backup_export_ended();
    void backup_refused();
    // Restore.
    void send_current_preset();
    void import_answered(bool imported);
    // Update.
    // Connects the update's hint and verdict watches, once.
    void watch_update();
    void confirm_erase();
    void end_update(const QString& notice);
    void update_answered(bool accepted);
    void update_verdict(bool succeeded);

    void set_buttons_enabled(bool enabled);
    backup_run* backup_state() { return std::get_if<backup_run>(&run); }
    restore_run* restore_state() { return std::get_if<restore_run>(&run); }
    update_run* update_state_of_run() { return std::get_if<update_run>(&run); }

    QString data_location;
    operation_host& host;
    operation_run run;
    connection_state link_state = idle;
    std::size_t answered_imports = 0;
    QByteArray image;
    protocol::firmware_image_verdict image_verdict = protocol::firmware_image_verdict::too_short;
};

} // namespace quillmar
