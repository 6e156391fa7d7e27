/*
 * The library's C interface, driven from C against the scripted test device: every function,
 * the exact bytes it puts on the wire and the values it hands back.
 */
#include <math.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "DeviceHarness.h"
#include "torvek/attenuator.h"

static const char* const kIdentification = "0IN0E1234ABCD01020304016800023000\r\n";
static const char* const kMissingPort = "/dev/no-such-attenuator-port";
/* Long enough for any answered command on a busy machine; a silent device costs kSilent. */
static const int32_t kWait = 2000;
static const int32_t kSilent = 50;

static int failures = 0;

static void expect_int(int line, const char* what, long long actual, long long expected) {
  if (actual != expected) {
    fprintf(stderr, "  line %d: %s is %lld, expected %lld\n", line, what, actual, expected);
    ++failures;
  }
}

static void expect_str(int line, const char* what, const char* actual, const char* expected) {
  if (actual == NULL || strcmp(actual, expected) != 0) {
    fprintf(stderr, "  line %d: %s is \"%s\", expected \"%s\"\n", line, what,
            actual ? actual : "(null)", expected);
    ++failures;
  }
}

static void expect_near(int line, const char* what, double actual, double expected,
                        double tolerance) {
  if (!(fabs(actual - expected) <= tolerance)) {
    fprintf(stderr, "  line %d: %s is %.9g, expected %.9g\n", line, what, actual, expected);
    ++failures;
  }
}

#define EXPECT_INT(actual, expected) \
  expect_int(__LINE__, #actual, (long long)(actual), (long long)(expected))
#define EXPECT_STR(actual, expected) expect_str(__LINE__, #actual, (actual), (expected))
#define EXPECT_FLOAT(actual, expected) expect_near(__LINE__, #actual, (actual), (expected), 0.0)
#define EXPECT_NEAR(actual, expected, tolerance) \
  expect_near(__LINE__, #actual, (actual), (expected), (tolerance))
/* What the library wrote since the last check, then forgets it. */
#define EXPECT_WIRE(expected)                  \
  do {                                         \
    EXPECT_STR(device_received(), (expected)); \
    device_clear_log();                        \
  } while (0)

/* A device and a handle connected to it, the identification already off the wire log. */
static torvek_att_handle* connected_handle(void) {
  torvek_att_handle* handle;
  if (!device_start()) {
    ++failures;
    return NULL;
  }
  handle = torvek_att_create();
  device_expect("0in", kIdentification);
  EXPECT_INT(torvek_att_connect(handle, device_path()), TORVEK_ATT_OK);
  device_clear_log();
  return handle;
}

static void finish(torvek_att_handle* handle) {
  torvek_att_destroy(handle);
  EXPECT_INT(device_script_done(), 1);
  device_stop();
}

static void test_status_names_and_version(void) {
  /* Every failure has a hint; success and values the library never returns have none. */
  static const struct {
    int32_t status;
    const char* name;
    int hinted;
  } cases[] = {
      {0, "Ok", 0},
      {-1, "UnexpectedReply", 1},
      {-2, "ReplyTimeout", 1},
      {-3, "PortUnavailable", 1},
      {-4, "InvalidArgument", 1},
      {-5, "InternalError", 1},
      {-6, "NoSuchPort", 1},
      {-7, "AccessDenied", 1},
      {-8, "PortBusy", 1},
      {-9, "NotASerialPort", 1},
      {-10, "NoIdentification", 1},
      {-11, "BadIdentification", 1},
      {-12, "NoValue", 1},
      {1, "DeviceStatus", 1},
      {255, "DeviceStatus", 1},
      {256, "Unknown", 0},
      {-13, "AmbiguousPort", 1},
      {-14, "Unknown", 0},
      {INT32_MIN, "Unknown", 0},
      {INT32_MAX, "Unknown", 0},
  };
  size_t i;
  for (i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    EXPECT_STR(torvek_att_status_name(cases[i].status), cases[i].name);
    EXPECT_INT(torvek_att_status_hint(cases[i].status)[0] != '\0', cases[i].hinted);
  }
  EXPECT_STR(torvek_att_library_version(), TORVEK_EXPECTED_VERSION);
  /* The numbers the header's macros give, for languages that read no header. */
  EXPECT_INT(torvek_att_get_limits()->max_steps, TORVEK_ATT_MAX_STEPS);
  EXPECT_INT(torvek_att_get_limits()->max_degrees == TORVEK_ATT_MAX_DEGREES, 1);
  EXPECT_INT(torvek_att_get_limits()->min_span == TORVEK_ATT_MIN_SPAN, 1);
  EXPECT_INT(torvek_att_get_limits()->connect_attempts, TORVEK_ATT_CONNECT_ATTEMPTS);
  EXPECT_INT(torvek_att_get_limits()->default_steps_per_revolution, 143360);
}

static void test_a_null_handle_is_an_invalid_argument(void) {
  int32_t steps = 0;
  float value = 0.0f;
  char text[8];
  torvek_att_motor_info info;
  memset(&info, 0, sizeof info);
  /* Texts are cut to the room given, never past it. */
  EXPECT_INT(torvek_att_accepted_densities(2.0, text, sizeof text), TORVEK_ATT_OK);
  EXPECT_STR(text, "0 <= op");
  EXPECT_INT(torvek_att_accepted_densities(2.0, NULL, sizeof text), TORVEK_ATT_INVALID_ARGUMENT);
  EXPECT_INT(torvek_att_accepted_densities(2.0, text, 0), TORVEK_ATT_INVALID_ARGUMENT);
  EXPECT_INT(torvek_att_connect(NULL, kMissingPort), TORVEK_ATT_INVALID_ARGUMENT);
  EXPECT_INT(torvek_att_disconnect(NULL), TORVEK_ATT_INVALID_ARGUMENT);
  EXPECT_INT(torvek_att_cancel(NULL), TORVEK_ATT_INVALID_ARGUMENT);
  EXPECT_INT(torvek_att_get_current_status(NULL, kWait), TORVEK_ATT_INVALID_ARGUMENT);
  EXPECT_INT(torvek_att_get_motor_info(NULL, &info, kWait), TORVEK_ATT_INVALID_ARGUMENT);
  EXPECT_INT(torvek_att_set_motor_steps(NULL, 0, kWait), TORVEK_ATT_INVALID_ARGUMENT);
  EXPECT_INT(torvek_att_get_motor_steps(NULL, &steps, kWait), TORVEK_ATT_INVALID_ARGUMENT);
  EXPECT_INT(torvek_att_set_motor_degree(NULL, 1.0f, kWait), TORVEK_ATT_INVALID_ARGUMENT);
  EXPECT_INT(torvek_att_get_motor_degree(NULL, &value, kWait), TORVEK_ATT_INVALID_ARGUMENT);
  EXPECT_INT(torvek_att_mechanical_calibration(NULL, kWait), TORVEK_ATT_INVALID_ARGUMENT);
  EXPECT_INT(torvek_att_start_optimization(NULL, kWait), TORVEK_ATT_INVALID_ARGUMENT);
  EXPECT_INT(torvek_att_start_cleaning_mechanics(NULL, kWait), TORVEK_ATT_INVALID_ARGUMENT);
  EXPECT_INT(torvek_att_stop(NULL, kWait), TORVEK_ATT_INVALID_ARGUMENT);
  EXPECT_INT(torvek_att_set_transmittance(NULL, 0.5f, 0.0, 90.0, kWait),
             TORVEK_ATT_INVALID_ARGUMENT);
  EXPECT_INT(torvek_att_get_transmittance(NULL, &value, 0.0, 90.0, kWait),
             TORVEK_ATT_INVALID_ARGUMENT);
  torvek_att_destroy(NULL);
}

static void test_a_handle_without_a_port(void) {
  torvek_att_handle* handle = torvek_att_create();
  int32_t steps = 7;
  float degree = 7.0f;
  float transmittance = 0.7f;
  torvek_att_motor_info info;
  memset(&info, 0, sizeof info);
  strcpy(info.ident_a, "keep");
  EXPECT_INT(handle != NULL, 1);
  EXPECT_INT(torvek_att_connect(handle, NULL), TORVEK_ATT_INVALID_ARGUMENT);
  EXPECT_INT(torvek_att_connect(handle, kMissingPort), TORVEK_ATT_NO_SUCH_PORT);
  EXPECT_INT(torvek_att_disconnect(handle), TORVEK_ATT_OK);
  EXPECT_INT(torvek_att_set_motor_steps(handle, 200000, kWait), TORVEK_ATT_INVALID_ARGUMENT);
  EXPECT_INT(torvek_att_get_current_status(handle, kWait), TORVEK_ATT_PORT_UNAVAILABLE);
  EXPECT_INT(torvek_att_get_motor_info(handle, &info, kWait), TORVEK_ATT_PORT_UNAVAILABLE);
  EXPECT_INT(torvek_att_set_motor_steps(handle, 0, kWait), TORVEK_ATT_PORT_UNAVAILABLE);
  EXPECT_INT(torvek_att_get_motor_steps(handle, &steps, kWait), TORVEK_ATT_PORT_UNAVAILABLE);
  EXPECT_INT(torvek_att_set_motor_degree(handle, 1.0f, kWait), TORVEK_ATT_PORT_UNAVAILABLE);
  EXPECT_INT(torvek_att_get_motor_degree(handle, &degree, kWait), TORVEK_ATT_PORT_UNAVAILABLE);
  EXPECT_INT(torvek_att_mechanical_calibration(handle, kWait), TORVEK_ATT_PORT_UNAVAILABLE);
  EXPECT_INT(torvek_att_start_optimization(handle, kWait), TORVEK_ATT_PORT_UNAVAILABLE);
  EXPECT_INT(torvek_att_start_cleaning_mechanics(handle, kWait), TORVEK_ATT_PORT_UNAVAILABLE);
  EXPECT_INT(torvek_att_stop(handle, kWait), TORVEK_ATT_PORT_UNAVAILABLE);
  EXPECT_INT(torvek_att_set_transmittance(handle, 0.5f, 0.0, 90.0, kWait),
             TORVEK_ATT_PORT_UNAVAILABLE);
  EXPECT_INT(torvek_att_get_transmittance(handle, &transmittance, 0.0, 90.0, kWait),
             TORVEK_ATT_PORT_UNAVAILABLE);
  EXPECT_INT(torvek_att_get_scale(handle, &steps, &steps), TORVEK_ATT_PORT_UNAVAILABLE);
  EXPECT_INT(torvek_att_get_scale(NULL, &steps, &steps), TORVEK_ATT_INVALID_ARGUMENT);
  EXPECT_INT(steps, 7);
  EXPECT_FLOAT(degree, 7.0f);
  EXPECT_FLOAT(transmittance, 0.7f);
  EXPECT_STR(info.ident_a, "keep");
  EXPECT_STR(info.home_offset_text, "0.000000");
  torvek_att_destroy(handle);
}

static void test_connect_and_disconnect(void) {
  torvek_att_handle* handle = torvek_att_create();
  if (!device_start()) {
    ++failures;
    return;
  }
  /* A device that does not identify itself is refused. */
  device_expect("0in", NULL);
  EXPECT_INT(torvek_att_connect(handle, device_path()), TORVEK_ATT_NO_IDENTIFICATION);
  EXPECT_WIRE("0in");
  EXPECT_INT(torvek_att_get_current_status(handle, kWait), TORVEK_ATT_PORT_UNAVAILABLE);

  device_expect("0in", kIdentification);
  EXPECT_INT(torvek_att_connect(handle, device_path()), TORVEK_ATT_OK);
  EXPECT_WIRE("0in");
  device_expect("0gs", "0GS00\r\n");
  EXPECT_INT(torvek_att_get_current_status(handle, kWait), TORVEK_ATT_OK);
  EXPECT_WIRE("0gs");

  EXPECT_INT(torvek_att_disconnect(handle), TORVEK_ATT_OK);
  EXPECT_INT(torvek_att_get_current_status(handle, kWait), TORVEK_ATT_PORT_UNAVAILABLE);
  EXPECT_INT(torvek_att_disconnect(handle), TORVEK_ATT_OK);
  EXPECT_WIRE("");
  finish(handle);
}

/* The commands the device answers with a status frame. */
typedef int32_t (*timed_call)(torvek_att_handle*, int32_t);

static void test_status_commands(void) {
  static const struct {
    const char* name;
    timed_call call;
    const char* command;
  } commands[] = {
      {"get_current_status", torvek_att_get_current_status, "0gs"},
      {"start_optimization", torvek_att_start_optimization, "0om"},
      {"start_cleaning_mechanics", torvek_att_start_cleaning_mechanics, "0cm"},
      {"stop", torvek_att_stop, "0st"},
  };
  /* A stop that cuts a motion short is answered with the motion's position first: the stop
     passes it over for its own status. */
  static const struct {
    const char* reply; /* NULL: silence */
    int32_t result;
    int32_t stop_result;
  } replies[] = {
      {"0GS00\r\n", TORVEK_ATT_OK, TORVEK_ATT_OK},
      {"0GS2A\r\n", 42, 42},
      {"0GSFF\r\n", 255, 255},
      {"0PO00000000\r\n", TORVEK_ATT_UNEXPECTED_REPLY, TORVEK_ATT_REPLY_TIMEOUT},
      {"0PO00001234\r\n0GS00\r\n", TORVEK_ATT_UNEXPECTED_REPLY, TORVEK_ATT_OK},
      {NULL, TORVEK_ATT_REPLY_TIMEOUT, TORVEK_ATT_REPLY_TIMEOUT},
  };
  torvek_att_handle* handle = connected_handle();
  size_t c, r;
  for (c = 0; c < sizeof commands / sizeof commands[0]; ++c) {
    for (r = 0; r < sizeof replies / sizeof replies[0]; ++r) {
      const int32_t wanted =
          strcmp(commands[c].command, "0st") == 0 ? replies[r].stop_result : replies[r].result;
      const int32_t timeout = wanted != TORVEK_ATT_REPLY_TIMEOUT ? kWait : kSilent;
      int32_t result;
      device_expect(commands[c].command, replies[r].reply);
      result = commands[c].call(handle, timeout);
      if (result != wanted) {
        fprintf(stderr, "  %s answered %s:\n", commands[c].name,
                replies[r].reply ? replies[r].reply : "(silence)");
      }
      EXPECT_INT(result, wanted);
      EXPECT_WIRE(commands[c].command);
    }
  }
  finish(handle);
}

static void test_mechanical_calibration(void) {
  static const struct {
    const char* reply;
    int32_t result;
  } replies[] = {
      {"0PO00000000\r\n", TORVEK_ATT_OK}, {"0GS03\r\n", 3},
      {"0GS00\r\n", TORVEK_ATT_OK},       {"0HO00000000\r\n", TORVEK_ATT_UNEXPECTED_REPLY},
      {NULL, TORVEK_ATT_REPLY_TIMEOUT},
  };
  torvek_att_handle* handle = connected_handle();
  size_t r;
  for (r = 0; r < sizeof replies / sizeof replies[0]; ++r) {
    device_expect("0ho0", replies[r].reply);
    EXPECT_INT(torvek_att_mechanical_calibration(handle, replies[r].reply ? kWait : kSilent),
               replies[r].result);
    EXPECT_WIRE("0ho0");
  }
  {
    /* The scale the identification gave, without a word on the line. */
    int32_t degrees = 0, steps = 0;
    EXPECT_INT(torvek_att_get_scale(handle, &degrees, &steps), TORVEK_ATT_OK);
    EXPECT_INT(degrees, 360);
    EXPECT_INT(steps, 143360);
    EXPECT_WIRE("");
  }
  finish(handle);
}

static void test_moves_by_steps_and_degrees(void) {
  static const struct {
    int32_t steps;
    const char* command;
    const char* reply;
  } by_steps[] = {
      {1000, "0ma000003E8", "0PO000003E8\r\n"},
      {-1, "0maFFFFFFFF", "0POFFFFFFFF\r\n"},
      {143360, "0ma00023000", "0PO00023000\r\n"},
      {-143360, "0maFFFDD000", "0POFFFDD000\r\n"},
  };
  static const int32_t steps_refused[] = {143361, -143361, INT32_MIN, INT32_MAX};
  static const struct {
    float degree;
    const char* command;
  } by_degree[] = {
      {45.0f, "0ma00004600"},
      {-90.0f, "0maFFFF7400"},
      {10.5f, "0ma00001055"}, /* 4181.33 steps, truncated */
      {359.9f, "0ma00022FD8"},
  };
  const float degree_refused[] = {360.0f, -360.0f, 1000.0f, (float)NAN, (float)INFINITY};
  torvek_att_handle* handle = connected_handle();
  size_t i;
  for (i = 0; i < sizeof by_steps / sizeof by_steps[0]; ++i) {
    device_expect(by_steps[i].command, by_steps[i].reply);
    EXPECT_INT(torvek_att_set_motor_steps(handle, by_steps[i].steps, kWait), TORVEK_ATT_OK);
    EXPECT_WIRE(by_steps[i].command);
  }
  for (i = 0; i < sizeof steps_refused / sizeof steps_refused[0]; ++i) {
    EXPECT_INT(torvek_att_set_motor_steps(handle, steps_refused[i], kWait),
               TORVEK_ATT_INVALID_ARGUMENT);
  }
  for (i = 0; i < sizeof by_degree / sizeof by_degree[0]; ++i) {
    device_expect(by_degree[i].command, "0PO00000000\r\n");
    EXPECT_INT(torvek_att_set_motor_degree(handle, by_degree[i].degree, kWait), TORVEK_ATT_OK);
    EXPECT_WIRE(by_degree[i].command);
  }
  for (i = 0; i < sizeof degree_refused / sizeof degree_refused[0]; ++i) {
    EXPECT_INT(torvek_att_set_motor_degree(handle, degree_refused[i], kWait),
               TORVEK_ATT_INVALID_ARGUMENT);
  }
  /* A device status instead of the position is passed on. */
  device_expect("0ma000003E8", "0GS11\r\n");
  EXPECT_INT(torvek_att_set_motor_steps(handle, 1000, kWait), 0x11);
  EXPECT_WIRE("0ma000003E8");
  finish(handle);
}

static void test_position_reads(void) {
  static const struct {
    const char* reply; /* NULL: silence */
    int32_t result;
    int32_t steps; /* 77 when the caller's value must stay */
    float degree;  /* 7.5 likewise */
  } cases[] = {
      {"0PO000003E8\r\n", TORVEK_ATT_OK, 1000, 2.51116071f},
      {"0POFFFFFC18\r\n", TORVEK_ATT_OK, -1000, -2.51116071f},
      {"0PO00004600\r\n", TORVEK_ATT_OK, 17920, 45.0f},
      {"0POFFFF7400\r\n", TORVEK_ATT_OK, -35840, -90.0f},
      {"0GS00\r\n", TORVEK_ATT_NO_VALUE, 77, 7.5f},
      {"0GS05\r\n", 5, 77, 7.5f},
      {"0POXYZ00000\r\n", TORVEK_ATT_UNEXPECTED_REPLY, 77, 7.5f},
      {"0PO0000\r\n", TORVEK_ATT_UNEXPECTED_REPLY, 77, 7.5f},
      {NULL, TORVEK_ATT_REPLY_TIMEOUT, 77, 7.5f},
  };
  torvek_att_handle* handle = connected_handle();
  size_t i;
  for (i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    const int32_t timeout = cases[i].reply != NULL ? kWait : kSilent;
    int32_t steps = 77;
    float degree = 7.5f;
    device_expect("0gp", cases[i].reply);
    EXPECT_INT(torvek_att_get_motor_steps(handle, &steps, timeout), cases[i].result);
    EXPECT_INT(steps, cases[i].steps);
    device_expect("0gp", cases[i].reply);
    EXPECT_INT(torvek_att_get_motor_degree(handle, &degree, timeout), cases[i].result);
    EXPECT_NEAR(degree, cases[i].degree, 1e-6);
    EXPECT_WIRE("0gp0gp");
  }
  device_expect("0gp", "0PO00000001\r\n");
  EXPECT_INT(torvek_att_get_motor_steps(handle, NULL, kWait), TORVEK_ATT_OK);
  device_expect("0gp", "0PO00000001\r\n");
  EXPECT_INT(torvek_att_get_motor_degree(handle, NULL, kWait), TORVEK_ATT_OK);
  EXPECT_WIRE("0gp0gp");
  finish(handle);
}

static void test_transmittance(void) {
  static const struct {
    float transmittance;
    double min_angle;
    double span;
    const char* command;
  } moves[] = {
      {0.25f, 10.0, 90.0, "0ma00003E38"}, /* 40 degrees */
      {1.0f, 10.0, 90.0, "0ma00009B8E"},  /* 100 degrees */
      {0.0f, 10.0, 90.0, "0ma00000F8E"},  /* 10 degrees */
      {0.5f, 0.0, 90.0, "0ma00004600"},   /* 45 degrees */
  };
  /* Out of range for the move only. */
  const float values_refused[] = {1.5f, -0.1f, (float)NAN, (float)INFINITY};
  /* A model both operations refuse. */
  const struct {
    double min_angle;
    double span;
  } models_refused[] = {
      {0.0, 0.0}, {-360.0, 90.0}, {300.0, 60.0}, {-400.0, 10.0}, {NAN, 90.0}, {0.0, INFINITY},
  };
  torvek_att_handle* handle = connected_handle();
  float transmittance = 0.7f;
  size_t i;
  for (i = 0; i < sizeof moves / sizeof moves[0]; ++i) {
    device_expect(moves[i].command, "0PO00000000\r\n");
    EXPECT_INT(torvek_att_set_transmittance(handle, moves[i].transmittance, moves[i].min_angle,
                                            moves[i].span, kWait),
               TORVEK_ATT_OK);
    EXPECT_WIRE(moves[i].command);
  }
  for (i = 0; i < sizeof values_refused / sizeof values_refused[0]; ++i) {
    EXPECT_INT(torvek_att_set_transmittance(handle, values_refused[i], 0.0, 90.0, kWait),
               TORVEK_ATT_INVALID_ARGUMENT);
  }
  for (i = 0; i < sizeof models_refused / sizeof models_refused[0]; ++i) {
    EXPECT_INT(torvek_att_set_transmittance(handle, 0.5f, models_refused[i].min_angle,
                                            models_refused[i].span, kWait),
               TORVEK_ATT_INVALID_ARGUMENT);
    EXPECT_INT(torvek_att_get_transmittance(handle, &transmittance, models_refused[i].min_angle,
                                            models_refused[i].span, kWait),
               TORVEK_ATT_INVALID_ARGUMENT);
  }
  EXPECT_FLOAT(transmittance, 0.7f);
  EXPECT_WIRE("");

  device_expect("0gp", "0PO00004600\r\n");
  EXPECT_INT(torvek_att_get_transmittance(handle, &transmittance, 0.0, 90.0, kWait), TORVEK_ATT_OK);
  EXPECT_FLOAT(transmittance, 0.5f);
  device_expect("0gp", "0PO00002300\r\n"); /* 22.5 degrees */
  EXPECT_INT(torvek_att_get_transmittance(handle, &transmittance, 10.0, 90.0, kWait),
             TORVEK_ATT_OK);
  EXPECT_NEAR(transmittance, 0.0468461066, 1e-7);
  transmittance = 0.7f;
  device_expect("0gp", "0GS00\r\n");
  EXPECT_INT(torvek_att_get_transmittance(handle, &transmittance, 0.0, 90.0, kWait),
             TORVEK_ATT_NO_VALUE);
  EXPECT_FLOAT(transmittance, 0.7f);
  EXPECT_INT(torvek_att_get_transmittance(handle, NULL, 0.0, 90.0, kWait),
             TORVEK_ATT_INVALID_ARGUMENT);
  EXPECT_WIRE("0gp0gp0gp");
  finish(handle);
}

static void fill(torvek_att_motor_info* info, const char* text) {
  strcpy(info->ident_a, text);
  strcpy(info->ident_b, text);
  strcpy(info->degrees_per_revolution_text, text);
  strcpy(info->pulses_per_revolution_text, text);
  strcpy(info->ident_c, text);
  strcpy(info->ident_d, text);
  strcpy(info->home_offset_text, text);
}

static void test_motor_info(void) {
  torvek_att_handle* handle = connected_handle();
  torvek_att_motor_info info;

  fill(&info, "keep");
  device_expect("0in", kIdentification);
  device_expect("0go", "0HO00000010\r\n"); /* 16 steps */
  EXPECT_INT(torvek_att_get_motor_info(handle, &info, kWait), TORVEK_ATT_OK);
  EXPECT_WIRE("0in0go");
  EXPECT_STR(info.ident_a, "1234ABCD");
  EXPECT_STR(info.ident_b, "0102");
  EXPECT_STR(info.ident_c, "03");
  EXPECT_STR(info.ident_d, "04");
  EXPECT_STR(info.degrees_per_revolution_text, "360");
  EXPECT_STR(info.pulses_per_revolution_text, "143360");
  EXPECT_STR(info.home_offset_text, "0.040179");

  /* An unreadable identification leaves the record; the home offset is written anyway. */
  fill(&info, "keep");
  device_expect("0in", "0IN0E1234ABCD010203040168XXXXXXXX\r\n");
  device_expect("0go", "0HOFFFFFFF0\r\n");
  EXPECT_INT(torvek_att_get_motor_info(handle, &info, kWait), TORVEK_ATT_UNEXPECTED_REPLY);
  EXPECT_STR(info.ident_a, "keep");
  EXPECT_STR(info.pulses_per_revolution_text, "keep");
  EXPECT_STR(info.ident_d, "keep");
  EXPECT_STR(info.home_offset_text, "-0.040179");

  /* A silent home offset: the identification is written, the offset reads zero. */
  fill(&info, "keep");
  device_expect("0in", kIdentification);
  device_expect("0go", NULL);
  EXPECT_INT(torvek_att_get_motor_info(handle, &info, 2 * kSilent), TORVEK_ATT_REPLY_TIMEOUT);
  EXPECT_STR(info.ident_a, "1234ABCD");
  EXPECT_STR(info.home_offset_text, "0.000000");

  device_expect("0in", kIdentification);
  device_expect("0go", "0HO00000000\r\n");
  EXPECT_INT(torvek_att_get_motor_info(handle, NULL, kWait), TORVEK_ATT_OK);

  /* A record straight from malloc: the call only writes it (Valgrind, which runs this test,
     reports any read of its uninitialised bytes). */
  {
    torvek_att_motor_info* fresh = (torvek_att_motor_info*)malloc(sizeof *fresh);
    device_expect("0in", kIdentification);
    device_expect("0go", "0HO00000010\r\n");
    EXPECT_INT(torvek_att_get_motor_info(handle, fresh, kWait), TORVEK_ATT_OK);
    EXPECT_STR(fresh->ident_a, "1234ABCD");
    EXPECT_STR(fresh->ident_d, "04");
    EXPECT_STR(fresh->pulses_per_revolution_text, "143360");
    EXPECT_STR(fresh->home_offset_text, "0.040179");
    free(fresh);
  }
  /* A status frame of code 0 in place of the identification: no value, and says so. */
  fill(&info, "keep");
  device_expect("0in", "0GS00\r\n");
  device_expect("0go", "0HO00000010\r\n");
  EXPECT_INT(torvek_att_get_motor_info(handle, &info, kWait), TORVEK_ATT_NO_VALUE);
  EXPECT_STR(info.ident_a, "keep");
  EXPECT_STR(info.home_offset_text, "0.040179");
  EXPECT_WIRE("0in0go0in0go0in0go0in0go0in0go");

  /* The same requests with the numbers as numbers; a part that did not come is not written. */
  {
    torvek_att_identification ident;
    memset(&ident, 0, sizeof ident);
    device_expect("0in", kIdentification);
    device_expect("0go", "0HOFFFFFFF0\r\n");
    EXPECT_INT(torvek_att_get_identification(handle, &ident, kWait), TORVEK_ATT_OK);
    EXPECT_STR(ident.ident_a, "1234ABCD");
    EXPECT_STR(ident.ident_b, "0102");
    EXPECT_STR(ident.ident_c, "03");
    EXPECT_STR(ident.ident_d, "04");
    EXPECT_INT(ident.degrees_per_revolution, 360);
    EXPECT_INT(ident.steps_per_revolution, 143360);
    EXPECT_INT(ident.home_offset_deg == (double)(-16.0f / (143360.0f / 360.0f)), 1);
    ident.home_offset_deg = 99.0;
    device_expect("0in", kIdentification);
    device_expect("0go", "0GS00\r\n");
    EXPECT_INT(torvek_att_get_identification(handle, &ident, kWait), TORVEK_ATT_NO_VALUE);
    EXPECT_INT(ident.home_offset_deg == 99.0, 1);
    EXPECT_INT(torvek_att_get_identification(handle, NULL, kWait), TORVEK_ATT_INVALID_ARGUMENT);
    EXPECT_WIRE("0in0go0in0go");
  }
  finish(handle);
}

/* Nothing the C++ layer throws may reach a C caller: here it runs out of memory. */
static void test_an_exception_becomes_internal_error(void) {
  torvek_att_handle* handle = connected_handle();
  torvek_att_handle* none;
  torvek_att_motor_info info;
  int32_t result;

  device_fail_allocations(1);
  none = torvek_att_create();
  device_fail_allocations(0);
  EXPECT_INT(none == NULL, 1);

  /* The identification's 35 bytes need memory as they arrive: the call ends there, and the
     next one is answered in step. */
  device_expect("0in", kIdentification);
  device_fail_allocations(1);
  result = torvek_att_get_motor_info(handle, &info, kWait);
  device_fail_allocations(0);
  EXPECT_INT(result, TORVEK_ATT_INTERNAL_ERROR);

  device_expect("0gs", "0GS00\r\n");
  EXPECT_INT(torvek_att_get_current_status(handle, kWait), TORVEK_ATT_OK);
  EXPECT_WIRE("0in0gs");
  finish(handle);
}

/* With an argument, runs only the tests whose name contains it. */
int main(int argc, char** argv) {
  static const struct {
    const char* name;
    void (*run)(void);
  } tests[] = {
      {"status names and version", test_status_names_and_version},
      {"a null handle is an invalid argument", test_a_null_handle_is_an_invalid_argument},
      {"a handle without a port", test_a_handle_without_a_port},
      {"connect and disconnect", test_connect_and_disconnect},
      {"status commands", test_status_commands},
      {"mechanical calibration", test_mechanical_calibration},
      {"moves by steps and degrees", test_moves_by_steps_and_degrees},
      {"position reads", test_position_reads},
      {"transmittance", test_transmittance},
      {"motor info", test_motor_info},
      {"an exception becomes InternalError", test_an_exception_becomes_internal_error},
  };
  int failed_tests = 0;
  size_t i;
  for (i = 0; i < sizeof tests / sizeof tests[0]; ++i) {
    const int before = failures;
    if (argc > 1 && strstr(tests[i].name, argv[1]) == NULL) {
      continue;
    }
    tests[i].run();
    printf("[%s] %s\n", failures == before ? "  OK  " : "FAILED", tests[i].name);
    if (failures != before) {
      ++failed_tests;
    }
  }
  printf("%d of %d tests failed\n", failed_tests, (int)(sizeof tests / sizeof tests[0]));
  return failed_tests == 0 ? 0 : 1;
}
