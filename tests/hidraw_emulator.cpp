// hidraw-emulator: a FUSE file system whose files behave like hidraw nodes of HID devices,
// the power supply first among them. Tests mount it and put its files where /dev/hidrawN
// would be, then run the real kestrow against them.
//
//   hidraw-emulator MOUNTPOINT NAME=BEHAVIOUR[+BEHAVIOUR...] ...
//
// Behaviours of a node:
//   answer          answer each output report as the power supply does (the default)
//   status:XX       ... with this status byte
//   raw:XX,XX,...   answer with exactly these bytes
//   numbered        input reports start with report ID 01, as on a numbered-report device
//   report-size:N   pad each input report to N bytes (default 63) after any report ID
//   fail-write      every write fails with EIO
//   fail-read       every read fails with EIO
//   vanish          once opened, the device is gone: every operation fails with ENODEV,
//                   as when the supply is unplugged between search and write
//   silent          never answer
//   refuse-open     every open fails with EACCES, as for a node the user may not open
//
// It prints "ready" once mounted, then a line for each open and each write:
// "NAME open", "NAME write XX XX ... (N bytes)", "NAME read N" (N: the bytes asked for).

#define FUSE_USE_VERSION 31
#include <fuse.h>
#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "core/answer_layout.h"
#include "core/command_bytes.h"
#include "core/report.h"

namespace {

struct Node {
  std::uint8_t status = 0;
  std::vector<std::uint8_t> raw;
  bool numbered = false;
  std::size_t report_size = 63;
  bool fail_write = false;
  bool fail_read = false;
  bool vanish = false;
  bool silent = false;
  bool refuse_open = false;
};

struct OpenNode {
  std::string name;
  const Node* node;
  std::vector<std::uint8_t> pending;  // the input report waiting to be read
};

std::map<std::string, Node> nodes;
// Open files by their handle number: the file system runs on one thread.
std::map<std::uint64_t, OpenNode> open_files;
std::uint64_t next_handle = 1;

void Log(const std::string& line) {
  (void)std::printf("%s\n", line.c_str());
  (void)std::fflush(stdout);
}

[[noreturn]] void Usage(const std::string& why) {
  (void)std::fprintf(stderr, "hidraw-emulator: %s\n", why.c_str());
  std::exit(2);
}

std::uint8_t HexByte(const std::string& text) {
  std::optional<std::uint8_t> byte = ConvertCommandByte(text.c_str());
  if (!byte) Usage("bad byte " + text);
  return *byte;
}

Node ParseNode(const std::string& behaviours) {
  Node node;
  std::size_t start = 0;
  while (start <= behaviours.size()) {
    std::size_t end = behaviours.find('+', start);
    std::string item = behaviours.substr(start, end == std::string::npos ? std::string::npos : end - start);
    std::string key = item.substr(0, item.find(':'));
    std::string value = item.find(':') == std::string::npos ? "" : item.substr(item.find(':') + 1);
    if (key == "answer") {
    } else if (key == "status") {
      node.status = HexByte(value);
    } else if (key == "raw") {
      for (std::size_t at = 0; at < value.size(); at += 3) node.raw.push_back(HexByte(value.substr(at, 2)));
    } else if (key == "numbered") {
      node.numbered = true;
    } else if (key == "report-size") {
      node.report_size = std::stoul(value);
    } else if (key == "fail-write") {
      node.fail_write = true;
    } else if (key == "fail-read") {
      node.fail_read = true;
    } else if (key == "vanish") {
      node.vanish = true;
    } else if (key == "silent") {
      node.silent = true;
    } else if (key == "refuse-open") {
      node.refuse_open = true;
    } else {
      Usage("unknown behaviour " + item);
    }
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return node;
}

const Node* Find(const char* path) {
  auto found = nodes.find(path + 1);
  return found == nodes.end() ? nullptr : &found->second;
}

std::vector<std::uint8_t> InputReportFor(const Node& node, const std::uint8_t* output, std::size_t size) {
  CommandBuffer command{};
  // Byte 0 of the output report is its report ID; the command follows.
  for (std::size_t k = 1; k < size && k - 1 < command.size(); ++k) command[k - 1] = output[k];
  std::vector<std::uint8_t> answer = node.raw;
  if (answer.empty()) {
    Answer built = BuildAnswer(command, node.status);
    answer.assign(built.bytes.begin(), built.bytes.begin() + static_cast<long>(built.length));
  }
  if (answer.size() < node.report_size) answer.resize(node.report_size, 0);
  if (node.numbered) answer.insert(answer.begin(), 0x01);
  return answer;
}

OpenNode& Opened(const fuse_file_info* fi) { return open_files.at(fi->fh); }

int GetAttr(const char* path, struct stat* st, fuse_file_info* /*fi*/) {
  std::memset(st, 0, sizeof *st);
  if (std::strcmp(path, "/") == 0) {
    st->st_mode = S_IFDIR | 0755;
    st->st_nlink = 2;
    return 0;
  }
  if (Find(path) == nullptr) return -ENOENT;
  st->st_mode = S_IFREG | 0666;
  st->st_nlink = 1;
  return 0;
}

int ReadDir(const char* /*path*/, void* buffer, fuse_fill_dir_t fill, off_t /*offset*/, fuse_file_info* /*fi*/,
            fuse_readdir_flags /*flags*/) {
  fill(buffer, ".", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
  fill(buffer, "..", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
  for (const auto& entry : nodes) fill(buffer, entry.first.c_str(), nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
  return 0;
}

int Open(const char* path, fuse_file_info* fi) {
  const Node* node = Find(path);
  if (node == nullptr) return -ENOENT;
  Log(std::string(path + 1) + " open");
  if (node->refuse_open) return -EACCES;
  fi->fh = next_handle++;
  open_files[fi->fh] = OpenNode{path + 1, node, {}};
  fi->direct_io = 1;
  fi->nonseekable = 1;
  return 0;
}

int Write(const char* /*path*/, const char* buffer, std::size_t size, off_t /*offset*/, fuse_file_info* fi) {
  OpenNode* open = &Opened(fi);
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(buffer);
  Log(open->name + " write " + FormatHexWords(bytes, size) + " (" + std::to_string(size) + " bytes)");
  if (open->node->vanish) return -ENODEV;
  if (open->node->fail_write) return -EIO;
  if (!open->node->silent) open->pending = InputReportFor(*open->node, bytes, size);
  return static_cast<int>(size);
}

int Read(const char* /*path*/, char* buffer, std::size_t size, off_t /*offset*/, fuse_file_info* fi) {
  OpenNode* open = &Opened(fi);
  Log(open->name + " read " + std::to_string(size));
  if (open->node->vanish) return -ENODEV;
  if (open->node->fail_read) return -EIO;
  if (open->pending.empty()) return -EAGAIN;
  // Like hidraw: one report per read, cut to the reader's buffer.
  std::size_t count = std::min(size, open->pending.size());
  std::memcpy(buffer, open->pending.data(), count);
  open->pending.clear();
  return static_cast<int>(count);
}

int Poll(const char* /*path*/, fuse_file_info* fi, fuse_pollhandle* handle, unsigned* revents) {
  const OpenNode* open = &Opened(fi);
  // Answers are queued by the write itself, so nobody ever needs waking later.
  if (handle != nullptr) fuse_pollhandle_destroy(handle);
  if (open->node->vanish) {
    *revents = POLLERR | POLLHUP;
  } else {
    *revents = POLLOUT | (open->pending.empty() ? 0U : static_cast<unsigned>(POLLIN));
  }
  return 0;
}

int Release(const char* /*path*/, fuse_file_info* fi) {
  open_files.erase(fi->fh);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) Usage("usage: hidraw-emulator MOUNTPOINT NAME=BEHAVIOUR...");
  for (int i = 2; i < argc; ++i) {
    std::string arg = argv[i];
    std::size_t equals = arg.find('=');
    if (equals == std::string::npos) Usage("bad node " + arg);
    nodes[arg.substr(0, equals)] = ParseNode(arg.substr(equals + 1));
  }
  fuse_operations operations{};
  operations.getattr = GetAttr;
  operations.readdir = ReadDir;
  operations.open = Open;
  operations.write = Write;
  operations.read = Read;
  operations.poll = Poll;
  operations.release = Release;

  char* fuse_argv[] = {argv[0], nullptr};
  fuse_args args = FUSE_ARGS_INIT(1, fuse_argv);
  fuse* fs = fuse_new(&args, &operations, sizeof operations, nullptr);
  if (fs == nullptr || fuse_mount(fs, argv[1]) != 0) Usage(std::string("cannot mount on ") + argv[1]);
  fuse_set_signal_handlers(fuse_get_session(fs));
  Log("ready");
  int result = fuse_loop(fs);
  fuse_remove_signal_handlers(fuse_get_session(fs));
  fuse_unmount(fs);
  fuse_destroy(fs);
  return result == 0 ? 0 : 1;
}
