#include "vortan_gui.h"

#include "app_resources.h"
#include "vortan_log.h"

#include <QCoreApplication>
#include <QEvent>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QIcon>
#include <QLockFile>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QStandardPaths>
#include <QtGlobal>

namespace {

// The synthesizer's firmware image is a few megabytes. Anything far larger is not one, and
// reading it whole could exhaust the memory.
constexpr qint64 max_firmware_image_size = qint64{64} * 1024 * 1024;
static_assert(max_firmware_image_size >= qint64{8} * 1024 * 1024,
              "The firmware image limit leaves ample room for an image of a few megabytes.");

// Five lines of the guide's explanations, with the space between paragraphs, fill the 136
// pixel high guide label at 96 dpi in this size; the longest line fills its 300 pixels.
constexpr int guide_text_points = 10;
static_assert(guide_text_points >= 8 && guide_text_points <= 10,
              "The guide text stays readable and fits its label at 96 dpi.");

const QString window_icon_file = QStringLiteral(":/Resources/menubarlogo.png");
const QString button_style = QStringLiteral("Font:13pt");
const QString message_box_style = QStringLiteral(
    " QPushButton{color:black;background-color:rgb(255, 215, 0)};color:rgb(45,204,211);");

QString firmware_image_path() {
    const QChar sep = QDir::separator();
    return QCoreApplication::applicationDirPath() + sep + QStringLiteral("..") + sep +
           QStringLiteral("Resources") + sep + QStringLiteral("firmware.sys");
}

// Reads the firmware image whole. The image is sent to the synthesizer as it is, so a
// partial read must not pass for an image: anything but a complete read of a regular file
// of plausible size gives an empty image. A missing file is the normal case of a build
// without firmware and is not logged.
QByteArray read_firmware_image(const QString& path) {
    const QFileInfo info(path);
    if (!info.exists()) {
        return {};
    }
    if (!info.isFile()) {
        qCWarning(quillmar::vortan_log, "Firmware image %s is not a file", qUtf8Printable(path));
        return {};
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        qCWarning(quillmar::vortan_log, "Unable to open the firmware image %s",
                  qUtf8Printable(path));
        return {};
    }
    const qint64 size = file.size();
    if (size > max_firmware_image_size) {
        qCWarning(quillmar::vortan_log, "Firmware image %s is too large", qUtf8Printable(path));
        return {};
    }
    QByteArray image = file.readAll();
    if (file.error() != QFileDevice::NoError || image.size() != size) {
        qCWarning(quillmar::vortan_log, "Unable to read the firmware image %s",
                  qUtf8Printable(path));
        return {};
    }
    return image;
}

// The folders may exist already; their content is left as it is. A failure only shows
// when an operation uses the folder.
void make_folder(const QString& path) {
    if (!QDir().mkpath(path)) {
        qCWarning(quillmar::vortan_log, "Unable to create the folder %s", qUtf8Printable(path));
    }
}

} // namespace

std::unique_ptr<Ui_vortan> make_ui(QMainWindow* window) {
    quillmar::register_resources();
    auto ui = std::make_unique<Ui_vortan>();
    ui->setupUi(window);
    return ui;
}

vortan_gui::vortan_gui(QWidget* parent)
    : QMainWindow(parent), engine(std::make_unique<quillmar::operation_engine>(
                               QStandardPaths::writableLocation(QStandardPaths::DataLocation),
                               static_cast<quillmar::operation_host&>(*this))),
      data_location(QStandardPaths::writableLocation(QStandardPaths::DataLocation)),
      firmware_image(engine->firmware_image()), writer(engine->writer), reader(engine->reader),
      port(engine->port),
      guide_title(QStringLiteral("<p><span style=\" font-size:16pt; \">USER GUIDE</span></p>")),
      guide_text(QStringLiteral(
          "<html><head/><body><p>1. BACKUP YOUR CURRENT PRESETS</p><p>2. UPDATE VORTAN TO THE "
          "LATEST OS</p><p>3. RESTORE YOUR LATEST PRESETS</p><p> <span style=\" font-size:8pt; "
          "color:#000000;\">FOR MORE INFO NAVIGATE OVER EACH BUTTON</span></p></body></html>")),
      backup_title(QStringLiteral("<p><span style=\" font-size:16pt; \">BACKUP</span></p>")),
      backup_text(QStringLiteral(
          "<html><head/><body><p>THIS WILL STORE CURRENT PRESETS</p><p>1. CONNECT "
          "VORTAN</p><p>2. SKIP BOTH BOOT SCREENS</p><p>3. WAIT FOR THE COUNTER TO "
          "FINISH</p><p><span style=\" font-size:8pt; color:#000000;\">DO NOT UNPLUG "
          "VORTAN!</span></p></body></html>")),
      update_title(QStringLiteral("<p><span style=\" font-size:16pt; \">UPDATE</span></p>")),
      update_text(QStringLiteral(
          "<html><head/><body><p>THIS WILL UPDATE VORTAN</p><p>1. CONNECT VORTAN</p><p>2. PRESS "
          "SQNCR BUTTON ON BOOT</p><p>3. PRESS UPDATE</p><p><span style=\" font-size:8pt; "
          "color:#000000;\">BACKUP YOUR PRESETS BEFORE UPDATING!</span></p></body></html>")),
      restore_title(QStringLiteral("<p><span style=\" font-size:16pt; \">RESTORE</span></p>")),
      restore_text(QStringLiteral(
          "<html><head/><body><p>AFTER A SUCCESSFULL BACKUP</p><p>RESTORE YOUR PRESETS BACK "
          "</p><p>1. CONNECT VORTAN</p><p>2. SKIP BOTH BOOT SCREENS</p><p>3. THEN PRESS "
          "RESTORE</p></body></html>")),
      ui(make_ui(this)),
      guide_panel(ui->passive_info_title, ui->passive_info_main, guide_title, guide_text),
      status_panel(ui->label_spinner, ui->active_info_text, QString(), QString()),
      export_timer(engine->export_timer), transfer_buffer(engine->transfer_buffer),
      operation_timer(engine->operation_timer), ports(std::make_unique<port_catalog>()) {

    QGuiApplication::setWindowIcon(QIcon(window_icon_file));
    status_panel.big_down_text_size();
    // A title bar with system menu, minimise and close button, and no maximise button:
    // with the form's fixed size the window cannot be resized.
    setWindowFlags(Qt::WindowTitleHint | Qt::WindowMinimizeButtonHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint);

    make_folder(data_location);
    make_folder(quillmar::backup_root(data_location));

    engine->set_firmware_image(read_firmware_image(firmware_image_path()));

    const QFont font = quillmar::display_font();
    // The guide text in a fixed size, so that the longest explanation fits its label whatever
    // the desktop's default font size.
    QFont guide_font = ui->passive_info_main->font();
    guide_font.setPointSize(guide_text_points);
    ui->passive_info_main->setFont(guide_font);
    ui->button_firmware->setFont(font);
    ui->button_firmware->setStyleSheet(button_style);
    ui->button_send->setStyleSheet(button_style);
    ui->button_send->setFont(font);
    ui->button_backup->setStyleSheet(button_style);
    ui->button_backup->setFont(font);

    ui->button_backup->installEventFilter(this);
    ui->button_send->installEventFilter(this);
    ui->button_firmware->installEventFilter(this);

    // The engine joined the reader's two parsers and registered the operations' listeners.
}

vortan_gui::~vortan_gui() {
    ui.reset();
    // Nothing the engine does on its way may reach the window any more.
    engine.reset();
}

bool vortan_gui::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::Enter) {
        if (watched == ui->button_backup) {
            guide_panel.take_notification_action(backup_title, backup_text);
        } else if (watched == ui->button_firmware) {
            guide_panel.take_notification_action(update_title, update_text);
        } else if (watched == ui->button_send) {
            guide_panel.take_notification_action(restore_title, restore_text);
        }
    } else if (event->type() == QEvent::Leave &&
               (watched == ui->button_backup || watched == ui->button_firmware ||
                watched == ui->button_send)) {
        guide_panel.finish(info_box::state::hover);
    }
    return QMainWindow::eventFilter(watched, event);
}

QMessageBox* vortan_gui::message_box_core(QString title, QString text, QString informativeText) {
    auto* box = new QMessageBox(this);
    box->setFont(quillmar::display_font());
    box->setStyleSheet(message_box_style);
    box->setWindowTitle(title);
    box->setInformativeText(informativeText);
    box->setText(text);
    box->setStandardButtons(QMessageBox::Ok);
    box->setDefaultButton(QMessageBox::Ok);
    box->setButtonText(QMessageBox::Ok, QStringLiteral("OK"));
    return box;
}

bool vortan_gui::message_box_executor_2choices(QString title, QString text,
                                               QString informativeText) {
    QPointer<QMessageBox> box = message_box_core(title, text, informativeText);
    // New standard buttons replace the old ones, the default and its text included: OK is
    // made the default again so that Return answers OK.
    box->setStandardButtons(QMessageBox::Ok | QMessageBox::No);
    box->setButtonText(QMessageBox::No, QStringLiteral("NO"));
    box->setButtonText(QMessageBox::Ok, QStringLiteral("OK"));
    box->setDefaultButton(QMessageBox::Ok);
    const bool ok = box->exec() == QMessageBox::Ok;
    // The answer is all the caller gets, so the box goes now rather than with the window.
    // It may already be gone when the window was destroyed while it was open.
    delete box.data();
    return ok;
}

std::optional<QDir> vortan_gui::backup_dir() const {
    const std::optional<QString> folder = engine->backup_folder();
    return folder ? std::optional<QDir>(QDir(*folder)) : std::nullopt;
}

const std::vector<proto::Preset>& vortan_gui::restore_list() const {
    return engine->restore_list();
}

std::vector<proto::Preset>::const_iterator vortan_gui::restore_cursor() const {
    return engine->restore_cursor();
}

std::uint16_t vortan_gui::preset_counter() const {
    return engine->preset_counter();
}

vortan_gui::connection_state vortan_gui::update_state() const {
    return engine->update_state();
}

void vortan_gui::unable_to_connect() {
    engine->unable_to_connect();
}

void vortan_gui::disconnect_action() {
    engine->disconnect_action();
}

void vortan_gui::init_firmware_handlers() {
    engine->init_firmware_handlers();
}

void vortan_gui::send_firmware() {
    engine->send_firmware();
}

void vortan_gui::init_preset_handlers() {
    engine->init_preset_handlers();
}

void vortan_gui::request_next() {
    engine->request_next();
}

void vortan_gui::backup_visuals() {
    engine->backup_visuals();
}

bool vortan_gui::preset_to_text(proto::Preset& preset) {
    return engine->preset_to_text(preset);
}

void vortan_gui::export_failed() {
    engine->export_failed();
}

bool vortan_gui::on_button_send_clicked() {
    return engine->start_restore();
}

bool vortan_gui::on_button_backup_clicked() {
    return engine->start_backup();
}

bool vortan_gui::on_button_firmware_clicked() {
    return engine->start_update();
}

void vortan_gui::connection_acked() {
    engine->connection_acked();
}

void vortan_gui::backup_nacked() {
    engine->backup_nacked();
}

void vortan_gui::send_nacked() {
    engine->send_nacked();
}

void vortan_gui::connection_err(QSerialPort::SerialPortError err) {
    engine->connection_err(err);
}

void vortan_gui::show_progress(const QString& text, bool start_spinner) {
    status_panel.take_important_action(text, start_spinner);
}

void vortan_gui::end_progress() {
    status_panel.finish(info_box::state::active);
}

void vortan_gui::show_notice(const QString& text) {
    status_panel.take_notification_action(QString(), text);
}

void vortan_gui::show_message(const QString& title, const QString& text,
                              const QString& informative) {
    QPointer<QMessageBox> box = message_box_core(title, text, informative);
    box->exec();
    // It may already be gone when the window was destroyed while it was open.
    delete box.data();
}

bool vortan_gui::ask(const QString& title, const QString& text, const QString& informative) {
    return message_box_executor_2choices(title, text, informative);
}

void vortan_gui::set_buttons_enabled(bool enabled) {
    ui->button_firmware->setEnabled(enabled);
    ui->button_send->setEnabled(enabled);
    ui->button_backup->setEnabled(enabled);
}

std::optional<QString> vortan_gui::choose_port() {
    return checkForPort();
}
