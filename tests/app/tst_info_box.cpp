// The status panel: its state table, walked through with real labels.

#include "app_resources.h"
#include "info_box.h"
#include "test_env.h"

#include <QElapsedTimer>
#include <QEvent>
#include <QLabel>
#include <QMovie>
#include <QSizePolicy>
#include <QStringList>
#include <QTest>
#include <QVBoxLayout>
#include <QWidget>

#include <memory>

using panel_state = info_box::state;
Q_DECLARE_METATYPE(panel_state)

namespace {

// Two labels on a shown widget, driven by one panel.
struct panel_fixture {
    panel_fixture(const QString& title, const QString& text) {
        auto* layout = new QVBoxLayout(&host);
        layout->addWidget(upper);
        layout->addWidget(lower);
        upper->setText(QStringLiteral("placeholder"));
        lower->setText(QStringLiteral("placeholder"));
        panel = std::make_unique<info_box>(upper, lower, title, text);
        host.show();
    }

    bool spinner_running() const {
        return upper->movie() != nullptr && upper->movie()->state() == QMovie::Running;
    }

    QWidget host;
    QLabel* upper = new QLabel(&host);
    QLabel* lower = new QLabel(&host);
    std::unique_ptr<info_box> panel;
};

// One letter per call on the panel, so a row reads as the sequence it tests.
void run(info_box& panel, const QString& steps) {
    for (const QChar step : steps) {
        switch (step.toLatin1()) {
        case 'N': // a notice
            panel.take_notification_action(QStringLiteral("NOTICE"), QStringLiteral("N-TEXT"));
            break;
        case 'S': // progress with spinner
            panel.take_important_action(QStringLiteral("WORK IN PROGRESS\n1/256"), true);
            break;
        case 's': // progress without spinner
            panel.take_important_action(QStringLiteral("WORK IN PROGRESS\n2/256"), false);
            break;
        case 'h':
            panel.finish(panel_state::hover);
            break;
        case 'a':
            panel.finish(panel_state::active);
            break;
        default:
            QFAIL("unknown step");
        }
    }
}

// Notes the text a label shows in each of its paints.
class paint_probe : public QObject {
public:
    explicit paint_probe(QLabel* label) : label(label) { label->installEventFilter(this); }

    QStringList painted;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched == label && event->type() == QEvent::Paint) {
            painted << label->text();
        }
        return false;
    }

private:
    QLabel* label;
};

QString progress(int count) {
    return QStringLiteral("WORK IN PROGRESS\n") + QString::number(count) + QStringLiteral("/256");
}

// The status panel's labels as the window has them: the spinner's label fixed in size, the
// text's label as wide as its text within limits, both shown on screen.
const QSize lower_minimum(0, 35);
const QSize lower_maximum(300, 40);

void make_window_like(panel_fixture& f) {
    f.upper->setFixedSize(130, 66);
    f.lower->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    f.lower->setMinimumSize(lower_minimum);
    f.lower->setMaximumSize(lower_maximum);
    QVERIFY(QTest::qWaitForWindowExposed(&f.host));
    QCoreApplication::processEvents();
}

} // namespace

class tst_info_box : public QObject {
    Q_OBJECT

private slots:
    void state_table_data();
    void state_table();
    void set_hover_is_refused_while_active();
    void looks();
    void progress_repaints_are_paced();
    void notice_is_painted_at_once();
};

void tst_info_box::state_table_data() {
    QTest::addColumn<QString>("default_title");
    QTest::addColumn<QString>("default_text");
    QTest::addColumn<QString>("steps");
    QTest::addColumn<panel_state>("state");
    QTest::addColumn<QString>("upper_text");
    QTest::addColumn<QString>("lower_text");
    QTest::addColumn<bool>("upper_visible");
    QTest::addColumn<bool>("spinner_running");

    const QString t = QStringLiteral("GUIDE");
    const QString d = QStringLiteral("guide text");
    const QString progress1 = QStringLiteral("WORK IN PROGRESS\n1/256");
    const QString progress2 = QStringLiteral("WORK IN PROGRESS\n2/256");
    const QString notice = QStringLiteral("NOTICE");
    const QString notice_text = QStringLiteral("N-TEXT");

    QTest::newRow("new panel shows its defaults")
        << t << d << "" << panel_state::inactive << t << d << true << false;
    QTest::newRow("notice over the defaults")
        << t << d << "N" << panel_state::hover << notice << notice_text << true << false;
    QTest::newRow("end of a notice brings the defaults back")
        << t << d << "Nh" << panel_state::inactive << t << d << true << false;
    QTest::newRow("progress with spinner")
        << t << d << "S" << panel_state::active << QString() << progress1 << true << true;
    QTest::newRow("notice while active is dropped")
        << t << d << "SN" << panel_state::active << QString() << progress1 << true << true;
    QTest::newRow("end of a hover while active keeps the progress")
        << t << d << "Sh" << panel_state::active << QString() << progress1 << true << true;
    QTest::newRow("progress without spinner keeps the running spinner")
        << t << d << "Ss" << panel_state::active << QString() << progress2 << true << true;
    QTest::newRow("progress without spinner leaves the title")
        << t << d << "s" << panel_state::active << t << progress2 << true << false;
    QTest::newRow("spinner asked twice keeps running")
        << t << d << "SS" << panel_state::active << QString() << progress1 << true << true;
    QTest::newRow("progress takes over a notice")
        << t << d << "NS" << panel_state::active << QString() << progress1 << true << true;
    QTest::newRow("end of progress while hover keeps the notice")
        << t << d << "Na" << panel_state::hover << notice << notice_text << true << false;
    QTest::newRow("end of progress stops the spinner and hides the upper label")
        << t << d << "Sa" << panel_state::inactive << t << d << false << false;
    QTest::newRow("notice after progress shows the upper label again")
        << t << d << "SaN" << panel_state::hover << notice << notice_text << true << false;
    QTest::newRow("end of progress twice changes nothing more")
        << t << d << "Saa" << panel_state::inactive << t << d << false << false;
    QTest::newRow("empty defaults: end of progress leaves both labels empty")
        << QString() << QString() << "Sa" << panel_state::inactive << QString() << QString()
        << false << false;
}

void tst_info_box::state_table() {
    QFETCH(QString, default_title);
    QFETCH(QString, default_text);
    QFETCH(QString, steps);

    panel_fixture f(default_title, default_text);
    run(*f.panel, steps);

    QTEST(f.panel->current_state(), "state");
    QTEST(f.upper->text(), "upper_text");
    QTEST(f.lower->text(), "lower_text");
    QTEST(f.upper->isVisible(), "upper_visible");
    QVERIFY(f.lower->isVisible());
    QTEST(f.spinner_running(), "spinner_running");
}

void tst_info_box::set_hover_is_refused_while_active() {
    panel_fixture f(QStringLiteral("T"), QStringLiteral("D"));
    QVERIFY(f.panel->set_hover());
    QCOMPARE(f.panel->current_state(), panel_state::hover);
    f.panel->set_active();
    QVERIFY(!f.panel->set_hover());
    QCOMPARE(f.panel->current_state(), panel_state::active);
}

void tst_info_box::looks() {
    panel_fixture f(QStringLiteral("T"), QStringLiteral("D"));
    // Both labels get the display font of the resources, family only.
    const QFont display = quillmar::display_font();
    QVERIFY(display.resolve() & QFont::FamilyResolved);
    QCOMPARE(display.resolve() & QFont::SizeResolved, 0u);
    QCOMPARE(f.upper->font().family(), display.family());
    QCOMPARE(f.lower->font().family(), display.family());
    QCOMPARE(f.upper->styleSheet(), QString());
    QCOMPARE(f.lower->styleSheet(), QStringLiteral("color:rgb(45,204,211);"));
    f.panel->big_down_text_size();
    QCOMPARE(f.lower->styleSheet(), QStringLiteral("Font:12pt;color:rgb(45,204,211);"));

    // The spinner is the 60-frame animation of the resources, shown unscaled.
    f.panel->take_important_action(QString(), true);
    QMovie* movie = f.upper->movie();
    QVERIFY(movie != nullptr);
    QVERIFY(movie->isValid());
    QCOMPARE(movie->frameCount(), 60);
    QCOMPARE(movie->currentPixmap().size(), QSize(268, 131));
}

// Progress texts, one per turn of the event loop as a restore gives them, for several
// pacing intervals: the label holds each text at once, the first is painted at once, the
// paints are few and show the count advancing, and the last count is painted in the end.
void tst_info_box::progress_repaints_are_paced() {
    panel_fixture f{QString(), QString()};
    make_window_like(f);
    paint_probe probe(f.lower);

    const auto interval = info_box::progress_repaint_interval.count();
    QElapsedTimer clock;
    clock.start();
    int count = 0;
    while (clock.elapsed() < 5 * interval) {
        ++count;
        f.panel->take_important_action(progress(count), true);
        QCOMPARE(f.lower->text(), progress(count));
        QCoreApplication::processEvents();
    }
    const qint64 elapsed = clock.elapsed();

    QVERIFY(!probe.painted.isEmpty());
    QCOMPARE(probe.painted.first(), progress(1));
    QVERIFY2(probe.painted.size() <= elapsed / interval + 2,
             qPrintable(QStringLiteral("%1 paints for %2 texts in %3 ms")
                            .arg(probe.painted.size())
                            .arg(count)
                            .arg(elapsed)));
    QTRY_COMPARE(probe.painted.last(), progress(count));
    // Each paint shows a later count than the one before.
    QVERIFY2(probe.painted.size() >= 3, qPrintable(probe.painted.join(", ")));
    for (qsizetype i = 1; i < probe.painted.size(); ++i) {
        const QString earlier =
            probe.painted[i - 1].section(QLatin1Char('\n'), 1).section('/', 0, 0);
        const QString later = probe.painted[i].section(QLatin1Char('\n'), 1).section('/', 0, 0);
        QVERIFY2(earlier.toInt() < later.toInt(), qPrintable(probe.painted.join(", ")));
    }
    QVERIFY(f.spinner_running());
    // The label has its own size limits back.
    QCOMPARE(f.lower->minimumSize(), lower_minimum);
    QCOMPARE(f.lower->maximumSize(), lower_maximum);
}

// The result that ends a run of progress texts is painted on the next turn of the event
// loop, not held back with the progress.
void tst_info_box::notice_is_painted_at_once() {
    panel_fixture f{QString(), QString()};
    make_window_like(f);
    paint_probe probe(f.lower);

    f.panel->take_important_action(progress(1), true);
    QCoreApplication::processEvents();
    f.panel->take_important_action(progress(2), true);
    QCoreApplication::processEvents();
    f.panel->finish(panel_state::active);
    f.panel->take_notification_action(QString(), QStringLiteral("RESTORE SUCCEEDED"));
    QCoreApplication::processEvents();

    QVERIFY(!probe.painted.isEmpty());
    QCOMPARE(probe.painted.last(), QStringLiteral("RESTORE SUCCEEDED"));
    QCOMPARE(f.lower->text(), QStringLiteral("RESTORE SUCCEEDED"));
    QCOMPARE(f.lower->minimumSize(), lower_minimum);
    QCOMPARE(f.lower->maximumSize(), lower_maximum);
}

VORTAN_TEST_MAIN(tst_info_box)
#include "tst_info_box.moc"
