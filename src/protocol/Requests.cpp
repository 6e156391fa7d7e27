#include "protocol/Requests.h"

#include "link/AttenuatorHandlerImpl.h"

namespace TORVEK {
namespace {

template <typename Decode>
DecodedReply Request(AttenuatorHandlerImpl& link, const std::string& command, int timeout_ms,
                     Decode decode) {
  std::string reply;
  const int result = link.Exchange(command, reply, timeout_ms);
  if (result != Ok) {
    return DecodedReply{result, false};
  }
  return decode(reply);
}

}  // namespace

int RequestStatus(AttenuatorHandlerImpl& link, const std::string& command, int timeout_ms) {
  return Request(link, command, timeout_ms,
                 [](const std::string& line) {
                   return DecodedReply{DecodeStatusReply(line), false};
                 })
      .status;
}

int RequestStatusAfterMotion(AttenuatorHandlerImpl& link, const std::string& command,
                             int timeout_ms) {
  std::string reply;
  const int result = link.Exchange(command, reply, timeout_ms, &IsPositionFrame);
  return result != Ok ? result : DecodeStatusReply(reply);
}

DecodedReply RequestPosition(AttenuatorHandlerImpl& link, const std::string& command,
                             std::int32_t* position, int timeout_ms) {
  return Request(link, command, timeout_ms, [position](const std::string& line) {
    return DecodeNumberReply(line, kPositionFrame, position);
  });
}

DecodedReply RequestHomeOffset(AttenuatorHandlerImpl& link, const std::string& command,
                               std::int32_t* offset, int timeout_ms) {
  return Request(link, command, timeout_ms, [offset](const std::string& line) {
    return DecodeNumberReply(line, kHomeOffsetFrame, offset);
  });
}

DecodedReply RequestInfo(AttenuatorHandlerImpl& link, const std::string& command,
                         Identification* identification, int timeout_ms) {
  return Request(link, command, timeout_ms, [identification](const std::string& line) {
    return DecodeInfoReply(line, identification);
  });
}

}  // namespace TORVEK
