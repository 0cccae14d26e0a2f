#include "mqtt/supplies.h"

#include <nlohmann/json.hpp>

#include "mqtt/gateway_options.h"

std::string UsbSupplyId(const std::string& serial, const std::string& path, int devices_with_serial,
                        const SupplyRegistry& registry) {
  if (IsTopicLevel(serial) && devices_with_serial == 1 && !registry.by_id.contains(serial)) return serial;
  return "usb-" + path.substr(path.rfind('/') + 1);
}

std::string SuppliesJson(const SupplyRegistry& registry) {
  nlohmann::ordered_json list = nlohmann::ordered_json::array();
  for (const auto& [id, supply] : registry.by_id) {
    nlohmann::ordered_json entry = {
        {"id", id}, {"transport", supply->usb ? "usb" : "tcp"}, {"available", supply->available.load()}};
    if (supply->usb) {
      std::lock_guard lock(supply->handle_mutex);
      entry["serial"] = supply->serial;
      entry["name"] = supply->name;
      entry["path"] = supply->path;
    } else {
      entry["address"] = supply->address;
      entry["port"] = supply->port;
    }
    list.push_back(std::move(entry));
  }
  return list.dump(-1, ' ', true, nlohmann::json::error_handler_t::replace);
}
