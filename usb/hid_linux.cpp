// The power supply on Linux: hidraw nodes, listed in /sys/class/hidraw.

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "usb/hid.h"
#include "usb/hid_descriptor.h"

namespace {

using Clock = std::chrono::steady_clock;

const std::string kClassDirectory = "/sys/class/hidraw/";
const std::string kDeviceDirectory = "/dev/";
constexpr unsigned kNoMoreItems = 259;  // the end of the list, as the Windows search reports it
constexpr auto kLockRetryPause = std::chrono::milliseconds(10);
constexpr int kMostReportsWaiting = 64;  // hidraw keeps at most 64 unread reports per reader

// hidraw entries in numeric order: hidraw2 before hidraw10. Without the hidraw class (no
// HID device ever seen) there are none; nothing when the class cannot be read.
std::optional<std::vector<std::string>> ListHidrawEntries() {
  std::vector<std::pair<unsigned long, std::string>> entries;
  DIR* directory = ::opendir(kClassDirectory.c_str());
  if (directory == nullptr && errno != ENOENT) return std::nullopt;
  if (directory != nullptr) {
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

// A power supply as its sysfs entry describes it.
struct SupplyEntry {
  std::string name;  // hidrawN
  std::string serial;
  std::string product_name;
};

// Nothing when the entry is some other device.
std::optional<SupplyEntry> ReadSupplyEntry(const std::string& name) {
  std::string uevent = ReadSmallFile(kClassDirectory + name + "/device/uevent");
  std::optional<HidIdentifiers> ids = ParseHidUevent(uevent);
  if (!ids || ids->vendor != kSupplyVendorId || ids->product != kSupplyProductId) return std::nullopt;
  return SupplyEntry{name, std::string(UeventValue(uevent, "HID_UNIQ")), std::string(UeventValue(uevent, "HID_NAME"))};
}

// The path with symbolic links resolved (a udev alias names the same node), or as given
// when it does not resolve.
std::string ResolvedPath(const std::string& path) {
  char* resolved = ::realpath(path.c_str(), nullptr);
  if (resolved == nullptr) return path;
  std::string result = resolved;
  std::free(resolved);  // NOLINT(cppcoreguidelines-no-malloc): realpath allocates with malloc
  return result;
}

bool Matches(const SupplyEntry& entry, const SupplyChoice& choice) {
  if (choice.serial && (entry.serial.empty() || entry.serial != *choice.serial)) return false;
  return !choice.path || ResolvedPath(*choice.path) == kDeviceDirectory + entry.name;
}

// A descriptor that cannot be read or parsed is taken as the power supply's own layout,
// which has no report IDs, with no known output length. hidraw writes whatever length it
// is given, so the output length only bounds the command.
DeviceCaps ReadCaps(const std::string& name) {
  std::string text = ReadSmallFile(kClassDirectory + name + "/device/report_descriptor");
  const auto* descriptor = reinterpret_cast<const std::uint8_t*>(text.data());
  DeviceCaps caps{UsesNumberedReports(descriptor, text.size()).value_or(false)};
  std::size_t output_bytes = OutputReportBytes(descriptor, text.size()).value_or(0);
  if (output_bytes != 0) caps.output_report_length = output_bytes + 1;  // and the report ID
  return caps;
}

int Fd(const PowerSupply& supply) { return static_cast<int>(supply.device_handle); }

}  // namespace

// Every reader of a hidraw node gets every input report, so what is waiting now answered
// commands of other runs. Reads without waiting while the node has more.
void DiscardWaitingReports(const PowerSupply& supply) {
  InputReport scratch{};
  for (int k = 0; k < kMostReportsWaiting; ++k) {
    pollfd entry{Fd(supply), POLLIN, 0};
    if (::poll(&entry, 1, 0) <= 0 || (entry.revents & POLLIN) == 0) return;
    if (::read(Fd(supply), scratch.data(), scratch.size()) < 0 && errno != EINTR) return;
  }
}

// The exchange lock is an flock on the device itself, released when it is closed, by
// the system if the tool dies.
void ClosePowerSupply(PowerSupply& supply) {
  if (supply.open()) ::close(Fd(supply));
}

bool PowerSupply::open() const { return device_handle >= 0; }

std::optional<std::vector<SupplyListing>> ListPowerSupplies() {
  std::optional<std::vector<std::string>> names = ListHidrawEntries();
  if (!names) return std::nullopt;
  std::vector<SupplyListing> supplies;
  for (const std::string& name : *names) {
    if (std::optional<SupplyEntry> entry = ReadSupplyEntry(name))
      supplies.push_back({kDeviceDirectory + name, entry->serial, entry->product_name});
  }
  return supplies;
}

bool FindPowerSupply(PowerSupply& supply, const SupplyChoice& choice, std::string& notes, OpenFailure* first_failure) {
  for (const std::string& name : ListHidrawEntries().value_or(std::vector<std::string>{})) {
    std::optional<SupplyEntry> entry = ReadSupplyEntry(name);
    if (!entry || !Matches(*entry, choice)) continue;
    std::string path = kDeviceDirectory + name;
    int fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
      auto error = static_cast<std::uint32_t>(errno);
      if (first_failure != nullptr && first_failure->error == 0) *first_failure = {path, error};
      notes += " !!! Cannot open " + path + ", Error Code = " + std::to_string(error) + "\n";
      continue;
    }
    supply.device_handle = fd;
    supply.path = path;
    supply.caps = ReadCaps(name);
    return true;
  }
  notes += " !!! GetDeviceInterFace Error Code = " + std::to_string(kNoMoreItems) + "\n";
  return false;
}

LockOutcome TakeForExchange(PowerSupply& supply, int timeout_ms, const Wait& wait) {
  auto end = StepEnd(wait, timeout_ms);
  // Only another holder makes the wait worth it; a node that cannot be locked at all is
  // used as it is, as it was before runs took turns.
  while (::flock(Fd(supply), LOCK_EX | LOCK_NB) != 0 && (errno == EWOULDBLOCK || errno == EINTR)) {
    if (Clock::now() >= end || Interrupted(wait)) return {LockOutcome::Busy};
    std::this_thread::sleep_for(kLockRetryPause);
  }
  return {LockOutcome::Held};
}

void ReleaseExchange(PowerSupply& supply) { ::flock(Fd(supply), LOCK_UN); }

// The node is opened without blocking and a HID write either goes out whole or fails at
// once, so there is nothing to wait for. The failure's message has always gone without
// an error number here, and scripts match it, so errno is carried only for a supply that
// has gone (ENODEV), which a program must tell apart.
bool WriteOutputReport(const PowerSupply& supply, const OutputReport& report, int /*timeout_ms*/,
                       std::optional<long>& error, const Wait& /*wait*/) {
  for (;;) {
    ssize_t written = ::write(Fd(supply), report.data(), report.size());
    if (written < 0 && errno == EINTR) continue;
    if (written < 0 && errno == ENODEV) error = ENODEV;
    return written == static_cast<ssize_t>(report.size());
  }
}

bool PauseBetweenSearches(int milliseconds) { return ::poll(nullptr, 0, milliseconds) == 0; }

// hidraw marks a node whose device has gone with POLLHUP, and its reads fail from then
// on, once the reports still waiting have been read.
bool SupplyGone(const PowerSupply& supply, std::optional<long>* error) {
  pollfd entry{Fd(supply), POLLIN, 0};
  if (::poll(&entry, 1, 0) < 0 || (entry.revents & (POLLERR | POLLHUP | POLLNVAL)) == 0) return false;
  InputReport scratch{};
  for (int k = 0; k <= kMostReportsWaiting; ++k) {
    if (::read(Fd(supply), scratch.data(), scratch.size()) >= 0 || errno == EINTR) continue;
    if (error != nullptr) *error = errno;
    break;
  }
  return true;
}

bool ReadInputReport(const PowerSupply& supply, InputReport& report, int timeout_ms, const Wait& wait) {
  // hidraw hands over a report without numbered reports without its ID byte; keep the
  // answer at byte 1 either way.
  std::size_t skip = supply.caps.numbered_reports ? 0 : 1;
  report.fill(0);
  auto end = StepEnd(wait, timeout_ms);
  for (;;) {
    int slice = SliceMs(wait, end);
    if (slice <= 0 || Interrupted(wait)) return false;
    pollfd entry{Fd(supply), POLLIN, 0};
    int ready = ::poll(&entry, 1, slice);
    if (ready < 0 && errno == EINTR) SignalArrived(wait);
    if (ready < 0 && errno != EINTR) return false;
    if (ready <= 0) continue;
    if ((entry.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0 && (entry.revents & POLLIN) == 0) return false;
    ssize_t got = ::read(Fd(supply), report.data() + skip, report.size() - skip);
    if (got > 0) return true;
    if (got == 0 || (errno != EAGAIN && errno != EINTR)) return false;
  }
}
