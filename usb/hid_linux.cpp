// The power supply on Linux: hidraw nodes, listed in /sys/class/hidraw.

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <iterator>
#include <string>
#include <vector>

#include "core/console.h"
#include "usb/hid.h"
#include "usb/hid_descriptor.h"

namespace {

using Clock = std::chrono::steady_clock;

const std::string kClassDirectory = "/sys/class/hidraw/";
const std::string kDeviceDirectory = "/dev/";
constexpr unsigned kNoMoreItems = 259;  // the end of the list, as the Windows search reports it

// hidraw entries in numeric order: hidraw2 before hidraw10.
std::vector<std::string> ListHidrawEntries() {
  std::vector<std::pair<unsigned long, std::string>> entries;
  if (DIR* directory = ::opendir(kClassDirectory.c_str())) {
    while (dirent* entry = ::readdir(directory)) {
      std::string name = entry->d_name;
      if (!name.starts_with("hidraw") || name.size() == 6 || name.size() > 16) continue;
      if (!std::all_of(name.begin() + 6, name.end(), [](char c) { return c >= '0' && c <= '9'; })) continue;
      entries.emplace_back(std::stoul(name.substr(6)), name);
    }
    ::closedir(directory);
  }
  std::sort(entries.begin(), entries.end());
  std::vector<std::string> names;
  names.reserve(entries.size());
  for (auto& entry : entries) names.push_back(std::move(entry.second));
  return names;
}

// Reads a small sysfs file whole (a report descriptor is at most 4096 bytes); empty when
// it cannot be read.
std::string ReadSmallFile(const std::string& path) {
  std::string content(4096, '\0');
  std::size_t size = 0;
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return {};
  for (;;) {
    ssize_t got = ::read(fd, content.data() + size, content.size() - size);
    if (got > 0 && (size += static_cast<std::size_t>(got)) < content.size()) continue;
    if (got < 0 && errno == EINTR) continue;
    break;
  }
  ::close(fd);
  content.resize(size);
  return content;
}

bool IsPowerSupply(const std::string& name) {
  std::optional<HidIdentifiers> ids = ParseHidUevent(ReadSmallFile(kClassDirectory + name + "/device/uevent"));
  return ids && ids->vendor == kSupplyVendorId && ids->product == kSupplyProductId;
}

// A descriptor that cannot be read or parsed is taken as the power supply's own layout,
// which has no report IDs.
DeviceCaps ReadCaps(const std::string& name) {
  std::string descriptor = ReadSmallFile(kClassDirectory + name + "/device/report_descriptor");
  std::optional<bool> numbered =
      UsesNumberedReports(reinterpret_cast<const std::uint8_t*>(descriptor.data()), descriptor.size());
  return DeviceCaps{numbered.value_or(false)};
}

void PrintSearchLine(const std::string& line) {
  WriteBytes(line + "\n");
  FlushConsole();
}

int Fd(const PowerSupply& supply) { return static_cast<int>(supply.DeviceHandle); }

}  // namespace

PowerSupply::PowerSupply(PowerSupply&& other) noexcept : DeviceHandle(other.DeviceHandle), caps(other.caps) {
  other.DeviceHandle = -1;
}

PowerSupply& PowerSupply::operator=(PowerSupply&& other) noexcept {
  if (this != &other) {
    if (open()) ::close(Fd(*this));
    DeviceHandle = other.DeviceHandle;
    caps = other.caps;
    other.DeviceHandle = -1;
  }
  return *this;
}

PowerSupply::~PowerSupply() {
  if (open()) ::close(Fd(*this));
}

bool PowerSupply::open() const { return DeviceHandle >= 0; }

bool FindPowerSupply(PowerSupply& supply) {
  for (const std::string& name : ListHidrawEntries()) {
    if (!IsPowerSupply(name)) continue;
    std::string path = kDeviceDirectory + name;
    int fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
      PrintSearchLine(" !!! Cannot open " + path + ", Error Code = " + std::to_string(static_cast<unsigned>(errno)));
      continue;
    }
    supply.DeviceHandle = fd;
    supply.caps = ReadCaps(name);
    return true;
  }
  PrintSearchLine(" !!! GetDeviceInterFace Error Code = " + std::to_string(kNoMoreItems));
  return false;
}

bool WriteOutputReport(const PowerSupply& supply, const OutputReport& report) {
  for (;;) {
    ssize_t written = ::write(Fd(supply), report.data(), report.size());
    if (written < 0 && errno == EINTR) continue;
    return written == static_cast<ssize_t>(report.size());
  }
}

bool ReadInputReport(const PowerSupply& supply, InputReport& report, int timeout_ms) {
  // hidraw hands over a report without numbered reports without its ID byte; keep the
  // answer at byte 1 either way.
  std::size_t skip = supply.caps.numbered_reports ? 0 : 1;
  report.fill(0);
  auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return false;
    pollfd entry{Fd(supply), POLLIN, 0};
    int ready = ::poll(&entry, 1, static_cast<int>(left));
    if (ready < 0 && errno != EINTR) return false;
    if (ready <= 0) continue;
    if ((entry.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0 && (entry.revents & POLLIN) == 0) return false;
    ssize_t got = ::read(Fd(supply), report.data() + skip, report.size() - skip);
    if (got > 0) return true;
    if (got == 0 || (errno != EAGAIN && errno != EINTR)) return false;
  }
}
