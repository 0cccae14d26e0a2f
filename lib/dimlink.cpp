// The C interface: a thin layer over the exchange the tools run, which turns C arguments
// into the shared functions' and their results into dimlink_result. It judges nothing
// of its own, prints nothing, and lets no C++ exception out.
#include "lib/dimlink.h"

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstring>
#include <exception>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/command_text.h"
#include "core/exit_status.h"
#include "core/json_report.h"
#include "core/texts.h"
#include "core/utf8.h"
#include "core/wait.h"
#include "lan/lan_arguments.h"
#include "lan/tcp_exchange.h"
#include "lib/process_id.h"
#include "lib/turn_queue.h"
#include "usb/hid.h"
#include "usb/usb_exchange.h"

struct dimlink_supply {
  bool usb = false;
  SupplyHold usb_supply;  // open, or searched for again at the next exchange once it has gone
  NetAddress address;     // a TCP supply
  std::atomic<int> timeout_ms{5000};
  TurnQueue turns;  // the handle's exchanges, one at a time, in the order they came
  std::atomic<std::uint32_t> interrupts{0};
  std::atomic<dimlink_signal_hook> hook{nullptr};
  std::atomic<void*> hook_context{nullptr};
  std::uint64_t owner = CurrentProcessId();
};

namespace {

namespace keys = texts::keys;

constexpr int kLongestTimeoutMs = 600000;
// What a 1.0 caller allocates: every later field lies past it.
constexpr std::size_t kSmallestResult = offsetof(dimlink_result, path) + sizeof(dimlink_result::path);

// The calling thread's last failure, for dimlink_last_result.
thread_local dimlink_result last_failure{};

// The key's C string, from the one table of keys.
const char* VerdictKey(std::string_view key) {
  for (std::string_view known : keys::kAll) {
    if (known == key) return known.data();
  }
  return "";
}

// Copies text into a NUL-terminated field, cut at a character boundary when it is too
// long.
template <std::size_t N>
void CopyText(std::string_view text, char (&field)[N]) {
  std::size_t size = std::min(text.size(), N - 1);
  if (size < text.size()) {
    while (size > 0 && (static_cast<unsigned char>(text[size]) & 0xC0U) == 0x80) --size;
  }
  std::memcpy(field, text.data(), size);
  field[size] = '\0';
}

dimlink_result Converted(const ExchangeResult& exchange) {
  dimlink_result result{};
  result.size = sizeof result;
  result.status = exchange.status;
  result.verdict = VerdictKey(exchange.verdict);
  CopyText(MessageText(exchange.message), result.message);
  result.error = static_cast<std::int32_t>(exchange.error.value_or(0));
  result.sent = exchange.sent ? 1 : 0;
  result.answered = exchange.answered ? 1 : 0;
  std::copy(exchange.answer.begin(), exchange.answer.end(), result.answer);
  result.answer_length = exchange.answered ? exchange.answer_length : 0;
  std::copy_n(exchange.raw.begin(), exchange.raw_length, result.raw);
  result.raw_length = exchange.raw_length;
  return result;
}

// A call refused before it could do anything: status -1 and why, in English.
dimlink_result Refusal(std::string_view verdict, std::string_view why) {
  dimlink_result result{};
  result.size = sizeof result;
  result.status = -1;
  result.verdict = VerdictKey(verdict);
  CopyText(why, result.message);
  return result;
}

dimlink_result InvalidCall(std::string_view why) { return Refusal(keys::kInvalidCall, why); }

// Where the caller's result can take it, writes as much of full as its size allows,
// never its size; keeps what failed for dimlink_last_result. Gives back full's status.
int Deliver(const dimlink_result& full, dimlink_result* result) {
  if (full.status != 0) last_failure = full;
  if (result != nullptr && result->size >= kSmallestResult) {
    std::size_t size = result->size;
    std::memcpy(static_cast<void*>(result), &full, std::min(size, sizeof full));
    result->size = size;
  }
  return full.status;
}

// For calls that give back a pointer or nothing: the failure is kept all the same.
void Remember(const dimlink_result& full, dimlink_result* result) { Deliver(full, result); }

// A caller's result that cannot be written: the call is refused.
bool Unwritable(const dimlink_result* result) { return result == nullptr || result->size < kSmallestResult; }

dimlink_result ResultSizeRefusal(const char* function, const dimlink_result* result) {
  std::string why = std::string(function) + ": ";
  why += result == nullptr ? "result is NULL"
                           : "result->size is " + std::to_string(result->size) + ", less than the smallest result (" +
                                 std::to_string(kSmallestResult) + "): use DIMLINK_RESULT_INIT";
  return InvalidCall(why);
}

dimlink_result InternalError(const char* function) {
  std::string why = std::string(function) + ": the library failed inside";
  try {
    throw;
  } catch (const std::exception& error) {
    why += std::string(": ") + error.what();
  } catch (...) {
  }
  return Refusal(keys::kInternalError, why);
}

// A handle used in a process other than the one that opened it (a child after fork()).
bool ForeignHandle(const dimlink_supply& supply) { return supply.owner != CurrentProcessId(); }

dimlink_result ForeignHandleRefusal(const char* function) {
  return InvalidCall(std::string(function) +
                     ": the supply was opened by another process (a handle does not cross fork()); open it again");
}

// A command of the right length, or its refusal: nothing is sent.
std::optional<ExchangeResult> CheckLength(const dimlink_supply& supply, std::size_t length) {
  std::size_t most = supply.usb ? kMaxUsbCommandBytes : kMaxLanCommandBytes;
  if (length < 5) return RefusedCommand({texts::kArgumentCount, {}});
  if (length > most) return RefusedCommand({texts::kTooManyBytes, {std::to_string(most)}});
  return std::nullopt;
}

void CallSignalHook(void* context) {
  auto* supply = static_cast<dimlink_supply*>(context);
  dimlink_signal_hook hook = supply->hook.load();
  if (hook != nullptr) hook(supply->hook_context.load());
}

// Gives the supply's lock back on every path out of an exchange.
struct ExchangeLockHeld {
  explicit ExchangeLockHeld(PowerSupply& held) : supply(held) {}
  PowerSupply& supply;
  ExchangeLockHeld(const ExchangeLockHeld&) = delete;
  ExchangeLockHeld& operator=(const ExchangeLockHeld&) = delete;
  ~ExchangeLockHeld() { ReleaseExchange(supply); }
};

ExchangeResult ExchangeWithLock(PowerSupply& supply, const ParsedCommand& command, int timeout_ms, const Wait& wait) {
  if (std::optional<ExchangeResult> busy = LockUsbSupply(supply, command, timeout_ms, wait)) return *busy;
  ExchangeLockHeld held{supply};
  return ExchangeWithUsbSupply(
      supply, command, timeout_ms, [](const ExchangeResult&) {}, wait);
}

// A supply that has gone fails the exchange that finds it gone; the next ones search for
// it again, and fail at once, nothing sent, while it is not there.
ExchangeResult ExchangeOverUsb(dimlink_supply& supply, const ParsedCommand& command, int timeout_ms, const Wait& wait) {
  SupplyHold& held = supply.usb_supply;
  if (!held.supply.open()) {
    std::string notes;
    if (std::optional<ExchangeResult> absent = OpenHeldSupply(held, command, notes)) return *absent;
  }
  ExchangeResult result = ExchangeWithLock(held.supply, command, timeout_ms, wait);
  if (result.status == kExitNoAnswer && result.verdict != keys::kInterrupted) DropIfGone(held);
  return result;
}

ExchangeResult Exchange(dimlink_supply& supply, const unsigned char* bytes, std::size_t length) {
  if (std::optional<ExchangeResult> refused = CheckLength(supply, length)) return *refused;
  ParsedCommand command;
  std::copy_n(bytes, length, command.bytes.begin());
  command.count = length;
  int timeout_ms = supply.timeout_ms.load();
  Wait wait{WaitClock::now() + std::chrono::milliseconds(timeout_ms), &supply.interrupts, supply.interrupts.load(),
            CallSignalHook, &supply};
  if (!TakeTurn(supply.turns, wait)) {
    return Interrupted(wait) ? Failure(command, keys::kInterrupted, {texts::kInterrupted, {}}, kExitNoAnswer)
                             : Failure(command, keys::kBusy, {texts::kSupplyBusy, {}}, kExitNoAnswer);
  }
  TurnHeld turn{supply.turns};
  if (supply.usb) return ExchangeOverUsb(supply, command, timeout_ms, wait);
  return ExchangeOverTcp(
      supply.address, command, timeout_ms, [](const ExchangeResult&) {}, wait);
}

// The result as the exchange report has it, for its JSON object.
ExchangeResult Unconverted(const dimlink_result& result, const unsigned char* command, std::size_t length) {
  ExchangeResult exchange;
  if (command != nullptr) {
    exchange.command = ParsedCommand{};
    std::copy_n(command, std::min(length, exchange.command->bytes.size()), exchange.command->bytes.begin());
    exchange.command->count = std::min(length, exchange.command->bytes.size());
  }
  exchange.sent = result.sent != 0;
  exchange.answered = result.answered != 0;
  std::copy(std::begin(result.answer), std::end(result.answer), exchange.answer.begin());
  exchange.answer_length = std::min(result.answer_length, exchange.answer.size());
  std::copy(std::begin(result.raw), std::end(result.raw), exchange.raw.begin());
  exchange.raw_length = std::min(result.raw_length, exchange.raw.size());
  exchange.verdict = result.verdict != nullptr ? result.verdict : "";
  if (result.error != 0) exchange.error = result.error;
  exchange.status = result.status;
  return exchange;
}

// One supply of a listing in one block: the struct, then its three texts.
dimlink_supply_info* NewInfo(const SupplyListing& listing) {
  // A device's strings may hold any bytes.
  std::array<std::string, 3> texts{ValidUtf8(listing.path), ValidUtf8(listing.serial), ValidUtf8(listing.name)};
  std::size_t bytes = sizeof(dimlink_supply_info);
  for (const std::string& text : texts) bytes += text.size() + 1;
  char* block = new char[bytes];
  auto* info = new (block) dimlink_supply_info{};
  char* next_text = block + sizeof(dimlink_supply_info);
  std::array<const char**, 3> fields{&info->path, &info->serial, &info->name};
  for (std::size_t k = 0; k < texts.size(); ++k) {
    std::memcpy(next_text, texts[k].c_str(), texts[k].size() + 1);
    *fields[k] = next_text;
    next_text += texts[k].size() + 1;
  }
  return info;
}

// Opens a USB supply, searching again for up to wait_ms while it is not there.
dimlink_supply* OpenUsb(const char* serial, const char* path, int wait_ms, dimlink_result* result) {
  auto supply = std::make_unique<dimlink_supply>();
  supply->usb = true;
  if (serial != nullptr) supply->usb_supply.choice.serial = serial;
  if (path != nullptr) supply->usb_supply.choice.path = path;
  std::string notes;  // the tools print the search's lines; a library keeps quiet
  OpenFailure first_failure;
  if (std::optional<ExchangeResult> failed =
          WaitForHeldSupply(supply->usb_supply, std::nullopt, wait_ms, notes, &first_failure)) {
    if (first_failure.error != 0) failed->error = first_failure.error;
    dimlink_result full = Converted(*failed);
    CopyText(ValidUtf8(first_failure.path), full.path);
    Remember(full, result);
    return nullptr;
  }
  return supply.release();
}

}  // namespace

extern "C" {

const char* dimlink_version(void) { return DIMLINK_VERSION; }

int dimlink_parse_command(const char* text, unsigned char* command, size_t* length, dimlink_result* result) {
  if (text == nullptr || command == nullptr || length == nullptr) {
    Remember(InvalidCall("dimlink_parse_command: text, command and length may not be NULL"), result);
    return -1;
  }
  try {
    CommandText parsed = ParseCommandText(text, kMaxLanCommandBytes);
    if (parsed.refusal) return Deliver(Converted(RefusedCommand(*parsed.refusal)), result);
    std::copy(parsed.command.bytes.begin(), parsed.command.bytes.end(), command);
    *length = parsed.command.count;
    return 0;
  } catch (...) {
    Remember(InternalError("dimlink_parse_command"), result);
    return -1;
  }
}

int dimlink_list_usb(dimlink_supply_info** list) {
  if (list == nullptr) {
    Remember(InvalidCall("dimlink_list_usb: list may not be NULL"), nullptr);
    return -1;
  }
  *list = nullptr;
  try {
    std::optional<std::vector<SupplyListing>> supplies = ListPowerSupplies();
    if (!supplies) {
      Remember(Refusal(keys::kNotFound, "dimlink_list_usb: the system's device listing failed"), nullptr);
      return -1;
    }
    dimlink_supply_info** tail = list;
    for (const SupplyListing& supply : *supplies) {
      *tail = NewInfo(supply);
      tail = &(*tail)->next;
    }
    return static_cast<int>(std::min<std::size_t>(supplies->size(), std::numeric_limits<int>::max()));
  } catch (...) {
    dimlink_free_list(*list);
    *list = nullptr;
    Remember(InternalError("dimlink_list_usb"), nullptr);
    return -1;
  }
}

void dimlink_free_list(dimlink_supply_info* list) {
  while (list != nullptr) {
    dimlink_supply_info* next = list->next;
    list->~dimlink_supply_info();
    delete[] reinterpret_cast<char*>(list);
    list = next;
  }
}

dimlink_supply* dimlink_open_usb(const char* serial, const char* path, dimlink_result* result) {
  try {
    return OpenUsb(serial, path, 0, result);
  } catch (...) {
    Remember(InternalError("dimlink_open_usb"), result);
    return nullptr;
  }
}

dimlink_supply* dimlink_wait_usb(const char* serial, const char* path, int milliseconds, dimlink_result* result) {
  if (milliseconds < 0) {
    Remember(InvalidCall("dimlink_wait_usb: the wait is 0 ms or more"), result);
    return nullptr;
  }
  try {
    return OpenUsb(serial, path, milliseconds, result);
  } catch (...) {
    Remember(InternalError("dimlink_wait_usb"), result);
    return nullptr;
  }
}

dimlink_supply* dimlink_open_tcp(const char* address, int port, dimlink_result* result) {
  if (address == nullptr) {
    Remember(InvalidCall("dimlink_open_tcp: address may not be NULL"), result);
    return nullptr;
  }
  try {
    auto supply = std::make_unique<dimlink_supply>();
    if (!ParseNumericAddress(address, supply->address)) {
      Remember(Converted(RefusedCommand({texts::kInvalidAddress, {address}})), result);
      return nullptr;
    }
    if (port < 1 || port > 65535) {
      Remember(Converted(RefusedCommand({texts::kInvalidPort, {std::to_string(port)}})), result);
      return nullptr;
    }
    supply->address.port = static_cast<std::uint16_t>(port);
    return supply.release();
  } catch (...) {
    Remember(InternalError("dimlink_open_tcp"), result);
    return nullptr;
  }
}

int dimlink_set_timeout(dimlink_supply* supply, int milliseconds) {
  if (supply == nullptr || milliseconds < 1 || milliseconds > kLongestTimeoutMs) {
    Remember(InvalidCall("dimlink_set_timeout: supply may not be NULL, and the time-out is 1 to 600000 ms"), nullptr);
    return -1;
  }
  if (ForeignHandle(*supply)) return Remember(ForeignHandleRefusal("dimlink_set_timeout"), nullptr), -1;
  supply->timeout_ms = milliseconds;
  return 0;
}

int dimlink_exchange(dimlink_supply* supply, const unsigned char* command, size_t length, dimlink_result* result) {
  if (Unwritable(result)) return Remember(ResultSizeRefusal("dimlink_exchange", result), result), -1;
  if (supply == nullptr || command == nullptr) {
    return Deliver(InvalidCall("dimlink_exchange: supply and command may not be NULL"), result);
  }
  if (ForeignHandle(*supply)) return Deliver(ForeignHandleRefusal("dimlink_exchange"), result);
  try {
    return Deliver(Converted(Exchange(*supply, command, length)), result);
  } catch (...) {
    return Deliver(InternalError("dimlink_exchange"), result);
  }
}

int dimlink_interrupt(dimlink_supply* supply) {
  if (supply == nullptr) return -1;
  // Nothing but a lock-free atomic: this runs in signal handlers.
  supply->interrupts.fetch_add(1, std::memory_order_acq_rel);
  return 0;
}

int dimlink_set_signal_hook(dimlink_supply* supply, dimlink_signal_hook hook, void* context) {
  if (supply == nullptr) return Remember(InvalidCall("dimlink_set_signal_hook: supply may not be NULL"), nullptr), -1;
  if (ForeignHandle(*supply)) return Remember(ForeignHandleRefusal("dimlink_set_signal_hook"), nullptr), -1;
  // A signal between the two stores finds no hook rather than the old hook with the new context.
  supply->hook.store(nullptr);
  supply->hook_context.store(context);
  supply->hook.store(hook);
  return 0;
}

int dimlink_result_json(const dimlink_result* result, const unsigned char* command, size_t length, char* buffer,
                        size_t size) {
  if (result == nullptr || result->size < kSmallestResult || (buffer == nullptr && size > 0)) return -1;
  try {
    std::string_view message(result->message, strnlen(result->message, sizeof result->message));
    std::string json = JsonLineWithMessage(Unconverted(*result, command, length), message, std::nullopt);
    json.pop_back();  // the line feed
    if (size > 0) {
      std::size_t kept = std::min(json.size(), size - 1);
      std::memcpy(buffer, json.data(), kept);
      buffer[kept] = '\0';
    }
    return static_cast<int>(std::min<std::size_t>(json.size(), std::numeric_limits<int>::max()));
  } catch (...) {
    return -1;
  }
}

int dimlink_last_result(dimlink_result* result) {
  if (Unwritable(result)) return -1;
  dimlink_result full = last_failure;
  if (full.size == 0) {
    full = dimlink_result{};
    full.size = sizeof full;
    full.verdict = VerdictKey(keys::kCarriedOut);
  }
  std::size_t size = result->size;
  std::memcpy(static_cast<void*>(result), &full, std::min(size, sizeof full));
  result->size = size;
  return full.status;
}

void dimlink_close(dimlink_supply* supply) { delete supply; }

}  // extern "C"
