// The simulated power supplies on USB: hidraw-like nodes served by a FUSE file system,
// which behave towards their openers as the kernel's hidraw nodes do: every open file
// gets every input report, reads give one report at a time, poll wakes up when one comes,
// and the ioctls that name the device and give its report descriptor answer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tools/supply_options.h"

// The report descriptor the device gives: a vendor-defined device with 63-byte reports
// in each direction, with report ID 1 when its reports are numbered.
std::vector<std::uint8_t> ReportDescriptor(const UsbDevice& device);

// Plugs the device in as "hidrawN" (N = number) in the root of the node server's file
// system, and gives back the node's index. A device with no node (--no-node) gets an
// index all the same, and nothing to open. The device must outlive the process.
std::size_t AddNode(const UsbDevice& device, int number);

// The node's device is unplugged: its name is no longer found, opening it fails with
// ENODEV, and its open files fail as on a real unplug: writes and ioctls ENODEV, reads
// EIO, polls POLLHUP. Waiting reads end at once.
void UnplugNode(std::size_t node);

// Serves the nodes added so far, and those added later, from the FUSE file system
// mounted on the /dev/fuse descriptor fuse_fd, on a thread of its own for the rest of
// the process. Gives back false when libfuse cannot take the descriptor.
bool StartNodeServer(int fuse_fd);
