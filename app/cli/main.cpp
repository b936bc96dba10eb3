#include "cli.h"

#include <QCoreApplication>

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QString::fromLatin1(quillmar::cli::application_name));
    return quillmar::cli::run(QCoreApplication::arguments());
}
