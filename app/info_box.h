#pragma once

#include <QSize>
#include <QString>

#include <chrono>
#include <cstdint>
#include <memory>

class QLabel;
class QMovie;
class QTimer;

// Drives two labels of the window as one panel: an upper label for a title (or the
// spinner) and a lower label for a text. The panel remembers default texts and returns to
// them when a display ends, and keeps a small state so that the progress display of a
// running operation cannot be overwritten by a passing notice.
//
//   from                event                              to
//   inactive or hover   take_notification_action           hover     (title and text set)
//   active              take_notification_action           active    (notice dropped)
//   any                 take_important_action              active    (text, maybe spinner)
//   hover               finish(hover)                      inactive  (defaults)
//   active              finish(active)                     inactive  (spinner stopped, upper
//                                                                     label hidden, defaults)
//   any other pair      finish(s)                          unchanged
//
// Progress texts can follow each other faster than anyone reads them (a restore sends the
// next preset as soon as the last is answered). The lower label takes every text at once, so
// it always holds the latest, but its repaints are paced: the first progress text after a
// quiet spell is painted on the next turn of the event loop; texts that follow within
// `progress_repaint_interval` find the label held (its updates off, its size fixed, so no
// paint and no new layout), and the end of the interval lets it go and paints the text it
// holds by then. The count is seen advancing, and its last value stays. Notices and defaults
// are painted at once and end any pacing.
//
// The labels belong to the window's form; the panel only points at them. It owns the
// spinner animation and the pacing timer. GUI thread only.
class info_box {
public:
    enum class state : std::int32_t {
        active = 0,   // an operation shows its progress; notices are refused
        hover = 1,    // a notice or a hover text is shown over the defaults
        inactive = 2, // the defaults are shown
    };
    static_assert(sizeof(state) == 4, "The panel's state is a 32-bit value.");

    // The shortest time between two repaints of progress texts.
    static constexpr std::chrono::milliseconds progress_repaint_interval{40};
    static_assert(progress_repaint_interval >= std::chrono::milliseconds{10} &&
                      progress_repaint_interval <= std::chrono::milliseconds{100},
                  "Progress is repainted often enough to be seen moving and seldom enough not "
                  "to slow down the operation it shows.");

    // Stores the labels and defaults, creates the spinner, styles both labels and shows the
    // defaults in them.
    info_box(QLabel* title_label, QLabel* text_label, const QString& title, const QString& text);
    ~info_box();
    info_box(const info_box&) = delete;
    info_box& operator=(const info_box&) = delete;
    info_box(info_box&&) = delete;
    info_box& operator=(info_box&&) = delete;

    // Shows the lower label's texts in 12 point.
    void big_down_text_size();
    // Shows a notice, unless the panel is active (then the notice is dropped, not queued).
    void take_notification_action(QString title, QString text);
    // Shows progress; with `with_spinner` also gives the spinner to the upper label and
    // starts it. Without it the upper label is left as it is (a running spinner goes on).
    void take_important_action(QString text, bool with_spinner);
    // Ends the display of kind `s` if that is the one under way, and shows the defaults.
    void finish(state s);
    // Enters hover unless the panel is active; tells whether it did.
    bool set_hover();
    // Enters active.
    void set_active();

    state current_state() const noexcept { return current; }

private:
    // Sets a progress text into the lower label; its repaint is paced.
    void show_progress_text(const QString& text);
    // Sets a text into the lower label and paints it on the next turn, ending any pacing.
    void show_text(const QString& text);
    // The pacing interval is over: paints a text held back during it, if any.
    void end_repaint_interval();
    // Keeps the lower label from repainting and from asking for a new layout.
    void hold_text_label();
    // Gives the lower label its own size limits and its updates back, and with `repaint_now`
    // repaints it at once; tells whether it was held.
    bool release_text_label(bool repaint_now);

    QString default_title;
    QString default_text;
    QLabel* title_label;
    std::unique_ptr<QMovie> spinner;
    QLabel* text_label;
    state current = state::inactive;
    // Runs while progress repaints are paced; single shot.
    std::unique_ptr<QTimer> repaint_pace;
    // While the lower label is held: its own size limits, given back when it is let go.
    bool text_label_held = false;
    QSize held_minimum;
    QSize held_maximum;
};
