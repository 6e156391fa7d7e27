#ifndef TORVEK_ATTENUATOR_H
#define TORVEK_ATTENUATOR_H

/*
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
 */

#include <stdint.h>

#include "torvek/Export.h"

#ifdef __cplusplus
extern "C" {
#endif

#define TORVEK_ATT_OK 0
#define TORVEK_ATT_UNEXPECTED_REPLY (-1)
#define TORVEK_ATT_REPLY_TIMEOUT (-2)
#define TORVEK_ATT_PORT_UNAVAILABLE (-3)
#define TORVEK_ATT_INVALID_ARGUMENT (-4)
#define TORVEK_ATT_INTERNAL_ERROR (-5)

/* The size of every text member of torvek_att_motor_info, terminating NUL included. */
#define TORVEK_ATT_TEXT_SIZE 32

/* One attenuator connection. Opaque: only pointers to it are ever used. */
typedef struct torvek_att_handle torvek_att_handle;

/*
 * The device's identification record, filled by torvek_att_get_motor_info(). Every member is
 * a NUL-terminated string in a fixed array. Texts longer than TORVEK_ATT_TEXT_SIZE - 1 bytes
 * are cut to that length (none of the device's fields comes close: the longest is the
 * home offset, at most 23 characters). A NUL byte sent by the device inside an
 * identification field ends that member early.
 */
typedef struct torvek_att_motor_info {
  char ident_a[TORVEK_ATT_TEXT_SIZE]; /* 8 characters, as the device sent them */
  char ident_b[TORVEK_ATT_TEXT_SIZE]; /* 4 characters, as sent */
  char degrees_per_revolution_text[TORVEK_ATT_TEXT_SIZE]; /* decimal, e.g. "360" */
  char pulses_per_revolution_text[TORVEK_ATT_TEXT_SIZE];  /* decimal, e.g. "143360" */
  char ident_c[TORVEK_ATT_TEXT_SIZE];                     /* 2 characters, as sent */
  char ident_d[TORVEK_ATT_TEXT_SIZE];                     /* 2 characters, as sent */
  char home_offset_text[TORVEK_ATT_TEXT_SIZE];            /* degrees, six decimals, "0.040179" */
} torvek_att_motor_info;

/*
 * A new handle with no port open, or NULL when memory ran out or the system had no descriptor
 * (Windows: no event) left for torvek_att_cancel()'s wake-up. Release it with
 * torvek_att_destroy().
 */
TORVEK_ATTENUATOR_API torvek_att_handle* torvek_att_create(void);

/* Closes the handle's port, if one is open, and releases the handle. NULL is harmless. */
TORVEK_ATTENUATOR_API void torvek_att_destroy(torvek_att_handle* handle);

/*
 * Opens the serial port `port_name` ("/dev/ttyUSB0", "COM3", "\\\\.\\COM10"), handed to the
 * system unchanged, sets 9600 8N1, waits 100 ms and accepts the device only if it answers the
 * identification request within 100 ms with a usable scale, which it then adopts. Takes about
 * 200 ms when a device is there.
 * Returns TORVEK_ATT_OK when connected. Note that this is 0: test the result against
 * TORVEK_ATT_OK, not for truth.
 * TORVEK_ATT_PORT_UNAVAILABLE: the port could not be opened (at once; an earlier connection of
 * the handle stays open), or it opened but a serial setting was refused or no device identified
 * itself (no port is open then).
 * TORVEK_ATT_INVALID_ARGUMENT: `handle` or `port_name` is NULL.
 */
TORVEK_ATTENUATOR_API int32_t torvek_att_connect(torvek_att_handle* handle, const char* port_name);

/*
 * Closes the port. Harmless without one; the scale of the last connect is kept.
 * Returns TORVEK_ATT_OK, TORVEK_ATT_INVALID_ARGUMENT for a NULL handle, or
 * TORVEK_ATT_INTERNAL_ERROR if the system refused to close the port.
 */
TORVEK_ATTENUATOR_API int32_t torvek_att_disconnect(torvek_att_handle* handle);

/*
 * Ends at once the wait of the call in progress on the handle, if there is one: that call
 * returns TORVEK_ATT_REPLY_TIMEOUT (torvek_att_connect: TORVEK_ATT_PORT_UNAVAILABLE) and writes
 * no output, as when its time-out runs out; the handle stays usable. Made while no call is in
 * progress, or as its call returns, it does nothing, and it never reaches a later call. A call
 * still waiting for the handle's lock is not in progress: to stop a motion from another
 * thread, cancel, then torvek_att_stop().
 * Takes no lock and never blocks; any thread may call it while the handle exists, also during
 * torvek_att_disconnect(). On Linux it is async-signal-safe: a SIGINT handler may call it. It
 * must not run during or after torvek_att_destroy() on the same handle.
 * Returns TORVEK_ATT_OK, or TORVEK_ATT_INVALID_ARGUMENT for a NULL handle.
 */
TORVEK_ATTENUATOR_API int32_t torvek_att_cancel(torvek_att_handle* handle);

/*
 * Reads the device's status ("0gs"). Returns the device's code (0 is TORVEK_ATT_OK, 1 to 255
 * the device's own codes) or a negative code.
 */
TORVEK_ATTENUATOR_API int32_t torvek_att_get_current_status(torvek_att_handle* handle,
                                                            int32_t timeout_ms);

/*
 * Reads the identification record ("0in") and the home offset ("0go"), each request waiting
 * at most timeout_ms / 2. `info` may be NULL (the requests still go out).
 * info->home_offset_text is written whatever the results ("0.000000" when no home offset
 * arrived); the other members only when the identification arrived.
 * Returns TORVEK_ATT_OK when both requests succeeded, otherwise the smaller of the two results.
 */
TORVEK_ATTENUATOR_API int32_t torvek_att_get_motor_info(torvek_att_handle* handle,
                                                        torvek_att_motor_info* info,
                                                        int32_t timeout_ms);

/*
 * Moves to an absolute position in motor steps, -143360 <= steps <= 143360 ("0ma" and 8 hex
 * digits). The device answers with its position. Out of range: TORVEK_ATT_INVALID_ARGUMENT.
 */
TORVEK_ATTENUATOR_API int32_t torvek_att_set_motor_steps(torvek_att_handle* handle, int32_t steps,
                                                         int32_t timeout_ms);

/* Reads the position in motor steps ("0gp") into *steps. `steps` may be NULL. */
TORVEK_ATTENUATOR_API int32_t torvek_att_get_motor_steps(torvek_att_handle* handle, int32_t* steps,
                                                         int32_t timeout_ms);

/*
 * Moves to an absolute angle in degrees, -360 < degree < 360, truncated toward zero to whole
 * steps of the device's scale. Out of range, not a number, or a step count that does not fit
 * in 32 bits: TORVEK_ATT_INVALID_ARGUMENT.
 */
TORVEK_ATTENUATOR_API int32_t torvek_att_set_motor_degree(torvek_att_handle* handle, float degree,
                                                          int32_t timeout_ms);

/* Reads the position in degrees ("0gp") into *degree. `degree` may be NULL. */
TORVEK_ATTENUATOR_API int32_t torvek_att_get_motor_degree(torvek_att_handle* handle, float* degree,
                                                          int32_t timeout_ms);

/* Homes the mount ("0ho0"); the device answers with its position. */
TORVEK_ATTENUATOR_API int32_t torvek_att_mechanical_calibration(torvek_att_handle* handle,
                                                                int32_t timeout_ms);

/* Starts the device's motor optimisation ("0om"); the device answers with a status. */
TORVEK_ATTENUATOR_API int32_t torvek_att_start_optimization(torvek_att_handle* handle,
                                                            int32_t timeout_ms);

/* Starts the device's mechanics cleaning ("0cm"); the device answers with a status. */
TORVEK_ATTENUATOR_API int32_t torvek_att_start_cleaning_mechanics(torvek_att_handle* handle,
                                                                  int32_t timeout_ms);

/*
 * Stops a motion ("0st"); the device answers with a status. It cannot overtake a call on the
 * same handle that is still waiting for its reply.
 */
TORVEK_ATTENUATOR_API int32_t torvek_att_stop(torvek_att_handle* handle, int32_t timeout_ms);

/*
 * The transmittance model: T = sin^2(90 * (angle - min_angle) / angle_span), angles in degrees.
 * min_angle is where T = 0; angle_span the rotation from T = 0 to T = 1 (negative spans are
 * allowed; zero, and any span closer to zero than 1e-9 degrees, is not). Requires
 * min_angle > -360 and min_angle + angle_span < 360; otherwise TORVEK_ATT_INVALID_ARGUMENT.
 *
 * Moves to the angle that gives `transmittance` (0 to 1, both included).
 */
TORVEK_ATTENUATOR_API int32_t torvek_att_set_transmittance(torvek_att_handle* handle,
                                                           float transmittance, double min_angle,
                                                           double angle_span, int32_t timeout_ms);

/*
 * Reads the position ("0gp") and reports the model's transmittance there in *transmittance.
 * `transmittance` must not be NULL (TORVEK_ATT_INVALID_ARGUMENT).
 */
TORVEK_ATTENUATOR_API int32_t torvek_att_get_transmittance(torvek_att_handle* handle,
                                                           float* transmittance, double min_angle,
                                                           double angle_span, int32_t timeout_ms);

/*
 * The name of a status: "Ok", "UnexpectedReply", "ReplyTimeout", "PortUnavailable",
 * "InvalidArgument", "InternalError", "DeviceStatus" for 1 to 255, "Unknown" for anything
 * else. A static string, never NULL.
 */
TORVEK_ATTENUATOR_API const char* torvek_att_status_name(int32_t status);

/* The library's version, "major.minor.patch". A static string. */
TORVEK_ATTENUATOR_API const char* torvek_att_library_version(void);

#ifdef __cplusplus
}
#endif

#endif /* TORVEK_ATTENUATOR_H */
