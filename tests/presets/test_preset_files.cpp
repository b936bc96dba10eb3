// Preset text files: golden texts, file names and bank folders, safe writing, reading.
#include "newer_preset.pb.h"
#include "preset_files.h"
#include "preset_text.h"
#include "sample_presets.h"

#include <QDirIterator>
#include <QLoggingCategory>
#include <QtTest>

#include <google/protobuf/text_format.h>

#include <csignal>
#include <memory>
#include <sys/resource.h>
#include <sys/stat.h>

Q_DECLARE_METATYPE(proto::Preset)

namespace {

QByteArray read_all(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    return file.readAll();
}

bool put(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

// Every file and link below `root`, as paths relative to it, sorted.
QStringList all_files(const QString& root) {
    QStringList found;
    QDirIterator it(root, QDir::Files | QDir::System | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        found << QDir(root).relativeFilePath(it.next());
    }
    found.sort();
    return found;
}

QByteArray wire(const google::protobuf::Message& message) {
    std::string bytes;
    message.SerializePartialToString(&bytes);
    return QByteArray::fromStdString(bytes);
}

proto::Preset named(std::uint32_t id, const QByteArray& name) {
    proto::Preset p;
    p.set_id(id);
    p.set_name(name.toStdString());
    return p;
}

} // namespace

class test_preset_files : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> temp;
    QString root;   // the temporary folder
    QString backup; // a backup folder in it, with the four bank folders

private slots:
    void initTestCase();
    void init();

    void golden_text_data();
    void golden_text();
    void file_name_and_bank_data();
    void file_name_and_bank();
    void hostile_name_stays_in_its_bank_folder_data();
    void hostile_name_stays_in_its_bank_folder();
    void safe_file_name_check_data();
    void safe_file_name_check();

    void unwritable_target_fails_without_trace_data();
    void unwritable_target_fails_without_trace();
    void short_write_keeps_old_content();

    void reading_data();
    void reading();
    void reading_a_missing_file_gives_nothing();
    void only_regular_files_are_read_or_renamed();
    void fields_of_a_newer_schema_survive_the_file();

    void rename_makes_content_agree_with_name_data();
    void rename_makes_content_agree_with_name();
};

void test_preset_files::initTestCase() {
    static QTemporaryDir data_home;
    qputenv("XDG_DATA_HOME", data_home.path().toUtf8());
    // The debug lines checked below are off by default in a release build.
    QLoggingCategory::setFilterRules(QStringLiteral("vortan.debug=true"));
}

void test_preset_files::init() {
    temp = std::make_unique<QTemporaryDir>();
    QVERIFY(temp->isValid());
    root = temp->path();
    backup = root + "/21_01_02_03_04";
    for (const char* bank : {"BANK A", "BANK B", "BANK C", "BANK D"}) {
        QVERIFY(QDir().mkpath(backup + '/' + bank));
    }
}

void test_preset_files::golden_text_data() {
    QTest::addColumn<proto::Preset>("preset");
    QTest::addColumn<QString>("golden");
    QTest::newRow("every message type") << samples::full() << "full.txt";
    QTest::newRow("only id") << samples::only_id() << "only_id.txt";
    QTest::newRow("non-ASCII name as octal escapes")
        << samples::non_ascii_name() << "non_ascii_name.txt";
    QTest::newRow("floats needing nine digits")
        << samples::nine_digit_floats() << "nine_digit_floats.txt";
}

void test_preset_files::golden_text() {
    QFETCH(proto::Preset, preset);
    QFETCH(QString, golden);
    const QByteArray expected = read_all(QStringLiteral(VORTAN_GOLDEN_DIR "/") + golden);
    QVERIFY(!expected.isEmpty());

    QString path = root + "/written.txt";
    QVERIFY(preset_to_file(preset, path));
    QCOMPARE(read_all(path), expected);

    QFile file(QStringLiteral(VORTAN_GOLDEN_DIR "/") + golden);
    const std::optional<preset_read> back = read_preset_file(file);
    QVERIFY(back);
    QVERIFY(back->intact);
    QCOMPARE(wire(back->preset).toHex(), wire(preset).toHex());
}

void test_preset_files::file_name_and_bank_data() {
    QTest::addColumn<uint>("id");
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<QString>("expected");
    QTest::newRow("id 5") << 5u << QByteArray("Init") << "BANK A/005.Init.txt";
    QTest::newRow("id 63 ends bank A") << 63u << QByteArray("x") << "BANK A/063.x.txt";
    QTest::newRow("id 64 starts bank B") << 64u << QByteArray("x") << "BANK B/064.x.txt";
    QTest::newRow("id 191 ends bank C") << 191u << QByteArray("x") << "BANK C/191.x.txt";
    QTest::newRow("id 192 starts bank D") << 192u << QByteArray("x") << "BANK D/192.x.txt";
    QTest::newRow("id 300 stays in bank D") << 300u << QByteArray("x") << "BANK D/300.x.txt";
    QTest::newRow("id 1000 four digits") << 1000u << QByteArray("x") << "BANK D/1000.x.txt";
    QTest::newRow("largest id") << 4294967295u << QByteArray("x") << "BANK D/4294967295.x.txt";
    QTest::newRow("empty name gives two dots") << 7u << QByteArray() << "BANK A/007..txt";
    QTest::newRow("dots kept") << 7u << QByteArray("Pad.2") << "BANK A/007.Pad.2.txt";
    QTest::newRow("name of two dots") << 7u << QByteArray("..") << "BANK A/007....txt";
    QTest::newRow("spaces kept") << 7u << QByteArray(" Soft  Pad ") << "BANK A/007. Soft  Pad .txt";
    QTest::newRow("non-ASCII letters kept") << 130u
                                            << QByteArray("\xc3\x89p\xc3\xa9"
                                                          "e \xe2\x98\x83")
                                            << QString::fromUtf8("BANK C/130.\xc3\x89p\xc3\xa9"
                                                                 "e \xe2\x98\x83.txt");
}

void test_preset_files::file_name_and_bank() {
    QFETCH(uint, id);
    QFETCH(QByteArray, name);
    QFETCH(QString, expected);
    proto::Preset preset = named(id, name);

    QString path = preset_file_path(backup, preset);
    QCOMPARE(path, backup + '/' + expected);
    QVERIFY(preset_to_file(preset, path));
    QCOMPARE(all_files(backup), QStringList{expected});

    QFile file(path);
    const std::optional<preset_read> back = read_preset_file(file);
    QVERIFY(back && back->intact);
    QCOMPARE(QByteArray::fromStdString(back->preset.name()), name);
    QCOMPARE(back->preset.id(), id);
}

void test_preset_files::hostile_name_stays_in_its_bank_folder_data() {
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<QString>("expected");
    QTest::newRow("slash") << QByteArray("a/b") << "005.a_b.txt";
    QTest::newRow("parent folders") << QByteArray("../../outside") << "005..._.._outside.txt";
    QTest::newRow("absolute path") << QByteArray("/etc/passwd") << "005._etc_passwd.txt";
    QTest::newRow("only a slash") << QByteArray("/") << "005._.txt";
    QTest::newRow("backslashes") << QByteArray("..\\..\\x") << "005..._.._x.txt";
    QTest::newRow("tab and line feed") << QByteArray("a\tb\nc") << "005.a_b_c.txt";
    QTest::newRow("NUL inside") << QByteArray("a\0b", 3) << "005.a_b.txt";
    QTest::newRow("DEL and a C1 control") << QByteArray("a\x7f\xc2\x85z") << "005.a__z.txt";
    QTest::newRow("invalid UTF-8")
        << QByteArray("\xff\xfe") << QString::fromUtf8("005.\xef\xbf\xbd\xef\xbf\xbd.txt");
    QTest::newRow("300 ASCII bytes cut to 255")
        << QByteArray(300, 'x') << "005." + QString(247, 'x') + ".txt";
    QTest::newRow("two-byte letters cut at a letter")
        << QByteArray("\xc3\xa9").repeated(200)
        << "005." + QString::fromUtf8(QByteArray("\xc3\xa9").repeated(123)) + ".txt";
    QTest::newRow("four-byte letters cut at a letter")
        << QByteArray("\xf0\x9f\x98\x80").repeated(100)
        << "005." + QString::fromUtf8(QByteArray("\xf0\x9f\x98\x80").repeated(61)) + ".txt";
}

void test_preset_files::hostile_name_stays_in_its_bank_folder() {
    QFETCH(QByteArray, name);
    QFETCH(QString, expected);
    proto::Preset preset = named(5, name);

    QVERIFY(is_safe_file_name(expected));
    QString path = preset_file_path(backup, preset);
    QVERIFY(preset_to_file(preset, path));
    QCOMPARE(all_files(root), QStringList{"21_01_02_03_04/BANK A/" + expected});

    QFile file(path);
    const std::optional<preset_read> back = read_preset_file(file);
    QVERIFY(back && back->intact);
    QCOMPARE(QByteArray::fromStdString(back->preset.name()), name);
}

void test_preset_files::safe_file_name_check_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("safe");
    QTest::newRow("preset file name") << "005.Init.txt" << true;
    QTest::newRow("empty preset name") << "007..txt" << true;
    QTest::newRow("non-ASCII") << QString::fromUtf8("130.\xc3\x89p\xc3\xa9"
                                                    "e.txt")
                               << true;
    QTest::newRow("255 bytes") << QString(255, 'x') << true;
    QTest::newRow("256 bytes") << QString(256, 'x') << false;
    QTest::newRow("256 bytes of two-byte letters")
        << QString::fromUtf8(QByteArray("\xc3\xa9").repeated(128)) << false;
    QTest::newRow("empty") << "" << false;
    QTest::newRow("dot") << "." << false;
    QTest::newRow("dot dot") << ".." << false;
    QTest::newRow("four dots") << "...." << true;
    QTest::newRow("slash") << "a/b" << false;
    QTest::newRow("backslash") << "a\\b" << false;
    QTest::newRow("line feed") << "a\nb" << false;
    QTest::newRow("NUL") << QString::fromUtf8("a\0b", 3) << false;
}

void test_preset_files::safe_file_name_check() {
    QFETCH(QString, name);
    QFETCH(bool, safe);
    QCOMPARE(is_safe_file_name(name), safe);
}

void test_preset_files::unwritable_target_fails_without_trace_data() {
    QTest::addColumn<QString>("relative");
    QTest::newRow("folder missing") << "missing/005.x.txt";
    QTest::newRow("path through a regular file") << "plain.txt/005.x.txt";
    QTest::newRow("link to a file outside") << "21_01_02_03_04/BANK A/005.link.txt";
    QTest::newRow("dangling link") << "21_01_02_03_04/BANK A/005.dangling.txt";
    QTest::newRow("unsafe file name") << "21_01_02_03_04/BANK A/005.a\tb.txt";
}

void test_preset_files::unwritable_target_fails_without_trace() {
    QFETCH(QString, relative);
    QVERIFY(put(root + "/plain.txt", "keep"));
    QVERIFY(QFile::link(root + "/plain.txt", backup + "/BANK A/005.link.txt"));
    QVERIFY(QFile::link(root + "/nowhere.txt", backup + "/BANK A/005.dangling.txt"));
    const QStringList before = all_files(root);

    proto::Preset preset = samples::full();
    QString path = root + '/' + relative;
    QTest::ignoreMessage(QtDebugMsg, "Unable to open");
    QVERIFY(!preset_to_file(preset, path));
    QCOMPARE(all_files(root), before);
    QCOMPARE(read_all(root + "/plain.txt"), QByteArray("keep"));
}

void test_preset_files::short_write_keeps_old_content() {
    // A file size limit makes the write come up short, as a full disk would.
    const QString path = backup + "/BANK A/077.Full Pad.txt";
    const QByteArray old_text("id: 77\nname: \"Full Pad\"\n");
    QVERIFY(put(path, old_text));

    rlimit saved{};
    QCOMPARE(getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = saved;
    small.rlim_cur = 16;
    QCOMPARE(setrlimit(RLIMIT_FSIZE, &small), 0);
    proto::Preset preset = samples::full();
    QString target = path;
    QTest::ignoreMessage(QtDebugMsg, "Unable to open");
    const bool written = preset_to_file(preset, target);
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, old_handler);

    QVERIFY(!written);
    QCOMPARE(read_all(path), old_text);
    QCOMPARE(all_files(backup), QStringList{"BANK A/077.Full Pad.txt"});
}

void test_preset_files::reading_data() {
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<bool>("intact");
    QTest::addColumn<QByteArray>("printed");

    QTest::newRow("complete") << QByteArray("id: 4\nname: \"P\"\n") << true
                              << QByteArray("id: 4\nname: \"P\"\n");
    QTest::newRow("empty file") << QByteArray() << false << QByteArray();
    QTest::newRow("only a name") << QByteArray("name: \"x\"\n") << false
                                 << QByteArray("name: \"x\"\n");
    QTest::newRow("every field but id")
        << QByteArray("name: \"P\"\nvcf {\n  input_cutoff: 0.5\n}\nlegato: true\n") << false
        << QByteArray("name: \"P\"\nvcf {\n  input_cutoff: 0.5\n}\nlegato: true\n");
    QTest::newRow("truncated inside a message")
        << QByteArray("id: 77\nname: \"Full Pad\"\nvca_eg {\n  input_time: 0.25\n") << false
        << QByteArray("id: 77\nname: \"Full Pad\"\nvca_eg {\n  input_time: 0.25\n}\n");
    QTest::newRow("unknown field name stops the reading")
        << QByteArray("id: 1\nbogus: 2\nname: \"after\"\n") << false << QByteArray("id: 1\n");
    QTest::newRow("singular field twice")
        << QByteArray("id: 1\nid: 2\n") << false << QByteArray("id: 1\n");
    QTest::newRow("binary preset, not text") << QByteArray::fromHex("0801120361626"
                                                                    "3")
                                             << false << QByteArray();
    QTest::newRow("NUL after a complete text")
        << QByteArray("id: 1\n\0", 7) << false << QByteArray("id: 1\n");
    QTest::newRow("comments, blank lines and CRLF")
        << QByteArray("# my pad\r\nid: 5\r\n\r\nname: \"x\"\r\n") << true
        << QByteArray("id: 5\nname: \"x\"\n");
    QTest::newRow("by-number entry among named ones")
        << QByteArray("id: 1\n30: 5\nname: \"n\"\n") << true
        << QByteArray("id: 1\nname: \"n\"\n30: 5\n");
    QTest::newRow("by-number fixed32, fixed64 and string")
        << QByteArray("id: 2\n40: 0x3f800000\n41: 0x0000000000001234\n42: \"a\\001\"\n") << true
        << QByteArray("id: 2\n40: 0x3f800000\n41: 0x0000000000001234\n42: \"a\\001\"\n");
    QTest::newRow("by-number entries after tabs and multi-byte letters")
        << QByteArray("id: 1\n\t30: 5\tname: \"\xc3\xa9\t\" 31: 6\n") << true
        << QByteArray("id: 1\nname: \"\\303\\251\\t\"\n30: 5\n31: 6\n");
    QTest::newRow("by-number entry of no printed form stops the reading")
        << QByteArray("id: 1\n30: abc\nname: \"n\"\n") << false << QByteArray("id: 1\n");
    QTest::newRow("hex of odd length stops the reading")
        << QByteArray("id: 1\n30: 0x123\nname: \"n\"\n") << false << QByteArray("id: 1\n");
    QTest::newRow("field number 0 stops the reading")
        << QByteArray("id: 1\n0: 1\nname: \"n\"\n") << false << QByteArray("id: 1\n");
}

void test_preset_files::reading() {
    QFETCH(QByteArray, text);
    QFETCH(bool, intact);
    QFETCH(QByteArray, printed);
    const QString path = root + "/005.x.txt";
    QVERIFY(put(path, text));

    QFile file(path);
    const std::optional<preset_read> read = read_preset_file(file);
    QVERIFY(read);
    QCOMPARE(read->intact, intact);
    QCOMPARE(QByteArray::fromStdString(print_preset(read->preset)), printed);
    QVERIFY(!file.isOpen());

    QTest::ignoreMessage(QtDebugMsg, "open");
    const std::optional<proto::Preset> plain = preset_from_text(file);
    QVERIFY(plain);
    QCOMPARE(wire(*plain).toHex(), wire(read->preset).toHex());
}

void test_preset_files::reading_a_missing_file_gives_nothing() {
    QFile missing(root + "/missing.txt");
    QVERIFY(!read_preset_file(missing));
    QVERIFY(!preset_from_text(missing));
    QFile folder(backup);
    QVERIFY(!read_preset_file(folder));
}

// Links (to a preset file too), FIFOs and devices give nothing and are never opened, so
// nothing blocks; a file over max_preset_size is not read and not intact. Renaming leaves
// all of them as they are.
void test_preset_files::only_regular_files_are_read_or_renamed() {
    const QByteArray text("id: 3\nname: \"Bass\"\n");
    QVERIFY(put(root + "/003.Bass.txt", text));
    QVERIFY(QFile::link(root + "/003.Bass.txt", root + "/012.Link.txt"));
    QVERIFY(QFile::link("/dev/zero", root + "/013.Zero.txt"));
    QVERIFY(::mkfifo(QFile::encodeName(root + "/014.Fifo.txt").constData(), 0600) == 0);
    QVERIFY(QFile::link(root + "/014.Fifo.txt", root + "/015.FifoLink.txt"));
    for (const char* name : {"012.Link.txt", "013.Zero.txt", "014.Fifo.txt", "015.FifoLink.txt"}) {
        QFile file(root + '/' + name);
        QVERIFY2(!read_preset_file(file), name);
        QVERIFY2(!preset_from_text(file), name);
        preset_rename(file);
    }
    QCOMPARE(read_all(root + "/003.Bass.txt"), text);
    QVERIFY(QFileInfo(root + "/012.Link.txt").isSymLink());

    const QByteArray padded = text + QByteArray(static_cast<qsizetype>(max_preset_size), '\n');
    QVERIFY(put(root + "/016.Big.txt", padded));
    QFile big(root + "/016.Big.txt");
    const std::optional<preset_read> read = read_preset_file(big);
    QVERIFY(read);
    QVERIFY(!read->intact);
    QVERIFY(!read->preset.has_id());
    preset_rename(big);
    QCOMPARE(read_all(root + "/016.Big.txt"), padded);
}

void test_preset_files::fields_of_a_newer_schema_survive_the_file() {
    newer::Preset later;
    later.set_id(17);
    later.set_name("Later");
    later.mutable_vca_eg()->set_input_time(0.5f);
    later.mutable_vca_eg()->set_input_curve(0.25f);               // fixed32
    later.mutable_vca_eg()->set_input_stamp(1ull << 40);          // varint
    later.mutable_vca_eg()->set_input_serial(0x0123456789abcdef); // fixed64
    later.mutable_vcf_eg()->set_input_attack(0.75f);              // after an unknown field
    auto* mod = later.mutable_modulator1();
    mod->set_input_lfo_rate(0.1f);
    mod->add_step_sequencer_levels(1.0f);
    mod->set_mode(7); // no such value in today's enum
    mod->mutable_extra()->set_level(3);
    auto* seq = later.mutable_sequencer();
    seq->set_input_divisions(2.0f);
    seq->add_note_settings()->set_gate(0.5f);
    seq->add_note_settings()->set_shift(-3); // unknown field in the second element
    later.set_legato(true);
    later.set_author("Zo\xc3\xab \"Q\" \\ \n");
    auto* extra = later.mutable_extra();
    extra->set_level(9);
    extra->set_label("deep");
    extra->mutable_inner()->mutable_inner()->set_level(1);
    extra->add_points(1.0f);
    extra->add_points(-2.5f);
    later.set_fine_tune(-0.001);
    later.set_blob(std::string("\0\xff\"\\\n", 5));
    later.set_offset(-5);
    const QByteArray original = wire(later);

    proto::Preset today;
    QVERIFY(today.ParseFromString(original.toStdString()));
    QCOMPARE(wire(today).toHex(), original.toHex());

    QString path = backup + "/BANK A/017.Later.txt";
    QVERIFY(preset_to_file(today, path));
    const QByteArray text = read_all(path);

    // The stock parser stops at the first by-number line and loses what follows it.
    proto::Preset stock;
    google::protobuf::TextFormat::ParseFromString(text.toStdString(), &stock);
    QVERIFY(!stock.has_vcf_eg());

    QFile file(path);
    const std::optional<preset_read> back = read_preset_file(file);
    QVERIFY(back);
    QVERIFY(back->intact);
    QCOMPARE(wire(back->preset).toHex(), original.toHex());
    QCOMPARE(QByteArray::fromStdString(print_preset(back->preset)), text);
}

void test_preset_files::rename_makes_content_agree_with_name_data() {
    QTest::addColumn<QString>("file_name");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QByteArray>("expected");

    const QByteArray bass("id: 3\nname: \"A much longer name: Bass\"\nvcf {\n  input_cutoff: "
                          "0.5\n}\n30: 7\n");
    QTest::newRow("number and name") << "012.Lead.txt" << bass
                                     << QByteArray("id: 12\nname: \"Lead\"\nvcf {\n  "
                                                   "input_cutoff: 0.5\n}\n30: 7\n");
    QTest::newRow("name cut at its first dot")
        << "012.Lead.Soft.txt" << bass
        << QByteArray("id: 12\nname: \"Lead\"\nvcf {\n  input_cutoff: 0.5\n}\n30: 7\n");
    QTest::newRow("number part not a number")
        << "abc.Lead.txt" << QByteArray("id: 3\n") << QByteArray("id: 0\nname: \"Lead\"\n");
    QTest::newRow("empty name part")
        << "012..txt" << QByteArray("id: 3\nname: \"B\"\n") << QByteArray("id: 12\nname: \"\"\n");
    QTest::newRow("no dot: left alone") << "Lead" << bass << bass;
    QTest::newRow("missing file: nothing created")
        << "012.Lead.txt" << QByteArray() << QByteArray();
}

void test_preset_files::rename_makes_content_agree_with_name() {
    QFETCH(QString, file_name);
    QFETCH(QByteArray, content);
    QFETCH(QByteArray, expected);
    const QString path = root + '/' + file_name;
    if (!content.isNull()) {
        QVERIFY(put(path, content));
    }
    QFile file(path);
    preset_rename(file);
    QCOMPARE(read_all(path), expected);
    QCOMPARE(QFileInfo::exists(path), !content.isNull());
    QVERIFY(!file.isOpen());
}

QTEST_GUILESS_MAIN(test_preset_files)
#include "test_preset_files.moc"
