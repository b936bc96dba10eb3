#pragma once

// A device the test plays itself, for answers the synthesizer stand-in never gives: an
// acknowledgement nobody asked for, one answer sent twice. The test owns the master end of a
// pseudo-terminal pair, reads what the tool sent and writes the device's bytes; the tool
// opens the serial end as it opens the synthesizer.

#include "pty_pair.h"

#include <QByteArray>
#include <QString>

#include <array>
#include <cerrno>
#include <unistd.h>

namespace quillmar::test {

class scripted_device {
public:
    bool valid() const noexcept { return pty.valid(); }
    QString port_path() const { return pty.slave_path(); }

    // Everything the tool has sent so far.
    const QByteArray& received() {
        std::array<char, 65536> chunk{};
        for (;;) {
            const ssize_t n = ::read(pty.master(), chunk.data(), chunk.size());
            if (n <= 0) {
                break;
            }
            bytes_in.append(chunk.data(), static_cast<int>(n));
        }
        return bytes_in;
    }

    // Writes the device's bytes to the tool; false when not all of them went out.
    bool send(const QByteArray& bytes) {
        qsizetype done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::write(pty.master(), bytes.constData() + done,
                                      static_cast<std::size_t>(bytes.size() - done));
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                return false;
            }
            done += n;
        }
        return true;
    }

private:
    standin::pty_pair pty;
    QByteArray bytes_in;
};

} // namespace quillmar::test
