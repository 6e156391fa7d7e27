#include "PseudoTerminal.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <system_error>

namespace torvek::sim {
namespace {

[[noreturn]] void Fail(int error, const char* what) {
  throw std::system_error(error, std::generic_category(), what);
}

void MakeRaw(const std::string& path) {
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd < 0)
    Fail(errno, "open pty slave");
  termios t{};
  int ok = tcgetattr(fd, &t);
  if (ok == 0) {
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    cfsetispeed(&t, B9600);
    cfsetospeed(&t, B9600);
    ok = tcsetattr(fd, TCSANOW, &t);
  }
  const int error = errno;
  close(fd);
  if (ok != 0)
    Fail(error, "configure pty slave");
}

}  // namespace

PseudoTerminal::PseudoTerminal() {
  Open();
}

void PseudoTerminal::Open() {
  Close();
  master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master_ < 0)
    Fail(errno, "posix_openpt");
  try {
    if (grantpt(master_) != 0)
      Fail(errno, "grantpt");
    if (unlockpt(master_) != 0)
      Fail(errno, "unlockpt");
    char path[128];
    if (const int error = ptsname_r(master_, path, sizeof path); error != 0)
      Fail(error, "ptsname_r");
    slave_path_ = path;
    MakeRaw(slave_path_);
    const int flags = fcntl(master_, F_GETFL);
    if (flags < 0 || fcntl(master_, F_SETFL, flags | O_NONBLOCK) < 0)
      Fail(errno, "fcntl");
  } catch (...) {
    Close();
    throw;
  }
}

PseudoTerminal::~PseudoTerminal() {
  Close();
}

void PseudoTerminal::DiscardHostInput() {
  if (master_ < 0)
    return;
  const int fd = open(slave_path_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0)
    return;
  tcflush(fd, TCIFLUSH);
  close(fd);
}

void PseudoTerminal::Close() {
  if (master_ >= 0)
    close(master_);
  master_ = -1;
}

}  // namespace torvek::sim
