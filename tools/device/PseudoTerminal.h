#pragma once

#include <string>

namespace torvek::sim {

// The master side of a Linux pseudo-terminal whose slave behaves like a raw 8N1 serial port.
//
// The slave is opened once to make it raw and then closed again: its termios stay with the pty as
// long as the master lives, so the host finds it raw (no echo, no CR/LF mangling) when it opens the
// path. The device must not hold the slave itself, or it could never see the host hang up.
class PseudoTerminal {
 public:
  PseudoTerminal();  // throws std::system_error
  ~PseudoTerminal();
  PseudoTerminal(const PseudoTerminal&) = delete;
  PseudoTerminal& operator=(const PseudoTerminal&) = delete;

  // Non-blocking; -1 once closed.
  int MasterFd() const { return master_; }
  const std::string& SlavePath() const { return slave_path_; }

  // Drops whatever the host left unread in the slave's input queue. The kernel does that on the
  // last close of a real serial port, but not for a pty slave, whose queue would otherwise hand
  // the previous session's replies to the next one. Best effort, never throws.
  void DiscardHostInput();

  // The slave path disappears; the host's reads then see end-of-file and its writes fail with EIO.
  void Close();
  // After Close: a new pty, under a new slave path (the kernel may hand out the old number again
  // once no one holds the old slave). Throws std::system_error.
  void Open();

 private:
  int master_ = -1;
  std::string slave_path_;
};

}  // namespace torvek::sim
