// The power supply on Windows: HID device interfaces listed by SetupAPI, identified by the
// HID class library, exchanged with by overlapped file I/O so that waits are bounded.

#include <windows.h>

#include <setupapi.h>
// The HID class library's headers declare plain C functions without saying so.
extern "C" {
#include <hidsdi.h>
}

#include <algorithm>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/console.h"
#include "usb/hid.h"

namespace {

constexpr DWORD kWriteTimeoutMs = 5000;

// A kernel handle closed when it goes.
struct OwnedHandle {
  explicit OwnedHandle(HANDLE native) : handle(native) {}
  OwnedHandle(const OwnedHandle&) = delete;
  OwnedHandle& operator=(const OwnedHandle&) = delete;
  ~OwnedHandle() {
    if (valid()) CloseHandle(handle);
  }
  bool valid() const { return handle != INVALID_HANDLE_VALUE && handle != nullptr; }
  HANDLE release() { return std::exchange(handle, INVALID_HANDLE_VALUE); }
  HANDLE handle;
};

// The set of present HID interfaces, destroyed when it goes.
struct DeviceInfoSet {
  explicit DeviceInfoSet(HDEVINFO native) : set(native) {}
  DeviceInfoSet(const DeviceInfoSet&) = delete;
  DeviceInfoSet& operator=(const DeviceInfoSet&) = delete;
  ~DeviceInfoSet() {
    if (set != INVALID_HANDLE_VALUE) SetupDiDestroyDeviceInfoList(set);
  }
  HDEVINFO set;
};

// The shared header keeps the handle as an integer, so that it names no platform type.
HANDLE Native(const PowerSupply& supply) {
  return reinterpret_cast<HANDLE>(supply.DeviceHandle);  // NOLINT(performance-no-int-to-ptr)
}

void PrintSearchLine(std::string_view start, std::wstring_view path, const std::string& end) {
  WriteBytes(start);
  WriteText(path);
  WriteBytes(end + "\n");
  FlushConsole();
}

// The device path of the interface; empty when its detail record cannot be read.
std::wstring DevicePath(HDEVINFO set, SP_DEVICE_INTERFACE_DATA& interface_data) {
  DWORD size = 0;
  SetupDiGetDeviceInterfaceDetailW(set, &interface_data, nullptr, 0, &size, nullptr);
  if (size < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) return {};
  std::vector<DWORD> storage((size + sizeof(DWORD) - 1) / sizeof(DWORD));  // DWORD-aligned
  auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(storage.data());
  detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
  if (!SetupDiGetDeviceInterfaceDetailW(set, &interface_data, detail, size, nullptr, nullptr)) return {};
  return detail->DevicePath;
}

// Reads the identifiers through a handle without read or write access, which even
// devices that refuse read-write opens (keyboards, mice) give.
bool IsPowerSupply(const std::wstring& path) {
  OwnedHandle query(
      CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
  if (!query.valid()) return false;
  HIDD_ATTRIBUTES attributes{};
  attributes.Size = sizeof attributes;
  return HidD_GetAttributes(query.handle, &attributes) != FALSE && attributes.VendorID == kSupplyVendorId &&
         attributes.ProductID == kSupplyProductId;
}

DeviceCaps ReadCaps(HANDLE device) {
  DeviceCaps caps;
  caps.numbered_reports = true;  // Windows always puts the report ID at byte 0
  PHIDP_PREPARSED_DATA preparsed = nullptr;
  if (!HidD_GetPreparsedData(device, &preparsed)) return caps;
  HIDP_CAPS hid_caps{};
  if (HidP_GetCaps(preparsed, &hid_caps) == HIDP_STATUS_SUCCESS)
    caps.input_report_length = hid_caps.InputReportByteLength;
  HidD_FreePreparsedData(preparsed);
  return caps;
}

// Waits for an overlapped transfer; cancels it when the time runs out. Gives back the
// byte count, or nothing when it failed or timed out.
std::optional<DWORD> Finish(HANDLE device, OVERLAPPED& overlapped, BOOL started, DWORD timeout_ms) {
  if (!started && GetLastError() != ERROR_IO_PENDING) return std::nullopt;
  DWORD count = 0;
  if (WaitForSingleObject(overlapped.hEvent, timeout_ms) != WAIT_OBJECT_0) {
    CancelIo(device);
    GetOverlappedResult(device, &overlapped, &count, TRUE);  // the buffer is in use until this returns
    return std::nullopt;
  }
  if (!GetOverlappedResult(device, &overlapped, &count, FALSE)) return std::nullopt;
  return count;
}

}  // namespace

PowerSupply::PowerSupply(PowerSupply&& other) noexcept : DeviceHandle(other.DeviceHandle), caps(other.caps) {
  other.DeviceHandle = -1;
}

PowerSupply& PowerSupply::operator=(PowerSupply&& other) noexcept {
  if (this != &other) {
    if (open()) CloseHandle(Native(*this));
    DeviceHandle = other.DeviceHandle;
    caps = other.caps;
    other.DeviceHandle = -1;
  }
  return *this;
}

PowerSupply::~PowerSupply() {
  if (open()) CloseHandle(Native(*this));
}

bool PowerSupply::open() const { return DeviceHandle != -1 && DeviceHandle != 0; }

bool FindPowerSupply(PowerSupply& supply) {
  GUID hid_class;
  HidD_GetHidGuid(&hid_class);
  DeviceInfoSet interfaces(SetupDiGetClassDevsW(&hid_class, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE));
  for (DWORD index = 0;; ++index) {
    SP_DEVICE_INTERFACE_DATA interface_data{};
    interface_data.cbSize = sizeof interface_data;
    if (!SetupDiEnumDeviceInterfaces(interfaces.set, nullptr, &hid_class, index, &interface_data)) {
      PrintSearchLine(" !!! GetDeviceInterFace Error Code = ", L"", std::to_string(GetLastError()));
      return false;
    }
    std::wstring path = DevicePath(interfaces.set, interface_data);
    if (path.empty() || !IsPowerSupply(path)) continue;
    OwnedHandle device(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                   nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr));
    if (!device.valid()) {
      PrintSearchLine(" !!! Cannot open ", path, ", Error Code = " + std::to_string(GetLastError()));
      continue;
    }
    supply.caps = ReadCaps(device.handle);
    supply.DeviceHandle = reinterpret_cast<std::intptr_t>(device.release());
    return true;
  }
}

bool WriteOutputReport(const PowerSupply& supply, const OutputReport& report) {
  OwnedHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!event.valid()) return false;
  OVERLAPPED overlapped{};
  overlapped.hEvent = event.handle;
  BOOL started = WriteFile(Native(supply), report.data(), static_cast<DWORD>(report.size()), nullptr, &overlapped);
  std::optional<DWORD> written = Finish(Native(supply), overlapped, started, kWriteTimeoutMs);
  return written && *written == report.size();
}

bool ReadInputReport(const PowerSupply& supply, InputReport& report, int timeout_ms) {
  // A device with longer reports is read whole into a buffer of its size; the first 64
  // bytes are kept.
  std::size_t length = supply.caps.input_report_length != 0 ? supply.caps.input_report_length : report.size();
  std::vector<std::uint8_t> buffer(std::max(length, report.size()), 0);
  OwnedHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!event.valid()) return false;
  OVERLAPPED overlapped{};
  overlapped.hEvent = event.handle;
  BOOL started = ReadFile(Native(supply), buffer.data(), static_cast<DWORD>(length), nullptr, &overlapped);
  std::optional<DWORD> got = Finish(Native(supply), overlapped, started, static_cast<DWORD>(timeout_ms));
  if (!got) return false;
  std::copy_n(buffer.begin(), report.size(), report.begin());
  return true;
}
