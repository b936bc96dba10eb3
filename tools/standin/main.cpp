// vortan-standin: a Vortan on a pseudo-terminal, for trying the tool without the hardware.
// Prints the serial end's path (such as /dev/pts/3) on one line and answers the tool until
// it is killed. Each message it receives is noted on stderr.
//
// The tool offers only the ports the system lists, and pseudo-terminals are not among them.
// To use the stand-in, lay its serial end over a listed port in a private mount namespace
// and start the tool there (as root):
//   build/bin/vortan-standin > /tmp/standin &
//   unshare --mount sh -c "mount --bind $(head -1 /tmp/standin) /dev/ttyS0 && build/bin/vortan"
// and choose ttyS0 in the port dialog. Nothing outside that namespace changes.

#include "synthesizer.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    quillmar::standin::synthesizer synthesizer;
    if (!synthesizer.valid()) {
        std::fprintf(stderr, "vortan-standin: cannot open a pseudo-terminal\n");
        return 1;
    }
    QObject::connect(&synthesizer, &quillmar::standin::synthesizer::received,
                     [](const quillmar::standin::message& m) {
                         std::fprintf(stderr, "received command %02X with %lld body bytes\n",
                                      static_cast<unsigned>(m.command),
                                      static_cast<long long>(m.body.size()));
                     });
    std::printf("%s\n", qPrintable(synthesizer.port_path()));
    std::fflush(stdout);
    return QCoreApplication::exec();
}
