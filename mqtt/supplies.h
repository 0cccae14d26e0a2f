// The supplies a node bridges: each with its queue and its worker, kept by ID for the
// gateway's whole run (a USB supply unplugged stays listed, offline, for its return).
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "dimlink.h"
#include "mqtt/job_queue.h"
#include "mqtt/transaction_history.h"

struct Supply {
  std::string id;
  bool usb = false;
  std::string serial;  // USB
  std::string name;
  std::string address;  // TCP
  int port = 0;

  std::atomic<bool> available{true};
  std::atomic<bool> present{true};  // USB: plugged in
  std::atomic<bool> busy{false};    // an exchange is under way

  std::mutex handle_mutex;  // guards handle and path: the listing and a stop reach them too
  dimlink_supply* handle = nullptr;
  std::string path;  // USB: the node it has now
  bool reopen = false;

  JobQueue queue;
  TransactionHistory history;  // the worker's alone
  std::thread worker;
};

struct SupplyRegistry {
  std::mutex mutex;
  std::map<std::string, std::unique_ptr<Supply>> by_id;
};

// The ID of a USB supply newly found: its serial number where that is a topic level, no
// other device listed now has it and no supply of the node goes by it; else "usb-" and
// the node's name ("usb-hidraw3").
std::string UsbSupplyId(const std::string& serial, const std::string& path, int devices_with_serial,
                        const SupplyRegistry& registry);

// The node's supplies as the retained JSON array; the caller holds registry.mutex.
std::string SuppliesJson(const SupplyRegistry& registry);
