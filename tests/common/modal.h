#pragma once

// Answering modal dialogs and message boxes from a test.
//
// A modal box runs its own event loop (exec()), so the code that opened it, and often the
// test itself, is blocked until it closes. modal_answerer is set up before that: it looks
// at QApplication::activeModalWidget() from a timer every few milliseconds, which fires in
// whichever event loop runs (the box's own, one nested in a slot, a QTRY_ wait), and
// answers each new box with the next of its steps, in order. Each box it meets is
// recorded, and every deviation (a box other than the one expected, a missing button, a
// box nobody expected) is listed in problems(), for the test to check afterwards:
//
//     quillmar::test::modal_answerer answers;
//     answers.click("OK", {.text = "DISCONNECTED"}).key(Qt::Key_Escape);
//     ... run the code that shows the two boxes ...
//     QVERIFY(answers.wait_until_done());
//     QVERIFY2(answers.problems().isEmpty(), qPrintable(answers.problems().join('\n')));
//
// The answer itself is given from a fresh timer call, never from inside the code that
// opened the box, so boxes opened one after another, or one from inside another's answer,
// are all met.

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QEvent>
#include <QList>
#include <QMessageBox>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QTest>
#include <QTimer>
#include <QWidget>

#include <deque>
#include <functional>
#include <optional>
#include <utility>

namespace quillmar::test {

// What a modal box showed when it was answered.
struct seen_modal {
    QString class_name; // of the meta-object: "QMessageBox", "QDialog", ...
    QString title;
    QString text;             // message boxes only
    QString informative_text; // message boxes only
    QStringList buttons;      // texts of its buttons, mnemonics removed
};

inline QString describe(const seen_modal& box) {
    return QStringLiteral("%1 title \"%2\" text \"%3\" informative \"%4\" buttons [%5]")
        .arg(box.class_name, box.title, box.text, box.informative_text,
             box.buttons.join(QStringLiteral(", ")));
}

inline QString button_text(const QAbstractButton* button) {
    QString text = button->text();
    text.remove(QLatin1Char('&'));
    return text;
}

// The buttons of a dialog, in the order a message box lays them out where it is one.
inline QList<QAbstractButton*> dialog_buttons(QWidget* dialog) {
    if (auto* box = qobject_cast<QMessageBox*>(dialog)) {
        return box->buttons();
    }
    return dialog->findChildren<QAbstractButton*>();
}

inline seen_modal inspect(QWidget* dialog) {
    seen_modal seen;
    seen.class_name = QString::fromLatin1(dialog->metaObject()->className());
    seen.title = dialog->windowTitle();
    if (auto* box = qobject_cast<QMessageBox*>(dialog)) {
        seen.text = box->text();
        seen.informative_text = box->informativeText();
    }
    for (const QAbstractButton* button : dialog_buttons(dialog)) {
        seen.buttons << button_text(button);
    }
    return seen;
}

// The button of `dialog` showing `text` (mnemonics ignored), or null.
inline QAbstractButton* find_button(QWidget* dialog, const QString& text) {
    for (QAbstractButton* button : dialog_buttons(dialog)) {
        if (button_text(button) == text) {
            return button;
        }
    }
    return nullptr;
}

// Clicks a button of the dialog with the mouse; false when there is no such button.
inline bool click_button(QWidget* dialog, const QString& text) {
    QAbstractButton* button = find_button(dialog, text);
    if (button == nullptr) {
        return false;
    }
    QTest::mouseClick(button, Qt::LeftButton);
    return true;
}

// Types a key into the dialog, where the keyboard would deliver it: to the widget that has
// the dialog's focus, or to the dialog itself.
inline void press_key(QWidget* dialog, Qt::Key key) {
    QWidget* target = dialog->focusWidget();
    QTest::keyClick(target != nullptr ? target : dialog, key);
}

// What the next box should show; unset fields are not checked.
struct modal_expect {
    std::optional<QString> title = std::nullopt;
    std::optional<QString> text = std::nullopt;
    std::optional<QString> informative_text = std::nullopt;
};

// Answers the modal boxes that appear, one step per box, in order (see the top of the file).
class modal_answerer {
public:
    using action = std::function<void(QWidget*)>;

    using expect = modal_expect;

    explicit modal_answerer(int poll_ms = 5) {
        QObject::connect(&poll, &QTimer::timeout, [this] { look(); });
        poll.start(poll_ms);
    }
    modal_answerer(const modal_answerer&) = delete;
    modal_answerer& operator=(const modal_answerer&) = delete;

    // Clicks the button with this text.
    modal_answerer& click(const QString& button, expect e = {}) {
        return then(
            [this, button](QWidget* box) {
                if (!click_button(box, button)) {
                    complain(QStringLiteral("no button \"%1\" in %2")
                                 .arg(button, describe(inspect(box))));
                    reject_box(box);
                }
            },
            std::move(e));
    }
    // Types a key into the box (Return, Escape, ...).
    modal_answerer& key(Qt::Key k, expect e = {}) {
        return then([k](QWidget* box) { press_key(box, k); }, std::move(e));
    }
    // Closes the box as its title bar's close button does.
    modal_answerer& close(expect e = {}) {
        return then([](QWidget* box) { box->close(); }, std::move(e));
    }
    // Any other answer: `a` gets the box.
    modal_answerer& then(action a, expect e = {}) {
        steps.push_back({std::move(a), std::move(e)});
        return *this;
    }

    // Every step has been carried out.
    bool done() const noexcept { return steps.empty() && in_flight == 0; }
    // Waits, running the event loop, until done(); false on time-out.
    bool wait_until_done(int timeout_ms = 20000) {
        return QTest::qWaitFor([this] { return done(); }, timeout_ms);
    }
    // The boxes met so far, in order, unexpected ones included.
    const QList<seen_modal>& seen() const noexcept { return met; }
    // Everything that went differently from the steps.
    const QStringList& problems() const noexcept { return trouble; }

private:
    struct step {
        action answer;
        expect wanted;
    };

    void look() {
        QWidget* box = QApplication::activeModalWidget();
        if (box == nullptr || box->isHidden() || known(box)) {
            return;
        }
        handled.append(box);
        box->installEventFilter(&watch);
        const seen_modal seen = inspect(box);
        met.append(seen);
        if (steps.empty()) {
            // Closed at once, so an unexpected box fails the test instead of hanging it.
            complain(QStringLiteral("unexpected %1").arg(describe(seen)));
            QTimer::singleShot(0, &poll, [target = QPointer<QWidget>(box)] {
                if (!target.isNull()) {
                    reject_box(target.data());
                }
            });
            return;
        }
        step next = std::move(steps.front());
        steps.pop_front();
        check(next.wanted.title, seen.title, QStringLiteral("title"), seen);
        check(next.wanted.text, seen.text, QStringLiteral("text"), seen);
        check(next.wanted.informative_text, seen.informative_text,
              QStringLiteral("informative text"), seen);
        // Answered from a fresh timer call, so that a box the answer opens is met as well.
        ++in_flight;
        QTimer::singleShot(
            0, &poll, [this, target = QPointer<QWidget>(box), answer = std::move(next.answer)] {
                --in_flight;
                if (target.isNull()) {
                    complain(QStringLiteral("a box closed before it was answered"));
                    return;
                }
                answer(target.data());
            });
    }

    bool known(QWidget* box) const {
        for (const QPointer<QWidget>& seen : handled) {
            if (seen.data() == box) {
                return true;
            }
        }
        return false;
    }

    // A box counts as answered until it hides; a dialog object run a second time is a new
    // box.
    struct hide_watch : QObject {
        explicit hide_watch(modal_answerer& owner) : owner(owner) {}
        bool eventFilter(QObject* watched, QEvent* event) override {
            if (event->type() == QEvent::Hide) {
                watched->removeEventFilter(this);
                owner.handled.removeAll(QPointer<QWidget>(static_cast<QWidget*>(watched)));
            }
            return false;
        }
        modal_answerer& owner;
    };

    void check(const std::optional<QString>& wanted, const QString& got, const QString& what,
               const seen_modal& seen) {
        if (wanted.has_value() && *wanted != got) {
            complain(
                QStringLiteral("%1 \"%2\" expected, got %3").arg(what, *wanted, describe(seen)));
        }
    }

    static void reject_box(QWidget* box) {
        if (auto* dialog = qobject_cast<QDialog*>(box)) {
            dialog->reject();
        } else {
            box->close();
        }
    }

    void complain(const QString& problem) { trouble.append(problem); }

    std::deque<step> steps;
    int in_flight = 0;
    QList<QPointer<QWidget>> handled;
    QList<seen_modal> met;
    QStringList trouble;
    hide_watch watch{*this};
    QTimer poll;
};

} // namespace quillmar::test
