/*
 * Compiled as C, so that the C interface is used as a C program uses it: its header through a
 * C compiler, its functions called with C's calling convention and its structures laid out by
 * C rules.
 */
#include "scenario_c_calls.h"

#include <string.h>

torvek_att_handle* scenario_c_create(void) {
  return torvek_att_create();
}

void scenario_c_destroy(torvek_att_handle* handle) {
  torvek_att_destroy(handle);
}

int32_t scenario_c_connect(torvek_att_handle* handle, const char* port_name) {
  return torvek_att_connect(handle, port_name);
}

int32_t scenario_c_disconnect(torvek_att_handle* handle) {
  return torvek_att_disconnect(handle);
}

int32_t scenario_c_cancel(torvek_att_handle* handle) {
  return torvek_att_cancel(handle);
}

const char* scenario_c_version(void) {
  return torvek_att_library_version();
}

int32_t scenario_c_call(torvek_att_handle* h, const char* operation, const double* args,
                        scenario_c_outputs* out, int* known) {
  *known = 1;
  if (strcmp(operation, "GetCurrentStatus") == 0)
    return torvek_att_get_current_status(h, (int32_t)args[0]);
  if (strcmp(operation, "GetMotorInfo") == 0)
    return torvek_att_get_motor_info(h, &out->info, (int32_t)args[0]);
  if (strcmp(operation, "SetMotorSteps") == 0)
    return torvek_att_set_motor_steps(h, (int32_t)args[0], (int32_t)args[1]);
  if (strcmp(operation, "GetMotorSteps") == 0)
    return torvek_att_get_motor_steps(h, &out->steps, (int32_t)args[0]);
  if (strcmp(operation, "SetMotorDegree") == 0)
    return torvek_att_set_motor_degree(h, (float)args[0], (int32_t)args[1]);
  if (strcmp(operation, "GetMotorDegree") == 0)
    return torvek_att_get_motor_degree(h, &out->degree, (int32_t)args[0]);
  if (strcmp(operation, "MechanicalCalibration") == 0)
    return torvek_att_mechanical_calibration(h, (int32_t)args[0]);
  if (strcmp(operation, "StartOptimization") == 0)
    return torvek_att_start_optimization(h, (int32_t)args[0]);
  if (strcmp(operation, "StartCleaningMechanics") == 0)
    return torvek_att_start_cleaning_mechanics(h, (int32_t)args[0]);
  if (strcmp(operation, "Stop") == 0)
    return torvek_att_stop(h, (int32_t)args[0]);
  if (strcmp(operation, "SetTransmittance") == 0)
    return torvek_att_set_transmittance(h, (float)args[0], args[1], args[2], (int32_t)args[3]);
  if (strcmp(operation, "GetTransmittance") == 0)
    return torvek_att_get_transmittance(h, &out->transmittance, args[0], args[1], (int32_t)args[2]);
  *known = 0;
  return 0;
}
