#pragma once

// Identification records the tests, the fault kit, the soak and the reply fuzzer all compare
// against. Header-only and free of GoogleTest, so that the fuzzer can use it too.

#include <string>

#include "torvek/AttenuatorHandler.h"

namespace torvek_test {

// A record whose every member holds text no reply could put there: a call that delivers
// nothing must leave it exactly so.
inline TORVEK::MotorInfo SentinelInfo() {
  TORVEK::MotorInfo info;
  info.ident_a = "<ident_a untouched>";
  info.ident_b = "<ident_b untouched>";
  info.degrees_per_revolution_text = "<degrees untouched>";
  info.pulses_per_revolution_text = "<pulses untouched>";
  info.ident_c = "<ident_c untouched>";
  info.ident_d = "<ident_d untouched>";
  info.home_offset_text = "<home offset untouched>";
  return info;
}

// What the identification of a default device (kDefaultIdentification,
// "0IN0E1234ABCD01020304016800023000") puts in a record; home_offset_text as in `info`.
inline void FillDefaultIdentification(TORVEK::MotorInfo& info) {
  info.ident_a = "1234ABCD";
  info.ident_b = "0102";
  info.degrees_per_revolution_text = "360";
  info.pulses_per_revolution_text = "143360";
  info.ident_c = "03";
  info.ident_d = "04";
}

inline bool SameInfo(const TORVEK::MotorInfo& a, const TORVEK::MotorInfo& b) {
  return a.ident_a == b.ident_a && a.ident_b == b.ident_b &&
         a.degrees_per_revolution_text == b.degrees_per_revolution_text &&
         a.pulses_per_revolution_text == b.pulses_per_revolution_text && a.ident_c == b.ident_c &&
         a.ident_d == b.ident_d && a.home_offset_text == b.home_offset_text;
}

inline std::string Describe(const TORVEK::MotorInfo& info) {
  return "{" + info.ident_a + ", " + info.ident_b + ", " + info.degrees_per_revolution_text + ", " +
         info.pulses_per_revolution_text + ", " + info.ident_c + ", " + info.ident_d + ", " +
         info.home_offset_text + "}";
}

}  // namespace torvek_test
