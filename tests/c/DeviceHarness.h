#ifndef TORVEK_TEST_DEVICE_HARNESS_H
#define TORVEK_TEST_DEVICE_HARNESS_H

/*
 * The scripted test device (tools/device, C++) behind a C interface, so that the test of the
 * library's C interface can itself be written in C. One device at a time.
 */

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Starts a device on a fresh pseudo-terminal with an empty script. Nonzero on success. */
int device_start(void);
/* The path a host opens to reach the device. */
const char* device_path(void);
/* The device answers the next command, which must be `command`, with `reply` (exact bytes),
   or stays silent when `reply` is NULL. */
void device_expect(const char* command, const char* reply);
/* Everything the host wrote since the start or the last device_clear_log(). The string
   stays valid until the next call of device_received(). */
const char* device_received(void);
void device_clear_log(void);
/* Nonzero when the host sent only expected commands and every expected one arrived. */
int device_script_done(void);
/* Closes the pseudo-terminal and forgets the script. */
void device_stop(void);

/* While nonzero, every C++ allocation made on the calling thread throws std::bad_alloc. */
void device_fail_allocations(int fail);

#ifdef __cplusplus
}
#endif

#endif
