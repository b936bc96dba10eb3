#pragma once

// The real window against the synthesizer stand-in, over a pseudo-terminal.
//
// A rig gives every test a data folder of its own, a stand-in holding its 256 factory
// presets, and a window whose port dialog lists the stand-in's serial end under the name
// "ttyVORTAN" (the system does not list pseudo-terminals) and whose clock the test sets.
// Modal boxes (the port dialog included) are answered in order by `answers`:
//
//     rig r;
//     r.answers.click("SELECT", {.title = "SELECT VORTAN"});
//     r.click(r.ui().button_backup);
//     VORTAN_TRY_COMPARE(r.status_text(), QString("BACKUP SUCCEEDED"), 30000);
//     r.check_answers();
//
// Waits go through run_until and the VORTAN_TRY_* checks (event_wait.h) rather than QTRY_*:
// the stand-in lives in the test's process and answers only while its event loop runs.

#include "event_wait.h"
#include "gui_access.h"
#include "modal.h"
#include "synthesizer.h"
#include "test_env.h"
#include "vortan_gui.h"

#include <QCoreApplication>
#include <QDate>
#include <QDateTime>
#include <QDir>
#include <QLabel>
#include <QMovie>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTime>

#include <cstddef>
#include <map>
#include <memory>

namespace quillmar::test {

// The name under which the port dialog lists the stand-in.
inline const QString standin_port_name = QStringLiteral("ttyVORTAN");

// A port list of the test's own: names mapped to the locations they open.
class fixed_catalog : public port_catalog {
public:
    std::map<QString, QString> ports;

    QStringList names() const override {
        QStringList list;
        for (const auto& [name, location] : ports) {
            list << name;
        }
        return list;
    }
    std::optional<QString> locate(const QString& name) const override {
        const auto found = ports.find(name);
        if (found == ports.end()) {
            return std::nullopt;
        }
        return found->second;
    }
};

class rig {
public:
    rig() {
        auto list = std::make_unique<fixed_catalog>();
        catalog = list.get();
        catalog->ports[standin_port_name] = synth.port_path();
        window->set_port_catalog(std::move(list));
        engine().clock = [this] { return now; };
        // Every watch short, so a test that reaches a time-out does not wait long for it;
        // long enough that a stand-in answering at once never misses one.
        engine().timing.answer = std::chrono::milliseconds{500};
        engine().timing.export_watch = std::chrono::milliseconds{500};
        engine().timing.update_hint = std::chrono::milliseconds{500};
        engine().timing.update_verdict = std::chrono::milliseconds{3000};
        window->show();
    }
    rig(const rig&) = delete;
    rig& operator=(const rig&) = delete;

    // Per-test data folder; must exist before the window asks for its data location.
    temporary_data_home data_home;
    standin::synthesizer synth;
    std::unique_ptr<vortan_gui> window = std::make_unique<vortan_gui>();
    fixed_catalog* catalog = nullptr;
    QDateTime now{QDate(2020, 12, 20), QTime(14, 5)};
    modal_answerer answers;

    Ui_vortan& ui() const { return *window->ui; }
    quillmar::operation_engine& engine() const { return vortan_gui_test_access::engine(*window); }
    QString backup_root() const {
        return window->data_location + QDir::separator() + QStringLiteral("datesaves");
    }
    // The backup folders, sorted by name.
    QStringList backups() const {
        QStringList names = QDir(backup_root()).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
        names.sort(Qt::CaseSensitive);
        return names;
    }
    QString status_text() const { return ui().active_info_text->text(); }
    bool spinner_running() const {
        return ui().label_spinner->movie() != nullptr &&
               ui().label_spinner->movie()->state() == QMovie::Running;
    }
    bool buttons_enabled() const {
        return ui().button_backup->isEnabled() && ui().button_send->isEnabled() &&
               ui().button_firmware->isEnabled();
    }
    bool buttons_disabled() const {
        return !ui().button_backup->isEnabled() && !ui().button_send->isEnabled() &&
               !ui().button_firmware->isEnabled();
    }
    bool port_open() const { return window->port->isOpen(); }

    // Answers the next port dialog with SELECT (the stand-in is preselected).
    rig& select_port() {
        answers.click(QStringLiteral("SELECT"), {.title = QStringLiteral("SELECT VORTAN")});
        return *this;
    }
    // Clicks a button as the mouse does. Returns once the click's slot has returned, which
    // may be after modal boxes were answered.
    void click(QPushButton* button) const { QTest::mouseClick(button, Qt::LeftButton); }

    // A barrier before a check that nothing reached the stand-in: opens the link to it,
    // sends one export request and waits for its answer, then closes the link again. Returns
    // how many messages the stand-in had received before that request; anything the window
    // sent earlier has arrived by then.
    std::size_t messages_before_round_trip() {
        const bool was_open = window->port->isOpen();
        if (!engine().open_link(synth.port_path())) {
            return synth.messages().size();
        }
        QSignalSpy answered(&synth, &standin::synthesizer::answered);
        window->writer.write_export_request("00000000");
        if (!run_until([&answered] { return !answered.isEmpty(); }, 10000)) {
            return synth.messages().size();
        }
        if (!was_open) {
            window->disconnect_action();
        }
        return synth.messages().size() - 1;
    }
    // A barrier for a port that is closed or gone: several turns of the event loop, in which
    // any socket notifier or posted event due would have run.
    static void turn_event_loop(int turns = 100) {
        for (int i = 0; i < turns; ++i) {
            QCoreApplication::sendPostedEvents();
            QCoreApplication::processEvents(QEventLoop::AllEvents);
        }
    }
    // Reads everything the stand-in has written so far into the window's open port; the
    // window's reader handles it as it comes.
    void drain_port() const {
        while (window->port->isOpen() && window->port->waitForReadyRead(50)) {
        }
    }

    // Every box expected was met, as expected, and no other.
    void check_answers(int timeout_ms = 20000) {
        QVERIFY2(answers.wait_until_done(timeout_ms), "not every expected box appeared");
        QVERIFY2(answers.problems().isEmpty(), qPrintable(answers.problems().join('\n')));
    }
};

} // namespace quillmar::test
