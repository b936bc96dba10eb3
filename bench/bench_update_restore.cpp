// A full restore of 256 presets and a full firmware update against the synthesizer stand-in
// over a pseudo-terminal, each done by the window (offscreen, clicked as a user does) and by
// a minimal loop that exchanges the same messages with nothing but a raw file descriptor
// and the two parsers. Everything runs on the one event loop the stand-in also uses. The
// ratio of the two times is the window's own overhead.
//
// Both restores start alike: the backup folder is read (as RESTORE reads it), and the
// restore starts at once or after a quiet pause such as a user takes to read the
// confirmation before pressing OK. Neither the reading nor the pause is timed. They matter
// on this kind of machine all the same: right after the 30 ms of reading, every hop through
// the pseudo-terminal waits longer to be scheduled, and a restore runs three to four times
// slower than after a pause, in the window and in the minimal loop alike.
//
// While the window's update drains the 3.9 MB image, a 10 ms timer ticks on the same event
// loop; the longest gap between two ticks tells how long the window stopped responding.
//
// The figures are printed after the benchmarks.

#include "parser_chain.h"
#include "preset_files.h"
#include "preset_related.h"
#include "preset_text.h"
#include "presets_dir.h"
#include "protocol.h"
#include "rig.h"

#include <benchmark/benchmark.h>
#include <google/protobuf/stubs/logging.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QSocketNotifier>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

namespace protocol = quillmar::protocol;
namespace standin = quillmar::standin;

constexpr int presets = 256;
constexpr auto tick_interval = std::chrono::milliseconds(10);
const QString backup_name = QStringLiteral("20_12_20_14_00");

// Wall time of all runs of one benchmark, for the figures printed at the end.
struct wall_time {
    double seconds = 0;
    std::int64_t runs = 0;
    double per_run() const { return runs > 0 ? seconds / static_cast<double>(runs) : 0; }
    void add(std::chrono::steady_clock::time_point start) {
        seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        ++runs;
    }
};
// Restores: [0] back to back, [1] after the pause.
std::array<wall_time, 2> window_restore;
std::array<wall_time, 2> baseline_restore;
// How long the user reads the confirmation, for the paused runs.
constexpr int reading_pause_ms = 200;
static_assert(reading_pause_ms >= 100,
              "The pause is as long as a user takes at least to read the confirmation.");

// Which of the two timings a run belongs to: its benchmark argument is the pause in ms.
std::size_t timing_of(const benchmark::State& state) {
    return state.range(0) > 0 ? 1 : 0;
}
wall_time window_update;
wall_time baseline_update;
// Longest gap between two ticks of the 10 ms timer during any of the window's updates.
double longest_tick_gap_ms = 0;

// Runs the event loop until `done` holds; false when it did not hold within a minute.
template <typename Condition> bool run_until(Condition&& done) {
    return quillmar::test::run_until(std::forward<Condition>(done), 60000);
}

// The 256 presets of a backup, written as the backup writes them.
bool write_backup(const QString& folder, const std::vector<proto::Preset>& list) {
    for (const proto::Preset& preset : list) {
        const QString path = preset_file_path(folder, preset);
        if (!QDir().mkpath(QFileInfo(path).absolutePath()) ||
            !write_whole_file(path, QByteArray::fromStdString(print_preset(preset)))) {
            return false;
        }
    }
    return true;
}

QByteArray message(protocol::command c, const QByteArray& body = {}) {
    QByteArray bytes;
    bytes.append(static_cast<char>(protocol::sysex_start));
    for (const std::byte b : protocol::manufacturer_id) {
        bytes.append(static_cast<char>(b));
    }
    bytes.append(static_cast<char>(protocol::device_id));
    bytes.append(static_cast<char>(protocol::model_id));
    bytes.append(static_cast<char>(c));
    bytes.append(body);
    bytes.append(static_cast<char>(protocol::sysex_end));
    return bytes;
}

// ---- The window ----

// Each run: the RESTORE click with the port dialog and the confirmation answered (after the
// pause, in the paused runs), timed from the confirmation (the click returns once the first
// import is on its way) to the closing notice.
void restore_by_the_window(benchmark::State& state) {
    const int pause_ms = static_cast<int>(state.range(0));
    quillmar::test::rig r;
    if (!write_backup(r.backup_root() + QDir::separator() + backup_name,
                      standin::make_factory_presets())) {
        state.SkipWithError("cannot write the backup folder");
        return;
    }
    for (auto _ : state) {
        r.select_port();
        r.answers.then([&state, pause_ms](QWidget* box) {
            if (pause_ms > 0) {
                state.PauseTiming();
                QTest::qWait(pause_ms);
                state.ResumeTiming();
            }
            quillmar::test::click_button(box, QStringLiteral("OK"));
        });
        r.click(r.ui().button_send);
        const auto start = std::chrono::steady_clock::now();
        const bool ended =
            run_until([&r] { return r.engine().running() == vortan_gui::operation::none; });
        window_restore[timing_of(state)].add(start);
        if (!ended || r.status_text() != QStringLiteral("RESTORE SUCCEEDED")) {
            state.SkipWithError("the restore failed");
            break;
        }
    }
}

// Each run: the UPDATE click (the click before it closes the connection the last update left
// standing), timed from the stand-in's receipt of the update request to the closing notice.
void update_by_the_window(benchmark::State& state) {
    quillmar::test::rig r;
    if (!QDir().mkpath(r.backup_root() + QDir::separator() + r.now.toString("yy_MM_dd_hh_mm"))) {
        state.SkipWithError("cannot make the backup folder");
        return;
    }
    std::chrono::steady_clock::time_point start;
    bool requested = false;
    QObject::connect(&r.synth, &standin::synthesizer::received, &r.synth,
                     [&](const standin::message& m) {
                         if (m.command == protocol::command::firmware_update_request) {
                             start = std::chrono::steady_clock::now();
                             requested = true;
                         }
                     });
    // The ticks that show how responsive the window stays.
    QTimer ticks;
    ticks.setTimerType(Qt::PreciseTimer);
    QElapsedTimer since_tick;
    double gap_ms = 0;
    QObject::connect(&ticks, &QTimer::timeout, [&] {
        if (requested) {
            gap_ms = std::max(gap_ms, static_cast<double>(since_tick.nsecsElapsed()) / 1e6);
        }
        since_tick.start();
    });
    ticks.start(tick_interval);
    since_tick.start();

    for (auto _ : state) {
        if (r.window->update_state() != vortan_gui::idle) {
            r.click(r.ui().button_firmware);
        }
        requested = false;
        gap_ms = 0;
        r.select_port();
        r.answers.click(QStringLiteral("OK"));
        r.click(r.ui().button_firmware);
        const bool ended = run_until([&r] {
            return r.engine().running() == vortan_gui::operation::none &&
                   r.window->update_state() != vortan_gui::idle;
        });
        if (!ended || !requested) {
            state.SkipWithError("the update request never arrived");
            break;
        }
        window_update.add(start);
        longest_tick_gap_ms = std::max(longest_tick_gap_ms, gap_ms);
        if (r.status_text() != QStringLiteral("UPDATE SUCCEEDED\nRESTART THE UNIT")) {
            state.SkipWithError("the update failed");
            break;
        }
    }
    state.counters["longest_tick_gap_ms"] = longest_tick_gap_ms;
}

// ---- The minimal loops ----

// The serial end of the stand-in as a raw file descriptor: what is written goes out as fast
// as the pseudo-terminal takes it, what comes back goes through both parsers.
class bare_link {
public:
    explicit bare_link(const QString& port)
        : fd(::open(qPrintable(port), O_RDWR | O_NOCTTY | O_NONBLOCK)),
          readable(fd, QSocketNotifier::Read), writable(fd, QSocketNotifier::Write) {
        quillmar::chain_parsers(midi, device);
        writable.setEnabled(false);
        QObject::connect(&readable, &QSocketNotifier::activated, [this] { read_all(); });
        QObject::connect(&writable, &QSocketNotifier::activated, [this] { write_some(); });
    }
    ~bare_link() { ::close(fd); }
    bare_link(const bare_link&) = delete;
    bare_link& operator=(const bare_link&) = delete;

    bool valid() const { return fd >= 0; }
    quillmar::sysex_parser_buffered<1> device;

    void send(const QByteArray& bytes) {
        pending = bytes;
        offset = 0;
        write_some();
    }

private:
    void write_some() {
        while (offset < pending.size()) {
            const ssize_t n = ::write(fd, pending.constData() + offset,
                                      static_cast<std::size_t>(pending.size() - offset));
            if (n <= 0) {
                // Full (or failing): go on when the pseudo-terminal takes more.
                writable.setEnabled(n < 0 && errno == EAGAIN);
                return;
            }
            offset += n;
        }
        writable.setEnabled(false);
    }
    void read_all() {
        std::array<char, 4096> bytes{};
        ssize_t n = 0;
        while ((n = ::read(fd, bytes.data(), bytes.size())) > 0) {
            for (ssize_t i = 0; i < n; ++i) {
                midi.parse(static_cast<std::byte>(bytes[static_cast<std::size_t>(i)]));
            }
        }
    }

    int fd;
    QSocketNotifier readable;
    QSocketNotifier writable;
    quillmar::midi_parser_buffered<1000> midi;
    QByteArray pending;
    qsizetype offset = 0;
};

// The same 256 imports, stop-and-wait, each serialized and nibble-encoded when it is sent.
void restore_by_a_minimal_loop(benchmark::State& state) {
    standin::synthesizer synth;
    bare_link link(synth.port_path());
    if (!link.valid()) {
        state.SkipWithError("cannot open the stand-in's serial end");
        return;
    }
    // The backup the window restores, written and read as the window reads it.
    QTemporaryDir scratch;
    const QString folder = scratch.filePath(backup_name);
    if (!scratch.isValid() || !write_backup(folder, standin::make_factory_presets())) {
        state.SkipWithError("cannot write the backup folder");
        return;
    }
    std::vector<proto::Preset> list;
    std::size_t next = 0;
    int refused = 0;
    bool done = false;
    const auto send_next = [&] {
        if (next == list.size()) {
            done = true;
            return;
        }
        link.send(message(protocol::command::preset_import,
                          byte_array_to_sys(preset_to_byteArray(list[next++]))));
    };
    link.device.set_preset_import_succeeded_listener([&] { send_next(); });
    link.device.set_preset_import_failed_listener([&] {
        ++refused;
        send_next();
    });
    for (auto _ : state) {
        next = 0;
        refused = 0;
        done = false;
        // Not timed, as in the window: the backup folder read, then the pause, if any.
        state.PauseTiming();
        list = select_for_restore(preset_dir(folder)).presets;
        if (state.range(0) > 0) {
            QTest::qWait(static_cast<int>(state.range(0)));
        }
        state.ResumeTiming();
        const auto start = std::chrono::steady_clock::now();
        send_next();
        const bool ended = run_until([&] { return done; });
        baseline_restore[timing_of(state)].add(start);
        if (!ended || refused != 0) {
            state.SkipWithError("the baseline restore was refused");
            break;
        }
    }
}

// The update request, and on its acceptance the image in one piece.
void update_by_a_minimal_loop(benchmark::State& state) {
    standin::synthesizer synth;
    bare_link link(synth.port_path());
    QFile file(QCoreApplication::applicationDirPath() +
               QStringLiteral("/../Resources/firmware.sys"));
    if (!link.valid() || !file.open(QIODevice::ReadOnly)) {
        state.SkipWithError("cannot open the stand-in's serial end or the firmware image");
        return;
    }
    const QByteArray image = file.readAll();
    bool done = false;
    bool succeeded = false;
    link.device.set_firmware_update_request_acked_listener([&] { link.send(image); });
    link.device.set_firmware_update_succeeded_listener([&] {
        succeeded = true;
        done = true;
    });
    link.device.set_firmware_update_failed_listener([&] { done = true; });
    link.device.set_firmware_update_request_nacked_listener([&] { done = true; });
    for (auto _ : state) {
        done = false;
        succeeded = false;
        const auto start = std::chrono::steady_clock::now();
        link.send(message(protocol::command::firmware_update_request));
        const bool ended = run_until([&] { return done; });
        baseline_update.add(start);
        if (!ended || !succeeded) {
            state.SkipWithError("the baseline update failed");
            break;
        }
    }
}

BENCHMARK(restore_by_the_window)
    ->Arg(0)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(3.0);
BENCHMARK(restore_by_a_minimal_loop)
    ->Arg(0)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(3.0);
// The pause makes a run last much longer than it is timed: a fixed number of runs.
BENCHMARK(restore_by_the_window)
    ->Arg(reading_pause_ms)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(40);
BENCHMARK(restore_by_a_minimal_loop)
    ->Arg(reading_pause_ms)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(40);
BENCHMARK(update_by_the_window)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);
BENCHMARK(update_by_a_minimal_loop)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

void print_pair(const char* what, const wall_time& window, const wall_time& baseline) {
    if (window.runs == 0 || baseline.runs == 0) {
        return;
    }
    std::printf("%s: window %.1f ms, baseline %.1f ms, ratio %.2f\n", what, window.per_run() * 1e3,
                baseline.per_run() * 1e3, window.per_run() / baseline.per_run());
}

} // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    // The operations' debug lines (one per import) would drown the figures.
    qputenv("QT_LOGGING_RULES", "*.debug=false;qt.qpa.*=false");
    // The preset reader's notes on fields the schema marks deprecated, likewise.
    google::protobuf::SetLogHandler(nullptr);
    quillmar::test::temporary_data_home home;
    // The offscreen platform's notice for every box that is shown, likewise.
    qInstallMessageHandler(
        [](QtMsgType type, const QMessageLogContext& context, const QString& text) {
            if (text != QStringLiteral("This plugin does not support propagateSizeHints()")) {
                std::fprintf(stderr, "%s\n", qPrintable(qFormatLogMessage(type, context, text)));
            }
        });
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    print_pair("restore of 256 presets, back to back", window_restore[0], baseline_restore[0]);
    const std::string paused =
        "restore of 256 presets, after a " + std::to_string(reading_pause_ms) + " ms pause";
    print_pair(paused.c_str(), window_restore[1], baseline_restore[1]);
    print_pair("firmware update (3,931,146 bytes)", window_update, baseline_update);
    if (window_update.runs > 0) {
        std::printf("longest gap between 10 ms ticks during the window's updates: %.1f ms\n",
                    longest_tick_gap_ms);
    }
    return 0;
}
