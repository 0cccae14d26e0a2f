// HID access to the power supply. Each platform has its own file behind this header.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/wait.h"
#include "usb/lock_outcome.h"

inline constexpr std::uint16_t kSupplyVendorId = 0x0483;
inline constexpr std::uint16_t kSupplyProductId = 0x5750;

// Output report: report ID 0x00, then command bytes 0 to 62.
using OutputReport = std::array<std::uint8_t, 64>;
// The output report has room for 63 command bytes after its report ID.
inline constexpr std::size_t kMaxUsbCommandBytes = 63;
// Input report: report ID at byte 0 (0x00 for devices without numbered reports), then the
// answer from byte 1.
using InputReport = std::array<std::uint8_t, 64>;

// What the exchange needs to know of the device's reports; always the power supply's own.
struct DeviceCaps {
  // Whether reports carry a report ID byte: hidraw leaves it out of unnumbered ones.
  bool numbered_reports = false;
  // Bytes one read gives, report ID included, where the platform tells it; 0 when unknown.
  std::size_t input_report_length = 0;
  // Bytes of the device's output report, report ID included, as its report descriptor
  // declares them; 0 when unknown. A longer command cannot be sent.
  std::size_t output_report_length = 0;
};

// The power supply, open for reading and writing; closed when the object goes.
struct PowerSupply {
  PowerSupply() = default;
  PowerSupply(PowerSupply&& other) noexcept;
  PowerSupply& operator=(PowerSupply&& other) noexcept;
  ~PowerSupply();
  bool open() const;
  std::intptr_t device_handle = -1;
  // The lock that keeps other runs from exchanging with the same supply, where the
  // platform needs one beside the device itself: made at the first exchange that can
  // make it, released when the object goes.
  std::intptr_t exchange_lock = 0;
  // The device path it was found at, as the listing prints it.
  std::string path;
  DeviceCaps caps;
  // Set when a transfer on the device never ended, even cancelled: its buffer may still be
  // written into, so the handle takes no further transfer.
  mutable bool stuck = false;
};

// Gives back the exchange lock and closes the device, the platform's way; the handles
// stay as they were.
void ClosePowerSupply(PowerSupply& supply);

// Which power supply a run may use. A supply must match every field given; with none
// given, any supply will do.
struct SupplyChoice {
  // The serial number the supply reports, exactly; a supply that reports none never matches.
  std::optional<std::string> serial;
  // The device path, as the listing prints it.
  std::optional<std::string> path;
};

// A power supply as the listing shows it, in UTF-8; empty where the device gives none.
struct SupplyListing {
  std::string path;
  std::string serial;
  std::string name;
};

// The power supplies, in the order the search takes them; nothing when the platform's
// listing failed. Opens no device for reading or writing.
std::optional<std::vector<SupplyListing>> ListPowerSupplies();

// A matching supply that could not be opened: its device path and the system's error
// number (EACCES for one the user may not open).
struct OpenFailure {
  std::string path;
  std::uint32_t error = 0;
};

// Looks through the HID devices in the platform's order and opens the first power supply
// that matches the choice and can be opened. A matching device that cannot be opened
// gets a " !!! Cannot open" line in notes and is passed over (the first such one goes to
// first_failure, where given); the end of the list without a find gets the
// " !!! GetDeviceInterFace" line. Gives back whether the supply is open.
bool FindPowerSupply(PowerSupply& supply, const SupplyChoice& choice, std::string& notes,
                     OpenFailure* first_failure = nullptr);

// Waits at most timeout_ms (and never past the wait's deadline or an interrupt) until no
// other holder (another run, another handle) is exchanging with this supply, then takes
// it until ReleaseExchange or until the supply is closed. Busy when the wait ran out or
// was interrupted; Failed, with the system's error number, when the lock cannot be had
// at all, which the next call tries again.
LockOutcome TakeForExchange(PowerSupply& supply, int timeout_ms, const Wait& wait = Wait{});

// Whether the supply has gone since it was opened (unplugged, switched off, reset by its
// hub): its handle then fails for good, and only a new search can find it again. Where
// given, error gets the system's error number that a read of the handle gives now.
bool SupplyGone(const PowerSupply& supply, std::optional<long>* error = nullptr);

// Sleeps for milliseconds between two searches for a supply; gives back false, sooner,
// when a signal the process handles arrives on the calling thread (POSIX only).
bool PauseBetweenSearches(int milliseconds);

// Lets the next holder have the supply; called on the thread that took it.
void ReleaseExchange(PowerSupply& supply);

// Throws away the input reports already waiting: they answered commands of other runs,
// or came after an answer this run has read.
void DiscardWaitingReports(const PowerSupply& supply);

// Writes the whole output report (as long as the device's own, where the platform needs
// that: the command's bytes, padded with zeros), waiting at most timeout_ms (and never
// past the wait's deadline or an interrupt); false when it fails, goes out short or is
// interrupted, with the system's error number in error where the platform reports one
// (always when the supply has gone).
bool WriteOutputReport(const PowerSupply& supply, const OutputReport& report, int timeout_ms,
                       std::optional<long>& error, const Wait& wait = Wait{});

// Reads one input report, waiting at most timeout_ms (and never past the wait's deadline
// or an interrupt); false on time-out, interrupt or failure. Never reads past the 64
// bytes of the report.
bool ReadInputReport(const PowerSupply& supply, InputReport& report, int timeout_ms, const Wait& wait = Wait{});
