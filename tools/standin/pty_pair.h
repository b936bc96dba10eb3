#pragma once

#include <QString>

namespace quillmar::standin {

// A pseudo-terminal pair: the master end stays with its owner (the synthesizer stand-in,
// or a test that plays one), the slave end is a real tty that QSerialPort opens by path.
// The slave's line discipline is put into raw mode so bytes pass unchanged both ways.
class pty_pair {
public:
    // Opens a new pair; valid() tells whether that worked.
    pty_pair();
    ~pty_pair();
    pty_pair(const pty_pair&) = delete;
    pty_pair& operator=(const pty_pair&) = delete;

    bool valid() const noexcept { return master_fd >= 0; }
    // Non-blocking file descriptor of the master end; -1 once closed.
    int master() const noexcept { return master_fd; }
    // Path of the slave end, such as "/dev/pts/3".
    QString slave_path() const { return slave; }

    // Drops the bytes written to the master end that nobody has read from the slave end yet.
    void discard_unread() noexcept;

    // Closes the master end. The slave then sees a hang-up, as when a USB serial device
    // is unplugged.
    void close_master() noexcept;

private:
    int master_fd = -1;
    // Held open so the pair survives while nobody else has the slave open.
    int slave_keepalive_fd = -1;
    QString slave;
};

} // namespace quillmar::standin
