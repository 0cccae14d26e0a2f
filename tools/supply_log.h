// The simulator's log of what reaches its devices and connections, and its one way of
// reporting a failure. Log lines go through a bounded queue that a thread of their own
// writes out, so a log that is slow, full or gone never holds up a device.
#pragma once

#include <cstddef>
#include <string>

// Starts the log: the file at path, or with path empty standard error (USB) or standard
// output (TCP). From here on a closed log pipe is an error the log counts, not a signal
// that ends the simulator.
void OpenLog(const std::string& path, bool default_to_stderr);

// Lets HUP, INT and TERM, where they are not ignored, end the process as they would, but
// only after the log has written what it holds (the TCP side, which they end). Call
// before any thread starts.
void FinishLogOnEndingSignals();

// Queues one line for the log. Never waits on the log itself: a line that finds the
// queue full or the log gone is counted as lost instead.
void Log(const std::string& line);

// Waits while the log takes the queued lines, but never longer than it goes on taking
// none, then says on standard error how many lines could not be written, if any.
// Gives back that count.
std::size_t FinishLog();

// The status Fail exits with: 2 on TCP, 125 with --usb. Set once the mode is known.
void SetFailureStatus(int status);

// Prints "supply-sim: WHY" on standard error after what the log holds, and ends the
// process at once with the failure status: threads may still be serving, so nothing is
// torn down under them.
[[noreturn]] void Fail(const std::string& why);
