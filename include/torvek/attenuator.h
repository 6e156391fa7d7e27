#ifndef TORVEK_ATTENUATOR_H
#define TORVEK_ATTENUATOR_H

/**
 * \file
 * \brief The C interface: an opaque handle and plain C functions over the same driver.
 *
 * The C interface of the attenuator driver, exported from the same shared library as the C++
 * class TORVEK::AttenuatorHandler and calling it underneath. Only C types cross it, so a host
 * written in C, or any language with a C foreign-function interface (Python ctypes, C#
 * P/Invoke, LabVIEW, MATLAB), can use the library whatever compiler built it. The header
 * needs C99 or later (or C++). Calls use the platform's default C calling convention (cdecl
 * on 32-bit Windows).
 *
 * Handles: torvek_att_create() makes one handle, torvek_att_destroy() releases it. A handle is
 * one TORVEK::AttenuatorHandler and has the same rules: calls on one handle from several
 * threads run one at a time; separate handles share nothing. torvek_att_destroy() must not run
 * while another thread still calls on the same handle.
 *
 * Results: every function that talks to the device returns an int32_t status, the values of
 * TORVEK::AttenuatorStatus plus one of this interface:
 * \verbatim
 *    0      TORVEK_ATT_OK                the expected reply arrived (a device status 0 too)
 *   -1      TORVEK_ATT_UNEXPECTED_REPLY  a reply arrived but was not the one expected
 *   -2      TORVEK_ATT_REPLY_TIMEOUT     no complete reply line within the time-out
 *   -3      TORVEK_ATT_PORT_UNAVAILABLE  no port open, the port failed, or (connect) the port
 *                                        could not be opened or no device identified itself
 *   -4      TORVEK_ATT_INVALID_ARGUMENT  an argument out of range or not a number, a null
 *                                        handle, or a null pointer where one is required;
 *                                        nothing was sent
 *   -5      TORVEK_ATT_INTERNAL_ERROR    the library failed inside (out of memory, or the system
 *                                        refused what a read needs); nothing of the outputs was
 *                                        written. The handle stays usable.
 *   1..255  the device's own status code from a status frame, passed through unchanged.
 * \endverbatim
 * No C++ exception ever leaves a function of this interface.
 *
 * Output pointers are written only when the device delivered the value they carry; on any
 * other result they keep the caller's value.
 *
 * Units: time-outs in milliseconds, bounding the wait for each reply (0 or less: do not wait,
 * the call returns TORVEK_ATT_REPLY_TIMEOUT unless the reply is already there); positions in
 * motor steps or in degrees; transmittance as a fraction from 0 to 1; transmittance model
 * parameters in degrees. Degrees become steps with the scale the device reported when it
 * connected (143360 steps per 360 degrees by default), truncated toward zero.
 *
 * Each function below names the command it sends (as written, nothing added) and each result
 * it can return. A line that stops taking bytes holds a write for the time-out and 100 ms
 * more, then the call returns TORVEK_ATT_PORT_UNAVAILABLE, as in the C++ class.
 */

#include <stdint.h>

#include "torvek/Export.h"

#ifdef __cplusplus
extern "C" {
#endif

/** Success: the expected reply arrived, or a status frame of code 0. */
#define TORVEK_ATT_OK 0
/** A reply arrived but was neither the expected frame nor a status frame. */
#define TORVEK_ATT_UNEXPECTED_REPLY (-1)
/** No complete reply line within the time-out, or the wait was cut short by a cancel. */
#define TORVEK_ATT_REPLY_TIMEOUT (-2)
/** No port open, or the command could not be written; (connect) no device there. */
#define TORVEK_ATT_PORT_UNAVAILABLE (-3)
/** An argument out of range, not a number, or a NULL where none is taken; nothing was sent. */
#define TORVEK_ATT_INVALID_ARGUMENT (-4)
/** The library failed inside (out of memory, a system object refused); outputs untouched. */
#define TORVEK_ATT_INTERNAL_ERROR (-5)

/** The size of every text member of torvek_att_motor_info, terminating NUL included. */
#define TORVEK_ATT_TEXT_SIZE 32

/** One attenuator connection. Opaque: only pointers to it are ever used. */
typedef struct torvek_att_handle torvek_att_handle;

/**
 * The device's identification record, filled by torvek_att_get_motor_info(). Every member is
 * a NUL-terminated string in a fixed array. Texts longer than TORVEK_ATT_TEXT_SIZE - 1 bytes
 * are cut to that length (none of the device's fields comes close: the longest is the
 * home offset, at most 23 characters). A NUL byte sent by the device inside an
 * identification field ends that member early.
 */
typedef struct torvek_att_motor_info {
  char ident_a[TORVEK_ATT_TEXT_SIZE]; /**< 8 characters, as the device sent them */
  char ident_b[TORVEK_ATT_TEXT_SIZE]; /**< 4 characters, as sent */
  char degrees_per_revolution_text[TORVEK_ATT_TEXT_SIZE]; /**< decimal, e.g. "360" */
  char pulses_per_revolution_text[TORVEK_ATT_TEXT_SIZE];  /**< decimal, e.g. "143360" */
  char ident_c[TORVEK_ATT_TEXT_SIZE];                     /**< 2 characters, as sent */
  char ident_d[TORVEK_ATT_TEXT_SIZE];                     /**< 2 characters, as sent */
  char home_offset_text[TORVEK_ATT_TEXT_SIZE]; /**< degrees, six decimals, "0.040179" */
} torvek_att_motor_info;

/**
 * Makes a handle.
 *
 * A new handle with no port open, or NULL when memory ran out or the system had no descriptor
 * (Windows: no event) left for torvek_att_cancel()'s wake-up. Release it with
 * torvek_att_destroy().
 *
 * Sends nothing.
 * \return the new handle, or NULL.
 */
TORVEK_ATTENUATOR_API torvek_att_handle* torvek_att_create(void);

/**
 * Closes the handle's port, if one is open, and releases the handle. NULL is harmless.
 *
 * Sends nothing and cannot fail. Must not run while another thread calls on the handle,
 * torvek_att_cancel() included, nor may one be called during or after it.
 * \param handle  from torvek_att_create(), or NULL; invalid afterwards.
 */
TORVEK_ATTENUATOR_API void torvek_att_destroy(torvek_att_handle* handle);

/**
 * Connects the handle to the attenuator on a serial port.
 *
 * Opens the serial port `port_name` ("/dev/ttyUSB0", "COM3", `"\\\\.\\COM10"`), handed to the
 * system unchanged, sets 9600 8N1, waits 100 ms and accepts the device only if it answers the
 * identification request within 100 ms with a usable scale, which it then adopts. Takes the
 * 100 ms pause and the identification's round trip (its 35 bytes alone take 36 ms at 9600 baud)
 * when a device is there.
 * Returns TORVEK_ATT_OK when connected. Note that this is 0: test the result against
 * TORVEK_ATT_OK, not for truth.
 *
 * Sends `0in` after the pause and expects the identification frame. Blocks for the 100 ms
 * pause and at most 100 ms more for the reply; a line that takes no bytes holds the write up
 * to 200 ms. Reads the wire trace's variable TORVEK_ATTENUATOR_TRACE. A port that opens
 * closes any earlier one of the handle.
 * \param handle     from torvek_att_create().
 * \param port_name  the system's name of the port, NUL-terminated.
 * \retval TORVEK_ATT_OK                connected: the port is open and the scale adopted.
 * \retval TORVEK_ATT_PORT_UNAVAILABLE  not opened (no such port, permission denied): at once,
 *                                      an earlier connection of the handle still open. Or
 *                                      opened, but 9600 8N1 was refused, or no usable
 *                                      identification came within 100 ms, or the command
 *                                      could not be written, or torvek_att_cancel() cut the
 *                                      pause or the wait short: then no port is open.
 * \retval TORVEK_ATT_INVALID_ARGUMENT  `handle` or `port_name` is NULL.
 * \retval TORVEK_ATT_INTERNAL_ERROR    out of memory, or (Windows) no event for the wait.
 */
TORVEK_ATTENUATOR_API int32_t torvek_att_connect(torvek_att_handle* handle, const char* port_name);

/**
 * Closes the port. Harmless without one; the scale of the last connect is kept.
 *
 * Sends nothing. Waits until a call in progress on the handle returns (torvek_att_cancel()
 * first to end it at once). Afterwards every device call returns TORVEK_ATT_PORT_UNAVAILABLE
 * until the next connect.
 * \param handle  from torvek_att_create().
 * \retval TORVEK_ATT_OK                the port is closed, or none was open.
 * \retval TORVEK_ATT_INVALID_ARGUMENT  `handle` is NULL.
 * \retval TORVEK_ATT_INTERNAL_ERROR    the system refused to cancel or close the port.
 */
TORVEK_ATTENUATOR_API int32_t torvek_att_disconnect(torvek_att_handle* handle);

/**
 * Cuts short the call in progress on the handle, from any thread or a signal handler.
 *
 * Ends at once the wait of the call in progress on the handle, if there is one: that call
 * returns TORVEK_ATT_REPLY_TIMEOUT (torvek_att_connect: TORVEK_ATT_PORT_UNAVAILABLE) and writes
 * no output, as when its time-out runs out; the handle stays usable. Made while no call is in
 * progress, or as its call returns, it does nothing, and it never reaches a later call. A call
 * still waiting for the handle's lock is not in progress: to stop a motion from another
 * thread, cancel, then torvek_att_stop().
 * Takes no lock and never blocks; any thread may call it while the handle exists, also during
 * torvek_att_disconnect(). On Linux it is async-signal-safe: a SIGINT handler may call it. It
 * must not run during or after torvek_att_destroy() on the same handle.
 *
 * Sends nothing: a motion under way goes on.
 * \param handle  from torvek_att_create().
 * \retval TORVEK_ATT_OK                the request is made (whether or not a call was waiting).
 * \retval TORVEK_ATT_INVALID_ARGUMENT  `handle` is NULL.
 */
TORVEK_ATTENUATOR_API int32_t torvek_att_cancel(torvek_att_handle* handle);

/**
 * Reads the device's status ("0gs"): the device's code (0 is TORVEK_ATT_OK, 1 to 255 the
 * device's own codes) or a negative code.
 *
 * Sends `0gs`; expects a status frame.
 * \param handle      from torvek_att_create().
 * \param timeout_ms  the wait for the reply, in milliseconds; 0 or less: no wait.
 * \retval TORVEK_ATT_OK                the device reports status 0.
 * \retval 1..255                       the device's status code.
 * \retval TORVEK_ATT_UNEXPECTED_REPLY  the line was no status frame (or its code is not 0 to
 *                                      255), or the port failed before CR LF (a hang-up).
 * \retval TORVEK_ATT_REPLY_TIMEOUT     no complete line within timeout_ms, or cut short by
 *                                      torvek_att_cancel().
 * \retval TORVEK_ATT_PORT_UNAVAILABLE  no port open, or the command could not be written.
 * \retval TORVEK_ATT_INVALID_ARGUMENT  `handle` is NULL.
 * \retval TORVEK_ATT_INTERNAL_ERROR    out of memory, or (Windows) no event for the wait.
 */
TORVEK_ATTENUATOR_API int32_t torvek_att_get_current_status(torvek_att_handle* handle,
                                                            int32_t timeout_ms);

/**
 * Reads the identification record ("0in") and the home offset ("0go"), each request waiting
 * at most timeout_ms / 2. `info` may be NULL (the requests still go out).
 * info->home_offset_text is written whatever the results ("0.000000" when no home offset
 * arrived); the other members only when the identification arrived.
 * The result is TORVEK_ATT_OK when both requests succeeded, otherwise the smaller of the two.
 *
 * Sends `0in`, expecting the identification frame, then `0go`, expecting the home-offset frame
 * (in motor steps, converted with the scale of the last connect). The second request goes out
 * whatever the first gave, except after a cancel. The record is only written, never read: it
 * may come uninitialised.
 * \param handle       from torvek_att_create().
 * \param[out] info    the record to fill, or NULL.
 * \param timeout_ms   shared by the two requests: each waits at most timeout_ms / 2 (integer
 *                     division), in milliseconds.
 * \retval TORVEK_ATT_OK                both requests gave TORVEK_ATT_OK (a frame, or a status
 *                                      frame of code 0), or one did and the other a device
 *                                      status code.
 * \retval 1..255                       both requests got status frames of codes 1 to 255: the
 *                                      smaller code; the identification members not written.
 * \retval TORVEK_ATT_UNEXPECTED_REPLY  one request got a line that is neither its frame nor a
 *                                      status frame, or the port failed before CR LF, and the
 *                                      other gave no smaller result.
 * \retval TORVEK_ATT_REPLY_TIMEOUT     one request got no complete line within timeout_ms / 2,
 *                                      or torvek_att_cancel() cut it short (then the second is
 *                                      not sent), and neither gave TORVEK_ATT_PORT_UNAVAILABLE.
 * \retval TORVEK_ATT_PORT_UNAVAILABLE  no port open, or a command could not be written (also
 *                                      the second after a hang-up during the first).
 * \retval TORVEK_ATT_INVALID_ARGUMENT  `handle` is NULL; nothing sent, nothing written.
 * \retval TORVEK_ATT_INTERNAL_ERROR    out of memory, or (Windows) no event for the wait;
 *                                      nothing written.
 */
TORVEK_ATTENUATOR_API int32_t torvek_att_get_motor_info(torvek_att_handle* handle,
                                                        torvek_att_motor_info* info,
                                                        int32_t timeout_ms);

/**
 * Moves to an absolute position in motor steps, -143360 <= steps <= 143360 ("0ma" and 8 hex
 * digits). The device answers with its position. Out of range: TORVEK_ATT_INVALID_ARGUMENT.
 *
 * Sends `0ma` + the 32-bit two's-complement pattern of `steps` as 8 upper-case hex digits
 * (-1: `0maFFFFFFFF`); expects a position frame, which the device sends when the motion ends,
 * so timeout_ms must cover the motion. The position it reports is not handed back.
 * \param handle      from torvek_att_create().
 * \param steps       the target; the bounds are fixed, whatever scale the device reported.
 * \param timeout_ms  the wait for the reply, in milliseconds; 0 or less: no wait.
 * \retval TORVEK_ATT_OK                a position frame with a readable number, or a status
 *                                      frame of code 0.
 * \retval 1..255                       the device's status frame instead of the position.
 * \retval TORVEK_ATT_UNEXPECTED_REPLY  any other line, a position without readable digits, or
 *                                      the port failed before CR LF (a hang-up).
 * \retval TORVEK_ATT_REPLY_TIMEOUT     no complete line within timeout_ms, or cut short by
 *                                      torvek_att_cancel(); the mount may still be moving.
 * \retval TORVEK_ATT_PORT_UNAVAILABLE  no port open, or the command could not be written.
 * \retval TORVEK_ATT_INVALID_ARGUMENT  `handle` is NULL, or `steps` outside -143360 to 143360
 *                                      (checked first, also with no port open); nothing sent.
 * \retval TORVEK_ATT_INTERNAL_ERROR    out of memory, or (Windows) no event for the wait.
 */
TORVEK_ATTENUATOR_API int32_t torvek_att_set_motor_steps(torvek_att_handle* handle, int32_t steps,
                                                         int32_t timeout_ms);

/**
 * Reads the position in motor steps ("0gp") into *steps. `steps` may be NULL.
 *
 * Sends `0gp`; expects a position frame.
 * \param handle       from torvek_att_create().
 * \param[out] steps   the position; written only when a position frame arrived.
 * \param timeout_ms   the wait for the reply, in milliseconds; 0 or less: no wait.
 * \retval TORVEK_ATT_OK                a position frame with a readable number: written to
 *                                      `*steps`; or a status frame of code 0: nothing written.
 * \retval 1..255                       the device's status frame instead of the position.
 * \retval TORVEK_ATT_UNEXPECTED_REPLY  any other line, a position without readable digits, or
 *                                      the port failed before CR LF (a hang-up).
 * \retval TORVEK_ATT_REPLY_TIMEOUT     no complete line within timeout_ms, or cut short by
 *                                      torvek_att_cancel().
 * \retval TORVEK_ATT_PORT_UNAVAILABLE  no port open, or the command could not be written.
 * \retval TORVEK_ATT_INVALID_ARGUMENT  `handle` is NULL; nothing sent.
 * \retval TORVEK_ATT_INTERNAL_ERROR    out of memory, or (Windows) no event for the wait.
 */
TORVEK_ATTENUATOR_API int32_t torvek_att_get_motor_steps(torvek_att_handle* handle, int32_t* steps,
                                                         int32_t timeout_ms);

/**
 * Moves to an absolute angle in degrees, -360 < degree < 360, truncated toward zero to whole
 * steps of the device's scale. Out of range, not a number, or a step count that does not fit
 * in 32 bits: TORVEK_ATT_INVALID_ARGUMENT.
 *
 * Sends `0ma` + the step count as 8 upper-case hex digits (two's complement); expects a
 * position frame, which the device sends when the motion ends, so timeout_ms must cover the
 * motion. The position it reports is not handed back.
 * \param handle      from torvek_att_create().
 * \param degree      the target angle in degrees.
 * \param timeout_ms  the wait for the reply, in milliseconds; 0 or less: no wait.
 * \retval TORVEK_ATT_OK                a position frame with a readable number, or a status
 *                                      frame of code 0.
 * \retval 1..255                       the device's status frame instead of the position.
 * \retval TORVEK_ATT_UNEXPECTED_REPLY  any other line, a position without readable digits, or
 *                                      the port failed before CR LF (a hang-up).
 * \retval TORVEK_ATT_REPLY_TIMEOUT     no complete line within timeout_ms, or cut short by
 *                                      torvek_att_cancel(); the mount may still be moving.
 * \retval TORVEK_ATT_PORT_UNAVAILABLE  no port open, or the command could not be written.
 * \retval TORVEK_ATT_INVALID_ARGUMENT  `handle` is NULL, or `degree` NaN, infinite, -360 or
 *                                      below, 360 or above, or its step count beyond 32 bits
 *                                      (checked first, also with no port open); nothing sent.
 * \retval TORVEK_ATT_INTERNAL_ERROR    out of memory, or (Windows) no event for the wait.
 */
TORVEK_ATTENUATOR_API int32_t torvek_att_set_motor_degree(torvek_att_handle* handle, float degree,
                                                          int32_t timeout_ms);

/**
 * Reads the position in degrees ("0gp") into *degree. `degree` may be NULL.
 *
 * Sends `0gp`; expects a position frame, whose steps become degrees with the scale of the last
 * connect (143360 / 360 before any).
 * \param handle       from torvek_att_create().
 * \param[out] degree  the position in degrees; written only when a position frame arrived.
 * \param timeout_ms   the wait for the reply, in milliseconds; 0 or less: no wait.
 * \retval TORVEK_ATT_OK                a position frame with a readable number: written to
 *                                      `*degree`; or a status frame of code 0: nothing written.
 * \retval 1..255                       the device's status frame instead of the position.
 * \retval TORVEK_ATT_UNEXPECTED_REPLY  any other line, a position without readable digits, or
 *                                      the port failed before CR LF (a hang-up).
 * \retval TORVEK_ATT_REPLY_TIMEOUT     no complete line within timeout_ms, or cut short by
 *                                      torvek_att_cancel().
 * \retval TORVEK_ATT_PORT_UNAVAILABLE  no port open, or the command could not be written.
 * \retval TORVEK_ATT_INVALID_ARGUMENT  `handle` is NULL; nothing sent.
 * \retval TORVEK_ATT_INTERNAL_ERROR    out of memory, or (Windows) no event for the wait.
 */
TORVEK_ATTENUATOR_API int32_t torvek_att_get_motor_degree(torvek_att_handle* handle, float* degree,
                                                          int32_t timeout_ms);

/**
 * Homes the mount ("0ho0"); the device answers with its position.
 *
 * Sends `0ho0`; expects a position frame, which the device sends once at home, so timeout_ms
 * must cover the motion. The position it reports is not handed back.
 * \param handle      from torvek_att_create().
 * \param timeout_ms  the wait for the reply, in milliseconds; 0 or less: no wait.
 * \retval TORVEK_ATT_OK                a position frame with a readable number, or a status
 *                                      frame of code 0.
 * \retval 1..255                       the device's status frame instead of the position.
 * \retval TORVEK_ATT_UNEXPECTED_REPLY  any other line, a position without readable digits, or
 *                                      the port failed before CR LF (a hang-up).
 * \retval TORVEK_ATT_REPLY_TIMEOUT     no complete line within timeout_ms, or cut short by
 *                                      torvek_att_cancel(); the mount may still be moving.
 * \retval TORVEK_ATT_PORT_UNAVAILABLE  no port open, or the command could not be written.
 * \retval TORVEK_ATT_INVALID_ARGUMENT  `handle` is NULL; nothing sent.
 * \retval TORVEK_ATT_INTERNAL_ERROR    out of memory, or (Windows) no event for the wait.
 */
TORVEK_ATTENUATOR_API int32_t torvek_att_mechanical_calibration(torvek_att_handle* handle,
                                                                int32_t timeout_ms);

/**
 * Starts the device's motor optimisation ("0om"); the device answers with a status.
 *
 * Sends `0om`; expects a status frame, which the device sends when the run is over, so
 * timeout_ms must cover the run.
 * \param handle      from torvek_att_create().
 * \param timeout_ms  the wait for the reply, in milliseconds; 0 or less: no wait.
 * \retval TORVEK_ATT_OK                a status frame of code 0.
 * \retval 1..255                       the device's status code.
 * \retval TORVEK_ATT_UNEXPECTED_REPLY  the line was no status frame (or its code is not 0 to
 *                                      255), or the port failed before CR LF (a hang-up).
 * \retval TORVEK_ATT_REPLY_TIMEOUT     no complete line within timeout_ms, or cut short by
 *                                      torvek_att_cancel(); the run may still be going on.
 * \retval TORVEK_ATT_PORT_UNAVAILABLE  no port open, or the command could not be written.
 * \retval TORVEK_ATT_INVALID_ARGUMENT  `handle` is NULL; nothing sent.
 * \retval TORVEK_ATT_INTERNAL_ERROR    out of memory, or (Windows) no event for the wait.
 */
TORVEK_ATTENUATOR_API int32_t torvek_att_start_optimization(torvek_att_handle* handle,
                                                            int32_t timeout_ms);

/**
 * Starts the device's mechanics cleaning ("0cm"); the device answers with a status.
 *
 * Sends `0cm`; expects a status frame, which the device sends when the run is over, so
 * timeout_ms must cover the run.
 * \param handle      from torvek_att_create().
 * \param timeout_ms  the wait for the reply, in milliseconds; 0 or less: no wait.
 * \retval TORVEK_ATT_OK                a status frame of code 0.
 * \retval 1..255                       the device's status code.
 * \retval TORVEK_ATT_UNEXPECTED_REPLY  the line was no status frame (or its code is not 0 to
 *                                      255), or the port failed before CR LF (a hang-up).
 * \retval TORVEK_ATT_REPLY_TIMEOUT     no complete line within timeout_ms, or cut short by
 *                                      torvek_att_cancel(); the run may still be going on.
 * \retval TORVEK_ATT_PORT_UNAVAILABLE  no port open, or the command could not be written.
 * \retval TORVEK_ATT_INVALID_ARGUMENT  `handle` is NULL; nothing sent.
 * \retval TORVEK_ATT_INTERNAL_ERROR    out of memory, or (Windows) no event for the wait.
 */
TORVEK_ATTENUATOR_API int32_t torvek_att_start_cleaning_mechanics(torvek_att_handle* handle,
                                                                  int32_t timeout_ms);

/**
 * Stops a motion ("0st"); the device answers with a status. It cannot overtake a call on the
 * same handle that is still waiting for its reply.
 *
 * Sends `0st`; expects a status frame. From another thread, torvek_att_cancel() first: this
 * call waits for the handle's lock like every call.
 * \param handle      from torvek_att_create().
 * \param timeout_ms  the wait for the reply, in milliseconds; 0 or less: no wait.
 * \retval TORVEK_ATT_OK                a status frame of code 0.
 * \retval 1..255                       the device's status code.
 * \retval TORVEK_ATT_UNEXPECTED_REPLY  the line was no status frame (or its code is not 0 to
 *                                      255), or the port failed before CR LF (a hang-up).
 * \retval TORVEK_ATT_REPLY_TIMEOUT     no complete line within timeout_ms, or cut short by
 *                                      torvek_att_cancel().
 * \retval TORVEK_ATT_PORT_UNAVAILABLE  no port open, or the command could not be written.
 * \retval TORVEK_ATT_INVALID_ARGUMENT  `handle` is NULL; nothing sent.
 * \retval TORVEK_ATT_INTERNAL_ERROR    out of memory, or (Windows) no event for the wait.
 */
TORVEK_ATTENUATOR_API int32_t torvek_att_stop(torvek_att_handle* handle, int32_t timeout_ms);

/**
 * Moves to the angle that gives `transmittance` (0 to 1, both included).
 *
 * The transmittance model: T = sin^2(90 * (angle - min_angle) / angle_span), angles in degrees.
 * min_angle is where T = 0; angle_span the rotation from T = 0 to T = 1 (negative spans are
 * allowed; zero, and any span closer to zero than 1e-9 degrees, is not). Requires
 * min_angle > -360 and min_angle + angle_span < 360; otherwise TORVEK_ATT_INVALID_ARGUMENT.
 *
 * Sends `0ma` + the angle's step count as 8 upper-case hex digits, as
 * torvek_att_set_motor_degree() does; the angle lies on the half-period from min_angle to
 * min_angle + angle_span. Expects a position frame, which the device sends when the motion
 * ends, so timeout_ms must cover the motion. The position it reports is not handed back.
 * \param handle         from torvek_att_create().
 * \param transmittance  the wanted transmittance, 0 to 1.
 * \param min_angle      the model's angle of T = 0, in degrees.
 * \param angle_span     the model's rotation from T = 0 to T = 1, in degrees.
 * \param timeout_ms     the wait for the reply, in milliseconds; 0 or less: no wait.
 * \retval TORVEK_ATT_OK                a position frame with a readable number, or a status
 *                                      frame of code 0.
 * \retval 1..255                       the device's status frame instead of the position.
 * \retval TORVEK_ATT_UNEXPECTED_REPLY  any other line, a position without readable digits, or
 *                                      the port failed before CR LF (a hang-up).
 * \retval TORVEK_ATT_REPLY_TIMEOUT     no complete line within timeout_ms, or cut short by
 *                                      torvek_att_cancel(); the mount may still be moving.
 * \retval TORVEK_ATT_PORT_UNAVAILABLE  no port open, or the command could not be written.
 * \retval TORVEK_ATT_INVALID_ARGUMENT  `handle` is NULL; `transmittance` NaN or outside 0 to 1;
 *                                      min_angle or angle_span not finite, or outside the
 *                                      model's bounds above; the angle or its step count beyond
 *                                      what a float or 32 bits hold (checked first, also with
 *                                      no port open); nothing sent.
 * \retval TORVEK_ATT_INTERNAL_ERROR    out of memory, or (Windows) no event for the wait.
 */
TORVEK_ATTENUATOR_API int32_t torvek_att_set_transmittance(torvek_att_handle* handle,
                                                           float transmittance, double min_angle,
                                                           double angle_span, int32_t timeout_ms);

/**
 * Reads the position ("0gp") and reports the model's transmittance there in *transmittance.
 * `transmittance` must not be NULL (TORVEK_ATT_INVALID_ARGUMENT).
 *
 * Sends `0gp`; expects a position frame, whose steps become degrees with the scale of the last
 * connect, then a transmittance by the model of torvek_att_set_transmittance().
 * \param handle              from torvek_att_create().
 * \param[out] transmittance  the model's transmittance at the position read, 0 to 1; written
 *                            only when a position frame arrived.
 * \param min_angle           the model's angle of T = 0, in degrees.
 * \param angle_span          the model's rotation from T = 0 to T = 1, in degrees.
 * \param timeout_ms          the wait for the reply, in milliseconds; 0 or less: no wait.
 * \retval TORVEK_ATT_OK                a position frame with a readable number: `*transmittance`
 *                                      written; or a status frame of code 0: nothing written.
 * \retval 1..255                       the device's status frame instead of the position.
 * \retval TORVEK_ATT_UNEXPECTED_REPLY  any other line, a position without readable digits, or
 *                                      the port failed before CR LF (a hang-up).
 * \retval TORVEK_ATT_REPLY_TIMEOUT     no complete line within timeout_ms, or cut short by
 *                                      torvek_att_cancel().
 * \retval TORVEK_ATT_PORT_UNAVAILABLE  no port open, or the command could not be written.
 * \retval TORVEK_ATT_INVALID_ARGUMENT  `handle` or `transmittance` is NULL; min_angle or
 *                                      angle_span not finite, or outside the model's bounds of
 *                                      torvek_att_set_transmittance() (checked first, also with
 *                                      no port open); nothing sent.
 * \retval TORVEK_ATT_INTERNAL_ERROR    out of memory, or (Windows) no event for the wait.
 */
TORVEK_ATTENUATOR_API int32_t torvek_att_get_transmittance(torvek_att_handle* handle,
                                                           float* transmittance, double min_angle,
                                                           double angle_span, int32_t timeout_ms);

/**
 * The name of a status.
 *
 * "Ok", "UnexpectedReply", "ReplyTimeout", "PortUnavailable", "InvalidArgument",
 * "InternalError", "DeviceStatus" for 1 to 255, "Unknown" for anything else. A static string,
 * never NULL.
 *
 * Needs no handle and takes no lock: any thread, at any time.
 * \param status  any value, as returned by a function of this interface or not.
 * \return the name, a static string.
 */
TORVEK_ATTENUATOR_API const char* torvek_att_status_name(int32_t status);

/**
 * The library's version, "major.minor.patch". A static string.
 *
 * Needs no handle and takes no lock: any thread, at any time.
 * \return the version of the library loaded at run time, never NULL.
 */
TORVEK_ATTENUATOR_API const char* torvek_att_library_version(void);

#ifdef __cplusplus
}
#endif

#endif /* TORVEK_ATTENUATOR_H */
