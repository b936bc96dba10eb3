// vortan-demo: the tool's window against a synthesizer stand-in in the same process (see
// demo.h). Started by `tools/dev.sh demo`; never installed.

#include "demo.h"

#include <QApplication>

#include <cstdio>

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    const std::unique_ptr<quillmar::demo::session> demo = quillmar::demo::make_session();
    if (!demo) {
        std::fprintf(stderr, "vortan-demo: cannot open a pseudo-terminal for the stand-in\n");
        return 1;
    }
    demo->window->show();
    return QApplication::exec();
}
