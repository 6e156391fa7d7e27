#pragma once

#include <cstdint>
#include <string>

#include "torvek/AttenuatorHandler.h"

namespace TORVEK {

// A reply line as the device sends it: address character, two-letter tag, fixed data, CR LF.
// A frame is recognised by its total length (terminator included), its tag and its CR LF; the
// address character is not examined.
struct FrameKind {
  const char* tag;
  std::size_t length;
};

inline constexpr FrameKind kStatusFrame{"GS", 7};
inline constexpr FrameKind kPositionFrame{"PO", 13};
inline constexpr FrameKind kHomeOffsetFrame{"HO", 13};
inline constexpr FrameKind kInfoFrame{"IN", 35};

// What one reply line means for the command that expected `kind`.
struct DecodedReply {
  int status = UnexpectedReply;  // Ok, a device status code, or UnexpectedReply
  bool delivered = false;        // the expected frame arrived and its data decoded
};

// Whether `line` is a position frame, a status frame, readable or not.
bool IsPositionFrame(const std::string& line);
bool IsStatusFrame(const std::string& line);

// For a command answered by a status frame: its code, or UnexpectedReply.
int DecodeStatusReply(const std::string& line);

// For a command answered by a position or home-offset frame. `value` is written only when the
// frame arrived and its number could be read; a status frame in its place gives its code.
DecodedReply DecodeNumberReply(const std::string& line, FrameKind kind, std::int32_t* value);

// The identification frame's fields: four texts as the device sent them, and its scale.
struct Identification {
  std::string ident_a;  // 8 characters
  std::string ident_b;  // 4
  std::string ident_c;  // 2
  std::string ident_d;  // 2
  std::int32_t degrees_per_revolution = 0;
  std::int32_t pulses_per_revolution = 0;
};

// For "0in". Every field is decoded before any member of `identification` is assigned, so a
// frame with an unreadable number leaves it exactly as it was. It may be null.
DecodedReply DecodeInfoReply(const std::string& line, Identification* identification);

}  // namespace TORVEK
