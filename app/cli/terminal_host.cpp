#include "terminal_host.h"

#include <QMetaObject>
#include <QTextStream>

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
    : port(std::move(port)), quiet(quiet), assume_yes(assume_yes), interactive(interactive) {}

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

void terminal_host::show_progress(const QString& text, bool /*start_spinner*/) {
    // One line per change: the same text again adds nothing.
    if (quiet || text == last_progress) {
        return;
    }
    last_progress = text;
    err() << one_line(text) << Qt::endl;
}

void terminal_host::end_progress() {
    last_progress.clear();
}

void terminal_host::show_notice(const QString& text) {
    shown_notices.append(text);
    err() << one_line(text) << Qt::endl;
    stepped();
}

void terminal_host::show_message(const QString& title, const QString& text,
                                 const QString& informative) {
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
