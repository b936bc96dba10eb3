// Writes one debug line and one warning of the tool's logging category to standard error, as
// the tool does: the debug line is the writer's, for a message sent with no port attached.

#include "vortan_log.h"
#include "writer.h"

#include <QCoreApplication>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    writer_t writer;
    writer.write_sysex(writer_t::connection_request);
    qCWarning(quillmar::vortan_log, "log probe warning");
    return 0;
}
