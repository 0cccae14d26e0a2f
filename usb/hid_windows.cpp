// The power supply on Windows: HID device interfaces listed by SetupAPI, identified by the
// HID class library, exchanged with by overlapped file I/O so that waits are bounded.

#include <windows.h>

#include <sddl.h>
#include <setupapi.h>
// The HID class library's headers declare plain C functions without saying so.
extern "C" {
#include <hidsdi.h>
}

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "usb/hid.h"

namespace {

// In the global namespace, so that runs in every logon session (a service, a desktop)
// take turns.
constexpr std::wstring_view kLockNamePrefix = L"Global\\dimlink-supply-";

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
  return reinterpret_cast<HANDLE>(supply.device_handle);  // NOLINT(performance-no-int-to-ptr)
}

HANDLE Lock(const PowerSupply& supply) {
  return reinterpret_cast<HANDLE>(supply.exchange_lock);  // NOLINT(performance-no-int-to-ptr)
}

std::string Utf8(std::wstring_view text) {
  if (text.empty()) return {};
  int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  std::string bytes(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), bytes.data(), size, nullptr, nullptr);
  return bytes;
}

// Device interface paths are ASCII, so UTF-8 gives the bytes every output encoding would.
void AddSearchLine(std::string& notes, std::string_view start, std::wstring_view path, const std::string& end) {
  notes += std::string(start) + Utf8(path) + end + "\n";
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

// A handle without read or write access, which even devices that refuse read-write
// opens (keyboards, mice) give; enough to read identifiers and strings.
HANDLE OpenForQuery(const std::wstring& path) {
  return CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
}

bool IsPowerSupply(HANDLE query) {
  HIDD_ATTRIBUTES attributes{};
  attributes.Size = sizeof attributes;
  return HidD_GetAttributes(query, &attributes) != FALSE && attributes.VendorID == kSupplyVendorId &&
         attributes.ProductID == kSupplyProductId;
}

// A string the device gives (serial number, product name); empty when it gives none.
std::wstring HidString(HANDLE query, decltype(&HidD_GetSerialNumberString) get) {
  std::array<wchar_t, 128> text{};  // a USB string holds at most 126 characters
  if (!get(query, text.data(), static_cast<ULONG>((text.size() - 1) * sizeof(wchar_t)))) return {};
  return text.data();
}

// A choice's text, UTF-8 as the tools' arguments and the library's callers give it, as
// the system's wide text.
std::wstring FromArgument(const std::string& argument) {
  if (argument.empty()) return {};
  int size = MultiByteToWideChar(CP_UTF8, 0, argument.data(), static_cast<int>(argument.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(size), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, argument.data(), static_cast<int>(argument.size()), wide.data(), size);
  return wide;
}

// Device paths are case-insensitive.
std::wstring LowerCase(std::wstring text) {
  if (!text.empty()) CharLowerBuffW(text.data(), static_cast<DWORD>(text.size()));
  return text;
}

bool IsChosenSupply(const std::wstring& path, const SupplyChoice& choice) {
  OwnedHandle query(OpenForQuery(path));
  if (!query.valid() || !IsPowerSupply(query.handle)) return false;
  if (choice.path && LowerCase(path) != LowerCase(FromArgument(*choice.path))) return false;
  if (!choice.serial) return true;
  std::wstring serial = HidString(query.handle, HidD_GetSerialNumberString);
  return !serial.empty() && serial == FromArgument(*choice.serial);
}

// The name of the supply's exchange lock, the same for every run that opens this device
// path. Object names may not hold backslashes, so the lower-cased path is hashed (FNV-1a).
std::wstring LockName(const std::wstring& path) {
  std::uint64_t hash = 0xCBF29CE484222325U;
  for (wchar_t c : LowerCase(path)) {
    hash = (hash ^ static_cast<std::uint64_t>(c)) * 0x100000001B3U;
  }
  std::wstring name(kLockNamePrefix);
  for (int shift = 60; shift >= 0; shift -= 4) name += L"0123456789abcdef"[(hash >> shift) & 0xFU];
  return name;
}

// Only what waiting and releasing need, so that a mutex another user, an elevated run or
// a service made can be opened too.
constexpr DWORD kLockRights = SYNCHRONIZE | MUTEX_MODIFY_STATE;

// Makes or opens the supply's exchange lock. Every authenticated user (and the system
// account) gets the rights runs need, so that runs in every logon session take turns.
// Gives back the handle, or 0 with the error in error.
std::intptr_t OpenExchangeLock(const std::wstring& name, std::uint32_t& error) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:(A;;0x00100001;;;AU)(A;;0x00100001;;;SY)", SDDL_REVISION_1,
                                                       &descriptor, nullptr);
  SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
  HANDLE lock = CreateMutexExW(descriptor != nullptr ? &attributes : nullptr, name.c_str(), 0, kLockRights);
  error = lock == nullptr ? GetLastError() : 0;
  LocalFree(descriptor);
  if (lock == nullptr) lock = OpenMutexW(kLockRights, FALSE, name.c_str());
  if (lock != nullptr) error = 0;
  return reinterpret_cast<std::intptr_t>(lock);
}

// Calls visit(path) for each present HID interface, in SetupAPI's order, until it gives
// true. Gives back the error that ended the list (259 at its end), or 0 when visit did.
template <typename Visit>
DWORD WalkHidInterfaces(Visit visit) {
  GUID hid_class;
  HidD_GetHidGuid(&hid_class);
  DeviceInfoSet interfaces(SetupDiGetClassDevsW(&hid_class, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE));
  for (DWORD index = 0;; ++index) {
    SP_DEVICE_INTERFACE_DATA interface_data{};
    interface_data.cbSize = sizeof interface_data;
    if (!SetupDiEnumDeviceInterfaces(interfaces.set, nullptr, &hid_class, index, &interface_data)) {
      return GetLastError();
    }
    std::wstring path = DevicePath(interfaces.set, interface_data);
    if (!path.empty() && visit(path)) return 0;
  }
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
// byte count, or nothing when it failed or timed out, with the reason in error.
std::optional<DWORD> Finish(HANDLE device, OVERLAPPED& overlapped, BOOL started, DWORD timeout_ms, DWORD& error) {
  error = started ? 0 : GetLastError();
  if (!started && error != ERROR_IO_PENDING) return std::nullopt;
  DWORD count = 0;
  DWORD waited = WaitForSingleObject(overlapped.hEvent, timeout_ms);
  if (waited != WAIT_OBJECT_0) {
    error = waited == WAIT_TIMEOUT ? static_cast<DWORD>(ERROR_TIMEOUT) : GetLastError();
    CancelIo(device);
    GetOverlappedResult(device, &overlapped, &count, TRUE);  // the buffer is in use until this returns
    return std::nullopt;
  }
  if (!GetOverlappedResult(device, &overlapped, &count, FALSE)) {
    error = GetLastError();
    return std::nullopt;
  }
  return count;
}

}  // namespace

void ClosePowerSupply(PowerSupply& supply) {
  if (supply.exchange_lock != 0) {
    ReleaseMutex(Lock(supply));  // fails harmlessly when this run never got it
    CloseHandle(Lock(supply));
  }
  if (supply.open()) CloseHandle(Native(supply));
}

bool PowerSupply::open() const { return device_handle != -1 && device_handle != 0; }

std::optional<std::vector<SupplyListing>> ListPowerSupplies() {
  std::vector<SupplyListing> supplies;
  DWORD end = WalkHidInterfaces([&supplies](const std::wstring& path) {
    OwnedHandle query(OpenForQuery(path));
    if (!query.valid() || !IsPowerSupply(query.handle)) return false;
    supplies.push_back({Utf8(path), Utf8(HidString(query.handle, HidD_GetSerialNumberString)),
                        Utf8(HidString(query.handle, HidD_GetProductString))});
    return false;
  });
  if (end != ERROR_NO_MORE_ITEMS) return std::nullopt;
  return supplies;
}

bool FindPowerSupply(PowerSupply& supply, const SupplyChoice& choice, std::string& notes, OpenFailure* first_failure) {
  DWORD end = WalkHidInterfaces([&supply, &choice, &notes, first_failure](const std::wstring& path) {
    if (!IsChosenSupply(path, choice)) return false;
    OwnedHandle device(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                   nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr));
    if (!device.valid()) {
      DWORD error = GetLastError();
      if (first_failure != nullptr && first_failure->error == 0) *first_failure = {Utf8(path), error};
      AddSearchLine(notes, " !!! Cannot open ", path, ", Error Code = " + std::to_string(error));
      return false;
    }
    supply.caps = ReadCaps(device.handle);
    supply.device_handle = reinterpret_cast<std::intptr_t>(device.release());
    // A lock that cannot be made is reported when the run takes it, before anything is sent.
    supply.exchange_lock = OpenExchangeLock(LockName(path), supply.lock_error);
    return true;
  });
  if (end == 0) return true;
  AddSearchLine(notes, " !!! GetDeviceInterFace Error Code = ", L"", std::to_string(end));
  return false;
}

LockOutcome TakeForExchange(PowerSupply& supply, int timeout_ms, const Wait& /*wait*/) {
  if (supply.exchange_lock == 0)
    return DecideWindowsLock(supply.lock_error != 0 ? supply.lock_error : ERROR_INVALID_HANDLE, 0, 0);
  DWORD waited = WaitForSingleObject(Lock(supply), static_cast<DWORD>(timeout_ms));
  return DecideWindowsLock(0, waited, waited == WAIT_FAILED ? GetLastError() : 0);
}

void ReleaseExchange(PowerSupply& supply) {
  if (supply.exchange_lock != 0) ReleaseMutex(Lock(supply));
}

// Every open handle gets every input report: what is queued now answered other runs.
void DiscardWaitingReports(const PowerSupply& supply) { HidD_FlushQueue(Native(supply)); }

bool WriteOutputReport(const PowerSupply& supply, const OutputReport& report, int timeout_ms,
                       std::optional<long>& error) {
  OwnedHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!event.valid()) {
    error = static_cast<long>(GetLastError());
    return false;
  }
  OVERLAPPED overlapped{};
  overlapped.hEvent = event.handle;
  BOOL started = WriteFile(Native(supply), report.data(), static_cast<DWORD>(report.size()), nullptr, &overlapped);
  DWORD reason = 0;
  std::optional<DWORD> written = Finish(Native(supply), overlapped, started, static_cast<DWORD>(timeout_ms), reason);
  // A short write has no system error: it keeps the message without a number.
  if (!written && reason != 0) error = static_cast<long>(reason);
  return written && *written == report.size();
}

bool ReadInputReport(const PowerSupply& supply, InputReport& report, int timeout_ms, const Wait& /*wait*/) {
  // A device with longer reports is read whole into a buffer of its size; the first 64
  // bytes are kept.
  std::size_t length = supply.caps.input_report_length != 0 ? supply.caps.input_report_length : report.size();
  std::vector<std::uint8_t> buffer(std::max(length, report.size()), 0);
  OwnedHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!event.valid()) return false;
  OVERLAPPED overlapped{};
  overlapped.hEvent = event.handle;
  BOOL started = ReadFile(Native(supply), buffer.data(), static_cast<DWORD>(length), nullptr, &overlapped);
  DWORD reason = 0;
  std::optional<DWORD> got = Finish(Native(supply), overlapped, started, static_cast<DWORD>(timeout_ms), reason);
  if (!got) return false;
  std::copy_n(buffer.begin(), report.size(), report.begin());
  return true;
}
