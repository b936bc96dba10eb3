#include "vortan_gui.h"

#include <QApplication>
#include <QGuiApplication>

namespace {

// Names the per-user data folder (~/.local/share/vortan on Linux), whatever the executable
// is called or however it was started.
const QString application_name = QStringLiteral("vortan");
// The desktop entry the installed tool comes with, so the desktop shows its icon and name.
const QString desktop_entry = QStringLiteral("com.quillmar.vortan");

} // namespace

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QCoreApplication::setApplicationName(application_name);
    QGuiApplication::setDesktopFileName(desktop_entry);
    vortan_gui window(nullptr);
    window.show();
    return QApplication::exec();
}
