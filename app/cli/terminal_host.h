// The operations' host on a terminal: progress and every message go to standard error,
// questions are asked there and answered y or n on standard input.
#pragma once

#include "host.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QStringList>

#include <csignal>
#include <functional>
#include <optional>

namespace quillmar::cli {

class terminal_host : public operation_host {
public:
    // `port` is what choose_port gives; `quiet` drops the progress lines; `assume_yes`
    // answers OK to every question without asking; `interactive` tells whether standard
    // input is a terminal a question may be asked on.
    terminal_host(std::optional<QString> port, bool quiet, bool assume_yes, bool interactive);

    void show_progress(const QString& text, bool start_spinner) override;
    void end_progress() override;
    void show_notice(const QString& text) override;
    void show_message(const QString& title, const QString& text,
                      const QString& informative) override;
    bool ask(const QString& title, const QString& text, const QString& informative) override;
    void set_buttons_enabled(bool enabled) override;
    std::optional<QString> choose_port() override;

    // The notices shown so far, the last one last.
    const QStringList& notices() const { return shown_notices; }
    // The titles of the boxes shown so far.
    const QStringList& message_titles() const { return shown_titles; }
    // A question came that nobody could answer (no terminal, no --yes).
    bool unanswerable_question() const { return unanswerable; }
    // Called after every step the operation reports, so the caller can see whether it ended.
    std::function<void()> on_step;

private:
    void stepped();
    // Ends the counted progress: the redrawn line gets its line break, or (without a
    // terminal) the last count is written as the end line.
    void finish_progress();
    // Reads y or n from standard input; no when it ends first.
    bool read_answer();

    std::optional<QString> port;
    bool quiet;
    bool assume_yes;
    bool interactive;
    bool unanswerable = false;
    QString last_progress;
    // Standard error is a terminal: the counted progress redraws one line.
    bool redraw;
    // The counted progress running: when and at which count it began, and (without a
    // terminal) the line that ends it.
    QElapsedTimer progress_clock;
    int first_count = 0;
    bool line_open = false;
    QString end_line;
    QStringList shown_notices;
    QStringList shown_titles;
    // The steps reported but not yet handled go with the host.
    QObject step_context;
};

// Set while a question waits for its answer on standard input; Ctrl-C then ends the program
// as it would without a handler, since nothing has been sent that needs finishing.
extern volatile std::sig_atomic_t question_open;

// A text of the operations on one line: its line breaks become spaces.
QString one_line(const QString& text);

} // namespace quillmar::cli
