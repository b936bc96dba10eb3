// vortan-demo as built by its own set-up: the window, the stand-in in the same process and
// nothing else in the port dialog. A BACKUP runs against the stand-in as against a unit.

#include "demo.h"
#include "modal.h"
#include "test_env.h"

#include <QComboBox>
#include <QDir>
#include <QDirIterator>
#include <QLabel>
#include <QPushButton>
#include <QRegularExpression>
#include <QTest>

namespace {

// Time for a whole backup of the stand-in's presets, with room for a busy machine.
constexpr int backup_timeout_ms = 120000;

// The preset files below `folder`, as paths relative to it.
QStringList preset_files_below(const QString& folder) {
    QStringList found;
    QDirIterator it(folder, {QStringLiteral("*.txt")}, QDir::Files | QDir::Hidden,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        found << QDir(folder).relativeFilePath(it.next());
    }
    found.sort();
    return found;
}

} // namespace

class tst_e2e_demo : public QObject {
    Q_OBJECT

private slots:
    void backup_against_the_standin();
};

void tst_e2e_demo::backup_against_the_standin() {
    const std::unique_ptr<quillmar::demo::session> demo = quillmar::demo::make_session();
    QVERIFY(demo != nullptr);
    vortan_gui& window = *demo->window;
    window.show();

    // A data folder of its own, apart from the real tool's "vortan".
    QCOMPARE(QCoreApplication::applicationName(), QStringLiteral("vortan-demo"));
    QCOMPARE(window.data_location, quillmar::test::temporary_data_home::current_data_location());
    QVERIFY(window.data_location.endsWith(QStringLiteral("/vortan-demo")));
    // The generated image of the build tree, for the stand-in's UPDATE.
    QVERIFY(!window.firmware_image.isEmpty());

    QStringList offered;
    quillmar::test::modal_answerer answers;
    answers.then(
        [&offered](QWidget* dialog) {
            const QComboBox* combo = dialog->findChild<QComboBox*>();
            for (int i = 0; combo != nullptr && i < combo->count(); ++i) {
                offered << combo->itemText(i);
            }
            quillmar::test::click_button(dialog, QStringLiteral("SELECT"));
        },
        {.title = QStringLiteral("SELECT VORTAN")});
    QTest::mouseClick(window.ui->button_backup, Qt::LeftButton);

    QTRY_COMPARE_WITH_TIMEOUT(window.ui->active_info_text->text(),
                              QStringLiteral("BACKUP SUCCEEDED"), backup_timeout_ms);
    QVERIFY(answers.wait_until_done(20000));
    QVERIFY2(answers.problems().isEmpty(), qPrintable(answers.problems().join('\n')));
    // The stand-in alone: never a real port.
    QCOMPARE(offered, QStringList{quillmar::demo::port_name});

    const QDir root(window.data_location + QStringLiteral("/datesaves"));
    const QStringList backups = root.entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    QCOMPARE(backups.size(), 1);
    const QStringList files = preset_files_below(root.filePath(backups.first()));
    QCOMPARE(files.size(), 256);
    for (const QString bank : {"BANK A", "BANK B", "BANK C", "BANK D"}) {
        QCOMPARE(files.filter(QRegularExpression(QStringLiteral("^%1/").arg(bank))).size(), 64);
    }
    // Export requests for the indexes 0 to 256, as against a unit.
    QCOMPARE(static_cast<int>(demo->synth.messages().size()), 257);
}

VORTAN_TEST_MAIN(tst_e2e_demo)
#include "tst_e2e_demo.moc"
