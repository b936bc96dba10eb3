// Message boxes, the port dialog, and answering them from tests.

#include "app_resources.h"
#include "custom_dialog.h"
#include "modal.h"
#include "test_env.h"
#include "vortan_gui.h"

#include <QComboBox>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>

using quillmar::test::modal_answerer;

namespace {

const QString gold_buttons = QStringLiteral(
    " QPushButton{color:black;background-color:rgb(255, 215, 0)};color:rgb(45,204,211);");

QString problems_of(const modal_answerer& answers) {
    return answers.problems().join(QLatin1Char('\n'));
}

int message_boxes_of(const vortan_gui& window) {
    return window.findChildren<QMessageBox*>().size();
}

} // namespace

class tst_dialogs : public QObject {
    Q_OBJECT

private slots:
    void core_box();
    void two_choices_data();
    void two_choices();
    void two_choice_box_looks();
    void boxes_in_a_row_from_a_nested_loop();
    void box_opened_while_another_is_open();
    void unexpected_box_is_closed_and_reported();
    void port_dialog_data();
    void port_dialog();
    void port_dialog_answers();
};

void tst_dialogs::core_box() {
    vortan_gui window;
    QMessageBox* box = window.message_box_core(
        QStringLiteral("ERROR"), QStringLiteral("DISCONNECTED"), QStringLiteral("WHAT NOW?"));
    QVERIFY(box != nullptr);
    QCOMPARE(box->parent(), &window);
    QVERIFY(!box->isVisible());
    QCOMPARE(box->windowTitle(), QStringLiteral("ERROR"));
    QCOMPARE(box->text(), QStringLiteral("DISCONNECTED"));
    QCOMPARE(box->informativeText(), QStringLiteral("WHAT NOW?"));
    QCOMPARE(box->font().family(), quillmar::display_font().family());
    QCOMPARE(box->styleSheet(), gold_buttons);
    QCOMPARE(box->buttons().size(), 1);
    QCOMPARE(box->defaultButton(), box->button(QMessageBox::Ok));
    QCOMPARE(box->button(QMessageBox::Ok)->text(), QStringLiteral("OK"));

    // The caller shows it; Return answers OK.
    modal_answerer answers;
    answers.key(Qt::Key_Return, {.title = "ERROR", .text = "DISCONNECTED"});
    QCOMPARE(box->exec(), int(QMessageBox::Ok));
    QVERIFY(answers.done());
    QVERIFY2(answers.problems().isEmpty(), qPrintable(problems_of(answers)));
}

void tst_dialogs::two_choices_data() {
    QTest::addColumn<QString>("answer");
    QTest::addColumn<bool>("result");
    QTest::newRow("OK clicked") << "click OK" << true;
    QTest::newRow("Return answers OK") << "Return" << true;
    QTest::newRow("NO clicked") << "click NO" << false;
    QTest::newRow("Escape") << "Escape" << false;
    QTest::newRow("closed") << "close" << false;
}

void tst_dialogs::two_choices() {
    QFETCH(QString, answer);
    QFETCH(bool, result);

    vortan_gui window;
    const int boxes_before = message_boxes_of(window);
    modal_answerer answers;
    const modal_answerer::expect expected{.title = "",
                                          .text = "WARNING\nBACKUP IS OLD",
                                          .informative_text = "ARE YOU SURE YOU WANT TO PROCEED?"};
    if (answer == QLatin1String("click OK")) {
        answers.click(QStringLiteral("OK"), expected);
    } else if (answer == QLatin1String("click NO")) {
        answers.click(QStringLiteral("NO"), expected);
    } else if (answer == QLatin1String("Return")) {
        answers.key(Qt::Key_Return, expected);
    } else if (answer == QLatin1String("Escape")) {
        answers.key(Qt::Key_Escape, expected);
    } else {
        answers.close(expected);
    }

    QCOMPARE(
        window.message_box_executor_2choices(QString(), QStringLiteral("WARNING\nBACKUP IS OLD"),
                                             QStringLiteral("ARE YOU SURE YOU WANT TO PROCEED?")),
        result);
    QVERIFY(answers.done());
    QVERIFY2(answers.problems().isEmpty(), qPrintable(problems_of(answers)));
    QCOMPARE(answers.seen().size(), 1);
    QCOMPARE(answers.seen().first().buttons, QStringList({"OK", "NO"}));
    // Nothing is left behind once the answer is known.
    QCOMPARE(message_boxes_of(window), boxes_before);
}

void tst_dialogs::two_choice_box_looks() {
    vortan_gui window;
    QString family;
    QString style;
    QString default_text;
    modal_answerer answers;
    answers.then([&](QWidget* w) {
        auto* box = qobject_cast<QMessageBox*>(w);
        family = box->font().family();
        style = box->styleSheet();
        default_text = box->defaultButton() != nullptr ? box->defaultButton()->text() : QString();
        box->button(QMessageBox::No)->click();
    });
    QVERIFY(!window.message_box_executor_2choices(QString(), QStringLiteral("X"), QString()));
    QCOMPARE(family, quillmar::display_font().family());
    QCOMPARE(style, gold_buttons);
    QCOMPARE(default_text, QStringLiteral("OK"));
}

void tst_dialogs::boxes_in_a_row_from_a_nested_loop() {
    vortan_gui window;
    modal_answerer answers;
    answers.click(QStringLiteral("OK"), {.text = "FIRST"})
        .key(Qt::Key_Escape, {.text = "SECOND"})
        .key(Qt::Key_Return, {.text = "THIRD"});

    // The boxes come from a slot run by the event loop, as the window's own do.
    QList<bool> results;
    QTimer::singleShot(0, &window, [&] {
        for (const char* text : {"FIRST", "SECOND", "THIRD"}) {
            results << window.message_box_executor_2choices(QString(), QString::fromLatin1(text),
                                                            QString());
        }
    });
    QTRY_COMPARE_WITH_TIMEOUT(results.size(), 3, 20000);
    QCOMPARE(results, QList<bool>({true, false, true}));
    QVERIFY(answers.done());
    QVERIFY2(answers.problems().isEmpty(), qPrintable(problems_of(answers)));
}

void tst_dialogs::box_opened_while_another_is_open() {
    vortan_gui window;
    modal_answerer answers;
    bool inner = true;
    // The answer to the outer box opens a second box on top of it, and only then
    // clicks OK on the outer one.
    answers
        .then(
            [&](QWidget* outer) {
                inner = window.message_box_executor_2choices(QString(), QStringLiteral("INNER"),
                                                             QString());
                quillmar::test::click_button(outer, QStringLiteral("OK"));
            },
            {.text = "OUTER"})
        .click(QStringLiteral("NO"), {.text = "INNER"});

    QVERIFY(window.message_box_executor_2choices(QString(), QStringLiteral("OUTER"), QString()));
    QVERIFY(!inner);
    QVERIFY(answers.done());
    QVERIFY2(answers.problems().isEmpty(), qPrintable(problems_of(answers)));
}

void tst_dialogs::unexpected_box_is_closed_and_reported() {
    vortan_gui window;
    modal_answerer answers;
    QVERIFY(!window.message_box_executor_2choices(QStringLiteral("T"), QStringLiteral("SURPRISE"),
                                                  QString()));
    QCOMPARE(answers.problems().size(), 1);
    QVERIFY(answers.problems().first().contains(QLatin1String("SURPRISE")));
}

void tst_dialogs::port_dialog_data() {
    QTest::addColumn<QStringList>("names");
    QTest::newRow("no port") << QStringList();
    QTest::newRow("one port") << QStringList({"ttyACM0"});
    QTest::newRow("several ports, in the listed order")
        << QStringList({"ttyS0", "ttyACM1", "ttyACM0", "pts/7"});
}

void tst_dialogs::port_dialog() {
    QFETCH(QStringList, names);
    custom_dialog dialog(nullptr);
    QVERIFY(dialog.comboBox() == nullptr);
    dialog.init(names);
    QComboBox* combo = dialog.comboBox();
    QVERIFY(combo != nullptr);
    QStringList listed;
    for (int i = 0; i < combo->count(); ++i) {
        listed << combo->itemText(i);
    }
    QCOMPARE(listed, names);
    QCOMPARE(combo->currentText(), names.value(0));
    QCOMPARE(dialog.windowTitle(), QStringLiteral("SELECT VORTAN"));
    QVERIFY(!dialog.windowFlags().testFlag(Qt::WindowContextHelpButtonHint));
    QAbstractButton* select = quillmar::test::find_button(&dialog, QStringLiteral("SELECT"));
    QVERIFY(select != nullptr);
    QCOMPARE(select->styleSheet(), QStringLiteral("background-color: rgb(255, 215, 0);"));

    // Built once: a second init only lists the new names.
    dialog.init({QStringLiteral("ttyUSB9")});
    QCOMPARE(dialog.comboBox(), combo);
    QCOMPARE(combo->count(), 1);
    QCOMPARE(combo->currentText(), QStringLiteral("ttyUSB9"));
    QCOMPARE(dialog.findChildren<QComboBox*>().size(), 1);
}

void tst_dialogs::port_dialog_answers() {
    custom_dialog dialog(nullptr);
    dialog.init({QStringLiteral("ttyACM0"), QStringLiteral("ttyACM1")});
    modal_answerer answers;
    answers
        .then(
            [](QWidget* w) {
                static_cast<custom_dialog*>(w)->comboBox()->setCurrentIndex(1);
                quillmar::test::click_button(w, QStringLiteral("SELECT"));
            },
            {.title = "SELECT VORTAN"})
        .key(Qt::Key_Escape)
        .close();
    QCOMPARE(dialog.exec(), int(QDialog::Accepted));
    QCOMPARE(dialog.comboBox()->currentText(), QStringLiteral("ttyACM1"));
    QCOMPARE(dialog.exec(), int(QDialog::Rejected));
    QCOMPARE(dialog.exec(), int(QDialog::Rejected));
    QVERIFY(answers.done());
    QVERIFY2(answers.problems().isEmpty(), qPrintable(problems_of(answers)));
}

VORTAN_TEST_MAIN(tst_dialogs)
#include "tst_dialogs.moc"
