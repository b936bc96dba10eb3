// vortan-cli COMMAND [OPTIONS]: the tool's operations from a terminal or a script. Data goes
// to standard output, progress and messages to standard error.

#include "cli.h"

#include "backup_store.h"
#include "operation_engine.h"
#include "preset_diff.h"
#include "preset_text.h"
#include "presets_dir.h"
#include "terminal_host.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSerialPortInfo>
#include <QStandardPaths>
#include <QTextStream>

#include <QSocketNotifier>

#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace quillmar::cli {

namespace {

// Tests shorten how long the operations wait for the synthesizer's answers with this
// variable, in milliseconds; the program never needs it.
constexpr const char* answer_ms_variable = "VORTAN_CLI_ANSWER_MS";
constexpr int max_answer_ms = 600000;
static_assert(max_answer_ms >= 5000,
              "The test variable can set an answer watch at least as long as the real one.");

const QString succeeded_backup_notice = QStringLiteral("BACKUP SUCCEEDED");
const QString succeeded_restore_notice = QStringLiteral("RESTORE SUCCEEDED");
const QString succeeded_update_notice = QStringLiteral("UPDATE SUCCEEDED\nRESTART THE UNIT");
const QString port_error_title = QStringLiteral("PORT ERROR");

QTextStream& out() {
    static QTextStream stream(stdout);
    return stream;
}

QTextStream& err() {
    static QTextStream stream(stderr);
    return stream;
}

// The FOLDER argument of the commands that read or edit a backup folder.
void add_folder_argument(QCommandLineParser& parser, const QString& name) {
    parser.addPositionalArgument(name, QStringLiteral("A folder name under datesaves, or a path."));
}

struct command {
    QString name;
    QString summary;
    // Adds the command's options and arguments.
    std::function<void(QCommandLineParser&)> declare;
    // How many positional arguments the command takes at most.
    int max_positionals = 0;
    std::function<int(const QCommandLineParser&)> run;
};

const QCommandLineOption port_option(QStringLiteral("port"),
                                     QStringLiteral("The synthesizer's serial port: a device path "
                                                    "(a pseudo-terminal too) or a port name."),
                                     QStringLiteral("PORT"));
const QCommandLineOption data_option(QStringLiteral("data"),
                                     QStringLiteral("The data folder holding datesaves, instead "
                                                    "of the per-user one."),
                                     QStringLiteral("DIR"));
const QCommandLineOption quiet_option({QStringLiteral("q"), QStringLiteral("quiet")},
                                      QStringLiteral("No progress lines."));
const QCommandLineOption yes_option(QStringLiteral("yes"),
                                    QStringLiteral("Answer OK to every question."));
const QCommandLineOption image_option(QStringLiteral("image"),
                                      QStringLiteral("The firmware image to send, instead of "
                                                     "Resources/firmware.sys beside the program."),
                                      QStringLiteral("FILE"));
const QCommandLineOption json_option(QStringLiteral("json"),
                                     QStringLiteral("Print JSON instead of text."));

QString data_location(const QCommandLineParser& parser) {
    if (parser.isSet(data_option)) {
        return QDir(parser.value(data_option)).absolutePath();
    }
    return QStandardPaths::writableLocation(QStandardPaths::DataLocation);
}

// The answer watch from the test variable, when it is set to a sound number.
void apply_test_timings(timings& timing) {
    if (!qEnvironmentVariableIsSet(answer_ms_variable)) {
        return;
    }
    bool ok = false;
    const int ms = qEnvironmentVariableIntValue(answer_ms_variable, &ok);
    if (ok && ms > 0 && ms <= max_answer_ms) {
        timing.answer = std::chrono::milliseconds{ms};
        timing.export_watch = std::chrono::milliseconds{ms};
    }
}

// The ports the system lists, USB serial ports first.
std::vector<QSerialPortInfo> listed_ports() {
    std::vector<QSerialPortInfo> usb;
    std::vector<QSerialPortInfo> others;
    for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts()) {
        (info.hasVendorIdentifier() ? usb : others).push_back(info);
    }
    usb.insert(usb.end(), others.begin(), others.end());
    return usb;
}

// The port to use: --port as given (a path, or a listed port's name), else the only USB
// serial port. Without one, the reason and the choices are written to standard error.
std::optional<QString> resolve_port(const QCommandLineParser& parser) {
    if (parser.isSet(port_option)) {
        const QString given = parser.value(port_option).trimmed();
        if (given.isEmpty()) {
            err() << "NO PORT GIVEN" << Qt::endl;
            return std::nullopt;
        }
        if (given.contains(QLatin1Char('/'))) {
            return given;
        }
        for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts()) {
            if (info.portName() == given) {
                return info.systemLocation();
            }
        }
        return given;
    }
    std::vector<QSerialPortInfo> usb;
    for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts()) {
        if (info.hasVendorIdentifier()) {
            usb.push_back(info);
        }
    }
    if (usb.size() == 1) {
        return usb.front().systemLocation();
    }
    err() << (usb.empty() ? "ERROR: VORTAN NOT CONNECTED: NO USB SERIAL PORT"
                          : "ERROR: SEVERAL USB SERIAL PORTS: CHOOSE ONE WITH --port")
          << Qt::endl;
    const std::vector<QSerialPortInfo> ports = listed_ports();
    if (!ports.empty()) {
        err() << "PORTS:" << Qt::endl;
        for (const QSerialPortInfo& info : ports) {
            err() << "  " << info.portName() << "  " << info.systemLocation() << Qt::endl;
        }
    }
    return std::nullopt;
}

// Ctrl-C while an operation runs: the signal handler only writes one byte into a socket
// pair, and the event loop reads it and asks the engine to stop.
int interrupt_pipe[2] = {-1, -1};

extern "C" void on_interrupt_signal(int) {
    if (question_open != 0) {
        ::signal(SIGINT, SIG_DFL);
        ::raise(SIGINT);
        return;
    }
    const char byte = 1;
    // Nothing can be done about a full pipe: an interrupt is pending then anyway.
    [[maybe_unused]] const ssize_t written = ::write(interrupt_pipe[0], &byte, 1);
}

// Catches SIGINT for as long as it lives, and gives the default back at the end.
class interrupt_watch {
public:
    explicit interrupt_watch(std::function<void()> on_interrupt)
        : handler(std::move(on_interrupt)) {
        if (::socketpair(AF_UNIX, SOCK_STREAM, 0, interrupt_pipe) != 0) {
            return;
        }
        notifier = std::make_unique<QSocketNotifier>(interrupt_pipe[1], QSocketNotifier::Read);
        QObject::connect(notifier.get(), &QSocketNotifier::activated, [this] {
            char byte = 0;
            if (::read(interrupt_pipe[1], &byte, 1) == 1 && handler) {
                handler();
            }
        });
        struct sigaction action {};
        action.sa_handler = on_interrupt_signal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        ::sigaction(SIGINT, &action, &previous);
        installed = true;
    }
    ~interrupt_watch() {
        if (installed) {
            ::sigaction(SIGINT, &previous, nullptr);
        }
        notifier.reset();
        for (int& fd : interrupt_pipe) {
            if (fd >= 0) {
                ::close(fd);
                fd = -1;
            }
        }
    }
    interrupt_watch(const interrupt_watch&) = delete;
    interrupt_watch& operator=(const interrupt_watch&) = delete;

private:
    std::function<void()> handler;
    std::unique_ptr<QSocketNotifier> notifier;
    struct sigaction previous {};
    bool installed = false;
};

// Runs one operation on the engine until it has ended. `start` begins it and tells whether
// it did.
struct operation_outcome {
    bool started = false;
    bool port_failed = false;
    bool interrupted = false;
};

operation_outcome run_operation(operation_engine& engine, terminal_host& host,
                                const std::function<bool()>& start) {
    QEventLoop loop;
    host.on_step = [&engine, &loop] {
        if (engine.running() == operation_kind::none) {
            loop.quit();
        }
    };
    operation_outcome outcome;
    int interrupts = 0;
    const interrupt_watch watch([&] {
        ++interrupts;
        // An operation that has just ended is left as it ended.
        if (engine.running() == operation_kind::none) {
            return;
        }
        if (engine.interrupt()) {
            outcome.interrupted = true;
            if (engine.running() == operation_kind::none) {
                loop.quit();
            }
            return;
        }
        // A firmware transfer cut short can leave the synthesizer without a working
        // firmware: the first Ctrl-C only warns, a second one ends the program.
        if (interrupts == 1) {
            err() << "\nTHE FIRMWARE UPDATE IS RUNNING: STOPPING NOW CAN LEAVE VORTAN "
                     "UNUSABLE. PRESS CTRL-C AGAIN TO STOP ANYWAY"
                  << Qt::endl;
            return;
        }
        ::signal(SIGINT, SIG_DFL);
        ::raise(SIGINT);
    });
    outcome.started = start();
    if (outcome.started && engine.running() != operation_kind::none) {
        loop.exec();
    }
    host.on_step = nullptr;
    outcome.port_failed = host.message_titles().contains(port_error_title);
    return outcome;
}

int backup_command(const QCommandLineParser& parser) {
    const std::optional<QString> port = resolve_port(parser);
    if (!port) {
        return exit_no_port;
    }
    const QString data = data_location(parser);
    terminal_host host(port, parser.isSet(quiet_option), false, ::isatty(STDIN_FILENO) != 0);
    operation_engine engine(data, host);
    apply_test_timings(engine.timing);
    // The time the backup's folder is named after, as the engine read it.
    QDateTime named_at;
    engine.clock = [&named_at] {
        named_at = QDateTime::currentDateTime();
        return named_at;
    };
    const QString root = backup_root(data);
    const QStringList before = QDir(root).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    const operation_outcome outcome =
        run_operation(engine, host, [&engine] { return engine.start_backup(); });
    if (outcome.interrupted) {
        // The interrupted backup was settled as a failed one; its folder goes. Only a folder
        // that came during this run and carries the failed mark is removed.
        for (const QString& name : QDir(root).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
            if (!before.contains(name) && is_incomplete_backup_name(name)) {
                QDir(QDir(root).filePath(name)).removeRecursively();
            }
        }
        err() << "BACKUP INTERRUPTED: NO BACKUP FOLDER KEPT" << Qt::endl;
        return exit_failed;
    }
    if (outcome.port_failed) {
        return exit_no_port;
    }
    if (!outcome.started || host.notices().isEmpty() ||
        host.notices().constLast() != succeeded_backup_notice) {
        return exit_failed;
    }
    out() << QDir::toNativeSeparators(QDir(backup_root(data)).filePath(backup_name(named_at)))
          << Qt::endl;
    return exit_success;
}

int ports_command(const QCommandLineParser& parser) {
    QJsonArray list;
    for (const QSerialPortInfo& info : listed_ports()) {
        if (parser.isSet(json_option)) {
            QJsonObject port;
            port.insert(QStringLiteral("name"), info.portName());
            port.insert(QStringLiteral("location"), info.systemLocation());
            port.insert(QStringLiteral("usb"), info.hasVendorIdentifier());
            port.insert(QStringLiteral("description"), info.description());
            port.insert(QStringLiteral("manufacturer"), info.manufacturer());
            list.append(port);
        } else {
            out() << info.portName() << '\t' << info.systemLocation() << '\t'
                  << (info.hasVendorIdentifier() ? "USB" : "-") << '\t' << info.description()
                  << Qt::endl;
        }
    }
    if (parser.isSet(json_option)) {
        out() << QJsonDocument(list).toJson(QJsonDocument::Indented);
    }
    return exit_success;
}

// "2020-12-20 14:05" from a backup's name; empty when the name does not hold every field.
QString backup_date(const QString& name) {
    const backup_name_fields f = read_backup_name(name);
    if (!f.whole) {
        return QString();
    }
    return QStringLiteral("20%1-%2-%3 %4:%5")
        .arg(f.year, 2, 10, QLatin1Char('0'))
        .arg(f.month, 2, 10, QLatin1Char('0'))
        .arg(f.day, 2, 10, QLatin1Char('0'))
        .arg(f.hour, 2, 10, QLatin1Char('0'))
        .arg(f.minute, 2, 10, QLatin1Char('0'));
}

int backups_command(const QCommandLineParser& parser) {
    const QString root = backup_root(data_location(parser));
    // The backup names sort by age; hidden folders (a backup being made) are no backups.
    const QStringList names =
        QDir(root).entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::NoSymLinks, QDir::Name);
    QJsonArray list;
    for (const QString& name : names) {
        const preset_dir folder(QDir(root).filePath(name));
        const restore_selection selection = select_for_restore(folder);
        const bool incomplete = is_incomplete_backup_name(name);
        const QString date = backup_date(name);
        const auto presets = static_cast<qint64>(selection.presets.size());
        const auto damaged = static_cast<qint64>(selection.damaged);
        if (parser.isSet(json_option)) {
            QJsonObject entry;
            entry.insert(QStringLiteral("name"), name);
            entry.insert(QStringLiteral("path"), QDir(root).filePath(name));
            entry.insert(QStringLiteral("date"), date.isEmpty() ? QJsonValue() : QJsonValue(date));
            entry.insert(QStringLiteral("presets"), presets);
            entry.insert(QStringLiteral("damaged"), damaged);
            entry.insert(QStringLiteral("duplicates"), static_cast<qint64>(selection.clashing()));
            entry.insert(QStringLiteral("incomplete"), incomplete);
            list.append(entry);
        } else {
            out() << name << '\t' << (date.isEmpty() ? QStringLiteral("-") : date) << '\t'
                  << presets << " PRESETS\t" << damaged << " DAMAGED"
                  << (incomplete ? "\tINCOMPLETE" : "") << Qt::endl;
        }
    }
    if (parser.isSet(json_option)) {
        out() << QJsonDocument(list).toJson(QJsonDocument::Indented);
    }
    return exit_success;
}

// A backup folder given on the command line: a path to a folder, or a name under datesaves.
std::optional<QString> find_backup_folder(const QCommandLineParser& parser, const QString& given) {
    const QFileInfo as_path(given);
    if (given.contains(QLatin1Char('/')) && as_path.isDir()) {
        return as_path.absoluteFilePath();
    }
    const QFileInfo under_root(QDir(backup_root(data_location(parser))).filePath(given));
    if (!given.contains(QLatin1Char('/')) && under_root.isDir()) {
        return under_root.absoluteFilePath();
    }
    if (as_path.isDir()) {
        return as_path.absoluteFilePath();
    }
    err() << "NO SUCH BACKUP FOLDER: " << given << Qt::endl;
    return std::nullopt;
}

int show_command(const QCommandLineParser& parser) {
    const QStringList args = parser.positionalArguments();
    if (args.isEmpty()) {
        err() << "NO BACKUP FOLDER GIVEN" << Qt::endl;
        return exit_usage;
    }
    std::optional<std::uint32_t> wanted;
    if (args.size() > 1) {
        bool ok = false;
        const uint id = args.at(1).toUInt(&ok);
        if (!ok) {
            err() << "NOT A PRESET NUMBER: " << args.at(1) << Qt::endl;
            return exit_usage;
        }
        wanted = id;
    }
    const std::optional<QString> path = find_backup_folder(parser, args.first());
    if (!path) {
        return exit_failed;
    }
    const preset_dir folder(*path);
    const restore_selection selection = select_for_restore(folder);
    for (const proto::Preset& preset : selection.presets) {
        if (!wanted) {
            out() << QStringLiteral("%1").arg(preset.id(), 3, 10, QLatin1Char('0')) << '\t'
                  << QString::fromStdString(preset_dir::bank_to_string(preset.id() / bank_size))
                  << '\t' << QString::fromStdString(preset.name()) << Qt::endl;
        } else if (preset.id() == *wanted) {
            out() << QString::fromStdString(print_preset(preset)) << Qt::flush;
            return exit_success;
        }
    }
    if (wanted) {
        err() << "NO PRESET " << *wanted << " IN " << QDir::toNativeSeparators(*path) << Qt::endl;
        return exit_failed;
    }
    if (selection.damaged > 0) {
        err() << selection.damaged << " DAMAGED FILES LEFT OUT" << Qt::endl;
    }
    return exit_success;
}

// A command that asks before it acts needs someone to answer: a terminal, or --yes.
bool may_ask(const QCommandLineParser& parser, const QString& what) {
    if (parser.isSet(yes_option) || ::isatty(STDIN_FILENO) != 0) {
        return true;
    }
    err() << what << " ASKS BEFORE IT ACTS: RUN IT IN A TERMINAL OR WITH --yes" << Qt::endl;
    return false;
}

int restore_command(const QCommandLineParser& parser) {
    if (!may_ask(parser, QStringLiteral("RESTORE"))) {
        return exit_usage;
    }
    std::optional<QString> folder;
    if (!parser.positionalArguments().isEmpty()) {
        folder = find_backup_folder(parser, parser.positionalArguments().first());
        if (!folder) {
            return exit_failed;
        }
        // A failed backup's folder is never sent to the synthesizer.
        if (is_incomplete_backup_name(QFileInfo(*folder).fileName())) {
            err() << "NOT A BACKUP: " << QFileInfo(*folder).fileName() << " IS AN INCOMPLETE BACKUP"
                  << Qt::endl;
            return exit_failed;
        }
    }
    const std::optional<QString> port = resolve_port(parser);
    if (!port) {
        return exit_no_port;
    }
    terminal_host host(port, parser.isSet(quiet_option), parser.isSet(yes_option),
                       ::isatty(STDIN_FILENO) != 0);
    operation_engine engine(data_location(parser), host);
    apply_test_timings(engine.timing);
    const operation_outcome outcome = run_operation(
        engine, host, [&engine, &folder] { return engine.start_restore_from(folder); });
    const bool succeeded =
        !host.notices().isEmpty() && host.notices().constLast() == succeeded_restore_notice;
    if (outcome.interrupted && !succeeded) {
        err() << "RESTORE INTERRUPTED: " << engine.restore_answered() << " PRESETS SENT"
              << Qt::endl;
        return exit_failed;
    }
    if (outcome.port_failed) {
        return exit_no_port;
    }
    if (host.unanswerable_question()) {
        return exit_usage;
    }
    if (!outcome.started) {
        if (host.notices().isEmpty()) {
            err() << "RESTORE CANCELLED" << Qt::endl;
        }
        return exit_failed;
    }
    return !host.notices().isEmpty() && host.notices().constLast() == succeeded_restore_notice
               ? exit_success
               : exit_failed;
}

// The presets a backup folder holds by number: those a restore would send.
std::map<std::uint32_t, proto::Preset> presets_by_id(const QString& path, const QString& label) {
    const preset_dir folder(path);
    restore_selection selection = select_for_restore(folder);
    if (selection.damaged > 0 || selection.clashing() > 0) {
        err() << label << ": " << selection.damaged << " DAMAGED AND " << selection.clashing()
              << " CLASHING FILES LEFT OUT" << Qt::endl;
    }
    std::map<std::uint32_t, proto::Preset> presets;
    for (proto::Preset& preset : selection.presets) {
        presets.emplace(preset.id(), std::move(preset));
    }
    return presets;
}

int diff_command(const QCommandLineParser& parser) {
    const QStringList args = parser.positionalArguments();
    if (args.size() != 2) {
        err() << "TWO BACKUP FOLDERS NEEDED" << Qt::endl;
        return exit_usage;
    }
    const std::optional<QString> path_a = find_backup_folder(parser, args.at(0));
    const std::optional<QString> path_b = find_backup_folder(parser, args.at(1));
    if (!path_a || !path_b) {
        return exit_usage;
    }
    const std::map<std::uint32_t, proto::Preset> a = presets_by_id(*path_a, QStringLiteral("A"));
    const std::map<std::uint32_t, proto::Preset> b = presets_by_id(*path_b, QStringLiteral("B"));
    std::set<std::uint32_t> ids;
    for (const auto& [id, preset] : a) {
        ids.insert(id);
    }
    for (const auto& [id, preset] : b) {
        ids.insert(id);
    }
    const bool json = parser.isSet(json_option);
    QJsonArray differing;
    bool same = true;
    for (const std::uint32_t id : ids) {
        const QString number = QStringLiteral("%1").arg(id, 3, 10, QLatin1Char('0'));
        const auto in_a = a.find(id);
        const auto in_b = b.find(id);
        if (in_a == a.end() || in_b == b.end()) {
            same = false;
            const QString side = in_a == a.end() ? QStringLiteral("b") : QStringLiteral("a");
            if (json) {
                differing.append(QJsonObject{{QStringLiteral("id"), static_cast<qint64>(id)},
                                             {QStringLiteral("only_in"), side}});
            } else {
                out() << number << " ONLY IN " << side.toUpper() << Qt::endl;
            }
            continue;
        }
        const std::vector<field_change> changes = preset_changes(in_a->second, in_b->second);
        if (changes.empty()) {
            continue;
        }
        same = false;
        QJsonArray listed;
        for (const field_change& change : changes) {
            if (json) {
                listed.append(QJsonObject{{QStringLiteral("change"), change_name(change.what)},
                                          {QStringLiteral("path"), change.path},
                                          {QStringLiteral("a"), change.before},
                                          {QStringLiteral("b"), change.after}});
            } else {
                out() << number << ' ' << change.path << ": "
                      << (change.before.isEmpty() ? QStringLiteral("(NOT SET)")
                                                  : one_line(change.before))
                      << " -> "
                      << (change.after.isEmpty() ? QStringLiteral("(NOT SET)")
                                                 : one_line(change.after))
                      << Qt::endl;
            }
        }
        if (json) {
            differing.append(QJsonObject{{QStringLiteral("id"), static_cast<qint64>(id)},
                                         {QStringLiteral("changes"), listed}});
        }
    }
    if (json) {
        out() << QJsonDocument(QJsonObject{{QStringLiteral("same"), same},
                                           {QStringLiteral("presets"), differing}})
                     .toJson(QJsonDocument::Indented);
    }
    return same ? exit_success : exit_failed;
}

// ---- The editing commands: the folder model's operations on one backup folder. ----

// A slot given as BANK:PLACE, a bank letter A to D (either case) and a place 0 to 63.
struct slot_arg {
    unsigned bank = 0;
    unsigned place = 0;
};

// Reads "B:12". Anything else, a place past the bank's 64 slots among it, gives nothing.
std::optional<slot_arg> parse_slot(const QString& given) {
    const QStringList parts = given.trimmed().split(QLatin1Char(':'));
    if (parts.size() != 2 || parts.at(0).size() != 1) {
        return std::nullopt;
    }
    const int bank = parts.at(0).toUpper().at(0).unicode() - QLatin1Char('A').unicode();
    bool ok = false;
    const uint place = parts.at(1).toUInt(&ok);
    if (bank < 0 || bank >= static_cast<int>(bank_count) || !ok || place >= bank_size) {
        return std::nullopt;
    }
    return slot_arg{static_cast<unsigned>(bank), place};
}

// Reads a bank letter A to D, either case.
std::optional<unsigned> parse_bank(const QString& given) {
    const QString letter = given.trimmed().toUpper();
    if (letter.size() != 1) {
        return std::nullopt;
    }
    const int bank = letter.at(0).unicode() - QLatin1Char('A').unicode();
    if (bank < 0 || bank >= static_cast<int>(bank_count)) {
        return std::nullopt;
    }
    return static_cast<unsigned>(bank);
}

QString slot_text(const slot_arg& slot) {
    return QStringLiteral("%1:%2")
        .arg(QLatin1Char(static_cast<char>('A' + slot.bank)))
        .arg(slot.place);
}

// The ids and names of a model's presets, bank by bank, in ascending id order: what a new
// reading of the folder must show after an edit.
std::array<std::vector<std::pair<std::uint32_t, std::string>>, bank_count>
contents(const preset_dir& folder) {
    std::array<std::vector<std::pair<std::uint32_t, std::string>>, bank_count> listed;
    for (unsigned bank = 0; bank < bank_count; ++bank) {
        for (const proto::Preset& preset : folder.presets[bank]) {
            listed[bank].emplace_back(preset.id(), preset.name());
        }
        std::sort(listed[bank].begin(), listed[bank].end());
    }
    return listed;
}

// One edit of a backup folder: the folder found, the lock a backup into that data folder
// takes held, the model loaded. `edit` changes the model and its files and returns the exit
// status; after a successful edit the folder is read anew, and an edit the files do not show
// is a failure.
int edit_folder(const QCommandLineParser& parser, const QString& given,
                const std::function<int(preset_dir&, const QString&)>& edit) {
    const std::optional<QString> path = find_backup_folder(parser, given);
    if (!path) {
        return exit_failed;
    }
    // A backup into the same datesaves writes beside the folder: the two never run at once.
    std::optional<backup_store> store;
    const QDir parent = QFileInfo(*path).dir();
    if (parent.dirName() == backup_root_folder) {
        store.emplace(QFileInfo(parent.absolutePath()).absolutePath());
        if (store->lock() == backup_start_fault::busy) {
            err() << "A BACKUP IS RUNNING: TRY AGAIN WHEN IT HAS ENDED" << Qt::endl;
            return exit_failed;
        }
    }
    preset_dir folder(*path);
    const int status = edit(folder, *path);
    if (status != exit_success) {
        return status;
    }
    const preset_dir reread(*path);
    if (contents(reread) != contents(folder)) {
        err() << "EDIT FAILED: THE FILES OF " << QDir::toNativeSeparators(*path)
              << " COULD NOT ALL BE WRITTEN" << Qt::endl;
        return exit_failed;
    }
    return exit_success;
}

// The bank folder a preset is about to be written into, made when the backup has none yet;
// false (with the reason on standard error) when it cannot be made. Checked before anything
// changes, so a missing bank folder never leaves an edit half done.
bool bank_folder_ready(const QString& path, unsigned bank) {
    const QString name = QString::fromLatin1(bank_folder_names.at(bank));
    if (QDir(path).mkpath(name)) {
        return true;
    }
    err() << "CANNOT MAKE THE FOLDER " << QDir::toNativeSeparators(QDir(path).filePath(name))
          << Qt::endl;
    return false;
}

bool has_slot(const preset_dir& folder, const slot_arg& slot) {
    if (slot.place < folder.presets[slot.bank].size()) {
        return true;
    }
    err() << "NO PRESET AT " << slot_text(slot) << Qt::endl;
    return false;
}

// The positional arguments of an editing command: `least` to `most` of them, else a usage
// error.
std::optional<QStringList> edit_arguments(const QCommandLineParser& parser, int least, int most) {
    const QStringList args = parser.positionalArguments();
    if (args.size() < least || args.size() > most) {
        err() << "WRONG NUMBER OF ARGUMENTS: SEE --help" << Qt::endl;
        return std::nullopt;
    }
    return args;
}

std::optional<slot_arg> slot_or_complain(const QString& given) {
    std::optional<slot_arg> slot = parse_slot(given);
    if (!slot) {
        err() << "NOT A PLACE: " << given << " (BANK:PLACE, A:0 TO D:63)" << Qt::endl;
    }
    return slot;
}

// An editing command's `count` positional arguments, the second of them a place; nothing
// (after the complaint) when they are a usage error.
struct place_edit {
    QStringList args;
    slot_arg slot;
};
std::optional<place_edit> place_edit_arguments(const QCommandLineParser& parser, int count) {
    std::optional<QStringList> args = edit_arguments(parser, count, count);
    if (!args) {
        return std::nullopt;
    }
    const std::optional<slot_arg> slot = slot_or_complain(args->at(1));
    if (!slot) {
        return std::nullopt;
    }
    return place_edit{std::move(*args), *slot};
}

int move_command(const QCommandLineParser& parser) {
    const std::optional<QStringList> args = edit_arguments(parser, 3, 3);
    if (!args) {
        return exit_usage;
    }
    const std::optional<slot_arg> from = slot_or_complain(args->at(1));
    const std::optional<slot_arg> to = slot_or_complain(args->at(2));
    if (!from || !to) {
        return exit_usage;
    }
    return edit_folder(parser, args->at(0), [&](preset_dir& folder, const QString& path) {
        if (!has_slot(folder, *from)) {
            return exit_failed;
        }
        // A file read only in part is never rewritten, so it cannot take a new place.
        if (!folder.is_intact(from->bank, from->place)) {
            err() << "DAMAGED FILE: THE PRESET AT " << slot_text(*from) << " CANNOT BE MOVED"
                  << Qt::endl;
            return exit_failed;
        }
        if (from->bank == to->bank) {
            // Within a bank the target is a place the bank has.
            if (!has_slot(folder, *to)) {
                return exit_failed;
            }
            folder.inner_move_presets(from->bank, from->place, to->place);
            folder.reindex(from->bank);
            return exit_success;
        }
        // Into another bank: up to one past its last preset, and never past its 64 slots.
        if (to->place > folder.presets[to->bank].size() ||
            folder.presets[to->bank].size() >= bank_size) {
            err() << "NO PLACE " << slot_text(*to) << ": BANK "
                  << QLatin1Char(static_cast<char>('A' + to->bank)) << " HOLDS "
                  << folder.presets[to->bank].size() << " PRESETS" << Qt::endl;
            return exit_failed;
        }
        if (!bank_folder_ready(path, to->bank)) {
            return exit_failed;
        }
        // The preset and its file handle go over from a second reading of the folder; the
        // entry left behind then names a file the moved one still names, so dropping it
        // keeps the file, and the renumbering writes it into its new bank.
        preset_dir source(path);
        if (source.presets[from->bank].size() != folder.presets[from->bank].size()) {
            err() << "THE FOLDER CHANGED WHILE IT WAS READ" << Qt::endl;
            return exit_failed;
        }
        move_presets_from_diffrent(source, from->bank, from->place, folder, to->bank, to->place);
        folder.delete_by_index(from->bank, from->place);
        folder.reindex(to->bank);
        folder.reindex(from->bank);
        return exit_success;
    });
}

int rename_command(const QCommandLineParser& parser) {
    const std::optional<place_edit> edit = place_edit_arguments(parser, 3);
    if (!edit) {
        return exit_usage;
    }
    const QStringList& args = edit->args;
    const slot_arg& slot = edit->slot;
    const QString name = args.at(2);
    if (name.trimmed().isEmpty()) {
        err() << "NO NAME GIVEN" << Qt::endl;
        return exit_usage;
    }
    return edit_folder(parser, args.at(0), [&](preset_dir& folder, const QString&) {
        if (!has_slot(folder, slot)) {
            return exit_failed;
        }
        folder.rename_by_index(slot.bank, slot.place, name.toStdString());
        if (folder.get_name(slot.bank, slot.place) != name.toStdString()) {
            err() << "RENAME FAILED: " << slot_text(slot) << Qt::endl;
            return exit_failed;
        }
        return exit_success;
    });
}

int delete_command(const QCommandLineParser& parser) {
    const std::optional<place_edit> edit = place_edit_arguments(parser, 2);
    if (!edit) {
        return exit_usage;
    }
    const QStringList& args = edit->args;
    const slot_arg& slot = edit->slot;
    return edit_folder(parser, args.at(0), [&](preset_dir& folder, const QString&) {
        if (!has_slot(folder, slot)) {
            return exit_failed;
        }
        folder.delete_by_index(slot.bank, slot.place);
        return exit_success;
    });
}

int insert_command(const QCommandLineParser& parser) {
    const std::optional<place_edit> edit = place_edit_arguments(parser, 3);
    if (!edit) {
        return exit_usage;
    }
    const QStringList& args = edit->args;
    const slot_arg& slot = edit->slot;
    QFile file(args.at(2));
    std::optional<proto::Preset> preset = preset_dir::preset_from_text(file);
    if (!preset) {
        err() << "CANNOT READ THE PRESET FILE " << QDir::toNativeSeparators(args.at(2)) << Qt::endl;
        return exit_failed;
    }
    return edit_folder(parser, args.at(0), [&](preset_dir& folder, const QString& path) {
        const std::size_t length = folder.presets[slot.bank].size();
        if (slot.place > length || length >= bank_size) {
            err() << "NO PLACE " << slot_text(slot) << ": BANK "
                  << QLatin1Char(static_cast<char>('A' + slot.bank)) << " HOLDS " << length
                  << " PRESETS" << Qt::endl;
            return exit_failed;
        }
        if (!bank_folder_ready(path, slot.bank)) {
            return exit_failed;
        }
        folder.insert(*preset, slot.bank, slot.place, true);
        if (folder.presets[slot.bank].size() != length + 1) {
            err() << "INSERT FAILED: " << slot_text(slot) << Qt::endl;
            return exit_failed;
        }
        folder.reindex(slot.bank);
        return exit_success;
    });
}

int reindex_command(const QCommandLineParser& parser) {
    const std::optional<QStringList> args = edit_arguments(parser, 1, 2);
    if (!args) {
        return exit_usage;
    }
    std::optional<unsigned> bank;
    if (args->size() == 2) {
        bank = parse_bank(args->at(1));
        if (!bank) {
            err() << "NOT A BANK: " << args->at(1) << " (A TO D)" << Qt::endl;
            return exit_usage;
        }
    }
    return edit_folder(parser, args->at(0), [&](preset_dir& folder, const QString&) {
        if (bank) {
            folder.reindex(*bank);
        } else {
            folder.reindex_all();
        }
        return exit_success;
    });
}

// The synthesizer's firmware image is a few megabytes. Anything far larger is not one, and
// reading it whole could exhaust the memory.
constexpr qint64 max_firmware_image_size = qint64{64} * 1024 * 1024;
static_assert(max_firmware_image_size >= qint64{8} * 1024 * 1024,
              "The firmware image limit leaves ample room for an image of a few megabytes.");

// The image the window sends: Resources/firmware.sys beside the program's folder.
QString default_firmware_image_path() {
    return QDir(QCoreApplication::applicationDirPath())
        .filePath(QStringLiteral("../Resources/firmware.sys"));
}

// Reads the firmware image whole; anything but a complete read of a regular file of
// plausible size gives an empty image, with the reason on standard error (a missing file
// too, which the engine then reports as no firmware found).
QByteArray read_firmware_image(const QString& path) {
    const QFileInfo info(path);
    QFile file(path);
    if (!info.isFile()) {
        err() << "NO FIRMWARE IMAGE AT " << QDir::toNativeSeparators(path) << Qt::endl;
        return {};
    }
    if (info.size() > max_firmware_image_size || !file.open(QIODevice::ReadOnly)) {
        err() << "CANNOT READ THE FIRMWARE IMAGE " << QDir::toNativeSeparators(path) << Qt::endl;
        return {};
    }
    const qint64 size = file.size();
    QByteArray image = file.readAll();
    if (file.error() != QFileDevice::NoError || image.size() != size) {
        err() << "CANNOT READ THE FIRMWARE IMAGE " << QDir::toNativeSeparators(path) << Qt::endl;
        return {};
    }
    return image;
}

int update_command(const QCommandLineParser& parser) {
    if (!may_ask(parser, QStringLiteral("UPDATE"))) {
        return exit_usage;
    }
    const std::optional<QString> port = resolve_port(parser);
    if (!port) {
        return exit_no_port;
    }
    terminal_host host(port, parser.isSet(quiet_option), parser.isSet(yes_option),
                       ::isatty(STDIN_FILENO) != 0);
    operation_engine engine(data_location(parser), host);
    apply_test_timings(engine.timing);
    engine.set_firmware_image(read_firmware_image(
        parser.isSet(image_option) ? parser.value(image_option) : default_firmware_image_path()));
    const operation_outcome outcome =
        run_operation(engine, host, [&engine] { return engine.start_update(); });
    if (outcome.port_failed) {
        return exit_no_port;
    }
    if (host.unanswerable_question()) {
        return exit_usage;
    }
    return outcome.started && !host.notices().isEmpty() &&
                   host.notices().constLast() == succeeded_update_notice
               ? exit_success
               : exit_failed;
}

std::vector<command> commands() {
    return {
        {QStringLiteral("backup"),
         QStringLiteral("Saves every preset of the synthesizer into a new backup folder and "
                        "prints its path."),
         [](QCommandLineParser& p) {
             p.addOptions({port_option, data_option, quiet_option});
         },
         0, backup_command},
        {QStringLiteral("ports"), QStringLiteral("Lists the serial ports, USB serial ports first."),
         [](QCommandLineParser& p) { p.addOption(json_option); }, 0, ports_command},
        {QStringLiteral("backups"),
         QStringLiteral("Lists the backup folders, oldest first, with their presets and damaged "
                        "files; INCOMPLETE marks a failed backup's folder."),
         [](QCommandLineParser& p) {
             p.addOptions({data_option, json_option});
         },
         0, backups_command},
        {QStringLiteral("show"),
         QStringLiteral("Lists the presets of a backup folder, or prints the preset ID."),
         [](QCommandLineParser& p) {
             p.addOption(data_option);
             add_folder_argument(p, QStringLiteral("FOLDER"));
             p.addPositionalArgument(QStringLiteral("ID"),
                                     QStringLiteral("The preset's number, 0 to 255."),
                                     QStringLiteral("[ID]"));
         },
         2, show_command},
        {QStringLiteral("restore"),
         QStringLiteral("Sends the presets of a backup folder (the latest backup when none is "
                        "given) into the synthesizer, overwriting its presets."),
         [](QCommandLineParser& p) {
             p.addOptions({port_option, data_option, yes_option, quiet_option});
             p.addPositionalArgument(QStringLiteral("FOLDER"),
                                     QStringLiteral("A folder name under datesaves, or a path."),
                                     QStringLiteral("[FOLDER]"));
         },
         1, restore_command},
        {QStringLiteral("update"),
         QStringLiteral("Sends a firmware image to the synthesizer, started in its update mode "
                        "(SQNCR held at power-on), after checking the age of the latest backup."),
         [](QCommandLineParser& p) {
             p.addOptions({image_option, port_option, data_option, yes_option, quiet_option});
         },
         0, update_command},
        {QStringLiteral("diff"),
         QStringLiteral("Compares the presets of two backup folders field by field; exit status "
                        "0 when they are the same, 1 when they differ."),
         [](QCommandLineParser& p) {
             p.addOptions({data_option, json_option});
             add_folder_argument(p, QStringLiteral("FOLDER_A"));
             add_folder_argument(p, QStringLiteral("FOLDER_B"));
         },
         2, diff_command},
        {QStringLiteral("move"),
         QStringLiteral("Moves the preset at FROM to the place TO of a backup folder and "
                        "renumbers the banks it touches."),
         [](QCommandLineParser& p) {
             p.addOption(data_option);
             add_folder_argument(p, QStringLiteral("FOLDER"));
             p.addPositionalArgument(QStringLiteral("FROM"),
                                     QStringLiteral("BANK:PLACE, a bank letter A to D and a "
                                                    "place 0 to 63, e.g. B:12."));
             p.addPositionalArgument(QStringLiteral("TO"),
                                     QStringLiteral("BANK:PLACE; in another bank up to one past "
                                                    "its last preset."));
         },
         3, move_command},
        {QStringLiteral("rename"),
         QStringLiteral("Gives the preset at a place of a backup folder a new name."),
         [](QCommandLineParser& p) {
             p.addOption(data_option);
             add_folder_argument(p, QStringLiteral("FOLDER"));
             p.addPositionalArgument(QStringLiteral("PLACE"),
                                     QStringLiteral("BANK:PLACE, e.g. A:0."));
             p.addPositionalArgument(QStringLiteral("NAME"), QStringLiteral("The new name."));
         },
         3, rename_command},
        {QStringLiteral("delete"),
         QStringLiteral("Deletes the preset at a place of a backup folder and its file; the "
                        "later presets keep their numbers until reindex."),
         [](QCommandLineParser& p) {
             p.addOption(data_option);
             add_folder_argument(p, QStringLiteral("FOLDER"));
             p.addPositionalArgument(QStringLiteral("PLACE"),
                                     QStringLiteral("BANK:PLACE, e.g. A:0."));
         },
         2, delete_command},
        {QStringLiteral("insert"),
         QStringLiteral("Inserts a preset text file at a place of a backup folder; the later "
                        "presets of the bank move up a place."),
         [](QCommandLineParser& p) {
             p.addOption(data_option);
             add_folder_argument(p, QStringLiteral("FOLDER"));
             p.addPositionalArgument(QStringLiteral("PLACE"),
                                     QStringLiteral("BANK:PLACE, up to one past the bank's last "
                                                    "preset."));
             p.addPositionalArgument(QStringLiteral("FILE"),
                                     QStringLiteral("A preset text file, as show ID prints."));
         },
         3, insert_command},
        {QStringLiteral("reindex"),
         QStringLiteral("Renumbers the presets of a backup folder by their places, one bank "
                        "or every bank."),
         [](QCommandLineParser& p) {
             p.addOption(data_option);
             add_folder_argument(p, QStringLiteral("FOLDER"));
             p.addPositionalArgument(QStringLiteral("BANK"),
                                     QStringLiteral("A bank letter A to D; every bank when none "
                                                    "is given."),
                                     QStringLiteral("[BANK]"));
         },
         2, reindex_command},
    };
}

QString general_help(const QString& program) {
    QString text = QStringLiteral("Usage: %1 COMMAND [OPTIONS]\n\n"
                                  "The Vortan maintenance tool on the command line.\n\n"
                                  "Commands:\n")
                       .arg(program);
    for (const command& c : commands()) {
        text += QStringLiteral("  %1  %2\n").arg(c.name, -8).arg(c.summary);
    }
    text += QStringLiteral("\n%1 COMMAND --help describes a command.\n"
                           "Exit status: 0 success, 1 the operation failed, 2 wrong usage, "
                           "3 no port or the port could not be opened.\n")
                .arg(program);
    return text;
}

} // namespace

int run(const QStringList& arguments) {
    const QString program = arguments.isEmpty() ? QStringLiteral("vortan-cli")
                                                : QFileInfo(arguments.first()).fileName();
    if (arguments.size() < 2) {
        err() << general_help(program);
        return exit_usage;
    }
    const QString name = arguments.at(1);
    if (name == QLatin1String("--help") || name == QLatin1String("-h") ||
        name == QLatin1String("help")) {
        out() << general_help(program);
        return exit_success;
    }
    for (const command& c : commands()) {
        if (c.name != name) {
            continue;
        }
        QCommandLineParser parser;
        parser.setApplicationDescription(program + QLatin1Char(' ') + c.name + QLatin1String(": ") +
                                         c.summary);
        parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
        const QCommandLineOption help_option({QStringLiteral("h"), QStringLiteral("help")},
                                             QStringLiteral("Shows this help."));
        parser.addOption(help_option);
        c.declare(parser);
        QStringList rest = arguments.mid(2);
        rest.prepend(program + QLatin1Char(' ') + c.name);
        if (!parser.parse(rest)) {
            err() << parser.errorText() << Qt::endl;
            return exit_usage;
        }
        if (parser.isSet(help_option)) {
            // The usage line names the command too.
            QString help = parser.helpText();
            const int options_at = help.indexOf(QLatin1String(" [options]"));
            if (options_at >= 0 && options_at < help.indexOf(QLatin1Char('\n'))) {
                help = QStringLiteral("Usage: ") + program + QLatin1Char(' ') + c.name +
                       help.mid(options_at);
            }
            out() << help;
            return exit_success;
        }
        if (parser.positionalArguments().size() > c.max_positionals) {
            err() << "UNEXPECTED ARGUMENT: " << parser.positionalArguments().at(c.max_positionals)
                  << Qt::endl;
            return exit_usage;
        }
        const int status = c.run(parser);
        out().flush();
        return status;
    }
    err() << "UNKNOWN COMMAND: " << name << Qt::endl << Qt::endl << general_help(program);
    return exit_usage;
}

} // namespace quillmar::cli
