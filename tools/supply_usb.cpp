#include "tools/supply_usb.h"

#define FUSE_USE_VERSION 35
#include <fcntl.h>
#include <fuse_lowlevel.h>
#include <linux/fuse.h>
#include <linux/hidraw.h>
#include <linux/input.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <utility>

#include "core/report.h"
#include "tools/supply_answer.h"
#include "tools/supply_log.h"

namespace {

constexpr fuse_ino_t kFirstNode = FUSE_ROOT_ID + 1;  // device k is inode kFirstNode + k
constexpr std::size_t kQueuedReports = 64;           // hidraw keeps as many per open file

struct Node {
  const UsbDevice* device = nullptr;
  std::string name;
  std::vector<std::uint8_t> descriptor;
  bool gone = false;       // writes and reads fail
  bool unplugged = false;  // and the device is no more: it cannot be found, opened or asked
};

// A blocking read waiting for the next report, with the room the reader gave.
struct WaitingRead {
  fuse_req_t request = nullptr;
  std::size_t size = 0;
};

struct OpenFile {
  std::size_t node = 0;
  std::deque<std::vector<std::uint8_t>> reports;
  std::deque<WaitingRead> waiting_reads;  // each report goes to the first in line
  fuse_pollhandle* poll = nullptr;        // the poller to wake when something changes
};

// The server's thread and the control's share these, each operation holding the lock.
// A node is never removed: an unplugged device's files keep failing on it.
std::mutex lock;
std::deque<Node> nodes;
std::map<std::uint64_t, OpenFile> open_files;
std::uint64_t next_handle = 1;

Node* NodeOf(fuse_ino_t inode) {
  if (inode < kFirstNode || inode - kFirstNode >= nodes.size()) return nullptr;
  Node* node = &nodes[inode - kFirstNode];
  return node->device != nullptr ? node : nullptr;
}

struct stat Attributes(fuse_ino_t inode) {
  struct stat st {};
  st.st_ino = inode;
  st.st_mode = inode == FUSE_ROOT_ID ? S_IFDIR | 0755 : S_IFREG | 0666;
  st.st_nlink = inode == FUSE_ROOT_ID ? 2 : 1;
  st.st_uid = ::getuid();
  st.st_gid = ::getgid();
  return st;
}

// The input report for an output report: the answer after any report ID, padded or cut
// to the device's report size. Empty when the device does not answer.
// *hang_up is set when the answer table says to hang up (close or reset).
std::vector<std::uint8_t> InputReportFor(const UsbDevice& device, const char* output, std::size_t size, bool* hang_up) {
  CommandBuffer command{};
  // Byte 0 of the output report is its report ID; the command follows.
  for (std::size_t k = 1; k < size && k - 1 < command.size(); ++k)
    command[k - 1] = static_cast<std::uint8_t>(output[k]);
  TableAnswer kind = TableAnswer::Bytes;
  std::vector<std::uint8_t> report = AnswerFor(device.answer, command, &kind);
  // A device has no connection to reset: it is gone instead, as when told to close.
  if (kind == TableAnswer::Close || kind == TableAnswer::Reset) *hang_up = true;
  if (report.empty()) return report;
  report.resize(device.report_size, 0);  // a device's reports are all of one size
  if (device.numbered) report.insert(report.begin(), 0x01);
  return report;
}

void Wake(OpenFile& file) {
  if (file.poll == nullptr) return;
  (void)fuse_lowlevel_notify_poll(file.poll);
  fuse_pollhandle_destroy(file.poll);
  file.poll = nullptr;
}

void ReplyReport(fuse_req_t req, const std::vector<std::uint8_t>& report, std::size_t size) {
  // As hidraw does: one report per read, cut to the reader's buffer.
  (void)fuse_reply_buf(req, reinterpret_cast<const char*>(report.data()), std::min(size, report.size()));
}

// Hands the report to every open file of the node, as hidraw hands an input report to
// every reader of the device.
void Deliver(std::size_t node, const std::vector<std::uint8_t>& report) {
  for (auto& [handle, file] : open_files) {
    if (file.node != node) continue;
    if (!file.waiting_reads.empty()) {
      ReplyReport(file.waiting_reads.front().request, report, file.waiting_reads.front().size);
      file.waiting_reads.pop_front();
      continue;
    }
    if (file.reports.size() == kQueuedReports) file.reports.pop_front();
    file.reports.push_back(report);
    Wake(file);
  }
}

// The device is gone: waiting readers fail and pollers hear of it.
void Unplug(std::size_t node) {
  nodes[node].gone = true;
  for (auto& [handle, file] : open_files) {
    if (file.node != node) continue;
    for (const WaitingRead& read : file.waiting_reads) (void)fuse_reply_err(read.request, EIO);
    file.waiting_reads.clear();
    Wake(file);
  }
}

// Opens the file as a stream, which libfuse has no field for: a stream has no file
// position, so a read waiting for a report never holds up a write or another read on
// the same open file, as on the character devices hidraw nodes are.
void ReplyOpen(fuse_req_t req, std::uint64_t handle) {
  fuse_open_out open{};
  open.fh = handle;
  open.open_flags = FOPEN_DIRECT_IO | FOPEN_NONSEEKABLE | FOPEN_STREAM;
  (void)fuse_reply_buf(req, reinterpret_cast<const char*>(&open), sizeof open);
}

void Lookup(fuse_req_t req, fuse_ino_t parent, const char* name) {
  std::lock_guard held(lock);
  for (std::size_t k = 0; k < nodes.size() && parent == FUSE_ROOT_ID; ++k) {
    if (nodes[k].device == nullptr || nodes[k].unplugged || nodes[k].name != name) continue;
    fuse_entry_param entry{};
    entry.ino = kFirstNode + k;
    entry.attr = Attributes(entry.ino);
    (void)fuse_reply_entry(req, &entry);
    return;
  }
  (void)fuse_reply_err(req, ENOENT);
}

void GetAttr(fuse_req_t req, fuse_ino_t inode, fuse_file_info* /*fi*/) {
  std::lock_guard held(lock);
  if (inode != FUSE_ROOT_ID && NodeOf(inode) == nullptr) {
    (void)fuse_reply_err(req, ENOENT);
    return;
  }
  struct stat st = Attributes(inode);
  (void)fuse_reply_attr(req, &st, 0);
}

void Open(fuse_req_t req, fuse_ino_t inode, fuse_file_info* fi) {
  std::lock_guard held(lock);
  Node* node = NodeOf(inode);
  if (node == nullptr) {
    (void)fuse_reply_err(req, EISDIR);
    return;
  }
  Log(node->name + " open");
  if (node->unplugged) {
    (void)fuse_reply_err(req, ENODEV);
    return;
  }
  if (node->device->refuse_open) {
    (void)fuse_reply_err(req, EACCES);
    return;
  }
  if (node->device->vanish) node->gone = true;
  fi->fh = next_handle++;
  OpenFile& file = open_files[fi->fh];
  file.node = inode - kFirstNode;
  ReplyOpen(req, fi->fh);
}

void Write(fuse_req_t req, fuse_ino_t inode, const char* buffer, std::size_t size, off_t /*offset*/,
           fuse_file_info* /*fi*/) {
  std::lock_guard held(lock);
  Node& node = *NodeOf(inode);
  Log(node.name + " write " + FormatHexWords(reinterpret_cast<const std::uint8_t*>(buffer), size) + " (" +
      std::to_string(size) + " bytes)");
  if (node.gone || node.device->fail_write) {
    (void)fuse_reply_err(req, node.gone ? ENODEV : EIO);
    return;
  }
  bool hang_up = node.device->hang_up;
  std::vector<std::uint8_t> report = InputReportFor(*node.device, buffer, size, &hang_up);
  (void)fuse_reply_write(req, size);
  if (hang_up) {
    Unplug(inode - kFirstNode);
  } else if (!report.empty()) {
    Deliver(inode - kFirstNode, report);
  }
}

void Interrupted(fuse_req_t req, void* /*data*/) {
  std::lock_guard held(lock);
  for (auto& [handle, file] : open_files) {
    auto waiting = std::find_if(file.waiting_reads.begin(), file.waiting_reads.end(),
                                [req](const WaitingRead& read) { return read.request == req; });
    if (waiting == file.waiting_reads.end()) continue;
    file.waiting_reads.erase(waiting);
    (void)fuse_reply_err(req, EINTR);
    return;
  }
}

void Read(fuse_req_t req, fuse_ino_t /*inode*/, std::size_t size, off_t /*offset*/, fuse_file_info* fi) {
  std::lock_guard held(lock);
  OpenFile& file = open_files.at(fi->fh);
  const Node& node = nodes[file.node];
  Log(node.name + " read " + std::to_string(size));
  if (node.gone || node.device->fail_read) {
    (void)fuse_reply_err(req, EIO);
  } else if (!file.reports.empty()) {
    ReplyReport(req, file.reports.front(), size);
    file.reports.pop_front();
  } else if ((fi->flags & O_NONBLOCK) != 0) {  // as the file is now, F_SETFL included
    (void)fuse_reply_err(req, EAGAIN);
  } else {
    file.waiting_reads.push_back({req, size});
    fuse_req_interrupt_func(req, Interrupted, nullptr);
  }
}

void Poll(fuse_req_t req, fuse_ino_t /*inode*/, fuse_file_info* fi, fuse_pollhandle* handle) {
  std::lock_guard held(lock);
  OpenFile& file = open_files.at(fi->fh);
  if (handle != nullptr) {
    if (file.poll != nullptr) fuse_pollhandle_destroy(file.poll);
    file.poll = handle;
  }
  unsigned events = POLLOUT | POLLWRNORM;
  if (!file.reports.empty()) events |= POLLIN | POLLRDNORM;
  if (nodes[file.node].gone) events |= POLLERR | POLLHUP;
  (void)fuse_reply_poll(req, events);
}

// A NUL-ended text cut to the caller's buffer, as hidraw gives names.
void ReplyText(fuse_req_t req, const std::string& text, std::size_t room) {
  std::size_t length = std::min(text.size() + 1, room);
  (void)fuse_reply_ioctl(req, static_cast<int>(length), text.c_str(), length);
}

void Ioctl(fuse_req_t req, fuse_ino_t inode, unsigned int command, void* /*arg*/, fuse_file_info* /*fi*/,
           unsigned /*flags*/, const void* /*in*/, std::size_t /*in_size*/, std::size_t out_size) {
  std::lock_guard held(lock);
  const Node& node = *NodeOf(inode);
  const UsbDevice& device = *node.device;
  if (node.unplugged) {
    (void)fuse_reply_err(req, ENODEV);
  } else if (command == HIDIOCGRDESCSIZE) {
    int size = static_cast<int>(node.descriptor.size());
    (void)fuse_reply_ioctl(req, 0, &size, sizeof size);
  } else if (command == HIDIOCGRDESC) {
    hidraw_report_descriptor descriptor{};
    descriptor.size = static_cast<std::uint32_t>(node.descriptor.size());
    std::copy(node.descriptor.begin(), node.descriptor.end(), descriptor.value);
    (void)fuse_reply_ioctl(req, 0, &descriptor, sizeof descriptor);
  } else if (command == HIDIOCGRAWINFO) {
    hidraw_devinfo info{BUS_USB, static_cast<std::int16_t>(device.vendor), static_cast<std::int16_t>(device.product)};
    (void)fuse_reply_ioctl(req, 0, &info, sizeof info);
  } else if (command == HIDIOCGRAWNAME(out_size)) {
    ReplyText(req, device.name, out_size);
  } else if (command == HIDIOCGRAWPHYS(out_size)) {
    ReplyText(req, "usb-supply-sim/input0", out_size);
  } else if (command == HIDIOCGRAWUNIQ(out_size)) {
    ReplyText(req, device.serial, out_size);
  } else {
    (void)fuse_reply_err(req, ENOTTY);
  }
}

void Release(fuse_req_t req, fuse_ino_t /*inode*/, fuse_file_info* fi) {
  std::lock_guard held(lock);
  auto found = open_files.find(fi->fh);
  if (found != open_files.end() && found->second.poll != nullptr) fuse_pollhandle_destroy(found->second.poll);
  if (found != open_files.end()) open_files.erase(found);
  (void)fuse_reply_err(req, 0);
}

}  // namespace

std::vector<std::uint8_t> ReportDescriptor(const UsbDevice& device) {
  // A vendor-defined collection, its input and output reports report_size bytes each
  // after any report ID; Report Count takes two data bytes above 255.
  std::vector<std::uint8_t> descriptor = {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01};
  if (device.numbered) descriptor.insert(descriptor.end(), {0x85, 0x01});  // Report ID 1
  auto count = static_cast<std::uint8_t>(device.report_size);
  auto count_high = static_cast<std::uint8_t>(device.report_size >> 8);
  for (auto [usage, main_item] : {std::pair<std::uint8_t, std::uint8_t>{0x02, 0x81}, {0x03, 0x91}}) {
    descriptor.insert(descriptor.end(), {0x09, usage, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08});
    if (count_high == 0) {
      descriptor.insert(descriptor.end(), {0x95, count});
    } else {
      descriptor.insert(descriptor.end(), {0x96, count, count_high});
    }
    descriptor.insert(descriptor.end(), {main_item, 0x02});
  }
  descriptor.push_back(0xC0);
  return descriptor;
}

std::size_t AddNode(const UsbDevice& device, int number) {
  std::lock_guard held(lock);
  Node node;
  if (!device.no_node) node.device = &device;
  node.name = "hidraw" + std::to_string(number);
  node.descriptor = ReportDescriptor(device);
  nodes.push_back(node);
  return nodes.size() - 1;
}

void UnplugNode(std::size_t node) {
  std::lock_guard held(lock);
  nodes.at(node).unplugged = true;
  Unplug(node);
}

bool StartNodeServer(int fuse_fd) {
  static fuse_lowlevel_ops operations{};
  operations.lookup = Lookup;
  operations.getattr = GetAttr;
  operations.open = Open;
  operations.read = Read;
  operations.write = Write;
  operations.poll = Poll;
  operations.ioctl = Ioctl;
  operations.release = Release;
  char program[] = "supply-sim";
  char* argv[] = {program, nullptr};
  fuse_args args = FUSE_ARGS_INIT(1, argv);
  fuse_session* session = fuse_session_new(&args, &operations, sizeof operations, nullptr);
  std::string mounted = "/dev/fd/" + std::to_string(fuse_fd);
  if (session == nullptr || fuse_session_mount(session, mounted.c_str()) != 0) return false;
  std::thread([session] { (void)fuse_session_loop(session); }).detach();
  return true;
}
