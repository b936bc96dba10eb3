#pragma once

#include "info_box.h"
#include "ui_vortan.h"

#include <QByteArray>
#include <QDir>
#include <QMainWindow>
#include <QString>

#include <memory>

class QEvent;
class QMessageBox;
class QObject;
class QWidget;

// Builds the window's form on `window` (widgets, texts, click slots connected by name) and
// hands over the form object, which only points at the widgets; the widgets belong to
// `window`.
std::unique_ptr<Ui_vortan> make_ui(QMainWindow* window);

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
    // read completely.
    QByteArray firmware_image;

    // --- Device link members go here, in this order: writer, reader, port. ---

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

    // --- Operation state members go here, in this order: restore_list, preset_counter,
    // export_timer, transfer_buffer, operation_timer, update_state, restore_cursor. ---

private slots:
    // --- export_failed() goes here, first of the window's slots. ---

    // The operations' entry points, connected by name to clicked() of the three buttons.
    bool on_button_send_clicked();
    bool on_button_backup_clicked();
    bool on_button_firmware_clicked();

    // --- connection_acked(), backup_nacked() and send_nacked() go here, then the public
    // slot connection_err(QSerialPort::SerialPortError). ---
};
