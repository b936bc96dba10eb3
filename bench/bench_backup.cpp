// A whole backup of the 256 presets of the synthesizer stand-in over a pseudo-terminal, done
// by the window (offscreen: the BACKUP click, the port dialog, the serial reader and writer,
// the staging folder), against a baseline that does the same requests, answers and files
// with nothing but a raw file descriptor, the two parsers and the preset file writer. Both run
// on the one event loop the stand-in also uses. The ratio of the two times is the window's
// own overhead; it is printed after the benchmarks. The command-line program's backup
// (`vortan-cli backup`, started as a process of its own for every backup, start-up included)
// is timed against the same baseline.

#include "parser_chain.h"
#include "preset_files.h"
#include "preset_text.h"
#include "protocol.h"
#include "rig.h"

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QProcess>
#include <QSocketNotifier>

#include <array>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <memory>
#include <unistd.h>

namespace {

namespace protocol = quillmar::protocol;

constexpr int presets = 256;
// The index of the last request; its answer ends a backup.
constexpr std::uint16_t last_index = 256;

// Wall time of all iterations of one benchmark, for the ratio printed at the end.
struct wall_time {
    double seconds = 0;
    std::int64_t backups = 0;
    double per_backup() const { return backups > 0 ? seconds / static_cast<double>(backups) : 0; }
};
wall_time window_time;
wall_time cli_time;
wall_time baseline_time;

// Runs the event loop until `done` holds, or for a minute at the most.
template <typename Done> void run_until(Done done) {
    quillmar::test::run_until(done, 60000);
}

void report(benchmark::State& state, const wall_time& time) {
    state.counters["per_preset_us"] =
        benchmark::Counter(time.per_backup() * 1e6 / presets, benchmark::Counter::kDefaults);
}

// The window, clicked as a user does; every backup goes into a folder of a new minute.
void backup_by_the_window(benchmark::State& state) {
    quillmar::test::rig r;
    for (auto _ : state) {
        r.now = r.now.addSecs(60);
        const auto start = std::chrono::steady_clock::now();
        r.select_port();
        r.click(r.ui().button_backup);
        run_until([&r] { return r.engine().running() == vortan_gui::operation::none; });
        window_time.seconds +=
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        ++window_time.backups;
        if (r.status_text() != QStringLiteral("BACKUP SUCCEEDED")) {
            state.SkipWithError("the backup failed");
            break;
        }
    }
    report(state, window_time);
}

// The least a backup needs: requests written to the serial end, answers read as they come
// and fed through both parsers, each preset parsed, printed and written all or nothing.
class minimal_backup {
public:
    explicit minimal_backup(const QString& port)
        : fd(::open(qPrintable(port), O_RDWR | O_NOCTTY | O_NONBLOCK)),
          readable(fd, QSocketNotifier::Read) {
        quillmar::chain_parsers(midi, device);
        device.set_preset_export_start_listener([this] { payload.clear(); });
        device.set_preset_export_data_listener([this](std::span<std::byte> bytes) {
            payload.append(reinterpret_cast<const char*>(bytes.data()),
                           static_cast<int>(bytes.size()));
        });
        device.set_preset_export_end_listener([this] {
            proto::Preset preset;
            static_cast<void>(preset.ParsePartialFromArray(payload.constData(), payload.size()));
            written += write_whole_file(preset_file_path(folder, preset),
                                        QByteArray::fromStdString(print_preset(preset)))
                           ? 1
                           : 0;
            next();
        });
        device.set_preset_export_request_nacked_listener([this] { next(); });
        QObject::connect(&readable, &QSocketNotifier::activated, [this] { read_all(); });
    }
    ~minimal_backup() { ::close(fd); }
    minimal_backup(const minimal_backup&) = delete;
    minimal_backup& operator=(const minimal_backup&) = delete;

    bool valid() const { return fd >= 0; }

    // One backup into `into`; the number of preset files written.
    int run(const QString& into) {
        folder = into;
        for (unsigned bank = 0; bank < bank_count; ++bank) {
            QDir().mkpath(folder + QLatin1Char('/') + preset_bank_folder(bank * bank_size));
        }
        written = 0;
        index = 0;
        done = false;
        request();
        run_until([this] { return done; });
        return written;
    }

private:
    void request() {
        const std::array<char, 12> message{
            static_cast<char>(protocol::sysex_start),
            static_cast<char>(protocol::manufacturer_id[0]),
            static_cast<char>(protocol::manufacturer_id[1]),
            static_cast<char>(protocol::manufacturer_id[2]),
            static_cast<char>(protocol::device_id),
            static_cast<char>(protocol::model_id),
            static_cast<char>(protocol::command::preset_export_request),
            static_cast<char>(index & 0x0F),
            static_cast<char>((index >> 4) & 0x0F),
            static_cast<char>((index >> 8) & 0x0F),
            static_cast<char>((index >> 12) & 0x0F),
            static_cast<char>(protocol::sysex_end)};
        if (::write(fd, message.data(), message.size()) != static_cast<ssize_t>(message.size())) {
            done = true;
        }
    }
    void next() {
        if (index >= last_index) {
            done = true;
            return;
        }
        ++index;
        request();
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
    quillmar::midi_parser_buffered<1000> midi;
    quillmar::sysex_parser_buffered<1> device;
    QByteArray payload;
    QString folder;
    std::uint16_t index = 0;
    int written = 0;
    bool done = false;
};

void backup_by_a_minimal_loop(benchmark::State& state) {
    quillmar::test::temporary_data_home home;
    quillmar::standin::synthesizer synth;
    minimal_backup backup(synth.port_path());
    if (!backup.valid()) {
        state.SkipWithError("cannot open the stand-in's serial end");
        return;
    }
    int run = 0;
    for (auto _ : state) {
        const QString folder = home.path() + QStringLiteral("/backup_%1").arg(run++);
        const auto start = std::chrono::steady_clock::now();
        const int written = backup.run(folder);
        baseline_time.seconds +=
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        ++baseline_time.backups;
        if (written != presets) {
            state.SkipWithError("the baseline backup did not write every preset");
            break;
        }
    }
    report(state, baseline_time);
}

// The command-line program, run as a user's script runs it: one process per backup, each
// into a data folder of its own, against the stand-in of this process.
void backup_by_the_cli(benchmark::State& state) {
    quillmar::test::temporary_data_home home;
    quillmar::standin::synthesizer synth;
    const QString program = QCoreApplication::applicationDirPath() + QStringLiteral("/vortan-cli");
    int run = 0;
    for (auto _ : state) {
        const QString data = home.path() + QStringLiteral("/cli_%1").arg(run++);
        QProcess cli;
        cli.setProgram(program);
        cli.setArguments({QStringLiteral("backup"), QStringLiteral("--port"), synth.port_path(),
                          QStringLiteral("--data"), data, QStringLiteral("-q")});
        const auto start = std::chrono::steady_clock::now();
        cli.start();
        // The stand-in answers on this event loop, so the wait must keep it turning.
        run_until([&cli] { return cli.state() == QProcess::NotRunning; });
        cli_time.seconds +=
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        ++cli_time.backups;
        if (cli.exitStatus() != QProcess::NormalExit || cli.exitCode() != 0) {
            state.SkipWithError("the command-line backup failed");
            break;
        }
    }
    report(state, cli_time);
}

BENCHMARK(backup_by_the_window)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3.0);
BENCHMARK(backup_by_a_minimal_loop)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3.0);
BENCHMARK(backup_by_the_cli)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3.0);

} // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    quillmar::test::temporary_data_home home;
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (window_time.backups > 0 && baseline_time.backups > 0) {
        std::printf("window:   %.1f ms per backup, %.1f us per preset\n",
                    window_time.per_backup() * 1e3, window_time.per_backup() * 1e6 / presets);
        std::printf("baseline: %.1f ms per backup, %.1f us per preset\n",
                    baseline_time.per_backup() * 1e3, baseline_time.per_backup() * 1e6 / presets);
        std::printf("ratio window / baseline: %.2f\n",
                    window_time.per_backup() / baseline_time.per_backup());
    }
    if (cli_time.backups > 0 && baseline_time.backups > 0) {
        std::printf("vortan-cli: %.1f ms per backup, the process's start included\n",
                    cli_time.per_backup() * 1e3);
        std::printf("ratio vortan-cli / baseline: %.2f\n",
                    cli_time.per_backup() / baseline_time.per_backup());
    }
    return 0;
}
