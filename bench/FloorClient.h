#pragma once

/* The floor of a status round trip: the least a host can do on the same port. Plain C, no
 * threads, no buffer management: one write, then poll and read until CR LF. */

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Opens `path` as the library opens a port (raw, 9600 8N1) and discards pending input.
 * Returns the descriptor, or -1. */
int floor_open(const char* path);

/* Writes `command` and reads into `reply` until it holds CR LF. Returns the number of bytes
 * read, or -1 if the write failed, the read failed or nothing came within `timeout_ms`. */
long floor_transact(int fd, const char* command, size_t command_length, char* reply,
                    size_t capacity, int timeout_ms);

void floor_close(int fd);

#ifdef __cplusplus
}
#endif
