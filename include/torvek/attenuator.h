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
 *   -3      TORVEK_ATT_PORT_UNAVAILABLE  no port open, the port has gone (then closed), or the
 *                                        command could not be written
 *   -4      TORVEK_ATT_INVALID_ARGUMENT  an argument out of range or not a number, a null
 *                                        handle, or a null pointer where one is required;
 *                                        nothing was sent
 *   -5      TORVEK_ATT_INTERNAL_ERROR    the library failed inside (out of memory, or the system
 *                                        refused what a read needs); nothing of the outputs was
 *                                        written. The handle stays usable.
 *   -6      TORVEK_ATT_NO_SUCH_PORT      (connect) no port of that name
 *   -7      TORVEK_ATT_ACCESS_DENIED     (connect) this user may not open the port
 *   -8      TORVEK_ATT_PORT_BUSY         (connect) another program holds the port
 *   -9      TORVEK_ATT_NOT_A_SERIAL_PORT (connect) it opened but refused 9600 8N1
 *   -10     TORVEK_ATT_NO_IDENTIFICATION (connect) nothing answered the identification
 *   -11     TORVEK_ATT_BAD_IDENTIFICATION (connect) an answer, but no usable identification
 *   -12     TORVEK_ATT_NO_VALUE          (reads) the device answered with status 0 in place
 *                                        of the value; nothing was written
 *   -13     TORVEK_ATT_AMBIGUOUS_PORT    (connect) a usb: name fits more than one port
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

#include <stddef.h>
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
/** (connect) No port of that name: mistyped, or the adapter is unplugged. */
#define TORVEK_ATT_NO_SUCH_PORT (-6)
/** (connect) The port exists, but this user may not open it. */
#define TORVEK_ATT_ACCESS_DENIED (-7)
/** (connect) Another program holds the port (exclusive mode; on Windows, any that has it). */
#define TORVEK_ATT_PORT_BUSY (-8)
/** (connect) The port opened but refused 9600 8N1: no serial device (a file, /dev/null). */
#define TORVEK_ATT_NOT_A_SERIAL_PORT (-9)
/** (connect) Nothing answered the identification within 100 ms. */
#define TORVEK_ATT_NO_IDENTIFICATION (-10)
/** (connect) A reply came, but no usable identification: another device, noise, a scale of 0. */
#define TORVEK_ATT_BAD_IDENTIFICATION (-11)
/** (reads) The device answered with a status frame of code 0 instead of the value asked for;
 *  the output was not written. */
#define TORVEK_ATT_NO_VALUE (-12)
/** (connect) A `usb:VID:PID` name fits more than one port: add the serial number. */
#define TORVEK_ATT_AMBIGUOUS_PORT (-13)

/** The moves' bound in motor steps: -TORVEK_ATT_MAX_STEPS <= steps <= TORVEK_ATT_MAX_STEPS. */
#define TORVEK_ATT_MAX_STEPS 143360
/** The moves' bound in degrees, not included: -360 < degrees < 360. */
#define TORVEK_ATT_MAX_DEGREES 360.0
/** The transmittance model's smallest span, either way, in degrees. */
#define TORVEK_ATT_MIN_SPAN 1e-9
/** How often torvek_att_connect_with_attempts() is meant to try by default: the attempts
 *  attenuatorctl, the Python package and the Tango server make. */
#define TORVEK_ATT_CONNECT_ATTEMPTS 3

/** torvek_att_accepted_range(): the steps of a move. */
#define TORVEK_ATT_RANGE_STEPS 1
/** torvek_att_accepted_range(): the degrees of a move. */
#define TORVEK_ATT_RANGE_DEGREES 2
/** torvek_att_accepted_range(): a transmittance. */
#define TORVEK_ATT_RANGE_TRANSMITTANCE 3
/** torvek_att_accepted_range(): the transmittance model's min angle and span. */
#define TORVEK_ATT_RANGE_MODEL 4

/** The size of every text member of torvek_att_motor_info, terminating NUL included. */
#define TORVEK_ATT_TEXT_SIZE 32

/**
 * The library's fixed numbers, for languages that cannot read this header's macros (the
 * Python package reads them here): see torvek_att_get_limits().
 */
typedef struct torvek_att_limits {
  int32_t max_steps;        /**< TORVEK_ATT_MAX_STEPS */
  double max_degrees;       /**< TORVEK_ATT_MAX_DEGREES */
  double min_span;          /**< TORVEK_ATT_MIN_SPAN */
  int32_t connect_attempts; /**< TORVEK_ATT_CONNECT_ATTEMPTS */
  int32_t default_degrees_per_revolution; /**< the scale a handle has before any connect */
  int32_t default_steps_per_revolution;   /**< the scale a handle has before any connect */
} torvek_att_limits;

/** The size of torvek_att_identification's texts, terminating NUL included. */
#define TORVEK_ATT_IDENT_SIZE 12

/**
 * The device's identification with its numbers as numbers, filled by
 * torvek_att_get_identification().
 */
typedef struct torvek_att_identification {
  char ident_a[TORVEK_ATT_IDENT_SIZE]; /**< 8 characters, as the device sent them */
  char ident_b[TORVEK_ATT_IDENT_SIZE]; /**< 4 characters */
  char ident_c[TORVEK_ATT_IDENT_SIZE]; /**< 2 characters */
  char ident_d[TORVEK_ATT_IDENT_SIZE]; /**< 2 characters */
  int32_t degrees_per_revolution;      /**< the device's scale, e.g. 360 */
  int32_t steps_per_revolution;        /**< the device's scale, e.g. 143360 */
  double home_offset_deg;              /**< the home offset in degrees, as a C float holds it */
} torvek_att_identification;

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
  char home_offset_text[TORVEK_ATT_TEXT_SIZE];            /**< degrees, six decimals, "0.040179" */
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
 * Connects the handle to the attenuator on a serial port, and says why not.
 *
 * Opens the serial port `port_name` ("/dev/ttyUSB0", "COM3", `"\\\\.\\COM10"`), handed to the
 * system unchanged, sets 9600 8N1, waits 100 ms and accepts the device only if it answers the
 * identification request within 100 ms with a usable scale, which it then adopts. Takes the
 * 100 ms pause and the identification's round trip (its 35 bytes alone take 36 ms at 9600 baud)
 * when a device is there. One attempt: torvek_att_connect_with_attempts() tries again when the
 * device missed its window.
 * Returns TORVEK_ATT_OK when connected. Note that this is 0: test the result against
 * TORVEK_ATT_OK, not for truth.
 *
 * Sends `0in` after the pause and expects the identification frame. Blocks for the 100 ms
 * pause and at most 100 ms more for the reply; a line that takes no bytes holds the write up
 * to 200 ms. Reads the wire trace's variable TORVEK_ATTENUATOR_TRACE. A port that opens
 * closes any earlier one of the handle.
 * \param handle     from torvek_att_create().
 * \param port_name  the system's name of the port, NUL-terminated.
 * \retval TORVEK_ATT_OK                  connected: the port is open and the scale adopted.
 * \retval TORVEK_ATT_NO_SUCH_PORT        no port of that name; at once, everything as before, an
 *                                        earlier connection of the handle still open.
 * \retval TORVEK_ATT_ACCESS_DENIED       this user may not open it; at once, as above.
 * \retval TORVEK_ATT_PORT_BUSY           another program holds it; at once, as above.
 * \retval TORVEK_ATT_PORT_UNAVAILABLE    it could not be opened for another reason (at once, as
 *                                        above); or it opened but the identification request
 *                                        could not be written (then no port is open).
 * \retval TORVEK_ATT_NOT_A_SERIAL_PORT   it is no serial device (it refused 9600 8N1); no port
 *                                        is open.
 * \retval TORVEK_ATT_NO_IDENTIFICATION   nothing answered within 100 ms; no port is open.
 * \retval TORVEK_ATT_BAD_IDENTIFICATION  an answer that is no usable identification (another
 *                                        line, a status frame, a scale of zero or less); no port
 *                                        is open.
 * \retval TORVEK_ATT_REPLY_TIMEOUT       torvek_att_cancel() cut the pause or the wait short; no
 *                                        port is open.
 * \retval TORVEK_ATT_INVALID_ARGUMENT    `handle` or `port_name` is NULL.
 * \retval TORVEK_ATT_INTERNAL_ERROR      out of memory, or (Windows) no event for the wait.
 */
TORVEK_ATTENUATOR_API int32_t torvek_att_connect(torvek_att_handle* handle, const char* port_name);

/**
 * Connects as torvek_att_connect() does, trying the identification up to `attempts` times.
 *
 * A host busy with other work, or a device still finishing a motion, misses the 100 ms window
 * now and then: while the result is TORVEK_ATT_NO_IDENTIFICATION or
 * TORVEK_ATT_BAD_IDENTIFICATION, the port is opened and the identification asked again, up to
 * `attempts` times in all (TORVEK_ATT_CONNECT_ATTEMPTS is what the library's own tools use).
 * Every other result is final at once.
 * \param handle     from torvek_att_create().
 * \param port_name  the system's name of the port, NUL-terminated.
 * \param attempts   how many identifications to try; below 1 counts as 1.
 * \return the result of the last attempt, as torvek_att_connect() returns it.
 */
TORVEK_ATTENUATOR_API int32_t torvek_att_connect_with_attempts(torvek_att_handle* handle,
                                                               const char* port_name,
                                                               int32_t attempts);

/**
 * Tells whether the handle's port is still there, without sending anything or waiting.
 *
 * A light check to run now and then while no call is made (a device server's watch, a
 * window's timer), so that an unplugged adapter is noticed before the next command. It looks at
 * the port's state only; a port found gone is closed. When another call on the handle is in
 * progress it returns TORVEK_ATT_OK at once: that call finds a vanished port itself.
 * \param handle  from torvek_att_create().
 * \retval TORVEK_ATT_OK                a port is open and has not gone, or a call holds it.
 * \retval TORVEK_ATT_PORT_UNAVAILABLE  no port is open, or it has gone (now closed).
 * \retval TORVEK_ATT_INVALID_ARGUMENT  `handle` is NULL.
 */
TORVEK_ATTENUATOR_API int32_t torvek_att_check_port(torvek_att_handle* handle);

/**
 * The scale the device reported when it connected: degrees and motor steps per revolution, as
 * every conversion of the handle uses them (for torvek_att_density_limit(), say). Sends
 * nothing; waits until a call in progress on the handle returns.
 * \param handle                       from torvek_att_create().
 * \param[out] degrees_per_revolution  written on TORVEK_ATT_OK only.
 * \param[out] steps_per_revolution    written on TORVEK_ATT_OK only.
 * \retval TORVEK_ATT_OK                written.
 * \retval TORVEK_ATT_PORT_UNAVAILABLE  no port is open.
 * \retval TORVEK_ATT_INVALID_ARGUMENT  `handle` or an output is NULL.
 */
TORVEK_ATTENUATOR_API int32_t torvek_att_get_scale(torvek_att_handle* handle,
                                                   int32_t* degrees_per_revolution,
                                                   int32_t* steps_per_revolution);

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
 * returns TORVEK_ATT_REPLY_TIMEOUT (torvek_att_connect too, with no port open) and writes
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
 * \retval TORVEK_ATT_UNEXPECTED_REPLY  the line was no status frame (or its code is not 0 to 255).
 * \retval TORVEK_ATT_REPLY_TIMEOUT     no complete line within timeout_ms, or cut short by
 *                                      torvek_att_cancel().
 * \retval TORVEK_ATT_PORT_UNAVAILABLE  no port open, the port has gone (an adapter unplugged, the
 *                                      line hung up: then closed, at once), or the command could
 *                                      not be written.
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
 * \retval TORVEK_ATT_OK                both frames arrived, or one did and the other request
 *                                      got a device status code 1 to 255.
 * \retval TORVEK_ATT_NO_VALUE          neither request failed, but a status frame of code 0
 *                                      came in place of a frame: what did arrive is written,
 *                                      home_offset_text "0.000000" when it did not.
 * \retval 1..255                       both requests got status frames of codes 1 to 255: the
 *                                      smaller code; the identification members not written.
 * \retval TORVEK_ATT_UNEXPECTED_REPLY  one request got a line that is neither its frame nor a
 *                                      status frame, and the other gave no smaller result.
 * \retval TORVEK_ATT_REPLY_TIMEOUT     one request got no complete line within timeout_ms / 2,
 *                                      or torvek_att_cancel() cut it short (then the second is
 *                                      not sent), and neither gave TORVEK_ATT_PORT_UNAVAILABLE.
 * \retval TORVEK_ATT_PORT_UNAVAILABLE  no port open, the port has gone (then closed, at once; the
 *                                      second request then finds no port), or a command could not
 *                                      be written.
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
 * \retval TORVEK_ATT_UNEXPECTED_REPLY  any other line, or a position without readable digits.
 * \retval TORVEK_ATT_REPLY_TIMEOUT     no complete line within timeout_ms, or cut short by
 *                                      torvek_att_cancel(); the mount may still be moving.
 * \retval TORVEK_ATT_PORT_UNAVAILABLE  no port open, the port has gone (an adapter unplugged, the
 *                                      line hung up: then closed, at once), or the command could
 *                                      not be written.
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
 *                                      `*steps`.
 * \retval TORVEK_ATT_NO_VALUE          a status frame of code 0 in place of the position;
 *                                      nothing written.
 * \retval 1..255                       the device's status frame instead of the position.
 * \retval TORVEK_ATT_UNEXPECTED_REPLY  any other line, or a position without readable digits.
 * \retval TORVEK_ATT_REPLY_TIMEOUT     no complete line within timeout_ms, or cut short by
 *                                      torvek_att_cancel().
 * \retval TORVEK_ATT_PORT_UNAVAILABLE  no port open, the port has gone (an adapter unplugged, the
 *                                      line hung up: then closed, at once), or the command could
 *                                      not be written.
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
 * \retval TORVEK_ATT_UNEXPECTED_REPLY  any other line, or a position without readable digits.
 * \retval TORVEK_ATT_REPLY_TIMEOUT     no complete line within timeout_ms, or cut short by
 *                                      torvek_att_cancel(); the mount may still be moving.
 * \retval TORVEK_ATT_PORT_UNAVAILABLE  no port open, the port has gone (an adapter unplugged, the
 *                                      line hung up: then closed, at once), or the command could
 *                                      not be written.
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
 *                                      `*degree`.
 * \retval TORVEK_ATT_NO_VALUE          a status frame of code 0 in place of the position;
 *                                      nothing written.
 * \retval 1..255                       the device's status frame instead of the position.
 * \retval TORVEK_ATT_UNEXPECTED_REPLY  any other line, or a position without readable digits.
 * \retval TORVEK_ATT_REPLY_TIMEOUT     no complete line within timeout_ms, or cut short by
 *                                      torvek_att_cancel().
 * \retval TORVEK_ATT_PORT_UNAVAILABLE  no port open, the port has gone (an adapter unplugged, the
 *                                      line hung up: then closed, at once), or the command could
 *                                      not be written.
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
 * \retval TORVEK_ATT_UNEXPECTED_REPLY  any other line, or a position without readable digits.
 * \retval TORVEK_ATT_REPLY_TIMEOUT     no complete line within timeout_ms, or cut short by
 *                                      torvek_att_cancel(); the mount may still be moving.
 * \retval TORVEK_ATT_PORT_UNAVAILABLE  no port open, the port has gone (an adapter unplugged, the
 *                                      line hung up: then closed, at once), or the command could
 *                                      not be written.
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
 * \retval TORVEK_ATT_UNEXPECTED_REPLY  the line was no status frame (or its code is not 0 to 255).
 * \retval TORVEK_ATT_REPLY_TIMEOUT     no complete line within timeout_ms, or cut short by
 *                                      torvek_att_cancel(); the run may still be going on.
 * \retval TORVEK_ATT_PORT_UNAVAILABLE  no port open, the port has gone (an adapter unplugged, the
 *                                      line hung up: then closed, at once), or the command could
 *                                      not be written.
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
 * \retval TORVEK_ATT_UNEXPECTED_REPLY  the line was no status frame (or its code is not 0 to 255).
 * \retval TORVEK_ATT_REPLY_TIMEOUT     no complete line within timeout_ms, or cut short by
 *                                      torvek_att_cancel(); the run may still be going on.
 * \retval TORVEK_ATT_PORT_UNAVAILABLE  no port open, the port has gone (an adapter unplugged, the
 *                                      line hung up: then closed, at once), or the command could
 *                                      not be written.
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
 * \retval TORVEK_ATT_UNEXPECTED_REPLY  the line was no status frame (or its code is not 0 to 255).
 * \retval TORVEK_ATT_REPLY_TIMEOUT     no complete line within timeout_ms, or cut short by
 *                                      torvek_att_cancel().
 * \retval TORVEK_ATT_PORT_UNAVAILABLE  no port open, the port has gone (an adapter unplugged, the
 *                                      line hung up: then closed, at once), or the command could
 *                                      not be written.
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
 * \retval TORVEK_ATT_UNEXPECTED_REPLY  any other line, or a position without readable digits.
 * \retval TORVEK_ATT_REPLY_TIMEOUT     no complete line within timeout_ms, or cut short by
 *                                      torvek_att_cancel(); the mount may still be moving.
 * \retval TORVEK_ATT_PORT_UNAVAILABLE  no port open, the port has gone (an adapter unplugged, the
 *                                      line hung up: then closed, at once), or the command could
 *                                      not be written.
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
 *                                      written.
 * \retval TORVEK_ATT_NO_VALUE          a status frame of code 0 in place of the position;
 *                                      nothing written.
 * \retval 1..255                       the device's status frame instead of the position.
 * \retval TORVEK_ATT_UNEXPECTED_REPLY  any other line, or a position without readable digits.
 * \retval TORVEK_ATT_REPLY_TIMEOUT     no complete line within timeout_ms, or cut short by
 *                                      torvek_att_cancel().
 * \retval TORVEK_ATT_PORT_UNAVAILABLE  no port open, the port has gone (an adapter unplugged, the
 *                                      line hung up: then closed, at once), or the command could
 *                                      not be written.
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
 * Reads the identification record ("0in") and the home offset ("0go") with their numbers as
 * numbers: the same requests and results as torvek_att_get_motor_info().
 *
 * Sends `0in`, then `0go`, each waiting at most timeout_ms / 2.
 * \param handle       from torvek_att_create().
 * \param[out] ident   the record to fill, not NULL; only written, never read. The texts and
 *                     the scale only when the identification arrived, home_offset_deg only when
 *                     the home offset did.
 * \param timeout_ms   shared by the two requests, in milliseconds.
 * \return as torvek_att_get_motor_info(); TORVEK_ATT_INVALID_ARGUMENT when `handle` or `ident`
 *         is NULL (nothing sent).
 */
TORVEK_ATTENUATOR_API int32_t torvek_att_get_identification(torvek_att_handle* handle,
                                                            torvek_att_identification* ident,
                                                            int32_t timeout_ms);

/**
 * One serial port of this machine, as torvek_att_list_ports() finds it. Every text is
 * NUL-terminated and never NULL (empty where the system tells nothing), and lives as long as
 * the list it came in.
 */
typedef struct torvek_att_port {
  const char* path;           /**< as the system names it: "/dev/ttyUSB0", "COM3" */
  const char* open_path;      /**< what to open: `path`, under TORVEK_ATTENUATOR_SYSROOT if set */
  const char* const* by_id;   /**< the /dev/serial/by-id/ names that lead to it */
  size_t by_id_count;         /**< how many names `by_id` holds */
  const char* vendor_id;      /**< the USB adapter's vendor id, four hex digits */
  const char* product_id;     /**< the USB adapter's product id, four hex digits */
  const char* serial;         /**< the USB adapter's serial number */
  const char* manufacturer;   /**< the USB adapter's manufacturer */
  const char* product;        /**< the USB adapter's product name */
  const char* driver;         /**< the kernel driver that serves the port */
  const char* system_name;    /**< Windows: the device behind the COM name */
  int32_t may_open;           /**< 1 when this user may open it for reading and writing */
  int32_t open_error;         /**< when not: why, as an errno value */
  const char* group;          /**< when not: the group that owns it */
  int32_t latency_timer_ms;   /**< a USB adapter's latency timer in ms; -1: none or unknown */
  const char* locked_by;      /**< a lock file naming a live process: "process 4242 (...)" */
} torvek_att_port;

/** The ports torvek_att_list_ports() found. Opaque. */
typedef struct torvek_att_port_list torvek_att_port_list;

/**
 * The serial ports of this machine, in name order, with what the system knows of each: see
 * TORVEK::ListSerialPorts. Opens no port; needs no handle.
 * \return the list, to be released with torvek_att_free_ports(); NULL when memory ran out.
 */
TORVEK_ATTENUATOR_API torvek_att_port_list* torvek_att_list_ports(void);

/**
 * How many ports a list holds.
 * \param list  from torvek_att_list_ports(), or NULL (0).
 * \return the count.
 */
TORVEK_ATTENUATOR_API size_t torvek_att_port_count(const torvek_att_port_list* list);

/**
 * One port of a list.
 * \param list   from torvek_att_list_ports().
 * \param index  0 to torvek_att_port_count() - 1.
 * \return the port, valid until the list is released; NULL for a NULL list or an index beyond.
 */
TORVEK_ATTENUATOR_API const torvek_att_port* torvek_att_port_at(const torvek_att_port_list* list,
                                                                size_t index);

/**
 * What the system tells of one port, named as it is opened (a `usb:` name is resolved first),
 * also of one torvek_att_list_ports() leaves out (a pseudo-terminal, a link): a list of that
 * one port. For a name that leads nowhere, `may_open` is 0 and `open_error` says why.
 * \param name  a port name or a `usb:` identity, NUL-terminated.
 * \return a list of one, to be released with torvek_att_free_ports(); NULL when memory ran out
 *         or `name` is NULL.
 */
TORVEK_ATTENUATOR_API torvek_att_port_list* torvek_att_describe_port(const char* name);

/**
 * Releases a list and everything in it. NULL is harmless.
 * \param list  from torvek_att_list_ports(), or NULL.
 */
TORVEK_ATTENUATOR_API void torvek_att_free_ports(torvek_att_port_list* list);

/**
 * What this machine adds to torvek_att_status_hint() when a port could not be used: the ports
 * present for TORVEK_ATT_NO_SUCH_PORT, the group to join for TORVEK_ATT_ACCESS_DENIED, nothing
 * for other results. See TORVEK::PortAdvice. Needs no handle.
 * \param port_name    the port as given to torvek_att_connect(), NUL-terminated.
 * \param result       what the connect returned.
 * \param[out] advice  where the text goes, NUL-terminated, cut to fit `size`; "" for none.
 * \param size         the room at `advice`, terminating NUL included.
 * \retval TORVEK_ATT_OK                written.
 * \retval TORVEK_ATT_INVALID_ARGUMENT  `port_name` or `advice` NULL, or `size` 0.
 * \retval TORVEK_ATT_INTERNAL_ERROR    out of memory.
 */
TORVEK_ATTENUATOR_API int32_t torvek_att_port_advice(const char* port_name, int32_t result,
                                                     char* advice, size_t size);

/**
 * The port a name stands for now: a stable identity `usb:VID:PID` or `usb:VID:PID:SERIAL`
 * becomes the port its USB adapter has now; any other name is itself. torvek_att_connect()
 * does the same with the names it is given. Needs no handle.
 * \param name       a port name or a `usb:` identity, NUL-terminated.
 * \param[out] path  where the port's name goes, NUL-terminated; written on TORVEK_ATT_OK only.
 * \param size       the room at `path`, terminating NUL included.
 * \retval TORVEK_ATT_OK                `path` written.
 * \retval TORVEK_ATT_NO_SUCH_PORT      a malformed `usb:` name, or no port has that identity.
 * \retval TORVEK_ATT_AMBIGUOUS_PORT    more than one port has it.
 * \retval TORVEK_ATT_INVALID_ARGUMENT  `name` or `path` NULL, or the name does not fit in `size`.
 * \retval TORVEK_ATT_INTERNAL_ERROR    out of memory.
 */
TORVEK_ATTENUATOR_API int32_t torvek_att_resolve_port(const char* name, char* path, size_t size);

/**
 * The transmittance the handler's model gives at a mount angle, as
 * torvek_att_get_transmittance() computes it from a position read:
 * T = sin^2(90 * (angle - min_angle) / angle_span), narrowed to float.
 *
 * Needs no handle and takes no lock: any thread, at any time.
 * \param angle               the mount angle in degrees, finite.
 * \param min_angle           the model's angle of T = 0, in degrees.
 * \param angle_span          the model's rotation from T = 0 to T = 1, in degrees.
 * \param[out] transmittance  written on TORVEK_ATT_OK only.
 * \retval TORVEK_ATT_OK                `*transmittance` written, 0 to 1.
 * \retval TORVEK_ATT_INVALID_ARGUMENT  `transmittance` NULL, `angle` not finite, or the model
 *                                      refused as torvek_att_set_transmittance() refuses it.
 */
TORVEK_ATTENUATOR_API int32_t torvek_att_transmittance_at(float angle, double min_angle,
                                                          double angle_span, float* transmittance);

/**
 * The model's transmittance at many angles, in double precision: the arithmetic of
 * torvek_att_transmittance_at() before its narrowing to float, for fits and plots. A fit may
 * try parameters beyond the bounds a move takes, so only a model without meaning is refused
 * here: parameters not finite, or a span smaller than TORVEK_ATT_MIN_SPAN either way.
 *
 * Needs no handle and takes no lock.
 * \param angles          `count` angles in degrees; a non-finite one gives NaN.
 * \param count           how many.
 * \param min_angle       the model's angle of T = 0, in degrees.
 * \param angle_span      the model's rotation from T = 0 to T = 1, in degrees.
 * \param[out] transmittances  `count` values, written on TORVEK_ATT_OK only.
 * \retval TORVEK_ATT_OK                written.
 * \retval TORVEK_ATT_INVALID_ARGUMENT  a NULL array with a count above 0, a parameter not
 *                                      finite, or a span below TORVEK_ATT_MIN_SPAN.
 */
TORVEK_ATTENUATOR_API int32_t torvek_att_transmittance_curve(const double* angles, size_t count,
                                                             double min_angle, double angle_span,
                                                             double* transmittances);

/**
 * The mount angle torvek_att_set_transmittance() moves to for a transmittance: on the
 * half-period from min_angle to min_angle + angle_span, narrowed to float.
 *
 * Needs no handle and takes no lock.
 * \param transmittance  0 to 1, both included.
 * \param min_angle      the model's angle of T = 0, in degrees.
 * \param angle_span     the model's rotation from T = 0 to T = 1, in degrees.
 * \param[out] angle     in degrees; written on TORVEK_ATT_OK only.
 * \retval TORVEK_ATT_OK                `*angle` written.
 * \retval TORVEK_ATT_INVALID_ARGUMENT  `angle` NULL, or what torvek_att_set_transmittance()
 *                                      refuses before sending.
 */
TORVEK_ATTENUATOR_API int32_t torvek_att_angle_for(float transmittance, double min_angle,
                                                   double angle_span, float* angle);

/**
 * The motor steps torvek_att_set_motor_degree() sends for an angle at a device's scale:
 * degrees times steps_per_revolution / degrees_per_revolution (in double), truncated toward
 * zero.
 *
 * Needs no handle and takes no lock.
 * \param degrees                 -360 < degrees < 360.
 * \param degrees_per_revolution  the device's scale, above 0 (360 by default).
 * \param steps_per_revolution    the device's scale, above 0 (143360 by default).
 * \param[out] steps              written on TORVEK_ATT_OK only.
 * \retval TORVEK_ATT_OK                `*steps` written.
 * \retval TORVEK_ATT_INVALID_ARGUMENT  `steps` NULL, a scale of 0 or less, or what
 *                                      torvek_att_set_motor_degree() refuses.
 */
TORVEK_ATTENUATOR_API int32_t torvek_att_degrees_to_steps(float degrees,
                                                          int32_t degrees_per_revolution,
                                                          int32_t steps_per_revolution,
                                                          int32_t* steps);

/**
 * The angle torvek_att_get_motor_degree() reports for a position in steps at a device's scale:
 * steps divided by steps_per_revolution / degrees_per_revolution (in double), narrowed to float.
 *
 * Needs no handle and takes no lock.
 * \param steps                   any position.
 * \param degrees_per_revolution  the device's scale, above 0.
 * \param steps_per_revolution    the device's scale, above 0.
 * \param[out] degrees            written on TORVEK_ATT_OK only.
 * \retval TORVEK_ATT_OK                `*degrees` written.
 * \retval TORVEK_ATT_INVALID_ARGUMENT  `degrees` NULL or a scale of 0 or less.
 */
TORVEK_ATTENUATOR_API int32_t torvek_att_steps_to_degrees(int32_t steps,
                                                          int32_t degrees_per_revolution,
                                                          int32_t steps_per_revolution,
                                                          float* degrees);

/**
 * A transmittance as an optical density, OD = -log10(T); +INFINITY for T = 0. See
 * TORVEK::OpticalDensity. Needs no handle.
 * \param transmittance         0 to 1.
 * \param[out] optical_density  written on TORVEK_ATT_OK only.
 * \retval TORVEK_ATT_OK                written.
 * \retval TORVEK_ATT_INVALID_ARGUMENT  `optical_density` NULL, or the transmittance outside 0
 *                                      to 1 or NaN.
 */
TORVEK_ATTENUATOR_API int32_t torvek_att_optical_density(double transmittance,
                                                         double* optical_density);

/**
 * A transmittance as an attenuation in dB, 10 log10(1/T); +INFINITY for T = 0. Needs no handle.
 * \param transmittance   0 to 1.
 * \param[out] decibels   written on TORVEK_ATT_OK only.
 * \retval TORVEK_ATT_OK                written.
 * \retval TORVEK_ATT_INVALID_ARGUMENT  `decibels` NULL, or the transmittance outside 0 to 1 or
 *                                      NaN.
 */
TORVEK_ATTENUATOR_API int32_t torvek_att_attenuation_db(double transmittance, double* decibels);

/**
 * The transmittance of an optical density, 10^-OD (+INFINITY gives 0). Needs no handle.
 * \param optical_density     0 or more.
 * \param[out] transmittance  written on TORVEK_ATT_OK only.
 * \retval TORVEK_ATT_OK                written.
 * \retval TORVEK_ATT_INVALID_ARGUMENT  `transmittance` NULL, or the density below 0 or NaN.
 */
TORVEK_ATTENUATOR_API int32_t torvek_att_transmittance_of_density(double optical_density,
                                                                  double* transmittance);

/**
 * The greatest finite optical density the model reaches on the mount: its transmittance one
 * motor step from its zero at a device's scale. See TORVEK::DensityLimit. Needs no handle.
 * \param min_angle               the model's angle of T = 0, in degrees.
 * \param angle_span              the model's rotation from T = 0 to T = 1, in degrees.
 * \param degrees_per_revolution  the device's scale, above 0.
 * \param steps_per_revolution    the device's scale, above 0.
 * \param[out] optical_density    written on TORVEK_ATT_OK only.
 * \retval TORVEK_ATT_OK                written.
 * \retval TORVEK_ATT_INVALID_ARGUMENT  `optical_density` NULL, a scale of 0 or less, or the
 *                                      model refused.
 */
TORVEK_ATTENUATOR_API int32_t torvek_att_density_limit(double min_angle, double angle_span,
                                                       int32_t degrees_per_revolution,
                                                       int32_t steps_per_revolution,
                                                       double* optical_density);

/**
 * The densities a model reaches, in words: "0 <= optical density <= 8.7164, or inf", the limit
 * rounded down to four decimals. See TORVEK::AcceptedDensities. Needs no handle.
 * \param density_limit  what torvek_att_density_limit() gave.
 * \param[out] text      where the text goes, NUL-terminated, cut to fit `size`.
 * \param size           the room at `text`, terminating NUL included.
 * \retval TORVEK_ATT_OK                written.
 * \retval TORVEK_ATT_INVALID_ARGUMENT  `text` NULL, or `size` 0.
 */
TORVEK_ATTENUATOR_API int32_t torvek_att_accepted_densities(double density_limit, char* text,
                                                            size_t size);

/**
 * The transmittance to give torvek_att_set_transmittance() for an optical density: 10^-OD,
 * when the model reaches it on the mount (0 up to torvek_att_density_limit(), or +INFINITY:
 * T = 0). See TORVEK::TransmittanceForDensity. Needs no handle.
 * \param optical_density         0 up to the limit, or +INFINITY.
 * \param min_angle               the model's angle of T = 0, in degrees.
 * \param angle_span              the model's rotation from T = 0 to T = 1, in degrees.
 * \param degrees_per_revolution  the device's scale, above 0 (torvek_att_get_scale()).
 * \param steps_per_revolution    the device's scale, above 0.
 * \param[out] transmittance      written on TORVEK_ATT_OK only.
 * \retval TORVEK_ATT_OK                written.
 * \retval TORVEK_ATT_INVALID_ARGUMENT  `transmittance` NULL, a density the model does not
 *                                      reach (below 0, NaN, finite above the limit), or the
 *                                      model or scale refused.
 */
TORVEK_ATTENUATOR_API int32_t torvek_att_transmittance_for_density(
    double optical_density, double min_angle, double angle_span, int32_t degrees_per_revolution,
    int32_t steps_per_revolution, double* transmittance);

/**
 * Whether the transmittance model's parameters are taken: min_angle > -360,
 * min_angle + angle_span < 360, a span of at least TORVEK_ATT_MIN_SPAN either way, both finite.
 *
 * Needs no handle and takes no lock.
 * \param min_angle   the model's angle of T = 0, in degrees.
 * \param angle_span  the model's rotation from T = 0 to T = 1, in degrees.
 * \retval TORVEK_ATT_OK                taken.
 * \retval TORVEK_ATT_INVALID_ARGUMENT  refused, as the transmittance calls refuse them.
 */
TORVEK_ATTENUATOR_API int32_t torvek_att_check_model(double min_angle, double angle_span);

/**
 * The library's fixed numbers: the bounds of a move and of the model, the connect attempts of
 * its tools, the default scale. Needs no handle.
 * \return a static record, never NULL.
 */
TORVEK_ATTENUATOR_API const torvek_att_limits* torvek_att_get_limits(void);

/**
 * The name of a status.
 *
 * "Ok", "UnexpectedReply", "ReplyTimeout", "PortUnavailable", "InvalidArgument",
 * "InternalError", "NoSuchPort", "AccessDenied", "PortBusy", "NotASerialPort",
 * "NoIdentification", "BadIdentification", "NoValue", "AmbiguousPort", "DeviceStatus" for 1
 * to 255, "Unknown" for anything else. A static string, never NULL.
 *
 * Needs no handle and takes no lock: any thread, at any time.
 * \param status  any value, as returned by a function of this interface or not.
 * \return the name, a static string.
 */
TORVEK_ATTENUATOR_API const char* torvek_att_status_name(int32_t status);

/**
 * What a person can do about a status: one line, lower case, to print beside its name ("no
 * reply in time: check that the device is powered and cabled; ..."). attenuatorctl, the Python
 * package and the Tango server show these words. Empty for TORVEK_ATT_OK and unknown values.
 *
 * Needs no handle and takes no lock: any thread, at any time.
 * \param status  any value.
 * \return the hint, a static string, never NULL.
 */
TORVEK_ATTENUATOR_API const char* torvek_att_status_hint(int32_t status);

/**
 * The values a quantity accepts, in words, for the message of a TORVEK_ATT_INVALID_ARGUMENT
 * ("-143360 <= steps <= 143360").
 *
 * Needs no handle and takes no lock.
 * \param quantity  TORVEK_ATT_RANGE_STEPS, _DEGREES, _TRANSMITTANCE or _MODEL.
 * \return a static string, never NULL; empty for an unknown quantity.
 */
TORVEK_ATTENUATOR_API const char* torvek_att_accepted_range(int32_t quantity);

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
