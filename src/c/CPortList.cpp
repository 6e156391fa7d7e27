#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "torvek/AttenuatorHandler.h"
#include "torvek/attenuator.h"

// The port list through the C interface: the C++ records, and C views of them whose pointers
// lead into the records; both live in the list until the caller frees it.

struct torvek_att_port_list {
  std::vector<TORVEK::SerialPortInfo> ports;
  std::vector<std::vector<const char*>> by_id;
  std::vector<torvek_att_port> views;
};

namespace {

torvek_att_port_list* ViewsOf(std::vector<TORVEK::SerialPortInfo> ports) {
  try {
    auto list = std::make_unique<torvek_att_port_list>();
    list->ports = std::move(ports);
    list->by_id.reserve(list->ports.size());
    list->views.reserve(list->ports.size());
    for (const TORVEK::SerialPortInfo& port : list->ports) {
      std::vector<const char*>& names = list->by_id.emplace_back();
      for (const std::string& name : port.by_id) {
        names.push_back(name.c_str());
      }
      torvek_att_port view{};
      view.path = port.path.c_str();
      view.open_path = port.open_path.c_str();
      view.by_id = names.data();
      view.by_id_count = names.size();
      view.vendor_id = port.vendor_id.c_str();
      view.product_id = port.product_id.c_str();
      view.serial = port.serial.c_str();
      view.manufacturer = port.manufacturer.c_str();
      view.product = port.product.c_str();
      view.driver = port.driver.c_str();
      view.system_name = port.system_name.c_str();
      view.may_open = port.may_open ? 1 : 0;
      view.open_error = port.open_error;
      view.group = port.group.c_str();
      view.latency_timer_ms = port.latency_timer_ms;
      view.locked_by = port.locked_by.c_str();
      list->views.push_back(view);
    }
    return list.release();
  } catch (...) {
    return nullptr;
  }
}

}  // namespace

extern "C" {

torvek_att_port_list* torvek_att_list_ports(void) {
  try {
    return ViewsOf(TORVEK::ListSerialPorts());
  } catch (...) {
    return nullptr;
  }
}

torvek_att_port_list* torvek_att_describe_port(const char* name) {
  if (name == nullptr) {
    return nullptr;
  }
  try {
    return ViewsOf({TORVEK::DescribePort(name)});
  } catch (...) {
    return nullptr;
  }
}

size_t torvek_att_port_count(const torvek_att_port_list* list) {
  return list != nullptr ? list->views.size() : 0;
}

const torvek_att_port* torvek_att_port_at(const torvek_att_port_list* list, size_t index) {
  if (list == nullptr || index >= list->views.size()) {
    return nullptr;
  }
  return &list->views[index];
}

void torvek_att_free_ports(torvek_att_port_list* list) {
  delete list;
}

int32_t torvek_att_port_advice(const char* port_name, int32_t result, char* advice, size_t size) {
  if (port_name == nullptr || advice == nullptr || size == 0) {
    return TORVEK_ATT_INVALID_ARGUMENT;
  }
  try {
    const std::string text =
        TORVEK::PortAdvice(port_name, static_cast<TORVEK::ConnectResult>(result));
    const std::size_t length = std::min(text.size(), size - 1);
    std::memcpy(advice, text.data(), length);
    advice[length] = '\0';
    return TORVEK_ATT_OK;
  } catch (...) {
    return TORVEK_ATT_INTERNAL_ERROR;
  }
}

int32_t torvek_att_resolve_port(const char* name, char* path, size_t size) {
  if (name == nullptr || path == nullptr) {
    return TORVEK_ATT_INVALID_ARGUMENT;
  }
  try {
    std::string resolved;
    const TORVEK::ConnectResult result = TORVEK::ResolvePortName(name, &resolved);
    if (result != TORVEK::ConnectResult::Connected) {
      return static_cast<int32_t>(result);
    }
    if (resolved.size() + 1 > size) {
      return TORVEK_ATT_INVALID_ARGUMENT;
    }
    std::memcpy(path, resolved.c_str(), resolved.size() + 1);
    return TORVEK_ATT_OK;
  } catch (...) {
    return TORVEK_ATT_INTERNAL_ERROR;
  }
}

}  // extern "C"
