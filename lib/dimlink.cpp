// The C interface: a thin layer over the exchange the tools run, which turns C arguments
// into the shared functions' and their results into dimlink_result. It judges nothing
// of its own, prints nothing, and lets no C++ exception out.
#include "lib/dimlink.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "core/command_text.h"
#include "core/exit_status.h"
#include "core/texts.h"
#include "core/utf8.h"
#include "lan/lan_arguments.h"
#include "lan/tcp_exchange.h"
#include "usb/hid.h"
#include "usb/usb_exchange.h"

struct dimlink_supply {
  bool usb = false;
  PowerSupply supply;  // a USB supply, open
  NetAddress address;  // a TCP supply
  std::atomic<int> timeout_ms{5000};
  std::mutex turn;  // the handle's exchanges, one at a time
};

namespace {

constexpr int kLongestTimeoutMs = 600000;

// The key's C string, from the one table of keys.
const char* VerdictKey(std::string_view key) {
  for (std::string_view known : texts::keys::kAll) {
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

void Fill(const ExchangeResult& exchange, dimlink_result* result) {
  if (result == nullptr) return;
  *result = dimlink_result{};
  result->status = exchange.status;
  result->verdict = VerdictKey(exchange.verdict);
  CopyText(MessageText(exchange.message), result->message);
  result->error = exchange.error.value_or(0);
  result->sent = exchange.sent ? 1 : 0;
  result->answered = exchange.answered ? 1 : 0;
  std::copy(exchange.answer.begin(), exchange.answer.end(), result->answer);
  result->answer_length = exchange.answered ? exchange.answer_length : 0;
  std::copy_n(exchange.raw.begin(), exchange.raw_length, result->raw);
  result->raw_length = exchange.raw_length;
}

// A command of the right length, or its refusal: nothing is sent.
std::optional<ExchangeResult> CheckLength(const dimlink_supply& supply, std::size_t length) {
  std::size_t most = supply.usb ? kMaxUsbCommandBytes : kMaxLanCommandBytes;
  if (length < 5) return RefusedCommand({texts::kArgumentCount, {}});
  if (length > most) return RefusedCommand({texts::kTooManyBytes, {std::to_string(most)}});
  return std::nullopt;
}

ExchangeResult ExchangeOverUsb(dimlink_supply& supply, const ParsedCommand& command, int timeout_ms) {
  if (std::optional<ExchangeResult> busy = LockUsbSupply(supply.supply, command, timeout_ms)) return *busy;
  ExchangeResult result = ExchangeWithUsbSupply(supply.supply, command, timeout_ms, [](const ExchangeResult&) {});
  ReleaseExchange(supply.supply);
  return result;
}

ExchangeResult Exchange(dimlink_supply& supply, const unsigned char* bytes, std::size_t length) {
  if (std::optional<ExchangeResult> refused = CheckLength(supply, length)) return *refused;
  ParsedCommand command;
  std::copy_n(bytes, length, command.bytes.begin());
  command.count = length;
  int timeout_ms = supply.timeout_ms.load();
  std::lock_guard<std::mutex> turn(supply.turn);
  if (supply.usb) return ExchangeOverUsb(supply, command, timeout_ms);
  return ExchangeOverTcp(supply.address, command, timeout_ms, [](const ExchangeResult&) {});
}

}  // namespace

extern "C" {

const char* dimlink_version(void) { return DIMLINK_VERSION; }

int dimlink_parse_command(const char* text, unsigned char command[64], size_t* length, dimlink_result* result) {
  if (text == nullptr || command == nullptr || length == nullptr) return -1;
  try {
    CommandText parsed = ParseCommandText(text, kMaxLanCommandBytes);
    if (parsed.refusal) {
      ExchangeResult refused = RefusedCommand(*parsed.refusal);
      Fill(refused, result);
      return refused.status;
    }
    std::copy(parsed.command.bytes.begin(), parsed.command.bytes.end(), command);
    *length = parsed.command.count;
    return 0;
  } catch (...) {
    return -1;
  }
}

int dimlink_list_usb(dimlink_supply_info* infos, int capacity) {
  if (capacity < 0 || (infos == nullptr && capacity > 0)) return -1;
  try {
    std::optional<std::vector<SupplyListing>> supplies = ListPowerSupplies();
    if (!supplies) return -1;
    std::size_t filled = std::min(supplies->size(), static_cast<std::size_t>(capacity));
    for (std::size_t k = 0; k < filled; ++k) {
      const SupplyListing& supply = (*supplies)[k];
      // A device's strings may hold any bytes.
      CopyText(ValidUtf8(supply.path), infos[k].path);
      CopyText(ValidUtf8(supply.serial), infos[k].serial);
      CopyText(ValidUtf8(supply.name), infos[k].name);
    }
    return static_cast<int>(std::min<std::size_t>(supplies->size(), std::numeric_limits<int>::max()));
  } catch (...) {
    return -1;
  }
}

dimlink_supply* dimlink_open_usb(const char* serial, const char* path, dimlink_result* result) {
  try {
    auto supply = std::make_unique<dimlink_supply>();
    supply->usb = true;
    SupplyChoice choice;
    if (serial != nullptr) choice.serial = serial;
    if (path != nullptr) choice.path = path;
    std::string notes;  // the tools print the search's lines; a library keeps quiet
    if (std::optional<ExchangeResult> failed = OpenUsbSupply(supply->supply, choice, std::nullopt, notes)) {
      Fill(*failed, result);
      return nullptr;
    }
    return supply.release();
  } catch (...) {
    return nullptr;
  }
}

dimlink_supply* dimlink_open_tcp(const char* address, unsigned short port, dimlink_result* result) {
  if (address == nullptr) return nullptr;
  try {
    auto supply = std::make_unique<dimlink_supply>();
    if (!ParseNumericAddress(address, supply->address)) {
      Fill(RefusedCommand({texts::kInvalidAddress, {address}}), result);
      return nullptr;
    }
    if (port == 0) {
      Fill(RefusedCommand({texts::kInvalidPort, {"0"}}), result);
      return nullptr;
    }
    supply->address.port = port;
    return supply.release();
  } catch (...) {
    return nullptr;
  }
}

int dimlink_set_timeout(dimlink_supply* supply, int milliseconds) {
  if (supply == nullptr || milliseconds < 1 || milliseconds > kLongestTimeoutMs) return -1;
  supply->timeout_ms = milliseconds;
  return 0;
}

int dimlink_exchange(dimlink_supply* supply, const unsigned char* command, size_t length, dimlink_result* result) {
  if (supply == nullptr || command == nullptr || result == nullptr) return -1;
  try {
    ExchangeResult exchange = Exchange(*supply, command, length);
    Fill(exchange, result);
    return exchange.status;
  } catch (...) {
    return -1;
  }
}

void dimlink_close(dimlink_supply* supply) { delete supply; }

}  // extern "C"
