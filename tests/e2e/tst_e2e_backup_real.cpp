// The real `vortan` program backs up the stand-in through the system's own port list.
//
// The system lists no pseudo-terminal among its serial ports, so the program runs in a
// private mount namespace where the port list is made to show one: a tmpfs over /sys/class
// leaves Qt no sysfs to ask, so it scans /dev; /dev there is a small tmpfs holding the few
// devices a program needs and the stand-in's pseudo-terminal bind-mounted as /dev/ttyUSB9.
// The program draws on an Xvfb server and is driven from outside with xdotool, as a user
// would: a click on BACKUP, Return in the port dialog. Nothing outside the namespace
// changes. Needs root, mount namespaces, Xvfb and xdotool; skips without them.

#include "event_wait.h"
#include "synthesizer.h"
#include "test_env.h"
#include "vortan_gui.h"

#include <google/protobuf/text_format.h>

#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QPushButton>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <functional>
#include <unistd.h>

namespace {

// Set up inside the new namespace, then replaced by the program ($@). STAGE is an empty
// folder to build the new /dev in, PTY the stand-in's serial end. Each command is echoed to
// the program's output, so a failure shows how far the set-up came.
const char* const namespace_script = R"(set -ex
mount -t tmpfs none "$STAGE"
for n in null zero full random urandom tty; do
    touch "$STAGE/$n"
    mount --bind "/dev/$n" "$STAGE/$n"
done
mkdir "$STAGE/pts" "$STAGE/shm"
mount --bind /dev/pts "$STAGE/pts"
mount --bind /dev/shm "$STAGE/shm"
touch "$STAGE/ttyUSB9"
mount --bind "$PTY" "$STAGE/ttyUSB9"
mount --move "$STAGE" /dev
mount -t tmpfs none /sys/class
exec "$@"
)";

constexpr int start_timeout_ms = 30000;
constexpr int backup_timeout_ms = 120000;

// A process that is asked to end when the test leaves, and killed if it does not.
struct child_process {
    QProcess process;
    ~child_process() {
        if (process.state() == QProcess::NotRunning) {
            return;
        }
        process.terminate();
        if (!process.waitForFinished(5000)) {
            process.kill();
            process.waitForFinished(5000);
        }
    }
};

// Runs a short command to its end; its standard output, trimmed, or nothing when it failed.
std::optional<QString> run(const QString& program, const QStringList& arguments,
                           const QProcessEnvironment& environment) {
    QProcess process;
    process.setProcessEnvironment(environment);
    process.start(program, arguments);
    if (!process.waitForFinished(10000) || process.exitStatus() != QProcess::NormalExit ||
        process.exitCode() != 0) {
        return std::nullopt;
    }
    return QString::fromLocal8Bit(process.readAllStandardOutput()).trimmed();
}

// Where the BACKUP button's middle lies in the window: the same form, laid out here.
QPoint backup_button_centre() {
    vortan_gui window;
    window.show();
    QPushButton* button = window.ui->button_backup;
    return button->mapTo(&window, button->rect().center());
}

QByteArray printed(const proto::Preset& p) {
    std::string text;
    google::protobuf::TextFormat::PrintToString(p, &text);
    return QByteArray::fromStdString(text);
}

} // namespace

class tst_e2e_backup_real : public QObject {
    Q_OBJECT

private slots:
    void the_real_program_backs_up_through_the_real_port_list() {
        if (::geteuid() != 0) {
            QSKIP("Runs as root only: it needs a private mount namespace.");
        }
        for (const char* tool : {"Xvfb", "xdotool", "unshare", "mount", "sh"}) {
            if (QStandardPaths::findExecutable(QString::fromLatin1(tool)).isEmpty()) {
                QSKIP(qPrintable(QStringLiteral("%1 is not installed.").arg(tool)));
            }
        }
        const QProcessEnvironment base = QProcessEnvironment::systemEnvironment();
        if (!run(QStringLiteral("unshare"),
                 {QStringLiteral("-m"), QStringLiteral("mount"), QStringLiteral("-t"),
                  QStringLiteral("tmpfs"), QStringLiteral("none"), QStringLiteral("/sys/class")},
                 base)) {
            QSKIP("Private mount namespaces (unshare -m, mount) are not permitted here.");
        }
        const QString program = QCoreApplication::applicationDirPath() + QStringLiteral("/vortan");
        QVERIFY2(QFileInfo(program).isExecutable(), qPrintable(program));
        const QPoint backup_button = backup_button_centre();

        quillmar::standin::synthesizer synth;
        QVERIFY(synth.valid());
        QTemporaryDir scratch;
        QVERIFY(scratch.isValid());

        // Where the time went, and what the X server and the program said: printed in full
        // (a failure's own message is cut short) when a step does not come about, so a
        // failure elsewhere can be read from its log alone.
        QElapsedTimer clock;
        clock.start();
        QStringList steps;
        const auto step = [&](const QString& what) {
            steps << QStringLiteral("%1 ms: %2").arg(clock.elapsed()).arg(what);
        };

        // The X server picks a free display and says which on its output. It must not reset
        // when its last client leaves: each xdotool call is a client of its own, and a
        // program that connects while the server resets is refused and aborts.
        child_process xvfb;
        xvfb.process.start(QStringLiteral("Xvfb"),
                           {QStringLiteral("-displayfd"), QStringLiteral("1"),
                            QStringLiteral("-screen"), QStringLiteral("0"),
                            QStringLiteral("1024x768x24"), QStringLiteral("-nolisten"),
                            QStringLiteral("tcp"), QStringLiteral("-noreset")});
        if (!xvfb.process.waitForStarted(start_timeout_ms)) {
            QSKIP("Xvfb does not start here.");
        }
        QTRY_VERIFY_WITH_TIMEOUT(xvfb.process.canReadLine() ||
                                     xvfb.process.state() == QProcess::NotRunning,
                                 start_timeout_ms);
        if (!xvfb.process.canReadLine()) {
            QSKIP("Xvfb does not start here.");
        }
        const QString display =
            QLatin1Char(':') + QString::fromLatin1(xvfb.process.readLine()).trimmed();
        step(QStringLiteral("Xvfb serves display ") + display);

        QProcessEnvironment x = base;
        x.insert(QStringLiteral("DISPLAY"), display);
        // A home of its own, so nothing of the user's (settings, caches, X authority) is read
        // or written.
        const QString home = scratch.filePath(QStringLiteral("home"));
        QVERIFY(QDir().mkpath(home));
        x.insert(QStringLiteral("HOME"), home);
        // An xdotool call; one that takes over a second is noted among the steps.
        const auto xdotool = [&x, &step](const QStringList& arguments) {
            QElapsedTimer call;
            call.start();
            const std::optional<QString> out = run(QStringLiteral("xdotool"), arguments, x);
            if (call.elapsed() > 1000) {
                step(QStringLiteral("xdotool %1 took %2 ms%3")
                         .arg(arguments.join(QLatin1Char(' ')))
                         .arg(call.elapsed())
                         .arg(out ? QString() : QStringLiteral(" and failed")));
            }
            return out.value_or(QString());
        };
        // The first visible window whose title matches, or nothing.
        const auto find_window = [&xdotool](const QString& title) {
            return xdotool({QStringLiteral("search"), QStringLiteral("--onlyvisible"),
                            QStringLiteral("--name"), title})
                .section(QLatin1Char('\n'), 0, 0);
        };

        // The program, in its namespace, with a data folder of its own.
        const QString stage = scratch.filePath(QStringLiteral("dev"));
        const QString data_home = scratch.filePath(QStringLiteral("data"));
        const QString runtime = scratch.filePath(QStringLiteral("runtime"));
        const QString script = scratch.filePath(QStringLiteral("namespace.sh"));
        QVERIFY(QDir().mkpath(stage) && QDir().mkpath(data_home) && QDir().mkpath(runtime));
        QFile::setPermissions(runtime, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        QFile script_file(script);
        QVERIFY(script_file.open(QIODevice::WriteOnly));
        script_file.write(namespace_script);
        script_file.close();
        QProcessEnvironment environment = x;
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        environment.insert(QStringLiteral("XDG_DATA_HOME"), data_home);
        environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime);
        environment.insert(QStringLiteral("STAGE"), stage);
        environment.insert(QStringLiteral("PTY"), synth.port_path());
        child_process vortan;
        vortan.process.setProcessEnvironment(environment);
        vortan.process.setProcessChannelMode(QProcess::MergedChannels);
        QString program_output;
        QString xvfb_output;
        const auto report = [&] {
            program_output += QString::fromLocal8Bit(vortan.process.readAll());
            xvfb_output += QString::fromLocal8Bit(xvfb.process.readAllStandardError());
            QString state =
                vortan.process.state() == QProcess::NotRunning
                    ? QStringLiteral("ended with status %1").arg(vortan.process.exitCode())
                    : QStringLiteral("running");
            QStringList windows;
            const QString ids =
                xdotool({QStringLiteral("search"), QStringLiteral("--name"), QStringLiteral(".")});
            for (const QString& id : ids.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
                windows << id + QLatin1Char(' ') + xdotool({QStringLiteral("getwindowname"), id});
            }
            return QStringLiteral("\n%1\n%2 ms: the program is %3\n-- windows with a name:\n%4"
                                  "\n-- its output:\n%5\n-- Xvfb's:\n%6")
                .arg(steps.join(QLatin1Char('\n')))
                .arg(clock.elapsed())
                .arg(state, windows.join(QLatin1Char('\n')), program_output.right(4000),
                     xvfb_output.right(2000));
        };
        // Runs the event loop (the stand-in answers on it) until `done`, for at most `limit`
        // ms; gives up at once when the program has ended. It looks every 20 ms, since a look
        // may run xdotool.
        const auto wait_for = [&vortan](const std::function<bool()>& done, int limit) {
            return quillmar::test::run_until(
                       [&] { return done() || vortan.process.state() == QProcess::NotRunning; },
                       limit, std::chrono::milliseconds{20}) &&
                   done();
        };

        // The program and its window.
        vortan.process.start(QStringLiteral("unshare"),
                             {QStringLiteral("-m"), QStringLiteral("sh"), script, program});
        QVERIFY(vortan.process.waitForStarted(start_timeout_ms));
        step(QStringLiteral("the program started"));
        QString window;
        if (!wait_for(
                [&] { return !(window = find_window(QStringLiteral("^VORTAN V"))).isEmpty(); },
                start_timeout_ms)) {
            qWarning("No window appeared.%s", qPrintable(report()));
            QFAIL("No window appeared; see the warning above.");
        }
        step(QStringLiteral("the window is shown"));
        xdotool({QStringLiteral("mousemove"), QStringLiteral("--window"), window,
                 QString::number(backup_button.x()), QString::number(backup_button.y()),
                 QStringLiteral("click"), QStringLiteral("1")});
        QString dialog;
        if (!wait_for(
                [&] {
                    return !(dialog = find_window(QStringLiteral("^SELECT VORTAN$"))).isEmpty();
                },
                start_timeout_ms)) {
            qWarning("No port dialog appeared.%s", qPrintable(report()));
            QFAIL("No port dialog appeared; see the warning above.");
        }
        step(QStringLiteral("the port dialog is shown"));
        xdotool({QStringLiteral("windowfocus"), QStringLiteral("--sync"), dialog});
        xdotool({QStringLiteral("key"), QStringLiteral("Return")});

        // Every request, in order, and the dated folder once the backup has ended.
        if (!wait_for([&] { return synth.messages().size() >= 257; }, backup_timeout_ms)) {
            qWarning("The backup did not ask for every preset.%s", qPrintable(report()));
            QFAIL("The backup did not ask for every preset; see the warning above.");
        }
        const QString root = data_home + QStringLiteral("/vortan/datesaves");
        QStringList folders;
        QTRY_VERIFY_WITH_TIMEOUT(
            !(folders = QDir(root).entryList(QDir::Dirs | QDir::NoDotAndDotDot)).isEmpty(),
            backup_timeout_ms);
        QCOMPARE(folders.size(), 1);
        QVERIFY2(QRegularExpression(QStringLiteral("^\\d\\d_\\d\\d_\\d\\d_\\d\\d_\\d\\d$"))
                     .match(folders.first())
                     .hasMatch(),
                 qPrintable(folders.first()));
        QCOMPARE(static_cast<int>(synth.messages().size()), 257);
        for (int i = 0; i < 257; ++i) {
            // The index as four nibble bytes, low nibble first.
            QByteArray index;
            for (const int shift : {0, 4, 8, 12}) {
                index.append(static_cast<char>((i >> shift) & 0x0F));
            }
            QCOMPARE(synth.messages()[static_cast<std::size_t>(i)].body, index);
        }
        int files = 0;
        QDirIterator it(root + QLatin1Char('/') + folders.first(), QDir::Files,
                        QDirIterator::Subdirectories);
        while (it.hasNext()) {
            QFile file(it.next());
            QVERIFY(file.open(QIODevice::ReadOnly));
            const int id = it.fileName().section(QLatin1Char('.'), 0, 0).toInt();
            QCOMPARE(file.readAll(), printed(*synth.preset(id)));
            ++files;
        }
        QCOMPARE(files, 256);
        QCOMPARE(vortan.process.state(), QProcess::Running);
    }
};

VORTAN_TEST_MAIN(tst_e2e_backup_real)
#include "tst_e2e_backup_real.moc"
