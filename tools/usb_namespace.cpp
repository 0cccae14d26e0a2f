#include "tools/usb_namespace.h"

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "tools/namespace_init.h"
#include "tools/supply_log.h"
#include "tools/supply_usb.h"

namespace {

const std::string kDevices = "/sys/devices/supply-sim";
const std::string kStaging = "/dev/.supply-sim";  // where the FUSE file system is mounted while nodes are bound
constexpr int kHidrawMajor = 241;

std::string Reason() { return std::strerror(errno); }

void Mount(const std::string& source, const std::string& target, const char* type, unsigned long flags,
           const std::string& data = {}) {
  if (::mount(source.c_str(), target.c_str(), type, flags, data.empty() ? nullptr : data.c_str()) != 0) {
    Fail("cannot mount on " + target + ": " + Reason());
  }
}

void WriteFile(const std::string& path, const std::string& content) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  bool written = fd >= 0 && ::write(fd, content.data(), content.size()) == static_cast<ssize_t>(content.size());
  if (fd >= 0) ::close(fd);
  if (!written) Fail("cannot write " + path + ": " + Reason());
}

void MakeDirectory(const std::string& path) {
  if (::mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) Fail("cannot make " + path + ": " + Reason());
}

void Link(const std::string& target, const std::string& path) {
  if (::symlink(target.c_str(), path.c_str()) != 0) Fail("cannot link " + path + ": " + Reason());
}

// A mount namespace of our own whose mounts nobody else sees; as root a plain one, else
// inside a user namespace in which we keep our own user and group. Before any thread
// starts: a user namespace takes only a process of one thread.
void EnterPrivateNamespace() {
  uid_t uid = ::getuid();
  gid_t gid = ::getgid();
  if (::geteuid() != 0 || ::unshare(CLONE_NEWNS) != 0) {
    if (::unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) {
      Fail("cannot make a user namespace (--usb needs root, or unprivileged user namespaces): " + Reason());
    }
    WriteFile("/proc/self/setgroups", "deny");
    WriteFile("/proc/self/uid_map", std::to_string(uid) + " " + std::to_string(uid) + " 1");
    WriteFile("/proc/self/gid_map", std::to_string(gid) + " " + std::to_string(gid) + " 1");
  }
  Mount("none", "/", nullptr, MS_REC | MS_PRIVATE);
}

// Covers the directory with a tmpfs holding the same entries as before (bound from the
// originals, symbolic links copied), except those `keep` turns down.
void OverlayDirectory(const std::string& path, const std::function<bool(const std::string&)>& keep) {
  int original = ::open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  DIR* listing = ::opendir(path.c_str());
  if (original < 0 || listing == nullptr) Fail("cannot read " + path + ": " + Reason());
  std::vector<std::string> names;
  while (dirent* entry = ::readdir(listing)) {
    std::string name = entry->d_name;
    if (name != "." && name != ".." && keep(name)) names.push_back(name);
  }
  ::closedir(listing);
  Mount("tmpfs", path, "tmpfs", MS_NOSUID, "mode=755");
  for (const std::string& name : names) {
    std::string target = path;
    target.append("/").append(name);
    struct stat st {};
    if (::fstatat(original, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;  // gone meanwhile
    if (S_ISLNK(st.st_mode)) {
      std::string link(PATH_MAX, '\0');
      ssize_t size = ::readlinkat(original, name.c_str(), link.data(), link.size());
      if (size > 0) Link(link.substr(0, static_cast<std::size_t>(size)), target);
      continue;
    }
    if (S_ISDIR(st.st_mode)) {
      MakeDirectory(target);
    } else {
      WriteFile(target, "");
    }
    Mount("/proc/self/fd/" + std::to_string(original) + "/" + name, target, nullptr, MS_BIND | MS_REC);
  }
  ::close(original);
}

std::string Hex(unsigned value, int digits) {
  std::string text(static_cast<std::size_t>(digits) + 1, '\0');
  (void)std::snprintf(text.data(), text.size(), "%0*X", digits, value);
  text.pop_back();
  return text;
}

// The device as the kernel shows a USB HID device: the hid device with its identifiers and
// report descriptor, its hidraw child, and the class entry that leads to it.
void LayDevice(const UsbDevice& device, std::size_t index, int number) {
  std::string hid = "0003:" + Hex(device.vendor, 4) + ":" + Hex(device.product, 4) + "." + Hex(unsigned(index + 1), 4);
  std::string raw = "hidraw" + std::to_string(number);
  std::string directory = kDevices + "/" + hid;
  MakeDirectory(directory);
  WriteFile(directory + "/uevent",
            "DRIVER=hid-generic\nHID_ID=0003:" + Hex(device.vendor, 8) + ":" + Hex(device.product, 8) +
                "\nHID_NAME=" + device.name + "\nHID_PHYS=usb-supply-sim/input0\nHID_UNIQ=" + device.serial +
                "\nMODALIAS=hid:b0003g0001v" + Hex(device.vendor, 8) + "p" + Hex(device.product, 8) + "\n");
  std::vector<std::uint8_t> descriptor = ReportDescriptor(device);
  WriteFile(directory + "/report_descriptor", std::string(descriptor.begin(), descriptor.end()));
  Link("../../../bus/hid", directory + "/subsystem");
  MakeDirectory(directory + "/hidraw");
  std::string node = directory + "/hidraw/" + raw;
  MakeDirectory(node);
  std::string numbers = std::to_string(kHidrawMajor) + ":" + std::to_string(number);
  WriteFile(node + "/uevent",
            "MAJOR=" + std::to_string(kHidrawMajor) + "\nMINOR=" + std::to_string(number) + "\nDEVNAME=" + raw + "\n");
  WriteFile(node + "/dev", numbers + "\n");
  Link("../../../../../class/hidraw", node + "/subsystem");
  Link("../../../" + hid, node + "/device");
  Link("../../devices/supply-sim/" + hid + "/hidraw/" + raw, "/sys/class/hidraw/" + raw);
}

// hidrawN numbers: the ones asked for, then the lowest free ones in order.
std::vector<int> NodeNumbers(const std::vector<UsbDevice>& devices) {
  std::set<int> taken;
  for (const UsbDevice& device : devices) {
    if (device.number >= 0 && !taken.insert(device.number).second) {
      Fail("two devices as hidraw" + std::to_string(device.number));
    }
  }
  std::vector<int> numbers;
  int next = 0;
  for (const UsbDevice& device : devices) {
    while (device.number < 0 && taken.contains(next)) ++next;
    numbers.push_back(device.number >= 0 ? device.number : next);
    taken.insert(numbers.back());
  }
  return numbers;
}

// Mounts the node server's file system where the nodes can be bound from, binds each node
// into /dev, and takes the file system's own mount away again.
void AttachNodes(const std::vector<UsbDevice>& devices, const std::vector<int>& numbers, int fuse_fd) {
  MakeDirectory(kStaging);
  Mount("supply-sim", kStaging, "fuse", MS_NOSUID | MS_NODEV,
        "fd=" + std::to_string(fuse_fd) + ",rootmode=40000,user_id=" + std::to_string(::getuid()) +
            ",group_id=" + std::to_string(::getgid()));
  if (!StartNodeServer(devices, numbers, fuse_fd)) Fail("cannot serve the simulated devices through FUSE");
  for (std::size_t k = 0; k < devices.size(); ++k) {
    if (devices[k].no_node) continue;
    std::string name = "/hidraw" + std::to_string(numbers[k]);
    WriteFile("/dev" + name, "");
    Mount(kStaging + name, "/dev" + name, nullptr, MS_BIND);
  }
  if (::umount2(kStaging.c_str(), MNT_DETACH) != 0 || ::rmdir(kStaging.c_str()) != 0) {
    Fail("cannot clear " + kStaging + ": " + Reason());
  }
}

}  // namespace

int RunBesideUsbSupplies(const Options& options) {
  HoldSignals();
  std::vector<int> numbers = NodeNumbers(options.devices);
  EnterPrivateNamespace();
  OpenLog(options.log_path, true);
  // Opened inside the namespace: FUSE takes a descriptor only from the namespace it mounts in.
  int fuse_fd = ::open("/dev/fuse", O_RDWR | O_CLOEXEC);
  if (fuse_fd < 0) Fail("cannot open /dev/fuse (--usb serves its devices through FUSE): " + Reason());
  OverlayDirectory("/dev", [](const std::string& name) { return !name.starts_with("hidraw"); });
  OverlayDirectory("/sys/class", [](const std::string& name) { return name != "hidraw"; });
  // Inside another run, its devices are left out rather than written through.
  OverlayDirectory("/sys/devices", [](const std::string& name) { return name != "supply-sim"; });
  MakeDirectory("/sys/class/hidraw");
  MakeDirectory(kDevices);
  for (std::size_t k = 0; k < options.devices.size(); ++k) LayDevice(options.devices[k], k, numbers[k]);
  AttachNodes(options.devices, numbers, fuse_fd);
  return RunUnderInit(options.command);
}
