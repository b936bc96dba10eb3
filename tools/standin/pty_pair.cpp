#include "pty_pair.h"

#include <cstdlib>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace quillmar::standin {

pty_pair::pty_pair() {
    // Close-on-exec: a child process must not hold the master end open, or closing it here
    // would no longer hang up the slave end.
    const int fd = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return;
    }
    if (::grantpt(fd) != 0 || ::unlockpt(fd) != 0) {
        ::close(fd);
        return;
    }
    char name[128] = {};
    if (::ptsname_r(fd, name, sizeof name) != 0) {
        ::close(fd);
        return;
    }
    const int keepalive = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (keepalive < 0) {
        ::close(fd);
        return;
    }
    termios tio{};
    if (::tcgetattr(keepalive, &tio) == 0) {
        ::cfmakeraw(&tio);
        ::tcsetattr(keepalive, TCSANOW, &tio);
    }
    master_fd = fd;
    slave_keepalive_fd = keepalive;
    slave = QString::fromLocal8Bit(name);
}

pty_pair::~pty_pair() {
    close_master();
    if (slave_keepalive_fd >= 0) {
        ::close(slave_keepalive_fd);
    }
}

void pty_pair::discard_unread() noexcept {
    if (slave_keepalive_fd >= 0) {
        ::tcflush(slave_keepalive_fd, TCIFLUSH);
    }
}

void pty_pair::close_master() noexcept {
    if (master_fd >= 0) {
        ::close(master_fd);
        master_fd = -1;
    }
}

} // namespace quillmar::standin
