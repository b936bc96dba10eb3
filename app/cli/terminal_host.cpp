#include "terminal_host.h"

#include <QMetaObject>
#include <QRegularExpression>
#include <QTextStream>

#include <unistd.h>

#include <cstdio>
#include <utility>

namespace quillmar::cli {

namespace {

QTextStream& err() {
    static QTextStream stream(stderr);
    return stream;
}

} // namespace

QString one_line(const QString& text) {
    return QString(text).replace(QLatin1Char('\n'), QLatin1Char(' '));
}

terminal_host::terminal_host(std::optional<QString> port, bool quiet, bool assume_yes,
                             bool interactive)
    : port(std::move(port)), quiet(quiet), assume_yes(assume_yes), interactive(interactive),
      redraw(::isatty(STDERR_FILENO) != 0) {}

void terminal_host::stepped() {
    if (on_step) {
        // Reported once the engine has finished the step it is taking.
        QMetaObject::invokeMethod(
            &step_context,
            [this] {
                if (on_step) {
                    on_step();
                }
            },
            Qt::QueuedConnection);
    }
}

namespace {

// A counted progress text: "<what>\n<count>/<total>", as the operations show it.
const QRegularExpression& counted_progress() {
    static const QRegularExpression pattern(QStringLiteral("^([^\\n]*)\\n(\\d{1,3})/(\\d{1,3})$"));
    return pattern;
}

} // namespace

void terminal_host::show_progress(const QString& text, bool /*start_spinner*/) {
    // One line per change: the same text again adds nothing.
    if (quiet || text == last_progress) {
        return;
    }
    last_progress = text;
    const QRegularExpressionMatch counted = counted_progress().match(text);
    if (!counted.hasMatch()) {
        finish_progress();
        err() << one_line(text) << Qt::endl;
        return;
    }
    const int count = counted.captured(2).toInt();
    const int total = counted.captured(3).toInt();
    const QString line = one_line(text);
    if (!progress_clock.isValid()) {
        progress_clock.start();
        first_count = count;
        if (!redraw) {
            // Without a terminal: the start line now, the end line when the progress ends.
            err() << line << Qt::endl;
            return;
        }
    }
    if (!redraw) {
        end_line = line;
        return;
    }
    const double seconds = static_cast<double>(progress_clock.elapsed()) / 1000.0;
    const int done = count - first_count;
    QString rate = QStringLiteral("--/S");
    QString left = QStringLiteral("--:-- LEFT");
    if (done > 0 && seconds > 0.0) {
        const double per_second = done / seconds;
        rate = QStringLiteral("%1/S").arg(per_second, 0, 'f', 1);
        const auto remaining = static_cast<qint64>((total - count) / per_second + 0.5);
        left = QStringLiteral("%1:%2 LEFT")
                   .arg(remaining / 60)
                   .arg(remaining % 60, 2, 10, QLatin1Char('0'));
    }
    // The trailing spaces cover what a longer earlier line left.
    err() << '\r' << line << "  " << rate << "  " << left << "    " << Qt::flush;
    line_open = true;
}

void terminal_host::finish_progress() {
    if (line_open) {
        err() << Qt::endl;
    } else if (!end_line.isEmpty()) {
        err() << end_line << Qt::endl;
    }
    line_open = false;
    end_line.clear();
    progress_clock.invalidate();
}

void terminal_host::end_progress() {
    finish_progress();
    last_progress.clear();
}

void terminal_host::show_notice(const QString& text) {
    finish_progress();
    shown_notices.append(text);
    err() << one_line(text) << Qt::endl;
    stepped();
}

void terminal_host::show_message(const QString& title, const QString& text,
                                 const QString& informative) {
    finish_progress();
    shown_titles.append(title);
    if (!title.isEmpty()) {
        err() << one_line(title) << ": ";
    }
    err() << one_line(text) << Qt::endl;
    if (!informative.isEmpty()) {
        err() << one_line(informative) << Qt::endl;
    }
    stepped();
}

bool terminal_host::ask(const QString& title, const QString& text, const QString& informative) {
    finish_progress();
    if (!title.isEmpty()) {
        err() << one_line(title) << ": ";
    }
    err() << one_line(text) << Qt::endl;
    if (!informative.isEmpty()) {
        err() << one_line(informative) << Qt::endl;
    }
    if (assume_yes) {
        err() << "OK (--yes)" << Qt::endl;
        return true;
    }
    if (!interactive) {
        unanswerable = true;
        err() << "NO ANSWER WITHOUT A TERMINAL: RUN AGAIN WITH --yes" << Qt::endl;
        stepped();
        return false;
    }
    const bool answer = read_answer();
    stepped();
    return answer;
}

volatile std::sig_atomic_t question_open = 0;

bool terminal_host::read_answer() {
    // One stream for every question: what it has read ahead belongs to the next answer.
    static QTextStream in(stdin);
    struct open_while_asking {
        open_while_asking() { question_open = 1; }
        ~open_while_asking() { question_open = 0; }
        open_while_asking(const open_while_asking&) = delete;
        open_while_asking& operator=(const open_while_asking&) = delete;
    } const asking;
    for (;;) {
        err() << "OK? [y/n] " << Qt::flush;
        QString line;
        if (!in.readLineInto(&line)) {
            // Standard input ended: no is the safe answer.
            err() << Qt::endl;
            return false;
        }
        line = line.trimmed().toLower();
        if (line == QLatin1String("y") || line == QLatin1String("yes")) {
            return true;
        }
        if (line == QLatin1String("n") || line == QLatin1String("no")) {
            return false;
        }
    }
}

void terminal_host::set_buttons_enabled(bool /*enabled*/) {
    stepped();
}

std::optional<QString> terminal_host::choose_port() {
    return port;
}

} // namespace quillmar::cli
