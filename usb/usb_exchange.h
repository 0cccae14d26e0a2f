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

// A supply held across exchanges, which may go and come back. Its first open pins it:
// to its serial number, or without one to its device path; from then on only that
// supply is searched for, never another in its place.
struct SupplyHold {
  SupplyChoice choice;  // as asked, until the first open pins it
  PowerSupply supply;   // open; closed once it has gone
  bool pinned = false;
};

// Searches for the held supply and opens it, as OpenUsbSupply does.
std::optional<ExchangeResult> OpenHeldSupply(SupplyHold& hold, const std::optional<ParsedCommand>& command,
                                             std::string& notes, OpenFailure* first_failure = nullptr);

// Searches as OpenHeldSupply does, again every kSearchPauseMs for up to wait_ms while the
// supply is not there, without a busy loop. The failure of the last search when none
// found it in time, or the interrupted one when a signal the process handles broke a
// pause; notes holds the last search's lines.
inline constexpr int kSearchPauseMs = 100;
std::optional<ExchangeResult> WaitForHeldSupply(SupplyHold& hold, const std::optional<ParsedCommand>& command,
                                                int wait_ms, std::string& notes, OpenFailure* first_failure = nullptr);

// Closes the held supply when it has gone, so that the next exchange searches for it
// again; gives back whether it had.
bool DropIfGone(SupplyHold& hold);

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
