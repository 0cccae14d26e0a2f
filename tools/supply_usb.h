// The simulated power supplies on USB: hidraw-like nodes served by a FUSE file system,
// which behave towards their openers as the kernel's hidraw nodes do: every open file
// gets every input report, reads give one report at a time, poll wakes up when one comes,
// and the ioctls that name the device and give its report descriptor answer.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/supply_options.h"

// The report descriptor the device gives: a vendor-defined device with 63-byte reports
// in each direction, with report ID 1 when its reports are numbered.
std::vector<std::uint8_t> ReportDescriptor(const UsbDevice& device);

// Serves "hidrawN" in the root of the FUSE file system mounted on the /dev/fuse
// descriptor fuse_fd, for each device that has a node (numbers[k] is device k's N), on a
// thread of its own for the rest of the process. Gives back false when libfuse cannot
// take the descriptor.
bool StartNodeServer(const std::vector<UsbDevice>& devices, const std::vector<int>& numbers, int fuse_fd);
