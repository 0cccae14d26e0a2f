#include "mqtt/gateway_log.h"

#include <cstdio>
#include <mutex>
#include <string>

void LogLine(std::string_view text) {
  static std::mutex mutex;
  std::string line = "dimlink-mqtt: " + std::string(text) + "\n";
  std::lock_guard lock(mutex);
  (void)std::fwrite(line.data(), 1, line.size(), stderr);
  (void)std::fflush(stderr);
}
