#ifndef SCENARIO_C_CALLS_H
#define SCENARIO_C_CALLS_H

/* The calls of scenario_host_c into the library, made from C through the C interface. */

#include <stdint.h>

#include "torvek/attenuator.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Where the operations put what the device delivered; set to sentinels before each call. */
typedef struct scenario_c_outputs {
  int32_t steps;
  float degree;
  float transmittance;
  torvek_att_motor_info info;
} scenario_c_outputs;

torvek_att_handle* scenario_c_create(void);
void scenario_c_destroy(torvek_att_handle* handle);
int32_t scenario_c_connect(torvek_att_handle* handle, const char* port_name);
int32_t scenario_c_disconnect(torvek_att_handle* handle);
int32_t scenario_c_cancel(torvek_att_handle* handle);
const char* scenario_c_version(void);

/*
 * Runs the operation named as in a scenario ("GetMotorSteps", ...) with the scenario's
 * arguments, the time-out last. *known is 0 for a name this file does not know.
 */
int32_t scenario_c_call(torvek_att_handle* handle, const char* operation, const double* args,
                        scenario_c_outputs* out, int* known);

#ifdef __cplusplus
}
#endif

#endif
