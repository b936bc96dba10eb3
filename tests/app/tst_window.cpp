// The main window: resources, shape, start-up look, hover guide, click slots.

#include "app_resources.h"
#include "test_env.h"
#include "vortan_gui.h"

#include <QApplication>
#include <QFileInfo>
#include <QImageReader>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QTextDocument>

#include <memory>

namespace {

// QObject::receivers is protected; naming it through a subclass gives a pointer to the
// member that may be called on any QObject.
struct receiver_count : QObject {
    using QObject::receivers;
};

int clicked_receivers(const QObject* button) {
    return (button->*(&receiver_count::receivers))(SIGNAL(clicked()));
}

QPushButton* button_named(vortan_gui& window, const QString& name) {
    return window.findChild<QPushButton*>(name);
}

// Moves the mouse to a spot of the window far from the buttons.
void move_mouse_away(vortan_gui& window) {
    QTest::mouseMove(window.ui->label_logo, QPoint(2, 2));
}

// The user guide the guide panel shows when the mouse is over no button.
const QString guide_title =
    QStringLiteral("<p><span style=\" font-size:16pt; \">USER GUIDE</span></p>");
const QString guide_text = QStringLiteral(
    "<html><head/><body><p>1. BACKUP YOUR CURRENT PRESETS</p><p>2. UPDATE VORTAN TO THE "
    "LATEST OS</p><p>3. RESTORE YOUR LATEST PRESETS</p><p> <span style=\" font-size:8pt; "
    "color:#000000;\">FOR MORE INFO NAVIGATE OVER EACH BUTTON</span></p></body></html>");

QtMessageHandler previous_handler = nullptr;
QStringList captured;
void capture(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    captured.append(message);
    previous_handler(type, context, message);
}

} // namespace

class tst_window : public QObject {
    Q_OBJECT

private slots:
    void resources_are_registered_before_main_data();
    void resources_are_registered_before_main();
    void fixed_size_without_maximise();
    void start_look();
    void hover_guide_data();
    void hover_guide();
    void guide_texts_fit_data();
    void guide_texts_fit();
    void widgets_keep_their_places_data();
    void widgets_keep_their_places();
    void click_slots_data();
    void click_slots();
};

void tst_window::resources_are_registered_before_main_data() {
    QTest::addColumn<QString>("path");
    QTest::addColumn<QSize>("size");
    QTest::addColumn<int>("frames");
    QTest::newRow("product logotype") << ":/Resources/vortan@2x.png" << QSize(2338, 496) << 1;
    QTest::newRow("maker logotype") << ":/Resources/quillmar@2x.png" << QSize(2235, 284) << 1;
    QTest::newRow("emblem") << ":/Resources/menubarlogo.png" << QSize(256, 256) << 1;
    QTest::newRow("spinner") << ":/Resources/loader@2x.gif" << QSize(268, 131) << 60;
    QTest::newRow("display font") << ":/Resources/usuzi.ttf" << QSize() << 0;
}

void tst_window::resources_are_registered_before_main() {
    // Runs first: nothing of the application has been called yet.
    QVERIFY(QApplication::topLevelWidgets().isEmpty());
    QFETCH(QString, path);
    QFETCH(QSize, size);
    QFETCH(int, frames);
    QVERIFY2(QFileInfo(path).isFile(), qPrintable(path));
    if (frames == 0) {
        return;
    }
    QImageReader reader(path);
    QCOMPARE(reader.size(), size);
    QVERIFY(reader.supportsAnimation() == (frames > 1));
    if (frames > 1) {
        QCOMPARE(reader.imageCount(), frames);
        QCOMPARE(reader.loopCount(), -1); // loops forever
        for (int frame = 0; frame < frames; ++frame) {
            QVERIFY(!reader.read().isNull());
            QCOMPARE(reader.nextImageDelay(), 30);
        }
    }
}

void tst_window::fixed_size_without_maximise() {
    vortan_gui window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QCOMPARE(window.windowTitle(), QStringLiteral("VORTAN V2.02"));
    QCOMPARE(window.size(), QSize(542, 380));
    QCOMPARE(window.minimumSize(), QSize(542, 380));
    QCOMPARE(window.maximumSize(), QSize(542, 380));

    const Qt::WindowFlags flags = window.windowFlags();
    QVERIFY(window.isWindow());
    QVERIFY(flags.testFlag(Qt::WindowTitleHint));
    QVERIFY(flags.testFlag(Qt::WindowSystemMenuHint));
    QVERIFY(flags.testFlag(Qt::WindowMinimizeButtonHint));
    QVERIFY(flags.testFlag(Qt::WindowCloseButtonHint));
    QVERIFY(!flags.testFlag(Qt::WindowMaximizeButtonHint));

    window.resize(800, 600);
    QCOMPARE(window.size(), QSize(542, 380));
    window.showMaximized();
    QTRY_COMPARE(window.size(), QSize(542, 380));

    QVERIFY(!QGuiApplication::windowIcon().isNull());
    QVERIFY(!window.windowIcon().isNull());
}

void tst_window::start_look() {
    vortan_gui window;
    const Ui_vortan& ui = *window.ui;
    // The panels replace the form's placeholders.
    QCOMPARE(ui.passive_info_title->text(), guide_title);
    QCOMPARE(ui.passive_info_main->text(), guide_text);
    QCOMPARE(ui.label_spinner->text(), QString());
    QCOMPARE(ui.active_info_text->text(), QString());
    QCOMPARE(window.status_panel.current_state(), info_box::state::inactive);
    QCOMPARE(window.guide_panel.current_state(), info_box::state::inactive);
    QCOMPARE(ui.active_info_text->styleSheet(), QStringLiteral("Font:12pt;color:rgb(45,204,211);"));
    QCOMPARE(ui.passive_info_main->styleSheet(), QStringLiteral("color:rgb(45,204,211);"));

    const QString family = quillmar::display_font().family();
    for (QPushButton* button : {ui.button_backup, ui.button_firmware, ui.button_send}) {
        QVERIFY(button->isEnabled());
        QVERIFY(button->hasMouseTracking());
        QCOMPARE(button->font().family(), family);
        QCOMPARE(button->styleSheet(), QStringLiteral("Font:13pt"));
    }
    QCOMPARE(ui.button_backup->text(), QStringLiteral("BACKUP"));
    QCOMPARE(ui.button_firmware->text(), QStringLiteral("UPDATE"));
    QCOMPARE(ui.button_send->text(), QStringLiteral("RESTORE"));
    QVERIFY(!ui.label_main->pixmap(Qt::ReturnByValue).isNull());
    QVERIFY(!ui.label_logo->pixmap(Qt::ReturnByValue).isNull());
}

void tst_window::hover_guide_data() {
    QTest::addColumn<QString>("button");
    QTest::addColumn<bool>("operation_running");
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("text");

    const QString backup_title =
        QStringLiteral("<p><span style=\" font-size:16pt; \">BACKUP</span></p>");
    const QString backup_text =
        QStringLiteral("<html><head/><body><p>THIS WILL STORE CURRENT PRESETS</p><p>1. CONNECT "
                       "VORTAN</p><p>2. SKIP BOTH BOOT SCREENS</p><p>3. WAIT FOR THE COUNTER TO "
                       "FINISH</p><p><span style=\" font-size:8pt; color:#000000;\">DO NOT UNPLUG "
                       "VORTAN!</span></p></body></html>");
    const QString update_title =
        QStringLiteral("<p><span style=\" font-size:16pt; \">UPDATE</span></p>");
    const QString update_text = QStringLiteral(
        "<html><head/><body><p>THIS WILL UPDATE VORTAN</p><p>1. CONNECT VORTAN</p><p>2. PRESS "
        "SQNCR BUTTON ON BOOT</p><p>3. PRESS UPDATE</p><p><span style=\" font-size:8pt; "
        "color:#000000;\">BACKUP YOUR PRESETS BEFORE UPDATING!</span></p></body></html>");
    const QString restore_title =
        QStringLiteral("<p><span style=\" font-size:16pt; \">RESTORE</span></p>");
    const QString restore_text = QStringLiteral(
        "<html><head/><body><p>AFTER A SUCCESSFULL BACKUP</p><p>RESTORE YOUR PRESETS BACK "
        "</p><p>1. CONNECT VORTAN</p><p>2. SKIP BOTH BOOT SCREENS</p><p>3. THEN PRESS "
        "RESTORE</p></body></html>");

    for (const bool running : {false, true}) {
        const char* suffix = running ? " while an operation runs" : "";
        QTest::addRow("backup%s", suffix)
            << "button_backup" << running << backup_title << backup_text;
        QTest::addRow("update%s", suffix)
            << "button_firmware" << running << update_title << update_text;
        QTest::addRow("restore%s", suffix)
            << "button_send" << running << restore_title << restore_text;
    }
}

void tst_window::hover_guide() {
    QFETCH(QString, button);
    QFETCH(bool, operation_running);
    QFETCH(QString, title);
    QFETCH(QString, text);

    vortan_gui window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    const Ui_vortan& ui = *window.ui;

    const QString progress = QStringLiteral("WORK IN PROGRESS\n7/256");
    if (operation_running) {
        window.status_panel.take_important_action(progress, true);
    }
    const QString status_text = ui.active_info_text->text();
    const auto status_untouched = [&] {
        return ui.active_info_text->text() == status_text &&
               window.status_panel.current_state() ==
                   (operation_running ? info_box::state::active : info_box::state::inactive) &&
               (ui.label_spinner->movie() != nullptr) == operation_running;
    };

    move_mouse_away(window);
    QPushButton* target = button_named(window, button);
    QVERIFY(target != nullptr);
    QTest::mouseMove(target);
    QTRY_COMPARE(ui.passive_info_title->text(), title);
    QCOMPARE(ui.passive_info_main->text(), text);
    QCOMPARE(window.guide_panel.current_state(), info_box::state::hover);
    QVERIFY(status_untouched());

    move_mouse_away(window);
    QTRY_COMPARE(ui.passive_info_title->text(), guide_title);
    QCOMPARE(ui.passive_info_main->text(), guide_text);
    QCOMPARE(window.guide_panel.current_state(), info_box::state::inactive);
    QVERIFY(status_untouched());
}

void tst_window::guide_texts_fit_data() {
    QTest::addColumn<QString>("button");
    QTest::newRow("user guide, no button under the mouse") << QString();
    QTest::newRow("backup explanation down to DO NOT UNPLUG VORTAN!") << "button_backup";
    QTest::newRow("update explanation down to BACKUP YOUR PRESETS BEFORE UPDATING!")
        << "button_firmware";
    QTest::newRow("restore explanation down to 3. THEN PRESS RESTORE") << "button_send";
}

// Every line of the guide panel's text is drawn in full: the text needs no more room than
// its label has (the test runs at 96 dpi), and no widget on top covers the label.
void tst_window::guide_texts_fit() {
    QFETCH(QString, button);

    vortan_gui window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    const Ui_vortan& ui = *window.ui;
    QLabel* label = ui.passive_info_main;

    QString text = window.guide_text;
    if (!button.isEmpty()) {
        QEvent enter(QEvent::Enter);
        QApplication::sendEvent(button_named(window, button), &enter);
        text = button == QLatin1String("button_backup")     ? window.backup_text
               : button == QLatin1String("button_firmware") ? window.update_text
                                                            : window.restore_text;
    }
    QCOMPARE(label->text(), text);

    const QRect room = label->contentsRect();
    const int needed_height = label->heightForWidth(room.width());
    QVERIFY2(needed_height <= room.height(),
             qPrintable(QStringLiteral("the text needs %1 px, the label has %2 px")
                            .arg(needed_height)
                            .arg(room.height())));
    // The longest line, laid out as the label lays out its text, in the label's font.
    QTextDocument document;
    document.setDocumentMargin(0);
    document.setDefaultFont(label->font());
    document.setHtml(text);
    QVERIFY2(document.idealWidth() <= room.width(),
             qPrintable(QStringLiteral("the longest line needs %1 px, the label has %2 px")
                            .arg(document.idealWidth())
                            .arg(room.width())));
    QVERIFY(document.size().height() <= room.height());

    // frame_2 (the guide title) lies on top of the text's frame and paints its background.
    const QRect label_area(label->mapTo(&window, QPoint(0, 0)), label->size());
    const QRect title_area(ui.frame_2->mapTo(&window, QPoint(0, 0)), ui.frame_2->size());
    QVERIFY2(!label_area.intersects(title_area), "the guide title covers the text's first line");
    QVERIFY(window.rect().contains(label_area));
}

void tst_window::widgets_keep_their_places_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QRect>("place");
    QTest::newRow("product logotype") << "label_main" << QRect(118, 24, 311, 60);
    QTest::newRow("guide title") << "passive_info_title" << QRect(286, 99, 145, 22);
    QTest::newRow("BACKUP") << "button_backup" << QRect(18, 142, 175, 25);
    QTest::newRow("UPDATE") << "button_firmware" << QRect(18, 181, 175, 25);
    QTest::newRow("RESTORE") << "button_send" << QRect(18, 220, 175, 25);
    QTest::newRow("spinner") << "label_spinner" << QRect(41, 268, 130, 80);
    QTest::newRow("status text") << "active_info_text" << QRect(202, 279, 300, 40);
    QTest::newRow("maker logotype") << "label_logo" << QRect(309, 339, 216, 27);
    QTest::newRow("text frame") << "text_frame" << QRect(0, 118, 511, 160);
    QTest::newRow("title frame") << "frame_2" << QRect(0, 90, 530, 40);
}

// The places, in window coordinates, of the widgets around the guide text.
void tst_window::widgets_keep_their_places() {
    QFETCH(QString, name);
    QFETCH(QRect, place);
    vortan_gui window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    const QWidget* widget = window.findChild<QWidget*>(name);
    QVERIFY(widget != nullptr);
    QCOMPARE(QRect(widget->mapTo(&window, QPoint(0, 0)), widget->size()), place);
}

void tst_window::click_slots_data() {
    QTest::addColumn<QString>("button");
    QTest::addColumn<QByteArray>("slot");
    QTest::newRow("backup") << "button_backup" << QByteArray(SLOT(on_button_backup_clicked()));
    QTest::newRow("update") << "button_firmware" << QByteArray(SLOT(on_button_firmware_clicked()));
    QTest::newRow("restore") << "button_send" << QByteArray(SLOT(on_button_send_clicked()));
}

void tst_window::click_slots() {
    QFETCH(QString, button);
    QFETCH(QByteArray, slot);

    captured.clear();
    previous_handler = qInstallMessageHandler(capture);
    auto window = std::make_unique<vortan_gui>();
    qInstallMessageHandler(previous_handler);
    // Pairing slots with buttons by name complains about every slot it cannot pair.
    for (const QString& message : captured) {
        QVERIFY2(!message.contains(QLatin1String("connectSlotsByName")), qPrintable(message));
    }

    QPushButton* target = button_named(*window, button);
    QVERIFY(target != nullptr);
    // Exactly one connection, and it is the one to the window's slot of that name.
    QCOMPARE(clicked_receivers(target), 1);
    QVERIFY(QObject::disconnect(target, SIGNAL(clicked()), window.get(), slot.constData()));
    QCOMPARE(clicked_receivers(target), 0);
}

VORTAN_TEST_MAIN(tst_window)
#include "tst_window.moc"
