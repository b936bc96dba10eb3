// The link as every operation opens and closes it: port choice, lost device, time-outs.

#include "rig.h"

#include <QComboBox>
#include <QSignalSpy>

using quillmar::test::rig;

class tst_e2e_connection : public QObject {
    Q_OBJECT

private slots:
    // Right after start-up nothing is attached and nothing runs.
    void start_up_leaves_the_link_closed() {
        rig r;
        QVERIFY(!r.port_open());
        QCOMPARE(r.window->writer.attached_port(), nullptr);
        QCOMPARE(r.window->reader.attached_port(), nullptr);
        QVERIFY(!r.window->operation_timer->isActive());
        QVERIFY(!r.window->export_timer->isActive());
        QCOMPARE(r.window->update_state, vortan_gui::idle);
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
            r.window->open_port(r.synth.port_path());
            r.window->writer.set_port(r.window->port);
            r.window->reader.set_port(r.window->port);
            QVERIFY(r.port_open());
            r.window->disconnect_action();
        }
        r.window->open_port(r.synth.port_path());
        r.window->writer.set_port(r.window->port);
        r.window->reader.set_port(r.window->port);
        r.answers.click(QStringLiteral("OK"),
                        {.title = QStringLiteral("ERROR"), .text = QStringLiteral("DISCONNECTED")});
        r.synth.vanish();
        r.check_answers();
        QVERIFY(!r.port_open());
        QCOMPARE(r.window->reader.attached_port(), nullptr);
        QCOMPARE(r.window->update_state, vortan_gui::idle);
        // No second report comes later.
        QTest::qWait(300);
        QCOMPARE(r.answers.seen().size(), 1);
    }
};

VORTAN_TEST_MAIN(tst_e2e_connection)
#include "tst_e2e_connection.moc"
