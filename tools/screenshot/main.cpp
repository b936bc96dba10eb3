// vortan-screenshot: draws the real window into a PNG file, for looking at the tool
// without a display (run it with QT_QPA_PLATFORM=offscreen).
//
//   vortan-screenshot OUT.png [SCENE]
//
// SCENE is one of
//   start     the window as it opens (default)
//   hover     the mouse over BACKUP: the guide explains the backup
//   hover-update, hover-restore   the same over UPDATE or RESTORE
//   progress  an operation under way: spinner and progress text
//   notice    a result notice after an operation
//   disabled  the three buttons disabled, as while an operation runs
// The window uses a temporary data folder, so the user's own is never touched.

#include "vortan_gui.h"

#include <QApplication>
#include <QEvent>
#include <QPixmap>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTextStream>
#include <QTimer>

#include <cstdio>

namespace {

constexpr int settle_ms = 400;

bool set_scene(vortan_gui& window, const QString& scene) {
    if (scene == QLatin1String("start")) {
        return true;
    }
    QPushButton* hovered = nullptr;
    if (scene == QLatin1String("hover")) {
        hovered = window.ui->button_backup;
    } else if (scene == QLatin1String("hover-update")) {
        hovered = window.ui->button_firmware;
    } else if (scene == QLatin1String("hover-restore")) {
        hovered = window.ui->button_send;
    }
    if (hovered != nullptr) {
        QEvent enter(QEvent::Enter);
        QApplication::sendEvent(hovered, &enter);
        return true;
    }
    if (scene == QLatin1String("progress")) {
        window.status_panel.take_important_action(QStringLiteral("WORK IN PROGRESS\n12/256"), true);
        return true;
    }
    if (scene == QLatin1String("notice")) {
        window.status_panel.take_notification_action(QString(), QStringLiteral("BACKUP SUCCEEDED"));
        return true;
    }
    if (scene == QLatin1String("disabled")) {
        window.ui->button_firmware->setEnabled(false);
        window.ui->button_send->setEnabled(false);
        window.ui->button_backup->setEnabled(false);
        return true;
    }
    return false;
}

} // namespace

int main(int argc, char* argv[]) {
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr,
                     "usage: %s OUT.png "
                     "[start|hover|hover-update|hover-restore|progress|notice|disabled]\n",
                     argv[0]);
        return 2;
    }
    QTemporaryDir data_home;
    if (!data_home.isValid()) {
        std::fprintf(stderr, "cannot create a temporary data folder\n");
        return 1;
    }
    qputenv("XDG_DATA_HOME", data_home.path().toLocal8Bit());

    QApplication app(argc, argv);
    const QString out = QString::fromLocal8Bit(argv[1]);
    const QString scene = argc == 3 ? QString::fromLocal8Bit(argv[2]) : QStringLiteral("start");

    vortan_gui window(nullptr);
    window.show();
    if (!set_scene(window, scene)) {
        std::fprintf(stderr, "unknown scene %s\n", qUtf8Printable(scene));
        return 2;
    }
    int status = 0;
    QTimer::singleShot(settle_ms, &window, [&] {
        if (!window.grab().save(out, "PNG")) {
            std::fprintf(stderr, "cannot write %s\n", qUtf8Printable(out));
            status = 1;
        }
        QApplication::quit();
    });
    QApplication::exec();
    return status;
}
