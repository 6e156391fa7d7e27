/*
 * A tour of the C interface: connects to the attenuator on the port given and runs every
 * operation once, printing what each returned. Exits 0 only if every operation succeeded and
 * the positions read back are the ones moved to.
 *
 *   cc -std=c99 -I<prefix>/include tour.c -L<prefix>/lib -ltorvek_attenuator -o tour
 *   ./tour /dev/ttyUSB0
 */
#include <stdio.h>
#include <torvek/attenuator.h>

static int failed = 0;

/* Prints one operation's result; anything but Ok counts as a failure. */
static int report(const char* operation, int32_t status) {
  printf("%-26s %s (%d)\n", operation, torvek_att_status_name(status), (int)status);
  if (status != TORVEK_ATT_OK) {
    failed = 1;
  }
  return status == TORVEK_ATT_OK;
}

int main(int argc, char** argv) {
  const int32_t timeout_ms = 5000;
  const double min_angle = 10.0, span = 90.0; /* this mount's transmittance model */
  torvek_att_handle* att;
  torvek_att_motor_info info;
  int32_t steps = 0;
  float degree = 0.0f, transmittance = 0.0f;

  if (argc != 2) {
    fprintf(stderr, "usage: %s PORT\n", argv[0]);
    return 2;
  }
  printf("library %s\n", torvek_att_library_version());
  att = torvek_att_create();
  if (att == NULL) {
    fprintf(stderr, "out of memory\n");
    return 1;
  }
  if (!report("connect", torvek_att_connect(att, argv[1]))) {
    torvek_att_destroy(att);
    return 1;
  }
  if (report("get_motor_info", torvek_att_get_motor_info(att, &info, timeout_ms))) {
    printf("  %s %s %s %s: %s steps per %s degrees, home offset %s degrees\n", info.ident_a,
           info.ident_b, info.ident_c, info.ident_d, info.pulses_per_revolution_text,
           info.degrees_per_revolution_text, info.home_offset_text);
  }
  report("get_current_status", torvek_att_get_current_status(att, timeout_ms));
  report("mechanical_calibration", torvek_att_mechanical_calibration(att, timeout_ms));

  report("set_motor_degree 45", torvek_att_set_motor_degree(att, 45.0f, timeout_ms));
  if (report("get_motor_degree", torvek_att_get_motor_degree(att, &degree, timeout_ms))) {
    printf("  at %.4f degrees\n", degree);
    failed |= degree != 45.0f;
  }
  report("set_motor_steps -1000", torvek_att_set_motor_steps(att, -1000, timeout_ms));
  if (report("get_motor_steps", torvek_att_get_motor_steps(att, &steps, timeout_ms))) {
    printf("  at %d steps\n", (int)steps);
    failed |= steps != -1000;
  }
  report("set_transmittance 0.25",
         torvek_att_set_transmittance(att, 0.25f, min_angle, span, timeout_ms));
  if (report("get_transmittance",
             torvek_att_get_transmittance(att, &transmittance, min_angle, span, timeout_ms))) {
    printf("  transmittance %.5f\n", transmittance);
    failed |= transmittance < 0.249f || transmittance > 0.251f;
  }
  report("start_optimization", torvek_att_start_optimization(att, timeout_ms));
  report("start_cleaning_mechanics", torvek_att_start_cleaning_mechanics(att, timeout_ms));
  report("stop", torvek_att_stop(att, timeout_ms));
  report("disconnect", torvek_att_disconnect(att));
  torvek_att_destroy(att);
  printf("%s\n", failed ? "FAILED" : "all operations succeeded");
  return failed;
}
