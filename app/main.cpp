#include "vortan_gui.h"

#include <QApplication>

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    vortan_gui window(nullptr);
    window.show();
    return QApplication::exec();
}
