// The restore against the synthesizer stand-in: the latest backup folder, the confirmation,
// one import at a time, the closing notice; and the round trip through backup and restore.

#include "preset_files.h"
#include "preset_related.h"
#include "preset_text.h"
#include "presets_dir.h"
#include "rig.h"
#include "scripted_device.h"
#include "wire.h"

#include <google/protobuf/unknown_field_set.h>

#include <QScopeGuard>
#include <QSignalSpy>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

using quillmar::test::rig;
using quillmar::test::scripted_device;
namespace standin = quillmar::standin;
using command = quillmar::protocol::command;

namespace {

const QString ok = QStringLiteral("OK");
const QString no = QStringLiteral("NO");
const QString latest_name = QStringLiteral("20_12_19_10_00");
const QString succeeded_notice = QStringLiteral("RESTORE SUCCEEDED");
const QString terminated_notice = QStringLiteral("ERROR\nRESTORE TERMINATED");

using banks_t = std::vector<std::vector<proto::Preset>>;

// A preset with every kind of field set, carrying `id`.
proto::Preset numbered(int id) {
    proto::Preset preset = standin::make_factory_preset(id % standin::preset_slot_count);
    preset.set_id(static_cast<std::uint32_t>(id));
    return preset;
}

// Bank k gets sizes[k] presets; ids are taken from `ids` in bank order.
banks_t make_banks(const QList<int>& sizes, const QList<int>& ids) {
    banks_t banks;
    qsizetype next = 0;
    for (const int size : sizes) {
        banks.emplace_back();
        for (int i = 0; i < size; ++i) {
            banks.back().push_back(numbered(ids.at(next++)));
        }
    }
    return banks;
}

QList<int> first_ids(int count) {
    QList<int> ids;
    for (int id = 0; id < count; ++id) {
        ids << id;
    }
    return ids;
}

QString bank_folder(const rig& r, const QString& backup, unsigned bank) {
    return r.backup_root() + QDir::separator() + backup + QDir::separator() +
           QString::fromStdString(preset_dir::bank_to_string(bank));
}

QString preset_path(const rig& r, const QString& backup, unsigned bank,
                    const proto::Preset& preset) {
    return bank_folder(r, backup, bank) + QDir::separator() + preset_file_name(preset);
}

// Writes a backup folder as the backup lays it out: bank folder k holds the presets of
// banks[k], each in a text file named after it.
bool write_backup(const rig& r, const QString& name, const banks_t& banks) {
    for (unsigned bank = 0; bank < banks.size(); ++bank) {
        if (!QDir().mkpath(bank_folder(r, name, bank))) {
            return false;
        }
        for (const proto::Preset& preset : banks[bank]) {
            if (!write_whole_file(preset_path(r, name, bank, preset),
                                  QByteArray::fromStdString(print_preset(preset)))) {
                return false;
            }
        }
    }
    return true;
}

// The presets the stand-in was sent to import, in order.
std::vector<proto::Preset> imported(const standin::synthesizer& synth) {
    std::vector<proto::Preset> presets;
    for (const standin::message& m : synth.messages()) {
        if (m.command == command::preset_import) {
            const QByteArray payload = standin::decode_nibbles(m.body);
            proto::Preset preset;
            preset.ParsePartialFromArray(payload.constData(), static_cast<int>(payload.size()));
            presets.push_back(preset);
        }
    }
    return presets;
}

QList<int> ids_of(const std::vector<proto::Preset>& presets) {
    QList<int> ids;
    for (const proto::Preset& preset : presets) {
        ids << static_cast<int>(preset.id());
    }
    return ids;
}

QString progress(int id) {
    return QStringLiteral("WORK IN PROGRESS\n%1/256").arg(id);
}

// Records the status panel's text into `texts` each time an import reaches the stand-in.
void record_progress(rig& r, QStringList& texts) {
    QObject::connect(&r.synth, &standin::synthesizer::received, &r.synth,
                     [&r, &texts](const standin::message& m) {
                         if (m.command == command::preset_import) {
                             texts << r.status_text();
                         }
                     });
}

void expect_not_enough(rig& r, int count, const QString& button,
                       const QString& informative = QStringLiteral("ARE YOU SURE?")) {
    r.answers.click(button,
                    {.title = QStringLiteral("NOT ENOUGH PRESETS"),
                     .text = QStringLiteral("ONLY %1 PRESETS FOUND ON YOUR LAST BACKUP").arg(count),
                     .informative_text = informative});
}

// The window after a restore that never opened the link.
void check_nothing_opened(const rig& r) {
    QVERIFY(!r.port_open());
    QVERIFY(r.synth.messages().empty());
    QVERIFY(r.buttons_enabled());
    QCOMPARE(r.engine().running(), vortan_gui::operation::none);
}

// The window after a restore that ran to its end: buttons back, port still open.
void check_restore_ended(const rig& r, const QString& notice) {
    VORTAN_TRY_COMPARE(r.status_text(), notice, 60000);
    QVERIFY(r.buttons_enabled());
    QVERIFY(!r.spinner_running());
    QVERIFY(r.port_open());
    QVERIFY(!r.window->operation_timer->isActive());
    QCOMPARE(r.engine().running(), vortan_gui::operation::none);
    QCOMPARE(r.window->update_state(), vortan_gui::idle);
}

// A preset as a later firmware writes it: fields of today's schema followed by fields it
// does not know, of every wire type, at the top and inside a nested message. The bytes are
// in the order a serializer of today's schema gives them.
QByteArray preset_with_newer_fields(int slot) {
    proto::Preset preset = standin::make_factory_preset(slot);
    proto::EnvelopePreset* envelope = preset.mutable_vca_eg();
    envelope->GetReflection()->MutableUnknownFields(envelope)->AddVarint(9, 7);
    google::protobuf::UnknownFieldSet* top = preset.GetReflection()->MutableUnknownFields(&preset);
    top->AddVarint(100, 300);
    top->AddFixed32(101, 0xDEADBEEFu);
    top->AddFixed64(102, 0x0123456789ABCDEFull);
    top->AddLengthDelimited(103, std::string("opaque\0\xff bytes", 15));
    // A nested message of the newer schema: field 1, varint 5.
    top->AddLengthDelimited(104, std::string("\x08\x05", 2));
    std::string bytes;
    preset.SerializePartialToString(&bytes);
    return QByteArray::fromStdString(bytes);
}

} // namespace

class tst_e2e_restore : public QObject {
    Q_OBJECT

private slots:
    // The confirmation depends on the number of presets in the latest backup; on OK they
    // go out in bank order, at most 256, and the stand-in holds each as it was in its file.
    void confirmation_by_count_data() {
        QTest::addColumn<QList<int>>("sizes"); // presets per bank folder
        QTest::addColumn<QList<int>>("ids");   // in bank order
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("informative");
        QTest::addColumn<bool>("answer");
        QTest::addColumn<int>("sent");

        const QString full_title = QStringLiteral("IMPORT TO VORTAN");
        const QString full_text =
            QStringLiteral("THIS ACTION WILL OVERWRITE THE PRESETS IN VORTAN");
        const QString full_informative = QStringLiteral("ARE YOU SURE YOU WANT TO PROCEED?");
        const QString many_title = QStringLiteral("TOO MANY PRESETS");
        const QString many_text = QStringLiteral("ONLY THE FIRST 256 PRESETS WILL BE SEND");
        const QString few_title = QStringLiteral("NOT ENOUGH PRESETS");
        const QString few_informative = QStringLiteral("ARE YOU SURE?");
        const QList<int> full{64, 64, 64, 64};
        const QList<int> over{75, 75, 75, 75};
        const QList<int> few{2, 0, 1};

        QTest::newRow("256 presets, OK")
            << full << first_ids(256) << full_title << full_text << full_informative << true << 256;
        QTest::newRow("256 presets, NO")
            << full << first_ids(256) << full_title << full_text << full_informative << false << 0;
        QTest::newRow("300 presets, OK: the first 256 in bank order")
            << over << first_ids(300) << many_title << many_text << QString() << true << 256;
        QTest::newRow("300 presets, NO")
            << over << first_ids(300) << many_title << many_text << QString() << false << 0;
        QTest::newRow("3 presets, bank order before id order, OK")
            << few << QList<int>{200, 201, 5} << few_title
            << QStringLiteral("ONLY 3 PRESETS FOUND ON YOUR LAST BACKUP") << few_informative << true
            << 3;
        QTest::newRow("3 presets, NO") << few << QList<int>{200, 201, 5} << few_title
                                       << QStringLiteral("ONLY 3 PRESETS FOUND ON YOUR LAST BACKUP")
                                       << few_informative << false << 0;
        QTest::newRow("empty bank folders, OK")
            << QList<int>{0, 0, 0, 0} << QList<int>{} << few_title
            << QStringLiteral("ONLY 0 PRESETS FOUND ON YOUR LAST BACKUP") << few_informative << true
            << 0;
    }
    void confirmation_by_count() {
        QFETCH(QList<int>, sizes);
        QFETCH(QList<int>, ids);
        QFETCH(QString, title);
        QFETCH(QString, text);
        QFETCH(QString, informative);
        QFETCH(bool, answer);
        QFETCH(int, sent);
        rig r;
        r.synth.forget_presets();
        const banks_t banks = make_banks(sizes, ids);
        QVERIFY(write_backup(r, latest_name, banks));
        // An older backup that must not be taken.
        banks_t older(1);
        older[0].push_back(numbered(99));
        older[0][0].set_name("FROM THE OLDER BACKUP");
        QVERIFY(write_backup(r, QStringLiteral("20_01_01_10_00"), older));
        QStringList texts;
        record_progress(r, texts);

        r.select_port();
        r.answers.click(answer ? ok : no,
                        {.title = title, .text = text, .informative_text = informative});
        r.click(r.ui().button_send);
        r.check_answers();
        if (sent == 0) {
            check_nothing_opened(r);
            return;
        }
        check_restore_ended(r, succeeded_notice);
        QCOMPARE(ids_of(imported(r.synth)), ids.mid(0, sent));
        QStringList expected_progress;
        for (const int id : ids.mid(0, sent)) {
            expected_progress << progress(id);
        }
        QCOMPARE(texts, expected_progress);
        for (const auto& bank : banks) {
            for (const proto::Preset& preset : bank) {
                if (ids.indexOf(static_cast<int>(preset.id())) < sent) {
                    QCOMPARE(r.synth.preset_bytes(static_cast<int>(preset.id())).value_or(""),
                             preset_to_byteArray(preset));
                }
            }
        }
        for (const proto::Preset& preset : imported(r.synth)) {
            QVERIFY(preset.name() != older[0][0].name());
        }
    }

    void no_backup_folder() {
        rig r;
        r.select_port();
        r.click(r.ui().button_send);
        r.check_answers();
        QCOMPARE(r.status_text(), QStringLiteral("ERROR\nNO BACKUP FOUND"));
        check_nothing_opened(r);
    }

    // Every import is watched from its sending to its answer: one that gets no answer, the
    // first or a later one, ends the restore after the answer time-out and nothing more is
    // sent; a slow synthesizer that answers each import in time is not cut short, however
    // long the whole restore takes.
    void every_import_is_watched_data() {
        QTest::addColumn<int>("silent_from"); // 0: never
        QTest::addColumn<int>("answer_delay_ms");
        QTest::addColumn<QString>("notice");
        QTest::newRow("no answer to the first import")
            << 1 << 0 << QStringLiteral("ERROR\nSEND FAILED");
        QTest::newRow("no answer to the third import")
            << 3 << 0 << QStringLiteral("ERROR\nSEND FAILED");
        QTest::newRow("each answer after 0.3 s of the 0.5 s watch, 1.5 s in all")
            << 0 << 300 << succeeded_notice;
    }
    void every_import_is_watched() {
        QFETCH(int, silent_from);
        QFETCH(int, answer_delay_ms);
        QFETCH(QString, notice);
        rig r;
        r.engine().timing.answer = std::chrono::milliseconds{500};
        QVERIFY(write_backup(r, latest_name, make_banks({5}, first_ids(5))));
        r.synth.set_answer_delay(answer_delay_ms);
        int imports = 0;
        QObject::connect(&r.synth, &standin::synthesizer::received, &r.synth,
                         [&](const standin::message& m) {
                             if (m.command == command::preset_import && ++imports == silent_from) {
                                 r.synth.set_silent(true);
                             }
                         });
        r.select_port();
        expect_not_enough(r, 5, ok);
        r.click(r.ui().button_send);
        r.check_answers();
        VORTAN_TRY_COMPARE(r.status_text(), notice, 30000);
        QCOMPARE(imports, silent_from == 0 ? 5 : silent_from);
        QCOMPARE(r.port_open(), silent_from == 0);
        QVERIFY(r.buttons_enabled());
        QVERIFY(!r.spinner_running());
        QVERIFY(!r.window->operation_timer->isActive());
        QCOMPARE(r.engine().running(), vortan_gui::operation::none);
    }

    // A refused import does not stop the restore, but the restore succeeds only when the
    // synthesizer took every preset. After a refusal the progress text stays.
    void refused_imports_data() {
        QTest::addColumn<QList<int>>("ids");
        QTest::addColumn<QList<int>>("refused");
        QTest::addColumn<QString>("notice");
        QTest::newRow("none refused") << QList<int>{0, 1, 2} << QList<int>{} << succeeded_notice;
        QTest::newRow("the first refused")
            << QList<int>{0, 1, 2} << QList<int>{0} << terminated_notice;
        QTest::newRow("a middle one refused")
            << QList<int>{0, 1, 2} << QList<int>{1} << terminated_notice;
        QTest::newRow("the last refused")
            << QList<int>{0, 1, 2} << QList<int>{2} << terminated_notice;
        QTest::newRow("every one refused")
            << QList<int>{0, 1, 2} << QList<int>{0, 1, 2} << terminated_notice;
        QTest::newRow("a single preset, taken")
            << QList<int>{7} << QList<int>{} << succeeded_notice;
        QTest::newRow("a single preset, refused")
            << QList<int>{7} << QList<int>{7} << terminated_notice;
    }
    void refused_imports() {
        QFETCH(QList<int>, ids);
        QFETCH(QList<int>, refused);
        QFETCH(QString, notice);
        rig r;
        r.synth.forget_presets();
        QVERIFY(write_backup(r, latest_name, make_banks({static_cast<int>(ids.size())}, ids)));
        r.synth.set_refused_import_ids(std::set<std::uint32_t>(refused.begin(), refused.end()));
        QStringList texts;
        record_progress(r, texts);
        r.select_port();
        expect_not_enough(r, static_cast<int>(ids.size()), ok);
        r.click(r.ui().button_send);
        r.check_answers();
        check_restore_ended(r, notice);
        QCOMPARE(ids_of(imported(r.synth)), ids);
        QStringList expected_progress{progress(ids.front())};
        for (qsizetype k = 1; k < ids.size(); ++k) {
            expected_progress << (refused.contains(ids[k - 1]) ? expected_progress.back()
                                                               : progress(ids[k]));
        }
        QCOMPARE(texts, expected_progress);
        for (const int id : ids) {
            QCOMPARE(r.synth.preset(id).has_value(), !refused.contains(id));
        }
    }

    // Files that were not read completely are not sent; the confirmation says how many were
    // left out, and the slots they stand for keep what they held.
    void damaged_files_are_left_out_and_counted_data() {
        QTest::addColumn<QStringList>("damage");
        QTest::addColumn<QString>("informative");
        QTest::newRow("four kinds of damage")
            << QStringList{"truncated", "not a preset", "no id", "binary"}
            << QStringLiteral("4 DAMAGED PRESETS WILL BE LEFT OUT\nARE YOU SURE?");
        QTest::newRow("one truncated file")
            << QStringList{"truncated"}
            << QStringLiteral("1 DAMAGED PRESET WILL BE LEFT OUT\nARE YOU SURE?");
        QTest::newRow("links, a FIFO: no regular files")
            << QStringList{"link to /dev/zero", "link to a FIFO", "FIFO", "link to a preset file"}
            << QStringLiteral("4 DAMAGED PRESETS WILL BE LEFT OUT\nARE YOU SURE?");
        QTest::newRow("a whole preset text padded past 1 MiB")
            << QStringList{"over 1 MiB"}
            << QStringLiteral("1 DAMAGED PRESET WILL BE LEFT OUT\nARE YOU SURE?");
        QTest::newRow("a preset over 1 MiB on the wire")
            << QStringList{"too large to send"}
            << QStringLiteral("1 DAMAGED PRESET WILL BE LEFT OUT\nARE YOU SURE?");
        QTest::newRow("a file name that is not UTF-8")
            << QStringList{"name not UTF-8"}
            << QStringLiteral("1 DAMAGED PRESET WILL BE LEFT OUT\nARE YOU SURE?");
    }
    void damaged_files_are_left_out_and_counted() {
        QFETCH(QStringList, damage);
        QFETCH(QString, informative);
        const std::map<QString, int> slot_of{{"truncated", 3},
                                             {"not a preset", 70},
                                             {"no id", 140},
                                             {"binary", 255},
                                             {"link to /dev/zero", 10},
                                             {"link to a FIFO", 20},
                                             {"FIFO", 30},
                                             {"link to a preset file", 40},
                                             {"over 1 MiB", 80},
                                             {"too large to send", 90},
                                             {"name not UTF-8", 100}};
        rig r;
        const banks_t banks = make_banks({64, 64, 64, 64}, first_ids(256));
        QVERIFY(write_backup(r, latest_name, banks));
        const QString outside = r.window->data_location + QStringLiteral("/outside");
        QVERIFY(QDir().mkpath(outside));
        QVERIFY(::mkfifo(QFile::encodeName(outside + "/fifo").constData(), 0600) == 0);
        QList<QByteArray> raw_names;
        const auto remove_raw = qScopeGuard([&raw_names] {
            for (const QByteArray& raw : raw_names) {
                ::unlink(raw.constData());
            }
        });
        QList<int> damaged;
        for (const QString& kind : damage) {
            const int slot = slot_of.at(kind);
            damaged << slot;
            const proto::Preset& preset = banks[static_cast<std::size_t>(slot) / 64][slot % 64];
            const QString path =
                preset_path(r, latest_name, static_cast<unsigned>(slot / 64), preset);
            const QByteArray printed = QByteArray::fromStdString(print_preset(preset));
            QByteArray content = printed;
            if (kind == "truncated") {
                // Cut inside the first nested message, before its closing brace.
                content.truncate(content.indexOf("{\n") + 6);
            } else if (kind == "not a preset") {
                content = "THIS IS NOT A PRESET\n";
            } else if (kind == "no id") {
                proto::Preset without_id = preset;
                without_id.clear_id();
                content = QByteArray::fromStdString(print_preset(without_id));
            } else if (kind == "binary") {
                content.clear();
                for (int b = 0; b < 256; ++b) {
                    content.append(static_cast<char>(b));
                }
            } else if (kind == "too large to send") {
                // Each "0," of the list is a float of five bytes on the wire.
                content = "id: " + QByteArray::number(slot) +
                          "\nmodulator1 {\n  step_sequencer_levels: [0";
                for (std::size_t i = 1; i < max_preset_size / 4; ++i) {
                    content += ",0";
                }
                content += "]\n}\n";
                QVERIFY(static_cast<std::size_t>(content.size()) < max_preset_size);
            }
            QVERIFY(QFile::remove(path));
            if (kind == "link to /dev/zero") {
                QVERIFY(QFile::link(QStringLiteral("/dev/zero"), path));
            } else if (kind == "link to a FIFO") {
                QVERIFY(QFile::link(outside + "/fifo", path));
            } else if (kind == "FIFO") {
                QVERIFY(::mkfifo(QFile::encodeName(path).constData(), 0600) == 0);
            } else if (kind == "link to a preset file") {
                QVERIFY(write_whole_file(outside + "/preset.txt", printed));
                QVERIFY(QFile::link(outside + "/preset.txt", path));
            } else if (kind == "over 1 MiB") {
                QVERIFY(write_whole_file(
                    path, printed + QByteArray(static_cast<qsizetype>(max_preset_size) + 1 -
                                                   printed.size(),
                                               '\n')));
            } else if (kind == "name not UTF-8") {
                const QByteArray raw = QFile::encodeName(bank_folder(
                                           r, latest_name, static_cast<unsigned>(slot / 64))) +
                                       "/" + QByteArray::number(slot) + ".\xff\xfe.txt";
                // The data home's QTemporaryDir cannot spell the name to remove it.
                raw_names << raw;
                const int fd = ::open(raw.constData(), O_WRONLY | O_CREAT | O_EXCL, 0644);
                QVERIFY(fd >= 0);
                QCOMPARE(::write(fd, printed.constData(), static_cast<std::size_t>(printed.size())),
                         static_cast<ssize_t>(printed.size()));
                QCOMPARE(::close(fd), 0);
            } else {
                QVERIFY(write_whole_file(path, content));
            }
            proto::Preset marker;
            marker.set_id(static_cast<std::uint32_t>(slot));
            marker.set_name("untouched");
            r.synth.set_preset(slot, marker);
        }
        r.select_port();
        expect_not_enough(r, 256 - static_cast<int>(damaged.size()), ok, informative);
        r.click(r.ui().button_send);
        r.check_answers();
        check_restore_ended(r, succeeded_notice);
        QList<int> expected = first_ids(256);
        for (const int slot : damaged) {
            expected.removeAll(slot);
            QCOMPARE(r.synth.preset(slot)->name(), std::string("untouched"));
        }
        QCOMPARE(ids_of(imported(r.synth)), expected);
    }

    // Only the folders "BANK A" to "BANK D" (letters in either case) are banks, each by its
    // name: a stray folder beside them takes no bank's place and is not sent.
    void only_bank_folders_are_banks_data() {
        QTest::addColumn<QStringList>("bank_folders"); // as named on disk, bank A to D
        QTest::addColumn<QString>("stray");
        QTest::newRow("__MACOSX beside the banks")
            << QStringList{"BANK A", "BANK B", "BANK C", "BANK D"} << QStringLiteral("__MACOSX");
        QTest::newRow("banks in lower case beside a stray folder")
            << QStringList{"bank a", "Bank B", "BANK c", "bank d"} << QStringLiteral("0 stray");
    }
    void only_bank_folders_are_banks() {
        QFETCH(QStringList, bank_folders);
        QFETCH(QString, stray);
        rig r;
        const banks_t banks = make_banks({64, 64, 64, 64}, first_ids(256));
        QVERIFY(write_backup(r, latest_name, banks));
        const QString backup = r.backup_root() + QDir::separator() + latest_name;
        for (unsigned bank = 0; bank < bank_count; ++bank) {
            const QString name = bank_folders[static_cast<int>(bank)];
            if (name != QString::fromStdString(preset_dir::bank_to_string(bank))) {
                QVERIFY(QDir(backup).rename(
                    QString::fromStdString(preset_dir::bank_to_string(bank)), name));
            }
        }
        proto::Preset stray_preset = numbered(7);
        stray_preset.set_name("STRAY");
        QVERIFY(QDir().mkpath(backup + '/' + stray));
        QVERIFY(write_whole_file(backup + '/' + stray + "/007.STRAY.txt",
                                 QByteArray::fromStdString(print_preset(stray_preset))));
        r.synth.forget_presets();

        r.select_port();
        r.answers.click(ok,
                        {.title = QStringLiteral("IMPORT TO VORTAN"),
                         .text = QStringLiteral("THIS ACTION WILL OVERWRITE THE PRESETS IN VORTAN"),
                         .informative_text = QStringLiteral("ARE YOU SURE YOU WANT TO PROCEED?")});
        r.click(r.ui().button_send);
        r.check_answers();
        check_restore_ended(r, succeeded_notice);
        QCOMPARE(ids_of(imported(r.synth)), first_ids(256));
        for (const auto& bank : banks) {
            for (const proto::Preset& preset : bank) {
                QCOMPARE(r.synth.preset_bytes(static_cast<int>(preset.id())).value_or(""),
                         preset_to_byteArray(preset));
            }
        }
    }

    // Files that carry one id: the first in sending order is sent, the later ones are left
    // out, and the confirmation names the files. No slot is sent twice, none is dropped.
    void clashing_ids_are_sent_once_data() {
        QTest::addColumn<QStringList>("extra"); // "bank folder/file name=id"
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("informative");
        QTest::newRow("a copy beside the original")
            << QStringList{"BANK A/005.copy.txt=5"} << QStringLiteral("IMPORT TO VORTAN")
            << QStringLiteral("THIS ACTION WILL OVERWRITE THE PRESETS IN VORTAN")
            << QStringLiteral("1 PRESET WITH A CLASHING ID WILL BE LEFT OUT\n"
                              "ID 5: BANK A/005.Alpha.txt IS SENT, NOT BANK A/005.copy.txt\n"
                              "ARE YOU SURE YOU WANT TO PROCEED?");
        QTest::newRow("copies in later banks, a damaged file, a bank missing its last preset")
            << QStringList{"BANK C/150.copy.txt=5", "BANK D/250.again.txt=5",
                           "BANK B/100.copy.txt=70", "BANK B/101.cut.txt=cut", "BANK D/255.*=gone"}
            << QStringLiteral("NOT ENOUGH PRESETS")
            << QStringLiteral("ONLY 255 PRESETS FOUND ON YOUR LAST BACKUP")
            << QStringLiteral("1 DAMAGED PRESET WILL BE LEFT OUT\n"
                              "3 PRESETS WITH CLASHING IDS WILL BE LEFT OUT\n"
                              "ID 70: BANK B/070.Seventy.txt IS SENT, NOT BANK B/100.copy.txt\n"
                              "ID 5: BANK A/005.Alpha.txt IS SENT, NOT BANK C/150.copy.txt, "
                              "BANK D/250.again.txt\n"
                              "ARE YOU SURE?");
        // Ten ids clash: eight are named, the rest summed up.
        QStringList copies;
        QStringList lines{QStringLiteral("10 PRESETS WITH CLASHING IDS WILL BE LEFT OUT")};
        for (int id = 0; id < 10; ++id) {
            const QString copy = QStringLiteral("BANK D/%1.copy.txt").arg(300 + id);
            copies << copy + '=' + QString::number(id);
            proto::Preset original = numbered(id);
            if (id == 5) {
                original.set_name("Alpha");
            }
            if (id < 8) {
                lines << QStringLiteral("ID %1: BANK A/%2 IS SENT, NOT %3")
                             .arg(id)
                             .arg(preset_file_name(original), copy);
            }
        }
        lines << QStringLiteral("AND 2 MORE CLASHING IDS")
              << QStringLiteral("ARE YOU SURE YOU WANT TO PROCEED?");
        QTest::newRow("ten clashing ids")
            << copies << QStringLiteral("IMPORT TO VORTAN")
            << QStringLiteral("THIS ACTION WILL OVERWRITE THE PRESETS IN VORTAN")
            << lines.join('\n');
    }
    void clashing_ids_are_sent_once() {
        QFETCH(QStringList, extra);
        QFETCH(QString, title);
        QFETCH(QString, text);
        QFETCH(QString, informative);
        rig r;
        banks_t banks = make_banks({64, 64, 64, 64}, first_ids(256));
        banks[0][5].set_name("Alpha");
        banks[1][70 - 64].set_name("Seventy");
        QVERIFY(write_backup(r, latest_name, banks));
        const QString backup = r.backup_root() + QDir::separator() + latest_name;
        QList<int> expected = first_ids(256);
        for (const QString& entry : extra) {
            const QString file = entry.section('=', 0, 0);
            const QString what = entry.section('=', 1);
            if (what == "gone") {
                QVERIFY(QFile::remove(preset_path(r, latest_name, 3, banks[3][63])));
                expected.removeAll(255);
                continue;
            }
            proto::Preset copy = numbered(what == "cut" ? 0 : what.toInt());
            copy.set_name("COPY");
            QByteArray content = QByteArray::fromStdString(print_preset(copy));
            if (what == "cut") {
                content = "id: 101\nvcf {\n";
            }
            QVERIFY(write_whole_file(backup + '/' + file, content));
        }
        r.synth.forget_presets();

        r.select_port();
        r.answers.click(ok, {.title = title, .text = text, .informative_text = informative});
        r.click(r.ui().button_send);
        r.check_answers();
        check_restore_ended(r, succeeded_notice);
        QCOMPARE(ids_of(imported(r.synth)), expected);
        QCOMPARE(r.synth.preset(5)->name(), std::string("Alpha"));
        QCOMPARE(r.synth.preset(70)->name(), std::string("Seventy"));
    }

    // The device goes away in the middle: one DISCONNECTED box, the link closed, nothing
    // more sent.
    void the_device_vanishes_during_the_restore() {
        rig r;
        QVERIFY(write_backup(r, latest_name, make_banks({64, 64, 64, 64}, first_ids(256))));
        r.synth.vanish_after_messages(10);
        r.select_port();
        r.answers.click(ok, {.title = QStringLiteral("IMPORT TO VORTAN")});
        r.answers.click(ok, {.title = QStringLiteral("ERROR"),
                             .text = QStringLiteral("DISCONNECTED"),
                             .informative_text = QString()});
        r.click(r.ui().button_send);
        r.check_answers(60000);
        QVERIFY(r.synth.has_vanished());
        QCOMPARE(imported(r.synth).size(), std::size_t{10});
        QVERIFY(!r.port_open());
        QVERIFY(r.buttons_enabled());
        QVERIFY(!r.spinner_running());
        QVERIFY(!r.window->operation_timer->isActive());
        QCOMPARE(r.engine().running(), vortan_gui::operation::none);
        QCOMPARE(r.answers.seen().size(), 3);
    }

    // An answer the restore does not wait for (a second answer to its last import, one
    // after it ended) changes nothing and sends nothing.
    void answers_after_the_restore_are_ignored() {
        // F0 00 2B 17 00 04 | 0C preset_import_succeeded | F7
        const QByteArray import_succeeded = QByteArray::fromHex("f0002b1700040cf7");
        // F0 00 2B 17 00 04 | 0D preset_import_failed | F7
        const QByteArray import_failed = QByteArray::fromHex("f0002b1700040df7");
        rig r;
        scripted_device device;
        QVERIFY(device.valid());
        r.catalog->ports[quillmar::test::standin_port_name] = device.port_path();
        QVERIFY(write_backup(r, latest_name, make_banks({1}, {5})));
        r.select_port();
        expect_not_enough(r, 1, ok);
        r.click(r.ui().button_send);
        r.check_answers();
        VORTAN_TRY_VERIFY(device.received().endsWith('\xf7'), 5000);
        const QByteArray sent = device.received();
        QVERIFY(sent.startsWith(QByteArray::fromHex("f0002b1700040b")));

        QVERIFY(device.send(import_succeeded + import_succeeded));
        check_restore_ended(r, succeeded_notice);
        QSignalSpy read(r.window->port, &QIODevice::readyRead);
        QVERIFY(device.send(import_failed));
        VORTAN_TRY_VERIFY(!read.isEmpty(), 5000);
        QCOMPARE(r.status_text(), succeeded_notice);
        QVERIFY(r.window->restore_cursor() == r.window->restore_list().end());
        QCOMPARE(r.window->port->bytesToWrite(), qint64{0});
        QCOMPARE(device.received(), sent);
        QVERIFY(r.buttons_enabled());
    }

    // The round trip a user relies on: the presets backed up with BACKUP come back with
    // RESTORE byte for byte, fields of a newer firmware included.
    void backup_then_restore_gives_every_preset_back() {
        rig r;
        constexpr int newer_slot = 42;
        r.synth.set_preset_bytes(newer_slot, preset_with_newer_fields(newer_slot));
        std::vector<QByteArray> originals;
        bool dotted = false;
        bool non_ascii = false;
        bool unnamed = false;
        for (int slot = 0; slot < standin::preset_slot_count; ++slot) {
            originals.push_back(r.synth.preset_bytes(slot).value_or(QByteArray()));
            const std::string name = r.synth.preset(slot)->name();
            dotted |= name.find('.') != std::string::npos;
            non_ascii |= std::any_of(name.begin(), name.end(),
                                     [](char c) { return static_cast<unsigned char>(c) > 0x7F; });
            unnamed |= name.empty();
        }
        QVERIFY(dotted && non_ascii && unnamed);

        r.select_port();
        r.click(r.ui().button_backup);
        r.check_answers();
        VORTAN_TRY_COMPARE(r.status_text(), QStringLiteral("BACKUP SUCCEEDED"), 60000);
        r.synth.forget_presets();
        QCOMPARE(r.synth.preset_count(), 0);

        r.select_port();
        r.answers.click(ok, {.title = QStringLiteral("IMPORT TO VORTAN")});
        r.click(r.ui().button_send);
        r.check_answers();
        check_restore_ended(r, succeeded_notice);
        for (int slot = 0; slot < standin::preset_slot_count; ++slot) {
            QCOMPARE(r.synth.preset_bytes(slot).value_or(""), originals[slot]);
        }
    }
};

VORTAN_TEST_MAIN(tst_e2e_restore)
#include "tst_e2e_restore.moc"
