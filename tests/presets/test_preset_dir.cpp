// The backup folder model: loading, and the editing operations on model and disk together.
#include "preset_files.h"
#include "preset_text.h"
#include "presets_dir.h"
#include "sample_presets.h"

#include <QDirIterator>
#include <QLoggingCategory>
#include <QtTest>

#include <functional>
#include <memory>

#include <fcntl.h>
#include <ftw.h>
#include <sys/fsuid.h>
#include <sys/stat.h>
#include <unistd.h>

using model_call = std::function<void(preset_dir&)>;
Q_DECLARE_METATYPE(model_call)

namespace {

const QStringList bank_folders{"BANK A", "BANK B", "BANK C", "BANK D"};

// A preset whose vcf cutoff repeats its id, so a preset can be recognised after renumbering.
proto::Preset preset(std::uint32_t id, const std::string& name) {
    proto::Preset p;
    p.set_id(id);
    p.set_name(name);
    p.mutable_vcf()->set_input_cutoff(static_cast<float>(id));
    return p;
}

bool put(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QByteArray read_all(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Writes the preset's file into `bank_folder` (created if needed) under its usual name.
void put_preset(const QString& bank_folder, const proto::Preset& p) {
    QDir().mkpath(bank_folder);
    put(bank_folder + '/' + preset_file_name(p), QByteArray::fromStdString(print_preset(p)));
}

QByteArray wire(const proto::Preset& p) {
    std::string bytes;
    p.SerializePartialToString(&bytes);
    return QByteArray::fromStdString(bytes);
}

// An entry made with the system's calls, for names no QString can spell.
bool put_raw(const QByteArray& path, const QByteArray& bytes) {
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) {
        return false;
    }
    const bool written = ::write(fd, bytes.constData(), static_cast<std::size_t>(bytes.size())) ==
                         static_cast<ssize_t>(bytes.size());
    return ::close(fd) == 0 && written;
}

// A file of `size` bytes that takes no room on disk: a hole after a preset text.
bool put_sparse(const QString& path, qint64 size) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write("id: 1\n") == 6 && file.resize(size);
}

// The text of a preset whose serialized form is larger than max_preset_size although its
// text is not: each "0," of the list is a float of five bytes on the wire.
QByteArray too_large_to_send(std::uint32_t id) {
    constexpr std::size_t levels = max_preset_size / 4;
    QByteArray text =
        "id: " + QByteArray::number(id) + "\nmodulator1 {\n  step_sequencer_levels: [";
    for (std::size_t i = 0; i < levels; ++i) {
        text += i == 0 ? "0" : ",0";
    }
    return text + "]\n}\n";
}

QString clean(const QString& path) {
    return QDir::cleanPath(QFileInfo(path).absoluteFilePath());
}

// The model's invariant: for every bank equal lengths, every handle naming an existing file
// whose content reads back as that very preset, and no other file in any bank folder.
// Returns the first violation found, or an empty text.
QString model_fault(const preset_dir& model) {
    QSet<QString> named;
    for (unsigned bank = 0; bank < bank_count; ++bank) {
        if (model.presets[bank].size() != model.files[bank].size()) {
            return QStringLiteral("bank %1: %2 presets, %3 handles")
                .arg(bank)
                .arg(model.presets[bank].size())
                .arg(model.files[bank].size());
        }
        for (std::size_t i = 0; i < model.files[bank].size(); ++i) {
            const QString path = clean(model.files[bank][i]->fileName());
            named.insert(path);
            QFile file(path);
            const std::optional<preset_read> read = read_preset_file(file);
            if (!read) {
                return "no file " + path;
            }
            if (wire(read->preset) != wire(model.presets[bank][i])) {
                return "other content in " + path;
            }
        }
    }
    const QDir dir(model.dirPath());
    for (const QString& sub : dir.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        if (!bank_folders.contains(sub.toUpper()) || QFileInfo(dir.filePath(sub)).isSymLink()) {
            continue;
        }
        QDirIterator it(dir.filePath(sub), QDir::Files | QDir::Hidden | QDir::System);
        while (it.hasNext()) {
            const QString path = clean(it.next());
            const QFileInfo entry(path);
            // Links and what is no regular file are never entries of the model.
            if (entry.isSymLink() || !entry.isFile()) {
                continue;
            }
            if (!named.contains(path)) {
                return "stray file " + path;
            }
        }
    }
    return {};
}

#define CHECK_MODEL(model)                                                                         \
    do {                                                                                           \
        const QString fault = model_fault(model);                                                  \
        QVERIFY2(fault.isEmpty(), qPrintable(fault));                                              \
    } while (false)

QList<int> ids_of(const std::vector<proto::Preset>& presets) {
    QList<int> ids;
    for (const auto& p : presets) {
        ids << static_cast<int>(p.id());
    }
    return ids;
}

// "id name" of every preset of a bank, in model order.
QStringList listing(const preset_dir& model, unsigned bank) {
    QStringList out;
    for (const auto& p : model.presets[bank]) {
        out << QStringLiteral("%1 %2").arg(p.id()).arg(QString::fromStdString(p.name()));
    }
    return out;
}

// The files the handles of a bank name, relative to the backup folder.
QStringList handle_files(const preset_dir& model, unsigned bank) {
    QStringList out;
    for (const auto& f : model.files[bank]) {
        out << QDir(model.dirPath()).relativeFilePath(f->fileName());
    }
    return out;
}

// Every file below `root` with its content, to see that nothing on disk changed.
QMap<QString, QByteArray> snapshot(const QString& root) {
    QMap<QString, QByteArray> out;
    QDirIterator it(root, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        out.insert(QDir(root).relativeFilePath(path), read_all(path));
    }
    return out;
}

QStringList sorted_entries(const QString& folder) {
    QStringList names = QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::System);
    names.sort();
    return names;
}

// While alive, file access is checked as for the user "nobody" (a root test run can read
// anything otherwise).
class as_nobody {
public:
    as_nobody() {
        if (geteuid() == 0) {
            setfsuid(65534);
        }
    }
    ~as_nobody() {
        if (geteuid() == 0) {
            setfsuid(0);
        }
    }
    as_nobody(const as_nobody&) = delete;
    as_nobody& operator=(const as_nobody&) = delete;
};

} // namespace

class test_preset_dir : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> temp;
    QString root;   // the temporary folder
    QString backup; // root / a backup folder name

    // A backup folder with the four bank folders, bank A holding `count` presets with ids
    // 0.. and names "a0".., bank B `count_b` presets with ids 64.. named "b64"...
    void make_backup(int count, int count_b = 0) {
        for (const QString& bank : bank_folders) {
            QVERIFY(QDir().mkpath(backup + '/' + bank));
        }
        for (int i = 0; i < count; ++i) {
            put_preset(backup + "/BANK A", preset(i, "a" + std::to_string(i)));
        }
        for (int i = 0; i < count_b; ++i) {
            put_preset(backup + "/BANK B", preset(64 + i, "b" + std::to_string(64 + i)));
        }
    }

private slots:
    void initTestCase();
    void init();
    void cleanup();

    // Loading
    void loads_a_full_backup();
    void bank_order_ignores_case();
    void files_sort_by_characters_ignoring_case();
    void id_comes_from_the_content();
    void only_four_bank_folders_and_only_their_files();
    void entries_that_are_no_files_are_skipped();
    void only_regular_files_are_read_data();
    void only_regular_files_are_read();
    void banks_come_from_folder_names_data();
    void banks_come_from_folder_names();
    void editing_beside_a_stray_folder();
    void unreadable_file_is_left_out();
    void incomplete_files_are_marked();
    void missing_folder_is_created_one_level();
    void accessors();
    void bank_to_string_data();
    void bank_to_string();
    void update_after_deletion();

    // Editing
    void push_back_draft_data();
    void push_back_draft();
    void insert_data();
    void insert();
    void insert_then_reindex_renumbers_the_rest();
    void reindex_and_reindex_all_on_a_long_bank_data();
    void reindex_and_reindex_all_on_a_long_bank();
    void inner_move_data();
    void inner_move();
    void move_between_models_then_reindex();
    void delete_by_name_deletes_the_first_match_only();
    void delete_by_index_and_erase_data();
    void delete_by_index_and_erase();
    void rename_by_index_moves_the_file();
    void preset_to_text_follows_the_id();
    void push_back_copies_into_the_backup_folder();
    void copy_file_copies_into_the_backup_folder();

    // Presets sharing a file name, failed writes, incomplete files, caller errors
    void new_file_never_replaces_another_data();
    void new_file_never_replaces_another();
    void reindex_keeps_twins_apart_data();
    void reindex_keeps_twins_apart();
    void reindex_leaves_a_file_of_another_bank_alone();
    void rename_onto_a_twin_is_refused();
    void shared_file_is_deleted_with_its_last_entry();
    void failed_write_keeps_banks_in_step_data();
    void failed_write_keeps_banks_in_step();
    void incomplete_file_is_never_rewritten();
    void caller_errors_change_nothing_data();
    void caller_errors_change_nothing();

    // What a restore sends
    void select_for_restore_data();
    void select_for_restore();
};

void test_preset_dir::initTestCase() {
    static QTemporaryDir data_home;
    qputenv("XDG_DATA_HOME", data_home.path().toUtf8());
    // The debug lines checked below are off by default in a release build.
    QLoggingCategory::setFilterRules(QStringLiteral("vortan.debug=true"));
}

void test_preset_dir::init() {
    temp = std::make_unique<QTemporaryDir>();
    QVERIFY(temp->isValid());
    root = temp->path();
    backup = root + "/21_01_02_03_04";
}

namespace {

int remove_entry(const char* path, const struct stat*, int, struct FTW*) {
    return ::remove(path);
}

} // namespace

// Some tests leave names QTemporaryDir cannot spell, so the folder goes with the system's calls.
void test_preset_dir::cleanup() {
    ::nftw(QFile::encodeName(root).constData(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

// ---------------------------------------------------------------------------------- Loading

void test_preset_dir::loads_a_full_backup() {
    for (std::uint32_t id = 0; id < 256; ++id) {
        put_preset(backup + '/' + bank_folders[static_cast<int>(id / 64)],
                   preset(id, "P" + std::to_string(id)));
    }
    const preset_dir model(backup);
    for (unsigned bank = 0; bank < bank_count; ++bank) {
        QCOMPARE(model.presets[bank].size(), std::size_t{64});
        for (unsigned place = 0; place < 64; ++place) {
            QCOMPARE(model.presets[bank][place].id(), bank * 64 + place);
            QVERIFY(model.is_intact(bank, place));
        }
    }
    QCOMPARE(model.left_out_count(), std::size_t{0});
    CHECK_MODEL(model);
}

void test_preset_dir::bank_order_ignores_case() {
    put_preset(backup + "/bank b", preset(70, "second"));
    put_preset(backup + "/BANK A", preset(0, "first"));
    put_preset(backup + "/Bank c", preset(130, "third"));
    const preset_dir model(backup);
    QCOMPARE(listing(model, 0), QStringList{"0 first"});
    QCOMPARE(listing(model, 1), QStringList{"70 second"});
    QCOMPARE(listing(model, 2), QStringList{"130 third"});
    QVERIFY(model.presets[3].empty());
}

void test_preset_dir::files_sort_by_characters_ignoring_case() {
    const QString bank = backup + "/BANK A";
    QVERIFY(QDir().mkpath(bank));
    const std::vector<std::pair<QString, std::string>> files{
        {"101.c.txt", "c"}, {"1000.b.txt", "b"}, {"100.a.txt", "a"},
        {"099.d.txt", "d"}, {"005.B.txt", "B"},  {"005.a.txt", "lower a"}};
    for (const auto& [file, name] : files) {
        QVERIFY(put(bank + '/' + file, QByteArray::fromStdString(print_preset(preset(1, name)))));
    }
    const preset_dir model(backup);
    QCOMPARE(handle_files(model, 0),
             (QStringList{"BANK A/005.a.txt", "BANK A/005.B.txt", "BANK A/099.d.txt",
                          "BANK A/100.a.txt", "BANK A/1000.b.txt", "BANK A/101.c.txt"}));
    QCOMPARE(model.get_name(0, 0), std::string("lower a"));
    CHECK_MODEL(model);
}

void test_preset_dir::id_comes_from_the_content() {
    QVERIFY(QDir().mkpath(backup + "/BANK A"));
    QVERIFY(put(backup + "/BANK A/000.x.txt", "id: 70\nname: \"y\"\n"));
    const preset_dir model(backup);
    QCOMPARE(listing(model, 0), QStringList{"70 y"});
}

void test_preset_dir::only_four_bank_folders_and_only_their_files() {
    const QStringList folders{"BANK A", "BANK B", "BANK C", "BANK D", "BANK E"};
    for (int i = 0; i < folders.size(); ++i) {
        put_preset(backup + '/' + folders[i], preset(64 * i, "in " + folders[i].toStdString()));
    }
    put_preset(backup + "/.hidden", preset(1, "hidden folder"));
    QVERIFY(put(backup + "/BANK A/.001.hidden.txt", "id: 1\n"));
    QVERIFY(put(backup + "/notes.txt", "id: 2\n"));

    const preset_dir model(backup);
    for (unsigned bank = 0; bank < bank_count; ++bank) {
        QCOMPARE(listing(model, bank),
                 QStringList{QStringLiteral("%1 in %2").arg(64 * bank).arg(folders[bank])});
    }
    QCOMPARE(model.left_out_count(), std::size_t{0});
}

void test_preset_dir::entries_that_are_no_files_are_skipped() {
    put_preset(backup + "/BANK A", preset(0, "ok"));
    QVERIFY(QDir().mkpath(backup + "/BANK A/001.folder.txt"));
    QVERIFY(QFile::link(root + "/nowhere.txt", backup + "/BANK A/002.dangling.txt"));
    const preset_dir model(backup);
    QCOMPARE(listing(model, 0), QStringList{"0 ok"});
    QCOMPARE(model.files[0].size(), std::size_t{1});
    // The folder is passed over; the link, like every link, is counted as left out.
    QCOMPARE(model.left_out_count(), std::size_t{1});
}

void test_preset_dir::only_regular_files_are_read_data() {
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QStringList>("loaded"); // bank A after loading
    QTest::addColumn<int>("left_out");
    const QStringList ok{"0 ok"};
    const QStringList ok_and_empty{"0 ok", "0 "};
    QTest::newRow("a link to a preset file") << "link to file" << ok << 1;
    QTest::newRow("a link to /dev/zero") << "link to /dev/zero" << ok << 1;
    QTest::newRow("a link to a FIFO") << "link to fifo" << ok << 1;
    QTest::newRow("a FIFO") << "fifo" << ok << 1;
    QTest::newRow("a link to a folder") << "link to folder" << ok << 1;
    QTest::newRow("a sub-folder") << "folder" << ok << 0;
    QTest::newRow("a sub-folder whose name is not UTF-8") << "folder not UTF-8" << ok << 0;
    QTest::newRow("a 200 MB file: damaged, not read") << "200 MB" << ok_and_empty << 1;
    QTest::newRow("a whole preset padded to 1 MiB and a byte: damaged")
        << "over the cap" << ok_and_empty << 1;
    QTest::newRow("a preset text of exactly 1 MiB")
        << "at the cap" << QStringList{"0 ok", "1 whole"} << 0;
    QTest::newRow("a file name that is not UTF-8") << "not UTF-8" << ok << 1;
}

void test_preset_dir::only_regular_files_are_read() {
    QFETCH(QString, kind);
    QFETCH(QStringList, loaded);
    QFETCH(int, left_out);
    put_preset(backup + "/BANK A", preset(0, "ok"));
    put_preset(root + "/elsewhere", preset(1, "target"));
    QVERIFY(::mkfifo(QFile::encodeName(root + "/fifo").constData(), 0600) == 0);
    const QString entry = backup + "/BANK A/001.entry.txt";
    if (kind == "link to file") {
        QVERIFY(QFile::link(root + "/elsewhere/001.target.txt", entry));
    } else if (kind == "link to /dev/zero") {
        QVERIFY(QFile::link("/dev/zero", entry));
    } else if (kind == "link to fifo") {
        QVERIFY(QFile::link(root + "/fifo", entry));
    } else if (kind == "fifo") {
        QVERIFY(::mkfifo(QFile::encodeName(entry).constData(), 0600) == 0);
    } else if (kind == "link to folder") {
        QVERIFY(QFile::link(root + "/elsewhere", entry));
    } else if (kind == "folder") {
        QVERIFY(QDir().mkpath(entry));
    } else if (kind == "200 MB") {
        QVERIFY(put_sparse(entry, qint64{200} * 1024 * 1024));
    } else if (kind == "over the cap" || kind == "at the cap") {
        QByteArray text("id: 1\nname: \"whole\"\n");
        const auto size =
            static_cast<qsizetype>(max_preset_size) + (kind == "over the cap" ? 1 : 0);
        text.append(size - text.size(), '\n');
        QVERIFY(put(entry, text));
    } else if (kind == "folder not UTF-8") {
        QVERIFY(::mkdir((QFile::encodeName(backup + "/BANK A/") + "001.\xff\xfe").constData(),
                        0755) == 0);
    } else if (kind == "not UTF-8") {
        QVERIFY(put_raw(QFile::encodeName(backup + "/BANK A/") + "001.\xff\xfe.txt", "id: 1\n"));
    }

    const preset_dir model(backup);
    QCOMPARE(listing(model, 0), loaded);
    QCOMPARE(model.left_out_count(), static_cast<std::size_t>(left_out));
    QCOMPARE(model.is_intact(0, 0), true);
    if (loaded.size() > 1) {
        QCOMPARE(model.is_intact(0, 1), left_out == 0);
    }
    CHECK_MODEL(model);
}

void test_preset_dir::banks_come_from_folder_names_data() {
    QTest::addColumn<QStringList>("folders");
    QTest::addColumn<QStringList>("banks"); // per bank: the folders loaded into it, in order
    QTest::newRow("a stray folder sorting first")
        << QStringList{"__MACOSX", "BANK A", "BANK B", "BANK C", "BANK D"}
        << QStringList{"BANK A", "BANK B", "BANK C", "BANK D"};
    QTest::newRow("bank C missing") << QStringList{"BANK A", "BANK B", "BANK D"}
                                    << QStringList{"BANK A", "BANK B", "", "BANK D"};
    QTest::newRow("letters in either case") << QStringList{"bAnK d", "bank a", "Bank B", "BANK c"}
                                            << QStringList{"bank a", "Bank B", "BANK c", "bAnK d"};
    QTest::newRow("two spellings of one bank")
        << QStringList{"bank a", "BANK A"} << QStringList{"BANK A,bank a", "", "", ""};
    QTest::newRow("look-alikes are no banks")
        << QStringList{"BANK E",  "BANKA", "BANK A ",     " BANK B",     "BANK  C",
                       "BANK DD", "A",     "BANK \u00c4", "BAN\u212a D", "BANK B"}
        << QStringList{"", "BANK B", "", ""};
    QTest::newRow("a link named like a bank is not followed")
        << QStringList{"BANK A", "link:BANK B"} << QStringList{"BANK A", "", "", ""};
}

void test_preset_dir::banks_come_from_folder_names() {
    QFETCH(QStringList, folders);
    QFETCH(QStringList, banks);
    QVERIFY(QDir().mkpath(backup));
    for (const QString& folder : folders) {
        if (folder.startsWith("link:")) {
            put_preset(root + "/elsewhere", preset(1, "in elsewhere"));
            QVERIFY(QFile::link(root + "/elsewhere", backup + '/' + folder.mid(5)));
        } else {
            put_preset(backup + '/' + folder, preset(1, "in " + folder.toStdString()));
        }
    }
    const preset_dir model(backup);
    for (unsigned bank = 0; bank < bank_count; ++bank) {
        QStringList expected;
        for (const QString& folder : banks[static_cast<int>(bank)].split(',', Qt::SkipEmptyParts)) {
            expected << "1 in " + folder;
        }
        QCOMPARE(listing(model, bank), expected);
    }
    QCOMPARE(model.left_out_count(), std::size_t{0});
    CHECK_MODEL(model);
}

// A stray folder takes no bank, and the editing operations write into the bank folders.
void test_preset_dir::editing_beside_a_stray_folder() {
    put_preset(backup + "/__MACOSX", preset(7, "stray"));
    put_preset(backup + "/BANK A", preset(5, "a"));
    put_preset(backup + "/BANK D", preset(192, "d"));
    preset_dir model(backup);
    const QByteArray stray = read_all(backup + "/__MACOSX/007.stray.txt");
    QCOMPARE(listing(model, 3), QStringList{"192 d"});

    proto::Preset fresh = preset(0, "new");
    QTest::ignoreMessage(QtDebugMsg, qPrintable("Insert: " + backup + "/BANK D/193.new.txt"));
    model.push_back_draft(fresh, 3);
    QTest::ignoreMessage(QtDebugMsg, "REINDEX BANK: 0");
    model.reindex(0);
    QCOMPARE(listing(model, 0), QStringList{"0 a"});
    QCOMPARE(listing(model, 3), (QStringList{"192 d", "193 new"}));
    QCOMPARE(sorted_entries(backup + "/BANK A"), QStringList{"000.a.txt"});
    QCOMPARE(read_all(backup + "/__MACOSX/007.stray.txt"), stray);
    CHECK_MODEL(model);

    model.update();
    QCOMPARE(listing(model, 3), (QStringList{"192 d", "193 new"}));
    CHECK_MODEL(model);
}

void test_preset_dir::unreadable_file_is_left_out() {
    put_preset(backup + "/BANK A", preset(0, "ok"));
    put_preset(backup + "/BANK A", preset(1, "locked"));
    put_preset(backup + "/BANK A", preset(2, "ok too"));
    const QString locked = backup + "/BANK A/001.locked.txt";
    QVERIFY(QFile::setPermissions(locked, {}));
    QVERIFY(QFile::setPermissions(root, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                            QFile::ReadGroup | QFile::ExeGroup | QFile::ReadOther |
                                            QFile::ExeOther));

    std::unique_ptr<preset_dir> model;
    {
        const as_nobody nobody;
        QFile probe(locked);
        if (probe.open(QIODevice::ReadOnly)) {
            QSKIP("this process can read a file of mode 000");
        }
        QTest::ignoreMessage(QtDebugMsg, qPrintable("Unable to read " + locked));
        model = std::make_unique<preset_dir>(backup);
    }
    QCOMPARE(listing(*model, 0), (QStringList{"0 ok", "2 ok too"}));
    QCOMPARE(model->files[0].size(), std::size_t{2});
    QCOMPARE(model->left_out_count(), std::size_t{1});
}

void test_preset_dir::incomplete_files_are_marked() {
    QVERIFY(QDir().mkpath(backup + "/BANK A"));
    QVERIFY(put(backup + "/BANK A/000.ok.txt", "id: 0\nname: \"ok\"\n"));
    QVERIFY(put(backup + "/BANK A/001.cut.txt", "id: 1\nname: \"cut\"\nvcf {\n"));
    QVERIFY(put(backup + "/BANK A/002.noid.txt", "name: \"noid\"\n"));
    QVERIFY(put(backup + "/BANK A/003.binary.txt", QByteArray::fromHex("080312026869")));
    QVERIFY(put(backup + "/BANK A/004.empty.txt", ""));
    const preset_dir model(backup);
    QCOMPARE(model.presets[0].size(), std::size_t{5});
    QCOMPARE(model.is_intact(0, 0), true);
    for (unsigned place = 1; place < 5; ++place) {
        QVERIFY2(!model.is_intact(0, place), qPrintable(QString::number(place)));
    }
    QCOMPARE(model.left_out_count(), std::size_t{4});
    QCOMPARE(model.presets[0][1].name(), std::string("cut"));
    CHECK_MODEL(model);
}

void test_preset_dir::missing_folder_is_created_one_level() {
    const preset_dir created(root + "/new");
    QVERIFY(QFileInfo(root + "/new").isDir());
    QCOMPARE(created.dirName(), QString("new"));
    QCOMPARE(created.dirPath(), root + "/new");
    for (unsigned bank = 0; bank < bank_count; ++bank) {
        QVERIFY(created.presets[bank].empty() && created.files[bank].empty());
    }

    const preset_dir deeper(root + "/missing/new");
    QVERIFY(!QFileInfo::exists(root + "/missing"));
    QVERIFY(deeper.presets[0].empty());
}

void test_preset_dir::accessors() {
    make_backup(2);
    const preset_dir model(backup);
    QCOMPARE(model.dirName(), QString("21_01_02_03_04"));
    QCOMPARE(model.get_name(0, 0), std::string("a0"));
    QCOMPARE(model.get_name(0, 2), std::string());
    QCOMPARE(model.get_name(1, 0), std::string());
    QCOMPARE(wire(model.get_preset(0, 1)), wire(preset(1, "a1")));

    QFile file(backup + "/BANK A/001.a1.txt");
    const std::optional<proto::Preset> read = preset_dir::preset_from_text(file);
    QVERIFY(read);
    QCOMPARE(wire(*read), wire(preset(1, "a1")));
    QFile missing(backup + "/BANK A/missing.txt");
    QVERIFY(!preset_dir::preset_from_text(missing));
}

void test_preset_dir::bank_to_string_data() {
    QTest::addColumn<uint>("bank");
    QTest::addColumn<QString>("name");
    QTest::newRow("0") << 0u << "BANK A";
    QTest::newRow("1") << 1u << "BANK B";
    QTest::newRow("2") << 2u << "BANK C";
    QTest::newRow("3") << 3u << "BANK D";
    QTest::newRow("4") << 4u << "BAD BANK";
    QTest::newRow("all bits set") << 4294967295u << "BAD BANK";
}

void test_preset_dir::bank_to_string() {
    QFETCH(uint, bank);
    QFETCH(QString, name);
    QCOMPARE(QString::fromStdString(preset_dir::bank_to_string(bank)), name);
}

void test_preset_dir::update_after_deletion() {
    make_backup(3);
    preset_dir model(backup);
    QVERIFY(QFile::remove(backup + "/BANK A/001.a1.txt"));
    model.update();
    QCOMPARE(listing(model, 0), (QStringList{"0 a0", "2 a2"}));
    CHECK_MODEL(model);

    QVERIFY(QDir(backup).removeRecursively());
    model.update();
    QVERIFY(model.presets[0].empty() && model.files[0].empty());
    QVERIFY(!QFileInfo::exists(backup));
}

// ---------------------------------------------------------------------------------- Editing

void test_preset_dir::push_back_draft_data() {
    QTest::addColumn<uint>("bank");
    QTest::addColumn<uint>("id");
    QTest::addColumn<QString>("file");
    QTest::newRow("into empty bank C") << 2u << 128u << "BANK C/128.New.txt";
    QTest::newRow("onto bank A of three") << 0u << 3u << "BANK A/003.New.txt";
}

void test_preset_dir::push_back_draft() {
    QFETCH(uint, bank);
    QFETCH(uint, id);
    QFETCH(QString, file);
    make_backup(3);
    preset_dir model(backup);
    proto::Preset fresh = preset(999, "New");

    QTest::ignoreMessage(QtDebugMsg, qPrintable("Insert: " + backup + '/' + file));
    model.push_back_draft(fresh, bank);
    QCOMPARE(fresh.id(), id);
    QCOMPARE(model.presets[bank].back().id(), id);
    QCOMPARE(handle_files(model, bank).last(), file);
    CHECK_MODEL(model);
}

void test_preset_dir::insert_data() {
    QTest::addColumn<uint>("bank");
    QTest::addColumn<uint>("place");
    QTest::addColumn<bool>("at_place");
    QTest::addColumn<int>("lands_at");
    QTest::addColumn<uint>("id");
    // Bank A holds a0, a1, a2; bank C is empty.
    QTest::newRow("at place 1") << 0u << 1u << true << 1 << 1u;
    QTest::newRow("after place 1") << 0u << 1u << false << 2 << 2u;
    QTest::newRow("at the end") << 0u << 3u << true << 3 << 3u;
    QTest::newRow("after the last") << 0u << 2u << false << 3 << 3u;
    QTest::newRow("empty bank, any place and flag") << 2u << 5u << false << 0 << 128u;
    QTest::newRow("4294967295 after: appended") << 0u << 4294967295u << false << 3 << 3u;
    QTest::newRow("4294967294 at: before the last") << 0u << 4294967294u << true << 2 << 2u;
    QTest::newRow("4294967295 into an empty bank") << 2u << 4294967295u << false << 0 << 128u;
}

void test_preset_dir::insert() {
    QFETCH(uint, bank);
    QFETCH(uint, place);
    QFETCH(bool, at_place);
    QFETCH(int, lands_at);
    QFETCH(uint, id);
    make_backup(3);
    preset_dir model(backup);
    const QStringList before = listing(model, bank);
    proto::Preset fresh = preset(999, "new");

    if (place >= preset_dir::end_place_alias) {
        QTest::ignoreMessage(QtDebugMsg, qPrintable(QString::number(place) + " crash val"));
    }
    if (!at_place && !before.isEmpty()) {
        QTest::ignoreMessage(QtDebugMsg, "Inserted");
    }
    model.insert(fresh, bank, place, at_place);

    QStringList expected = before;
    expected.insert(lands_at, QStringLiteral("%1 new").arg(id));
    QCOMPARE(listing(model, bank), expected);
    CHECK_MODEL(model);
}

void test_preset_dir::insert_then_reindex_renumbers_the_rest() {
    make_backup(0, 5); // bank B: b64 .. b68
    preset_dir model(backup);
    const QStringList first_three = handle_files(model, 1).mid(0, 2);
    proto::Preset fresh = preset(0, "new");

    model.insert(fresh, 1, 2, true);
    QCOMPARE(listing(model, 1),
             (QStringList{"64 b64", "65 b65", "66 new", "66 b66", "67 b67", "68 b68"}));
    QCOMPARE(handle_files(model, 1)[2], QString("BANK B/066.new.txt"));
    CHECK_MODEL(model);

    QTest::ignoreMessage(QtDebugMsg, "REINDEX BANK: 1");
    model.reindex(1);
    QCOMPARE(listing(model, 1),
             (QStringList{"64 b64", "65 b65", "66 new", "67 b66", "68 b67", "69 b68"}));
    QCOMPARE(handle_files(model, 1).mid(0, 2), first_three);
    QCOMPARE(sorted_entries(backup + "/BANK B"),
             (QStringList{"064.b64.txt", "065.b65.txt", "066.new.txt", "067.b66.txt", "068.b67.txt",
                          "069.b68.txt"}));
    CHECK_MODEL(model);
}

void test_preset_dir::reindex_and_reindex_all_on_a_long_bank_data() {
    QTest::addColumn<bool>("all");
    QTest::addColumn<QString>("overflow_folder");
    QTest::newRow("reindex: folder by the new id") << false << "BANK B";
    QTest::newRow("reindex_all: the bank's own folder") << true << "BANK A";
}

void test_preset_dir::reindex_and_reindex_all_on_a_long_bank() {
    QFETCH(bool, all);
    QFETCH(QString, overflow_folder);
    make_backup(0);
    for (std::uint32_t id = 1; id <= 66; ++id) {
        put_preset(backup + "/BANK A", preset(id, "n" + std::to_string(id)));
    }
    preset_dir model(backup);
    QCOMPARE(model.presets[0].size(), std::size_t{66});

    if (all) {
        model.reindex_all();
    } else {
        model.reindex(0);
    }
    for (std::uint32_t place = 0; place < 66; ++place) {
        QCOMPARE(model.presets[0][place].id(), place);
        QCOMPARE(model.presets[0][place].name(), "n" + std::to_string(place + 1));
    }
    QCOMPARE(handle_files(model, 0).mid(63),
             (QStringList{"BANK A/063.n64.txt", overflow_folder + "/064.n65.txt",
                          overflow_folder + "/065.n66.txt"}));
    CHECK_MODEL(model);
}

void test_preset_dir::inner_move_data() {
    QTest::addColumn<uint>("from");
    QTest::addColumn<uint>("to");
    QTest::addColumn<int>("result");
    QTest::addColumn<QStringList>("order");
    QTest::newRow("first to the end")
        << 0u << 4294967295u << -1 << QStringList{"a1", "a2", "a3", "a0"};
    QTest::newRow("last to the front") << 3u << 0u << 1 << QStringList{"a3", "a0", "a1", "a2"};
    QTest::newRow("onto itself") << 2u << 2u << 1 << QStringList{"a0", "a1", "a2", "a3"};
    QTest::newRow("one place on") << 1u << 2u << -1 << QStringList{"a0", "a2", "a1", "a3"};
}

void test_preset_dir::inner_move() {
    QFETCH(uint, from);
    QFETCH(uint, to);
    QFETCH(int, result);
    QFETCH(QStringList, order);
    make_backup(4);
    preset_dir model(backup);
    const auto disk = snapshot(root);

    QCOMPARE(model.inner_move_presets(0, from, to), result);
    QStringList names;
    for (const auto& p : model.presets[0]) {
        names << QString::fromStdString(p.name());
    }
    QCOMPARE(names, order);
    QCOMPARE(snapshot(root), disk);
    CHECK_MODEL(model);
}

void test_preset_dir::move_between_models_then_reindex() {
    const QString source_path = root + "/source";
    const QString target_path = root + "/target";
    for (const auto& p : {preset(0, "s0"), preset(1, "s1"), preset(2, "s2")}) {
        put_preset(source_path + "/BANK A", p);
    }
    for (const auto& p : {preset(0, "t0"), preset(1, "t1")}) {
        put_preset(target_path + "/BANK A", p);
    }
    preset_dir source(source_path);
    preset_dir target(target_path);
    const auto disk = snapshot(root);

    QTest::ignoreMessage(QtDebugMsg, "MOVE 0 1 0 0");
    move_presets_from_diffrent(source, 0, 1, target, 0, 0);
    QCOMPARE(listing(source, 0), (QStringList{"0 s0", "2 s2"}));
    QCOMPARE(listing(target, 0), (QStringList{"1 s1", "0 t0", "1 t1"}));
    QCOMPARE(snapshot(root), disk);
    QCOMPARE(target.files[0][0]->fileName(), source_path + "/BANK A/001.s1.txt");

    target.reindex(0);
    QCOMPARE(listing(target, 0), (QStringList{"0 s1", "1 t0", "2 t1"}));
    QCOMPARE(sorted_entries(target_path + "/BANK A"),
             (QStringList{"000.s1.txt", "001.t0.txt", "002.t1.txt"}));
    CHECK_MODEL(target);
    CHECK_MODEL(source);

    QTest::ignoreMessage(QtDebugMsg, "MOVE 0 0 0 3");
    move_presets_from_diffrent(source, 0, 0, target, 0, preset_dir::end_place);
    QCOMPARE(listing(target, 0).last(), QString("0 s0"));
}

void test_preset_dir::delete_by_name_deletes_the_first_match_only() {
    make_backup(0);
    put_preset(backup + "/BANK A", preset(0, "x"));
    put_preset(backup + "/BANK A", preset(1, "y"));
    put_preset(backup + "/BANK C", preset(128, "x"));
    preset_dir model(backup);

    QTest::ignoreMessage(QtDebugMsg, "delete x");
    model.delete_by_name("x");
    QCOMPARE(listing(model, 0), QStringList{"1 y"});
    QCOMPARE(listing(model, 2), QStringList{"128 x"});
    QVERIFY(!QFileInfo::exists(backup + "/BANK A/000.x.txt"));
    CHECK_MODEL(model);

    const auto disk = snapshot(root);
    QTest::ignoreMessage(QtDebugMsg, "No such file or preset name");
    model.delete_by_name("X");
    QCOMPARE(snapshot(root), disk);
    QCOMPARE(listing(model, 2), QStringList{"128 x"});
}

void test_preset_dir::delete_by_index_and_erase_data() {
    QTest::addColumn<bool>("erase");
    QTest::newRow("delete_by_index") << false;
    QTest::newRow("erase") << true;
}

void test_preset_dir::delete_by_index_and_erase() {
    QFETCH(bool, erase);
    make_backup(3);
    preset_dir model(backup);
    if (erase) {
        QTest::ignoreMessage(QtDebugMsg, qPrintable("Erase : " + backup + "/BANK A/001.a1.txt"));
        model.erase(0, 1);
    } else {
        model.delete_by_index(0, 1);
    }
    QCOMPARE(listing(model, 0), (QStringList{"0 a0", "2 a2"}));
    CHECK_MODEL(model);
}

void test_preset_dir::rename_by_index_moves_the_file() {
    make_backup(2);
    preset_dir model(backup);
    model.rename_by_index(0, 1, "Bee");
    QCOMPARE(listing(model, 0), (QStringList{"0 a0", "1 Bee"}));
    QCOMPARE(sorted_entries(backup + "/BANK A"), (QStringList{"000.a0.txt", "001.Bee.txt"}));
    CHECK_MODEL(model);

    model.rename_by_index(0, 1, "Bee");
    QCOMPARE(sorted_entries(backup + "/BANK A"), (QStringList{"000.a0.txt", "001.Bee.txt"}));
    CHECK_MODEL(model);
}

void test_preset_dir::preset_to_text_follows_the_id() {
    make_backup(1);
    preset_dir model(backup);
    proto::Preset moved = preset(70, "a0");
    QVERIFY(model.preset_to_text(moved, model.dirPath(), 0, 0));
    QCOMPARE(handle_files(model, 0), QStringList{"BANK B/070.a0.txt"});
    QCOMPARE(read_all(backup + "/BANK B/070.a0.txt"),
             QByteArray::fromStdString(print_preset(moved)));
}

void test_preset_dir::push_back_copies_into_the_backup_folder() {
    make_backup(1);
    put_preset(root + "/elsewhere", preset(7, "Pad"));
    QFile source(root + "/elsewhere/007.Pad.txt");
    preset_dir model(backup);

    model.push_back(preset(7, "Pad"), &source, 1);
    QCOMPARE(listing(model, 1), QStringList{"7 Pad"});
    QCOMPARE(handle_files(model, 1), QStringList{"7.Pad.txt"});
    QCOMPARE(read_all(backup + "/7.Pad.txt"), read_all(source.fileName()));
    CHECK_MODEL(model);

    // An existing file there is not replaced.
    QVERIFY(put(backup + "/7.Pad.txt", "kept"));
    model.push_back(preset(7, "Pad"), &source, 2);
    QCOMPARE(read_all(backup + "/7.Pad.txt"), QByteArray("kept"));
    QCOMPARE(model.files[2].size(), model.presets[2].size());
}

void test_preset_dir::copy_file_copies_into_the_backup_folder() {
    make_backup(1);
    QVERIFY(QDir().mkpath(root + "/elsewhere"));
    QVERIFY(put(root + "/elsewhere/x.txt", "copied"));
    QVERIFY(put(root + "/elsewhere/y.txt", "new"));
    QVERIFY(put(backup + "/y.txt", "old"));
    preset_dir model(backup);
    const QStringList before = listing(model, 0);

    QFile x(root + "/elsewhere/x.txt");
    QTest::ignoreMessage(QtDebugMsg, "x.txt");
    model.copy_file(&x);
    QFile y(root + "/elsewhere/y.txt");
    QTest::ignoreMessage(QtDebugMsg, "y.txt");
    model.copy_file(&y);
    QCOMPARE(read_all(backup + "/x.txt"), QByteArray("copied"));
    QCOMPARE(read_all(backup + "/y.txt"), QByteArray("old"));
    QCOMPARE(listing(model, 0), before);
}

// --------------------------------------- Shared file names, failures, incomplete files, errors

void test_preset_dir::new_file_never_replaces_another_data() {
    QTest::addColumn<bool>("use_insert");
    QTest::newRow("insert onto another entry's file") << true;
    QTest::newRow("push_back_draft onto a file not in the model") << false;
}

void test_preset_dir::new_file_never_replaces_another() {
    QFETCH(bool, use_insert);
    make_backup(3);
    preset_dir model(backup);
    // A file that appeared after loading, named as the next draft will be.
    QVERIFY(put(backup + "/BANK A/003.a1.txt", "id: 3\nname: \"a1\"\n"));
    const auto disk = snapshot(root);
    const QStringList before = listing(model, 0);

    proto::Preset twin = preset(50, "a1");
    QTest::ignoreMessage(QtDebugMsg, "Unable to open");
    if (use_insert) {
        model.insert(twin, 0, 1, true); // id 1, name a1: a1's own file
    } else {
        QTest::ignoreMessage(QtDebugMsg, qPrintable("Insert: " + backup + "/BANK A/003.a1.txt"));
        model.push_back_draft(twin, 0);
    }
    QCOMPARE(listing(model, 0), before);
    QCOMPARE(model.files[0].size(), model.presets[0].size());
    QCOMPARE(snapshot(root), disk);
}

void test_preset_dir::reindex_keeps_twins_apart_data() {
    QTest::addColumn<uint>("first_id");
    QTest::addColumn<uint>("second_id");
    QTest::addColumn<uint>("move_from");
    QTest::addColumn<uint>("move_to");
    // Two presets named P; after the move the first place holds a preset whose new id is the
    // one the other still carries.
    QTest::newRow("swapped twins") << 0u << 1u << 0u << 1u;
    QTest::newRow("takes the number a later twin carries") << 0u << 5u << 1u << 0u;
}

void test_preset_dir::reindex_keeps_twins_apart() {
    QFETCH(uint, first_id);
    QFETCH(uint, second_id);
    QFETCH(uint, move_from);
    QFETCH(uint, move_to);
    make_backup(0);
    put_preset(backup + "/BANK A", preset(first_id, "P"));
    put_preset(backup + "/BANK A", preset(second_id, "P"));
    preset_dir model(backup);
    model.inner_move_presets(0, move_from, move_to);
    const float first_cutoff = model.presets[0][0].vcf().input_cutoff();
    const float second_cutoff = model.presets[0][1].vcf().input_cutoff();

    model.reindex(0);
    QCOMPARE(listing(model, 0), (QStringList{"0 P", "1 P"}));
    QCOMPARE(model.presets[0][0].vcf().input_cutoff(), first_cutoff);
    QCOMPARE(model.presets[0][1].vcf().input_cutoff(), second_cutoff);
    QCOMPARE(sorted_entries(backup + "/BANK A"), (QStringList{"000.P.txt", "001.P.txt"}));
    CHECK_MODEL(model);
}

void test_preset_dir::reindex_leaves_a_file_of_another_bank_alone() {
    make_backup(64);
    put_preset(backup + "/BANK A", preset(999, "X")); // place 64: would become 064.X.txt
    put_preset(backup + "/BANK B", preset(64, "X"));  // ... which is bank B's file
    preset_dir model(backup);
    const QByteArray bank_b_file = read_all(backup + "/BANK B/064.X.txt");

    QTest::ignoreMessage(QtDebugMsg, "Unable to open");
    model.reindex(0);
    QCOMPARE(model.presets[0][64].id(), 999u);
    QCOMPARE(handle_files(model, 0).last(), QString("BANK A/999.X.txt"));
    QCOMPARE(read_all(backup + "/BANK B/064.X.txt"), bank_b_file);
    CHECK_MODEL(model);
}

void test_preset_dir::rename_onto_a_twin_is_refused() {
    make_backup(0);
    put_preset(backup + "/BANK A", preset(1, "b"));
    put_preset(backup + "/BANK A", preset(1, "c"));
    preset_dir model(backup);
    const auto disk = snapshot(root);

    QTest::ignoreMessage(QtDebugMsg, "Unable to open");
    model.rename_by_index(0, 0, "c");
    QCOMPARE(listing(model, 0), (QStringList{"1 b", "1 c"}));
    QCOMPARE(snapshot(root), disk);
    CHECK_MODEL(model);
}

void test_preset_dir::shared_file_is_deleted_with_its_last_entry() {
    make_backup(2);
    preset_dir first(backup);
    preset_dir second(backup);
    move_presets_from_diffrent(first, 0, 0, second, 0, preset_dir::end_place);
    QCOMPARE(handle_files(second, 0),
             (QStringList{"BANK A/000.a0.txt", "BANK A/001.a1.txt", "BANK A/000.a0.txt"}));

    second.delete_by_index(0, 2);
    QVERIFY(QFileInfo::exists(backup + "/BANK A/000.a0.txt"));
    CHECK_MODEL(second);
    second.delete_by_index(0, 0);
    QVERIFY(!QFileInfo::exists(backup + "/BANK A/000.a0.txt"));
    CHECK_MODEL(second);
}

void test_preset_dir::failed_write_keeps_banks_in_step_data() {
    QTest::addColumn<bool>("use_insert");
    QTest::newRow("push_back_draft") << false;
    QTest::newRow("insert") << true;
}

void test_preset_dir::failed_write_keeps_banks_in_step() {
    QFETCH(bool, use_insert);
    make_backup(0);
    put_preset(backup + "/BANK D", preset(192, "d"));
    preset_dir model(backup);
    QVERIFY(QDir(backup + "/BANK D").removeRecursively());

    proto::Preset fresh = preset(0, "new");
    QTest::ignoreMessage(QtDebugMsg, "Unable to open");
    if (use_insert) {
        model.insert(fresh, 3, 0, true);
    } else {
        QTest::ignoreMessage(QtDebugMsg, qPrintable("Insert: " + backup + "/BANK D/193.new.txt"));
        model.push_back_draft(fresh, 3);
    }
    QCOMPARE(listing(model, 3), QStringList{"192 d"});
    QCOMPARE(model.files[3].size(), std::size_t{1});
    QVERIFY(!QFileInfo::exists(backup + "/BANK D"));
}

void test_preset_dir::incomplete_file_is_never_rewritten() {
    make_backup(1);
    const QByteArray cut("id: 5\nname: \"cut\"\nvcf {\n  input_cutoff: 0.5\n");
    QVERIFY(put(backup + "/BANK A/005.cut.txt", cut));
    preset_dir model(backup);
    QVERIFY(!model.is_intact(0, 1));
    const auto disk = snapshot(root);

    const QRegularExpression refused("^Not rewritten, read incompletely: ");
    QTest::ignoreMessage(QtDebugMsg, refused);
    model.reindex(0);
    QTest::ignoreMessage(QtDebugMsg, refused);
    model.rename_by_index(0, 1, "whole");
    QCOMPARE(listing(model, 0), (QStringList{"0 a0", "5 cut"}));
    QCOMPARE(snapshot(root), disk);

    preset_dir other(root + "/other");
    move_presets_from_diffrent(model, 0, 1, other, 0, 0);
    QVERIFY(!other.is_intact(0, 0));
    QCOMPARE(other.left_out_count(), std::size_t{1});
    QCOMPARE(model.left_out_count(), std::size_t{0});
}

void test_preset_dir::caller_errors_change_nothing_data() {
#ifndef QT_NO_DEBUG
    QSKIP("out-of-range calls assert in debug builds");
#endif
    QTest::addColumn<model_call>("call");
    proto::Preset p = preset(9, "p");
    QTest::newRow("get_preset bank 4") << model_call([](preset_dir& m) { m.get_preset(4, 0); });
    QTest::newRow("get_preset past the end")
        << model_call([](preset_dir& m) { m.get_preset(0, 2); });
    QTest::newRow("is_intact past the end") << model_call([](preset_dir& m) { m.is_intact(0, 2); });
    QTest::newRow("delete_by_index past the end")
        << model_call([](preset_dir& m) { m.delete_by_index(0, 2); });
    QTest::newRow("erase bank 9") << model_call([](preset_dir& m) { m.erase(9, 0); });
    QTest::newRow("rename_by_index past the end")
        << model_call([](preset_dir& m) { m.rename_by_index(0, 7, "x"); });
    QTest::newRow("insert at a place past the end")
        << model_call([p](preset_dir& m) mutable { m.insert(p, 0, 3, true); });
    QTest::newRow("insert after a place past the end")
        << model_call([p](preset_dir& m) mutable { m.insert(p, 0, 2, false); });
    QTest::newRow("insert into bank 4")
        << model_call([p](preset_dir& m) mutable { m.insert(p, 4, 0, true); });
    QTest::newRow("insert_after past the end")
        << model_call([p](preset_dir& m) mutable { m.insert_after(0, 2, p); });
    QTest::newRow("push_back_draft bank 4")
        << model_call([p](preset_dir& m) mutable { m.push_back_draft(p, 4); });
    QTest::newRow("push_back without a file")
        << model_call([p](preset_dir& m) { m.push_back(p, nullptr, 0); });
    QTest::newRow("preset_to_text past the end")
        << model_call([p](preset_dir& m) mutable { m.preset_to_text(p, m.dirPath(), 0, 2); });
    QTest::newRow("reindex bank 4") << model_call([](preset_dir& m) { m.reindex(4); });
    QTest::newRow("inner_move from past the end")
        << model_call([](preset_dir& m) { QCOMPARE(m.inner_move_presets(0, 2, 0), 0); });
    QTest::newRow("inner_move to past the end")
        << model_call([](preset_dir& m) { QCOMPARE(m.inner_move_presets(0, 0, 2), 0); });
    QTest::newRow("inner_move in an empty bank")
        << model_call([](preset_dir& m) { m.inner_move_presets(1, 0, preset_dir::end_place); });
    QTest::newRow("move from a place past the end") << model_call([](preset_dir& m) {
        preset_dir other(m.dirPath() + "/../other");
        move_presets_from_diffrent(m, 0, 2, other, 0, 0);
    });
    QTest::newRow("move to a place past the end") << model_call([](preset_dir& m) {
        preset_dir other(m.dirPath() + "/../other");
        move_presets_from_diffrent(m, 0, 0, other, 0, 1);
    });
    QTest::newRow("move within one model")
        << model_call([](preset_dir& m) { move_presets_from_diffrent(m, 0, 0, m, 0, 1); });
}

void test_preset_dir::caller_errors_change_nothing() {
    QFETCH(model_call, call);
    make_backup(2);
    preset_dir model(backup);
    const auto disk = snapshot(backup);
    call(model);
    QCOMPARE(listing(model, 0), (QStringList{"0 a0", "1 a1"}));
    QCOMPARE(snapshot(backup), disk);
    CHECK_MODEL(model);
}

// ------------------------------------------------------------------------- What a restore sends

void test_preset_dir::select_for_restore_data() {
    // Files as "bank folder/file name=content"; an entry "too large" is a preset too large to
    // send, "cut" one not read completely.
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<QList<int>>("sent");
    QTest::addColumn<int>("damaged");
    QTest::addColumn<QStringList>("clashes"); // "id: sent > left out, ..."
    QTest::newRow("no clash") << QStringList{"BANK A/000.a.txt=0", "BANK A/001.b.txt=1",
                                             "BANK B/064.c.txt=64"}
                              << QList<int>{0, 1, 64} << 0 << QStringList{};
    QTest::newRow("a copy in the same bank folder")
        << QStringList{"BANK A/005.Init.txt=5", "BANK A/005.zz copy.txt=5", "BANK A/006.x.txt=6"}
        << QList<int>{5, 6} << 0 << QStringList{"5: BANK A/005.Init.txt > BANK A/005.zz copy.txt"};
    QTest::newRow("one id in three bank folders, in sending order")
        << QStringList{"BANK C/130.c.txt=3", "BANK A/003.a.txt=3", "bank b/070.b.txt=3",
                       "BANK D/200.d.txt=9", "BANK D/201.e.txt=9"}
        << QList<int>{3, 9} << 0
        << QStringList{"3: BANK A/003.a.txt > bank b/070.b.txt, BANK C/130.c.txt",
                       "9: BANK D/200.d.txt > BANK D/201.e.txt"};
    QTest::newRow("a damaged twin does not clash")
        << QStringList{"BANK A/005.a.txt=cut", "BANK A/005.b.txt=5"} << QList<int>{5} << 1
        << QStringList{};
    QTest::newRow("a preset too large to send")
        << QStringList{"BANK A/000.a.txt=0", "BANK A/001.big.txt=too large"} << QList<int>{0} << 1
        << QStringList{};
}

void test_preset_dir::select_for_restore() {
    QFETCH(QStringList, files);
    QFETCH(QList<int>, sent);
    QFETCH(int, damaged);
    QFETCH(QStringList, clashes);
    for (const QString& file : files) {
        const QString relative = file.section('=', 0, 0);
        const QString content = file.section('=', 1);
        QVERIFY(QDir().mkpath(QFileInfo(backup + '/' + relative).path()));
        const QByteArray text = content == "cut"         ? QByteArray("id: 5\nvcf {\n")
                                : content == "too large" ? too_large_to_send(1)
                                                         : "id: " + content.toUtf8() + "\n";
        QVERIFY(put(backup + '/' + relative, text));
    }
    const preset_dir model(backup);
    const restore_selection selection = ::select_for_restore(model);
    QCOMPARE(ids_of(selection.presets), sent);
    QCOMPARE(selection.damaged, static_cast<std::size_t>(damaged));
    QStringList listed;
    std::size_t clashing = 0;
    for (const auto& clash : selection.clashes) {
        listed << QStringLiteral("%1: %2 > %3")
                      .arg(clash.id)
                      .arg(clash.sent, clash.left_out.join(", "));
        clashing += static_cast<std::size_t>(clash.left_out.size());
    }
    QCOMPARE(listed, clashes);
    QCOMPARE(selection.clashing(), clashing);
}

QTEST_GUILESS_MAIN(test_preset_dir)
#include "test_preset_dir.moc"
