// What the operations need from the front end that runs them: a place to show progress and
// results, message boxes and questions, the three operation buttons, and a port chooser.
// The operations decide every text; the host only shows it.
#pragma once

#include <QString>

#include <optional>

namespace quillmar {

class operation_host {
public:
    virtual ~operation_host() = default;

    // Shows `text` as the progress of the running operation; `start_spinner` starts the
    // spinner, false leaves it as it is.
    virtual void show_progress(const QString& text, bool start_spinner) = 0;
    // Ends the progress display (the spinner stops, the progress text goes).
    virtual void end_progress() = 0;
    // Shows a notice. While a progress display runs, the notice is dropped; results end the
    // progress first (show_result).
    virtual void show_notice(const QString& text) = 0;
    // A modal box with the single button OK; returns once it was answered.
    virtual void show_message(const QString& title, const QString& text,
                              const QString& informative) = 0;
    // A modal question with OK and NO; true exactly when OK was chosen.
    virtual bool ask(const QString& title, const QString& text, const QString& informative) = 0;
    // Enables or disables the three operation buttons together.
    virtual void set_buttons_enabled(bool enabled) = 0;
    // Lets the user choose a port: its system location, or empty when none was chosen or the
    // chosen one is gone.
    virtual std::optional<QString> choose_port() = 0;

    // The result of an operation: the progress display ends, then the notice shows.
    void show_result(const QString& text) {
        end_progress();
        show_notice(text);
    }
};

} // namespace quillmar
