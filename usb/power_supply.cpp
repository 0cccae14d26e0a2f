#include "usb/hid.h"

#include <utility>

PowerSupply::PowerSupply(PowerSupply&& other) noexcept
    : device_handle(std::exchange(other.device_handle, -1)),
      exchange_lock(std::exchange(other.exchange_lock, 0)),
      path(std::move(other.path)),
      caps(other.caps),
      stuck(other.stuck) {}

PowerSupply& PowerSupply::operator=(PowerSupply&& other) noexcept {
  if (this != &other) {
    ClosePowerSupply(*this);
    device_handle = std::exchange(other.device_handle, -1);
    exchange_lock = std::exchange(other.exchange_lock, 0);
    path = std::move(other.path);
    caps = other.caps;
    stuck = other.stuck;
  }
  return *this;
}

PowerSupply::~PowerSupply() { ClosePowerSupply(*this); }
