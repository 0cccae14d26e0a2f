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
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "usb/hid.h"

namespace {

// In the global namespace, so that runs in every logon session (a service, a desktop)
// take turns.
constexpr std::wstring_view kLockNamePrefix = L"Global\\dimlink-supply-";
// How long a cancelled transfer may take to end; a driver that honours the cancel ends
// it at once.
constexpr DWORD kCancelWaitMs = 1000;

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

// Device paths are case-insensitive, and ASCII: lowering A to Z is enough, and needs
// none of the window system's libraries, which a service loading the DLL would pay for.
std::wstring LowerCase(std::wstring text) {
  for (wchar_t& c : text) {
    if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
  }
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
std::intptr_t OpenExchangeLock(const std::wstring& name, DWORD& error) {
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
  if (HidP_GetCaps(preparsed, &hid_caps) == HIDP_STATUS_SUCCESS) {
    caps.input_report_length = hid_caps.InputReportByteLength;
    caps.output_report_length = hid_caps.OutputReportByteLength;
  }
  HidD_FreePreparsedData(preparsed);
  return caps;
}

// One overlapped transfer, and the memory the system may write into until it ends.
struct Transfer {
  OwnedHandle event{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  OVERLAPPED overlapped{};
  std::vector<std::uint8_t> buffer;
};

// A transfer of the buffer, ready to start; nothing when no event can be made, with the
// reason in error.
std::unique_ptr<Transfer> NewTransfer(std::size_t length, DWORD& error) {
  auto transfer = std::make_unique<Transfer>();
  if (!transfer->event.valid()) {
    error = GetLastError();
    return nullptr;
  }
  transfer->overlapped.hEvent = transfer->event.handle;
  transfer->buffer.assign(length, 0);
  return transfer;
}

// Waits for the object until end, in slices short enough to see an interrupt. Gives back
// the wait's result: WAIT_TIMEOUT once end has passed or the wait was interrupted.
DWORD WaitUntil(HANDLE object, WaitClock::time_point end, const Wait& wait) {
  for (;;) {
    int slice = SliceMs(wait, end);
    DWORD waited = WaitForSingleObject(object, static_cast<DWORD>(slice));
    if (waited != WAIT_TIMEOUT || slice == 0 || Interrupted(wait)) return waited;
  }
}

// Waits for an overlapped transfer until end or an interrupt, and cancels it then. Gives
// back the byte count, or nothing when it failed, timed out or was interrupted, with the
// reason in error. A transfer that the cancel does not end either (a driver that ignores
// it) keeps its memory for good, and the supply takes no further transfer.
std::optional<DWORD> Finish(const PowerSupply& supply, std::unique_ptr<Transfer>& transfer, BOOL started,
                            WaitClock::time_point end, const Wait& wait, DWORD& error) {
  error = started ? 0 : GetLastError();
  if (!started && error != ERROR_IO_PENDING) return std::nullopt;
  HANDLE device = Native(supply);
  DWORD waited = WaitUntil(transfer->event.handle, end, wait);
  if (waited != WAIT_OBJECT_0) {
    error = waited == WAIT_TIMEOUT ? static_cast<DWORD>(ERROR_TIMEOUT) : GetLastError();
    CancelIoEx(device, &transfer->overlapped);
    if (WaitForSingleObject(transfer->event.handle, kCancelWaitMs) != WAIT_OBJECT_0) {
      supply.stuck = true;
      static_cast<void>(transfer.release());  // deliberately kept: the driver still holds it
    }
    return std::nullopt;
  }
  DWORD count = 0;
  if (!GetOverlappedResult(device, &transfer->overlapped, &count, FALSE)) {
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
    // The lock is made when the run first takes it: one that cannot be made then is
    // reported before anything is sent, and tried again at the next exchange.
    supply.path = Utf8(path);
    return true;
  });
  if (end == 0) return true;
  AddSearchLine(notes, " !!! GetDeviceInterFace Error Code = ", L"", std::to_string(end));
  return false;
}

LockOutcome TakeForExchange(PowerSupply& supply, int timeout_ms, const Wait& wait) {
  if (supply.exchange_lock == 0) {
    DWORD error = 0;
    supply.exchange_lock = OpenExchangeLock(LockName(FromArgument(supply.path)), error);
    if (supply.exchange_lock == 0) return DecideWindowsLock(error != 0 ? error : ERROR_INVALID_HANDLE, 0, 0);
  }
  DWORD waited = WaitUntil(Lock(supply), StepEnd(wait, timeout_ms), wait);
  return DecideWindowsLock(0, waited, waited == WAIT_FAILED ? GetLastError() : 0);
}

void ReleaseExchange(PowerSupply& supply) {
  if (supply.exchange_lock != 0) ReleaseMutex(Lock(supply));
}

bool PauseBetweenSearches(int milliseconds) {
  Sleep(static_cast<DWORD>(milliseconds));
  return true;
}

// A device that has gone fails every request on its handle (ERROR_DEVICE_NOT_CONNECTED
// and its kin), this one too, which asks nothing of the device itself.
bool SupplyGone(const PowerSupply& supply, std::optional<long>* error) {
  HIDD_ATTRIBUTES attributes{};
  attributes.Size = sizeof attributes;
  if (HidD_GetAttributes(Native(supply), &attributes)) return false;
  if (error != nullptr) *error = static_cast<long>(GetLastError());
  return true;
}

// Every open handle gets every input report: what is queued now answered other runs.
void DiscardWaitingReports(const PowerSupply& supply) { HidD_FlushQueue(Native(supply)); }

bool WriteOutputReport(const PowerSupply& supply, const OutputReport& report, int timeout_ms,
                       std::optional<long>& error, const Wait& wait) {
  if (supply.stuck) {  // a transfer on it never ended
    error = ERROR_IO_PENDING;
    return false;
  }
  // Windows takes a write only of exactly the device's output report length; the report
  // past the command is zeros, so it is padded or cut to that length.
  std::size_t length = supply.caps.output_report_length != 0 ? supply.caps.output_report_length : report.size();
  DWORD reason = 0;
  std::unique_ptr<Transfer> transfer = NewTransfer(length, reason);
  if (transfer == nullptr) {
    error = static_cast<long>(reason);
    return false;
  }
  std::copy_n(report.begin(), std::min(length, report.size()), transfer->buffer.begin());
  BOOL started =
      WriteFile(Native(supply), transfer->buffer.data(), static_cast<DWORD>(length), nullptr, &transfer->overlapped);
  std::optional<DWORD> written = Finish(supply, transfer, started, StepEnd(wait, timeout_ms), wait, reason);
  // A short write has no system error: it keeps the message without a number.
  if (!written && reason != 0) error = static_cast<long>(reason);
  return written && *written == length;
}

bool ReadInputReport(const PowerSupply& supply, InputReport& report, int timeout_ms, const Wait& wait) {
  if (supply.stuck) return false;
  // A device with longer reports is read whole into a buffer of its size; the first 64
  // bytes are kept.
  std::size_t length = supply.caps.input_report_length != 0 ? supply.caps.input_report_length : report.size();
  DWORD reason = 0;
  std::unique_ptr<Transfer> transfer = NewTransfer(std::max(length, report.size()), reason);
  if (transfer == nullptr) return false;
  BOOL started =
      ReadFile(Native(supply), transfer->buffer.data(), static_cast<DWORD>(length), nullptr, &transfer->overlapped);
  if (!Finish(supply, transfer, started, StepEnd(wait, timeout_ms), wait, reason)) return false;
  std::copy_n(transfer->buffer.begin(), report.size(), report.begin());
  return true;
}
