#include "link/AttenuatorHandlerImpl.h"
#include "protocol/ReplyFrames.h"

namespace TORVEK {
namespace {

// One transaction, then `decode` on its line. `delivered` tells whether the expected frame
// arrived: a status frame of code 0 gives Ok as well, but delivers nothing.
template <typename Decode>
int Request(AttenuatorHandlerImpl& impl, const std::string& command, int timeout_ms,
            bool* delivered, Decode decode) {
  if (delivered != nullptr) {
    *delivered = false;
  }
  std::string reply;
  const int result = impl.Exchange(command, reply, timeout_ms);
  if (result != Ok) {
    return result;
  }
  const DecodedReply decoded = decode(reply);
  if (delivered != nullptr) {
    *delivered = decoded.delivered;
  }
  return decoded.status;
}

}  // namespace

int AttenuatorHandlerImpl::RequestStatus(const std::string& command, int timeout_ms) {
  std::string reply;
  const int result = Exchange(command, reply, timeout_ms);
  if (result != Ok) {
    return result;
  }
  return DecodeStatusReply(reply);
}

int AttenuatorHandlerImpl::RequestPosition(const std::string& command, int* position,
                                           int timeout_ms, bool* delivered) {
  return Request(*this, command, timeout_ms, delivered, [position](const std::string& line) {
    return DecodeNumberReply(line, kPositionFrame, position);
  });
}

int AttenuatorHandlerImpl::RequestHomeOffset(const std::string& command, int* offset,
                                             int timeout_ms, bool* delivered) {
  return Request(*this, command, timeout_ms, delivered, [offset](const std::string& line) {
    return DecodeNumberReply(line, kHomeOffsetFrame, offset);
  });
}

int AttenuatorHandlerImpl::RequestInfo(const std::string& command, MotorInfo* info, int timeout_ms,
                                       bool* delivered) {
  return Request(*this, command, timeout_ms, delivered,
                 [info](const std::string& line) { return DecodeInfoReply(line, info); });
}

}  // namespace TORVEK
