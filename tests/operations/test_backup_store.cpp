// The backup store against real folders in a temporary data folder: names, the age check's
// reading of a name, the latest backup, the lock, and settling a backup.

#include "backup_store.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using quillmar::backup_start_fault;
using quillmar::backup_store;

namespace {

const QString minute = QStringLiteral("20_12_20_14_05");

bool make_file(const QString& path, const QByteArray& content) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

QByteArray read(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Every entry of the root, hidden ones included, the lock file left out.
QStringList entries(const QString& root) {
    QStringList names =
        QDir(root).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    names.removeAll(QStringLiteral(".backup.lock"));
    names.sort();
    return names;
}

// Runs one backup of `dated` through the store: its one preset file holds `content`.
bool run_backup(const QString& data, const QString& dated, const QByteArray& content,
                bool complete) {
    backup_store store(data);
    if (store.lock() != backup_start_fault::none ||
        store.stage(dated) != backup_start_fault::none) {
        return false;
    }
    if (!make_file(store.staging() + QStringLiteral("/BANK A/0 one.txt"), content)) {
        return false;
    }
    return store.settle(complete, 1);
}

} // namespace

class test_backup_store : public QObject {
    Q_OBJECT

private slots:
    void names() {
        QCOMPARE(quillmar::backup_name(QDateTime(QDate(2020, 12, 20), QTime(14, 5))), minute);
        QCOMPARE(quillmar::backup_root(QStringLiteral("/data")), QStringLiteral("/data/datesaves"));
        QCOMPARE(quillmar::incomplete_backup_name(minute, 1), minute + " INCOMPLETE");
        QCOMPARE(quillmar::incomplete_backup_name(minute, 3), minute + " INCOMPLETE 3");
        QVERIFY(quillmar::is_incomplete_backup_name(minute + " INCOMPLETE 3"));
        QVERIFY(!quillmar::is_incomplete_backup_name(minute + " INCOMPLETE 0"));
        QVERIFY(!quillmar::is_incomplete_backup_name(minute));
    }

    // How recent the latest backup is, read from its name against the clock. A name that
    // lacks a field cannot tell when it was made and counts as old.
    void age_check_data() {
        QTest::addColumn<QString>("latest");
        QTest::addColumn<QDateTime>("now");
        QTest::addColumn<bool>("recent");
        QTest::addColumn<QString>("warning");
        const QDateTime dec20_0900(QDate(2020, 12, 20), QTime(9, 0));
        const QDateTime dec21_0900(QDate(2020, 12, 21), QTime(9, 0));
        QTest::newRow("same day") << "20_12_20_08_00" << dec20_0900 << true << "(20/12/2020)";
        QTest::newRow("yesterday at a later hour")
            << "20_12_19_21_00" << dec20_0900 << true << "(19/12/2020)";
        QTest::newRow("yesterday at the same hour")
            << "20_12_19_09_00" << dec20_0900 << false << "(19/12/2020)";
        QTest::newRow("last day of the previous month")
            << "20_11_30_23_00" << QDateTime(QDate(2020, 12, 1), QTime(9, 0)) << false
            << "(30/11/2020)";
        QTest::newRow("user folder zz") << "zz" << dec20_0900 << false << "(zz/zz/20zz)";
        QTest::newRow("fields that are no numbers")
            << "20_12_xx_yy_00" << dec21_0900 << false << "(xx/12/2020)";
        // Read from the name's first characters, the missing day and hour would make this
        // one look less than a day old.
        QTest::newRow("day cut short") << "20_12_2" << dec21_0900 << false << "(20/12/2020)";
        QTest::newRow("no hour, same day") << "20_12_20" << dec20_0900 << false << "(20/12/2020)";
        QTest::newRow("no minute, same day")
            << "20_12_20_08" << dec20_0900 << false << "(20/12/2020)";
    }
    void age_check() {
        QFETCH(QString, latest);
        QFETCH(QDateTime, now);
        QFETCH(bool, recent);
        QFETCH(QString, warning);
        QCOMPARE(quillmar::backup_is_recent(latest, now), recent);
        QCOMPARE(quillmar::old_backup_warning(latest),
                 QStringLiteral("THE LAST BACKUP IS QUITE OLD ") + warning);
    }

    void short_fields_read_as_zero() {
        const quillmar::backup_name_fields cut =
            quillmar::read_backup_name(QStringLiteral("20_12_2"));
        QCOMPARE(cut.year, 20);
        QCOMPARE(cut.month, 12);
        QCOMPARE(cut.day, 0);
        QCOMPARE(cut.hour, 0);
        QVERIFY(!cut.whole);
        QVERIFY(quillmar::read_backup_name(minute).whole);
    }

    // Marked, hidden and plain files never count; the rest sort by name.
    void latest_backup() {
        QTemporaryDir root;
        QCOMPARE(quillmar::latest_backup_name(root.path()), std::optional<QString>());
        for (const QString& folder :
             {QStringLiteral("20_12_19_08_00"), minute, minute + " INCOMPLETE",
              QStringLiteral(".backup_in_progress")}) {
            QVERIFY(QDir().mkpath(root.filePath(folder)));
        }
        QVERIFY(make_file(root.filePath(QStringLiteral("zz_file")), "x"));
        QCOMPARE(quillmar::latest_backup_name(root.path()), std::optional<QString>(minute));
    }

    void lock_is_held_until_settled() {
        QTemporaryDir data;
        backup_store first(data.path());
        backup_store second(data.path());
        QCOMPARE(first.lock(), backup_start_fault::none);
        QCOMPARE(second.lock(), backup_start_fault::busy);
        QCOMPARE(entries(first.root()), QStringList());
        QCOMPARE(first.stage(minute), backup_start_fault::none);
        QVERIFY(!first.settle(true, 0));
        QCOMPARE(second.lock(), backup_start_fault::none);
    }

    void unusable_roots() {
        QTemporaryDir data;
        QVERIFY(make_file(data.filePath(QStringLiteral("datesaves")), "not a folder"));
        QCOMPARE(backup_store(data.path()).lock(), backup_start_fault::not_a_folder);
        QVERIFY(QFile::remove(data.filePath(QStringLiteral("datesaves"))));
        QVERIFY(QFile::link(data.filePath(QStringLiteral("nowhere")),
                            data.filePath(QStringLiteral("datesaves"))));
        QCOMPARE(backup_store(data.path()).lock(), backup_start_fault::broken_link);
    }

    // Complete, failed and empty backups, and a complete one of a minute already taken.
    void settling() {
        QTemporaryDir data;
        const QString root = quillmar::backup_root(data.path());
        QVERIFY(run_backup(data.path(), minute, "first", true));
        QCOMPARE(entries(root), QStringList{minute});
        QVERIFY(run_backup(data.path(), minute, "second", true));
        QCOMPARE(entries(root), QStringList{minute});
        QCOMPARE(read(root + "/" + minute + "/BANK A/0 one.txt"), QByteArray("second"));
        QVERIFY(!run_backup(data.path(), minute, "failed", false));
        QVERIFY(!run_backup(data.path(), minute, "failed again", false));
        QCOMPARE(entries(root),
                 (QStringList{minute, minute + " INCOMPLETE", minute + " INCOMPLETE 2"}));
        QCOMPARE(read(root + "/" + minute + "/BANK A/0 one.txt"), QByteArray("second"));

        backup_store empty(data.path());
        QCOMPARE(empty.lock(), backup_start_fault::none);
        QCOMPARE(empty.stage(QStringLiteral("20_12_20_14_06")), backup_start_fault::none);
        QVERIFY(!empty.settle(true, 0));
        QCOMPARE(entries(root).size(), 3);
    }

    // A backup set aside that could not go back to its name is never lost: a later backup
    // of the same minute leaves it alone, and the next backup that finds its name free puts
    // it back.
    void a_backup_set_aside_is_never_lost() {
        QTemporaryDir data;
        const QString root = quillmar::backup_root(data.path());
        const QString aside = QStringLiteral(".backup_replaced ") + minute;
        QVERIFY(QDir().mkpath(root + "/" + aside + "/BANK A"));
        QVERIFY(make_file(root + "/" + aside + "/BANK A/0 one.txt", "kept"));
        QVERIFY(QDir().mkpath(root + "/" + minute));

        // Its name is taken: a new backup of that minute replaces the folder there, not it.
        QVERIFY(run_backup(data.path(), minute, "new", true));
        QCOMPARE(read(root + "/" + aside + "/BANK A/0 one.txt"), QByteArray("kept"));
        QCOMPARE(read(root + "/" + minute + "/BANK A/0 one.txt"), QByteArray("new"));

        // Its name is free: the next backup puts it back.
        QVERIFY(QDir(root + "/" + minute).removeRecursively());
        QVERIFY(run_backup(data.path(), QStringLiteral("20_12_20_14_06"), "later", true));
        QCOMPARE(read(root + "/" + minute + "/BANK A/0 one.txt"), QByteArray("kept"));
        QCOMPARE(entries(root), (QStringList{minute, QStringLiteral("20_12_20_14_06")}));
    }
};

QTEST_GUILESS_MAIN(test_backup_store)
#include "test_backup_store.moc"
