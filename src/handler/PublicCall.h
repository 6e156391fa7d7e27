#pragma once

#include <mutex>
#include <string>

#include "link/AttenuatorHandlerImpl.h"
#include "torvek/AttenuatorHandler.h"

namespace TORVEK {

// One public call from start to end: the handler's lock, and the call's number for a Cancel.
// Its result goes through Returns, which puts it in the wire trace.
class PublicCall {
 public:
  PublicCall(AttenuatorHandlerImpl& impl, const char* operation)
      : lock_(impl.mutex), impl_(impl), operation_(operation) {
    impl_.cancellation.BeginCall();
  }
  ~PublicCall() { impl_.cancellation.EndCall(); }
  PublicCall(const PublicCall&) = delete;
  PublicCall& operator=(const PublicCall&) = delete;

  int Returns(int status) {
    if (impl_.trace) {
      TraceResult(status);
    }
    return status;
  }
  ConnectResult Returns(ConnectResult result) {
    if (impl_.trace) {
      impl_.trace->Line(
          "result", std::string(operation_) +
                        (result == ConnectResult::Connected
                             ? ": true"
                             : std::string(": false, ") + StatusName(static_cast<int>(result))));
    }
    return result;
  }

 private:
  void TraceResult(int status) {
    std::string text = std::string(operation_) + ": " + StatusName(status);
    if (status > 0) {
      text += " " + std::to_string(status);
    }
    impl_.trace->Line("result", text);
  }

  std::lock_guard<std::mutex> lock_;
  AttenuatorHandlerImpl& impl_;
  const char* operation_;
};

}  // namespace TORVEK
