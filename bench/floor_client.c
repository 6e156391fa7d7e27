#define _GNU_SOURCE
#include "FloorClient.h"

#include <fcntl.h>
#include <poll.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

int floor_open(const char* path) {
  const int fd = open(path, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    return -1;
  }
  struct termios t;
  if (tcgetattr(fd, &t) != 0) {
    close(fd);
    return -1;
  }
  cfmakeraw(&t);
  t.c_cflag |= CLOCAL | CREAD;
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
  cfsetispeed(&t, B9600);
  cfsetospeed(&t, B9600);
  if (tcsetattr(fd, TCSANOW, &t) != 0) {
    close(fd);
    return -1;
  }
  tcflush(fd, TCIFLUSH);
  return fd;
}

long floor_transact(int fd, const char* command, size_t command_length, char* reply,
                    size_t capacity, int timeout_ms) {
  if (write(fd, command, command_length) != (ssize_t)command_length) {
    return -1;
  }
  size_t length = 0;
  while (length < capacity) {
    struct pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) <= 0) {
      return -1;
    }
    const ssize_t n = read(fd, reply + length, capacity - length);
    if (n <= 0) {
      return -1;
    }
    /* A CR at the end of the last read may meet its LF at the start of this one. */
    const size_t from = length > 0 ? length - 1 : 0;
    length += (size_t)n;
    if (memmem(reply + from, length - from, "\r\n", 2) != NULL) {
      return (long)length;
    }
  }
  return -1;
}

void floor_close(int fd) {
  close(fd);
}
