#include "info_box.h"

#include "app_resources.h"

#include <QLabel>
#include <QMovie>
#include <QTimer>

namespace {

// A path relative to the resource root: the file "loader@2x.gif" of the folder "Resources".
const QString spinner_file = QStringLiteral(":Resources/loader@2x.gif");

const QString text_style = QStringLiteral("color:rgb(45,204,211);");
const QString big_text_style = QStringLiteral("Font:12pt;color:rgb(45,204,211);");

} // namespace

info_box::info_box(QLabel* title_label, QLabel* text_label, const QString& title,
                   const QString& text)
    : default_title(title), default_text(text), title_label(title_label), text_label(text_label),
      repaint_pace(std::make_unique<QTimer>()) {
    repaint_pace->setSingleShot(true);
    repaint_pace->setInterval(progress_repaint_interval);
    repaint_pace->callOnTimeout([this] { end_repaint_interval(); });
    quillmar::register_resources();
    spinner = std::make_unique<QMovie>(spinner_file);
    const QFont font = quillmar::display_font();
    title_label->setFont(font);
    text_label->setFont(font);
    text_label->setStyleSheet(text_style);
    title_label->setText(title);
    text_label->setText(text);
}

info_box::~info_box() = default;

void info_box::big_down_text_size() {
    text_label->setStyleSheet(big_text_style);
}

bool info_box::set_hover() {
    if (current == state::active) {
        return false;
    }
    current = state::hover;
    title_label->show();
    text_label->show();
    return true;
}

void info_box::set_active() {
    current = state::active;
    title_label->show();
    text_label->show();
}

void info_box::take_notification_action(QString title, QString text) {
    if (set_hover()) {
        title_label->setText(title);
        show_text(text);
    }
}

void info_box::take_important_action(QString text, bool with_spinner) {
    set_active();
    // Giving the label the movie it already shows would only make it drop and repaint it.
    if (with_spinner) {
        if (title_label->movie() != spinner.get()) {
            title_label->setMovie(spinner.get());
        }
        if (spinner->state() != QMovie::Running) {
            spinner->start();
        }
    }
    show_progress_text(text);
}

void info_box::finish(state s) {
    if (current == state::active && s == state::active) {
        spinner->stop();
        title_label->hide();
        title_label->clear();
    }
    if (s == current) {
        current = state::inactive;
        title_label->setText(default_title);
        show_text(default_text);
    }
}

// Within a pacing interval the label is held: it takes each text with its updates off and
// its size fixed, so that setting a text schedules neither a paint nor a new layout (which
// would measure the text). The end of the interval lets it go and repaints it.
void info_box::show_progress_text(const QString& text) {
    if (repaint_pace->isActive()) {
        hold_text_label();
    } else {
        repaint_pace->start();
    }
    text_label->setText(text);
}

void info_box::show_text(const QString& text) {
    repaint_pace->stop();
    release_text_label(false);
    text_label->setText(text);
}

void info_box::end_repaint_interval() {
    if (release_text_label(true)) {
        // Texts that follow at once are paced again.
        repaint_pace->start();
    }
}

void info_box::hold_text_label() {
    if (text_label_held) {
        return;
    }
    held_minimum = text_label->minimumSize();
    held_maximum = text_label->maximumSize();
    text_label->setUpdatesEnabled(false);
    text_label->setFixedSize(text_label->size());
    text_label_held = true;
}

bool info_box::release_text_label(bool repaint_now) {
    if (!text_label_held) {
        return false;
    }
    text_label_held = false;
    text_label->setMinimumSize(held_minimum);
    text_label->setMaximumSize(held_maximum);
    text_label->setUpdatesEnabled(true);
    if (repaint_now) {
        // Painted now: a paint left to the next turn would be lost if the next progress text
        // came first and held the label again.
        text_label->repaint();
    }
    return true;
}
