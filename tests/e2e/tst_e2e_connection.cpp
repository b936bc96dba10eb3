// The link as every operation opens and closes it: port choice, lost device, time-outs.

#include "factory_presets.h"
#include "permission_bits.h"
#include "preset_files.h"
#include "preset_text.h"
#include "rig.h"

#include <QComboBox>
#include <QLoggingCategory>
#include <QScopeGuard>
#include <QSerialPort>
#include <QSignalSpy>

#include <cerrno>
#include <fcntl.h>
#include <memory>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

using quillmar::test::rig;

namespace {

// The tool's debug lines, collected for the whole run; other messages go on as before.
QStringList debug_lines;
QtMessageHandler previous_handler = nullptr;
void collect(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    if (type == QtDebugMsg) {
        debug_lines << text;
    } else if (previous_handler != nullptr) {
        previous_handler(type, context, text);
    }
}

const QString port_error_title = QStringLiteral("PORT ERROR");
const QString permission_denied_text =
    QStringLiteral("PERMISSION DENIED\nADD YOUR USER TO THE GROUP DIALOUT AND LOG IN AGAIN");
const QString in_use_text =
    QStringLiteral("THE PORT IS IN USE BY ANOTHER PROGRAM\nCLOSE IT AND TRY AGAIN");
const QString gone_text = QStringLiteral("THE PORT IS GONE\nCONNECT VORTAN AND TRY AGAIN");
// The backup that lies in the data folder: made five minutes before the rig's clock.
const QString recent_backup = QStringLiteral("20_12_20_14_00");

// A backup of one preset, recent enough that UPDATE asks nothing about its age.
bool write_recent_backup(const rig& r) {
    const proto::Preset preset = quillmar::standin::make_factory_preset(0);
    const QString bank =
        r.backup_root() + QStringLiteral("/") + recent_backup + QStringLiteral("/BANK A");
    return QDir().mkpath(bank) &&
           write_whole_file(bank + QStringLiteral("/") + preset_file_name(preset),
                            QByteArray::fromStdString(print_preset(preset)));
}

QPushButton* operation_button(const rig& r, const QString& operation) {
    if (operation == QStringLiteral("backup")) {
        return r.ui().button_backup;
    }
    return operation == QStringLiteral("restore") ? r.ui().button_send : r.ui().button_firmware;
}

} // namespace

class tst_e2e_connection : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        QLoggingCategory::setFilterRules(QStringLiteral("vortan.debug=true"));
        previous_handler = qInstallMessageHandler(collect);
    }
    void cleanupTestCase() { qInstallMessageHandler(previous_handler); }

    // Right after start-up nothing is attached and nothing runs.
    void start_up_leaves_the_link_closed() {
        rig r;
        QVERIFY(!r.port_open());
        QCOMPARE(r.window->writer.attached_port(), nullptr);
        QCOMPARE(r.window->reader.attached_port(), nullptr);
        QVERIFY(!r.window->operation_timer->isActive());
        QVERIFY(!r.window->export_timer->isActive());
        QCOMPARE(r.window->update_state(), vortan_gui::idle);
    }

    // The dialog lists the catalog's names in order, the first preselected.
    void the_dialog_offers_every_listed_port() {
        rig r;
        r.catalog->ports[QStringLiteral("ttyA")] = QStringLiteral("/nonexistent/a");
        QStringList listed;
        r.answers.then([&listed](QWidget* dialog) {
            auto* box = dialog->findChild<QComboBox*>();
            for (int i = 0; i < box->count(); ++i) {
                listed << box->itemText(i);
            }
            listed << box->currentText();
            quillmar::test::click_button(dialog, QStringLiteral("SELECT"));
        });
        const auto chosen = r.window->checkForPort();
        r.check_answers();
        QCOMPARE(listed, (QStringList{"ttyA", "ttyVORTAN", "ttyA"}));
        QCOMPARE(chosen, std::optional<QString>(QStringLiteral("/nonexistent/a")));
    }

    void no_port_is_chosen_data() {
        QTest::addColumn<bool>("empty_list");
        QTest::addColumn<bool>("escape");
        QTest::newRow("dialog escaped") << false << true;
        QTest::newRow("nothing listed, SELECT") << true << false;
    }
    void no_port_is_chosen() {
        QFETCH(bool, empty_list);
        QFETCH(bool, escape);
        rig r;
        if (empty_list) {
            r.catalog->ports.clear();
        }
        if (escape) {
            r.answers.key(Qt::Key_Escape, {.title = QStringLiteral("SELECT VORTAN")});
        } else {
            r.select_port();
        }
        QVERIFY(!r.window->checkForPort().has_value());
        r.check_answers();
    }

    // The port chosen in the dialog goes away before SELECT: nothing is chosen.
    void a_port_gone_before_select_is_not_chosen() {
        rig r;
        r.answers.then([&r](QWidget* dialog) {
            r.catalog->ports.clear();
            quillmar::test::click_button(dialog, QStringLiteral("SELECT"));
        });
        QVERIFY(!r.window->checkForPort().has_value());
        r.check_answers();
    }

    // A lost device while the link is open: one "DISCONNECTED" box, the link closed, even
    // after several openings of the same port.
    void a_vanished_device_is_reported_once() {
        rig r;
        for (int i = 0; i < 3; ++i) {
            QVERIFY(r.engine().open_link(r.synth.port_path()));
            QVERIFY(r.port_open());
            r.window->disconnect_action();
        }
        QVERIFY(r.engine().open_link(r.synth.port_path()));
        r.answers.click(QStringLiteral("OK"),
                        {.title = QStringLiteral("ERROR"), .text = QStringLiteral("DISCONNECTED")});
        r.synth.vanish();
        r.check_answers();
        QVERIFY(!r.port_open());
        QCOMPARE(r.window->reader.attached_port(), nullptr);
        QCOMPARE(r.window->update_state(), vortan_gui::idle);
        // No second report comes later.
        rig::turn_event_loop();
        QCOMPARE(r.answers.seen().size(), 1);
    }

    // A port that will not open is named at once, with the reason, and the operation does
    // not start: nothing is sent, no spinner runs, the buttons stay enabled, the link stays
    // closed and the backup folder holds what it held (no staging folder, no lock file).
    //   permission denied: the stand-in's serial end with mode 000, opened without the
    //     capabilities that let root pass over permission bits;
    //   in use: another serial port object holds the stand-in's serial end open;
    //   gone: a port that does not exist; unplugged: the stand-in vanished before the click.
    void a_port_that_will_not_open_is_reported_at_once_data() {
        QTest::addColumn<QString>("operation");
        QTest::addColumn<QString>("fault");
        for (const char* operation : {"backup", "restore", "update"}) {
            for (const char* fault : {"permission denied", "in use", "gone", "unplugged"}) {
                QTest::addRow("%s, %s", operation, fault) << operation << fault;
            }
        }
    }
    void a_port_that_will_not_open_is_reported_at_once() {
        QFETCH(QString, operation);
        QFETCH(QString, fault);
        rig r;
        QVERIFY(write_recent_backup(r));
        QString location = r.synth.port_path();
        QString reason = gone_text;
        const QByteArray path = location.toLocal8Bit();
        struct stat node {};
        QVERIFY(::stat(path.constData(), &node) == 0);
        const auto restore_mode = qScopeGuard([&] { ::chmod(path.constData(), node.st_mode); });
        std::unique_ptr<QSerialPort> holder;
        if (fault == QStringLiteral("permission denied")) {
            reason = permission_denied_text;
            QVERIFY(::chmod(path.constData(), 0) == 0);
            quillmar::test::permission_bits_apply bits;
            const int probe = ::open(path.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
            const int error = errno;
            if (probe >= 0) {
                ::close(probe);
                QSKIP("this process opens a node of mode 000 even without CAP_DAC_OVERRIDE");
            }
            QCOMPARE(error, EACCES);
        } else if (fault == QStringLiteral("in use")) {
            reason = in_use_text;
            holder = std::make_unique<QSerialPort>(location);
            QVERIFY(holder->open(QIODevice::ReadWrite));
        } else if (fault == QStringLiteral("gone")) {
            location = QStringLiteral("/dev/ttyVORTAN-GONE");
            QVERIFY(!QFileInfo::exists(location));
            r.catalog->ports[quillmar::test::standin_port_name] = location;
        } else {
            r.synth.vanish();
        }

        r.select_port();
        if (operation == QStringLiteral("restore")) {
            r.answers.click(QStringLiteral("OK"), {.title = QStringLiteral("NOT ENOUGH PRESETS")});
        }
        r.answers.click(QStringLiteral("OK"),
                        {.title = port_error_title,
                         .text = QStringLiteral("CANNOT OPEN ") + location.mid(5),
                         .informative_text = reason});
        const QString status_before = r.status_text();
        debug_lines.clear();
        {
            std::optional<quillmar::test::permission_bits_apply> bits;
            if (fault == QStringLiteral("permission denied")) {
                bits.emplace();
            }
            r.click(operation_button(r, operation));
        }
        r.check_answers();
        QCOMPARE(debug_lines.count(QStringLiteral("Unable to open")), 1);
        QCOMPARE(r.engine().running(), vortan_gui::operation::none);
        QVERIFY(r.buttons_enabled());
        QVERIFY(!r.spinner_running());
        QCOMPARE(r.status_text(), status_before);
        QVERIFY(!r.port_open());
        QCOMPARE(r.window->writer.attached_port(), nullptr);
        QCOMPARE(r.window->reader.attached_port(), nullptr);
        QVERIFY(!r.window->operation_timer->isActive());
        QCOMPARE(
            QDir(r.backup_root())
                .entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot),
            QStringList{recent_backup});
        // Nothing may reach the stand-in.
        QCOMPARE(r.messages_before_round_trip(), std::size_t{0});
    }
};

VORTAN_TEST_MAIN(tst_e2e_connection)
#include "tst_e2e_connection.moc"
