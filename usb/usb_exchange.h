// One exchange with a power supply over USB, each step a function of its own, shared by
// kestrow and the library: kestrow holds the supply's lock for its whole run, the
// library for each exchange only.
#pragma once

#include <optional>
#include <string>

#include "core/exchange_result.h"
#include "usb/hid.h"

// Finds and opens the chosen supply. Gives back the not-found failure (for the command,
// when there is one) when there is none; the search's lines go to notes either way, and
// the first supply that could not be opened to first_failure, where given.
std::optional<ExchangeResult> OpenUsbSupply(PowerSupply& supply, const SupplyChoice& choice,
                                            const std::optional<ParsedCommand>& command, std::string& notes,
                                            OpenFailure* first_failure = nullptr);

// Takes the supply's lock, waiting at most timeout_ms; gives back the busy failure when
// the wait runs out, the interrupted one when the wait was interrupted, the lock-failed
// one (with the system's error number) when the lock cannot be had at all.
std::optional<ExchangeResult> LockUsbSupply(PowerSupply& supply, const ParsedCommand& command, int timeout_ms,
                                            const Wait& wait = Wait{});

// With the lock held: throws away the reports already waiting, writes the command and
// reads and judges its answer, each wait at most timeout_ms and never past the wait's
// deadline. on_sent is told once the command is out. A command longer than the device's
// output report holds is refused (bad-command) before anything is sent.
ExchangeResult ExchangeWithUsbSupply(const PowerSupply& supply, const ParsedCommand& command, int timeout_ms,
                                     const SentNotice& on_sent, const Wait& wait = Wait{});
