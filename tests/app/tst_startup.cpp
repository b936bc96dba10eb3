// Start-up: the data folders and the firmware image beside the executable's folder.
//
// This program lives in a bin folder of its own, so the firmware image it reads,
// <bin>/../Resources/firmware.sys, is the one each test puts there.

#include "test_env.h"
#include "vortan_gui.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTest>

using quillmar::test::temporary_data_home;

namespace {

QString resources_folder() {
    return QDir::cleanPath(QCoreApplication::applicationDirPath() +
                           QStringLiteral("/../Resources"));
}

QString firmware_path() {
    return resources_folder() + QStringLiteral("/firmware.sys");
}

void remove_firmware() {
    const QFileInfo info(firmware_path());
    if (info.isDir() && !info.isSymLink()) {
        QDir(firmware_path()).removeRecursively();
    } else {
        QFile::remove(firmware_path());
    }
}

bool write_file(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.flush();
}

QByteArray read_file(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Bytes of every value, the SysEx framing bytes included.
QByteArray image_of_size(int size) {
    QByteArray bytes(size, '\0');
    QRandomGenerator generator(size);
    for (char& b : bytes) {
        b = static_cast<char>(generator.bounded(256));
    }
    if (size >= 2) {
        bytes[0] = static_cast<char>(0xF0);
        bytes[size - 1] = static_cast<char>(0xF7);
    }
    return bytes;
}

} // namespace

class tst_startup : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void firmware_image_data();
    void firmware_image();
    void data_folders_are_created();
    void existing_data_is_left_alone();
    void data_folder_that_cannot_be_created();
};

void tst_startup::init() {
    remove_firmware();
    QVERIFY(QDir().mkpath(resources_folder()));
}

void tst_startup::cleanup() {
    remove_firmware();
}

void tst_startup::firmware_image_data() {
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QByteArray>("image");
    const QByteArray small = QByteArray::fromHex("f0002b1700040500f7");
    const QByteArray large = image_of_size(4 * 1024 * 1024 + 17);
    QTest::newRow("no file gives an empty image") << "none" << QByteArray() << QByteArray();
    QTest::newRow("small file, exact bytes") << "file" << small << small;
    QTest::newRow("several megabytes, exact bytes") << "file" << large << large;
    QTest::newRow("empty file") << "file" << QByteArray() << QByteArray();
    QTest::newRow("link to a file, exact bytes") << "link" << small << small;
    QTest::newRow("dangling link gives an empty image")
        << "dangling" << QByteArray() << QByteArray();
    QTest::newRow("folder named firmware.sys gives an empty image")
        << "folder" << QByteArray() << QByteArray();
}

void tst_startup::firmware_image() {
    QFETCH(QString, kind);
    QFETCH(QByteArray, content);
    temporary_data_home home;

    const QString target = resources_folder() + QStringLiteral("/image.bin");
    QFile::remove(target);
    if (kind == QLatin1String("file")) {
        QVERIFY(write_file(firmware_path(), content));
    } else if (kind == QLatin1String("link")) {
        QVERIFY(write_file(target, content));
        QVERIFY(QFile::link(target, firmware_path()));
    } else if (kind == QLatin1String("dangling")) {
        QVERIFY(QFile::link(target, firmware_path()));
    } else if (kind == QLatin1String("folder")) {
        QVERIFY(QDir().mkpath(firmware_path() + QStringLiteral("/inner")));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("is not a file")));
    }

    vortan_gui window;
    QTEST(window.firmware_image, "image");
    // The window works all the same.
    QVERIFY(window.ui->button_firmware->isEnabled());
    QCOMPARE(window.guide_panel.current_state(), info_box::state::inactive);
    QFile::remove(target);
}

void tst_startup::data_folders_are_created() {
    temporary_data_home home;
    QVERIFY(!QFileInfo::exists(home.data_location()));

    vortan_gui window;
    QCOMPARE(window.data_location, home.data_location());
    QVERIFY(QFileInfo(home.data_location()).isDir());
    QVERIFY(QFileInfo(home.data_location() + QStringLiteral("/datesaves")).isDir());
}

void tst_startup::existing_data_is_left_alone() {
    temporary_data_home home;
    const QString backup =
        home.data_location() + QStringLiteral("/datesaves/21_03_04_05_06/BANK A");
    QVERIFY(QDir().mkpath(backup));
    const QByteArray preset = "id: 0\nname: \"INIT\"\n";
    QVERIFY(write_file(backup + QStringLiteral("/000 INIT.txt"), preset));
    QVERIFY(write_file(home.data_location() + QStringLiteral("/notes"), "keep"));

    for (int start = 0; start < 2; ++start) {
        vortan_gui window;
        QCOMPARE(window.data_location, home.data_location());
    }
    QCOMPARE(read_file(backup + QStringLiteral("/000 INIT.txt")), preset);
    QCOMPARE(read_file(home.data_location() + QStringLiteral("/notes")), QByteArray("keep"));
    QCOMPARE(QDir(home.data_location() + QStringLiteral("/datesaves"))
                 .entryList(QDir::Dirs | QDir::NoDotAndDotDot),
             QStringList({"21_03_04_05_06"}));
}

void tst_startup::data_folder_that_cannot_be_created() {
    temporary_data_home home;
    // A plain file where the data home's folder would have to be: nothing can be created
    // below it, not even by root.
    const QString blocker = home.path() + QStringLiteral("/blocker");
    QVERIFY(QDir().mkpath(home.path()));
    QVERIFY(write_file(blocker, "not a folder"));
    temporary_data_home::point_data_home_at(blocker + QStringLiteral("/data"));
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral(
                                           "Unable to create the folder .*/blocker/data/")));
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral(
                                           "Unable to create the folder .*/datesaves$")));

    vortan_gui window;
    QCOMPARE(window.data_location, temporary_data_home::current_data_location());
    QVERIFY(!QFileInfo::exists(window.data_location));
    QVERIFY(window.ui->button_backup->isEnabled());
    QCOMPARE(read_file(blocker), QByteArray("not a folder"));
}

VORTAN_TEST_MAIN(tst_startup)
#include "tst_startup.moc"
