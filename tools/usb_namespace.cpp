#include "tools/usb_namespace.h"

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

#include "tools/control_request.h"
#include "tools/namespace_init.h"
#include "tools/supply_log.h"
#include "tools/supply_usb.h"
#include "tools/usb_control.h"

namespace {

const std::string kDevices = "/sys/devices/supply-sim";
// The run's own corner of /dev, left out of nested runs: the control socket, and the
// node server's file system, mounted for supply-sim alone to bind nodes from.
const std::string kOwn = "/dev/.supply-sim";
const std::string kNodeServer = kOwn + "/nodes";
const std::string kControl = kOwn + "/control";
constexpr int kHidrawMajor = 241;

// A step of attaching or detaching a device that failed: the set-up ends with it, a
// request on the control socket is answered with it.
struct StepFailed : std::runtime_error {
  using std::runtime_error::runtime_error;
};

std::string Reason() { return std::strerror(errno); }

void Mount(const std::string& source, const std::string& target, const char* type, unsigned long flags,
           const std::string& data = {}) {
  if (::mount(source.c_str(), target.c_str(), type, flags, data.empty() ? nullptr : data.c_str()) != 0) {
    throw StepFailed("cannot mount on " + target + ": " + Reason());
  }
}

void WriteFile(const std::string& path, const std::string& content) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  bool written = fd >= 0 && ::write(fd, content.data(), content.size()) == static_cast<ssize_t>(content.size());
  if (fd >= 0) ::close(fd);
  if (!written) throw StepFailed("cannot write " + path + ": " + Reason());
}

void MakeDirectory(const std::string& path) {
  if (::mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) throw StepFailed("cannot make " + path + ": " + Reason());
}

void Link(const std::string& target, const std::string& path) {
  if (::symlink(target.c_str(), path.c_str()) != 0) throw StepFailed("cannot link " + path + ": " + Reason());
}

void Remove(const std::string& path) {
  std::error_code error;
  std::filesystem::remove_all(path, error);
  if (error) throw StepFailed("cannot remove " + path + ": " + error.message());
}

// A mount namespace of our own whose mounts nobody else sees; as root a plain one, else
// inside a user namespace in which we keep our own user and group. Before any thread
// starts: a user namespace takes only a process of one thread.
void EnterPrivateNamespace() {
  uid_t uid = ::getuid();
  gid_t gid = ::getgid();
  if (::geteuid() != 0 || ::unshare(CLONE_NEWNS) != 0) {
    if (::unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) {
      throw StepFailed("cannot make a user namespace (--usb needs root, or unprivileged user namespaces): " + Reason());
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
  if (original < 0 || listing == nullptr) throw StepFailed("cannot read " + path + ": " + Reason());
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

// A device of the run, and where it is: plugged in, or where it was last.
struct AttachedDevice {
  const UsbDevice* device = nullptr;
  int number = 0;        // N of hidrawN
  unsigned hid = 0;      // the sequence number of its hid device in sysfs, new at each plug
  std::size_t node = 0;  // the node server's node
  bool plugged = false;
};

// The set-up makes these; from then on only the control's thread touches them.
std::vector<AttachedDevice> attached;
std::set<int> numbers_had;  // a device plugged back gets a number no device of the run had
unsigned hids_made = 0;

std::string NodeName(const AttachedDevice& device) { return "hidraw" + std::to_string(device.number); }

std::string HidName(const AttachedDevice& device) {
  return "0003:" + Hex(device.device->vendor, 4) + ":" + Hex(device.device->product, 4) + "." + Hex(device.hid, 4);
}

// The device as the kernel shows a USB HID device: the hid device with its identifiers and
// report descriptor, its hidraw child, and the class entry that leads to it.
void LayDevice(const AttachedDevice& attached_device) {
  const UsbDevice& device = *attached_device.device;
  std::string hid = HidName(attached_device);
  std::string raw = NodeName(attached_device);
  int number = attached_device.number;
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

// Plugs the device in, as the kernel does: the node first, so that whatever finds the
// device listed can open it.
void Plug(AttachedDevice& device) {
  device.hid = ++hids_made;
  numbers_had.insert(device.number);
  device.node = AddNode(*device.device, device.number);
  if (!device.device->no_node) {
    std::string node = "/dev/" + NodeName(device);
    WriteFile(node, "");
    Mount(kNodeServer + "/" + NodeName(device), node, nullptr, MS_BIND);
  }
  LayDevice(device);
  device.plugged = true;
}

// Unplugs the device: its open files fail at once, then its listing and its node go.
// The node's mount goes from the command's view too, which follows supply-sim's /dev.
void Unplug(AttachedDevice& device) {
  UnplugNode(device.node);
  device.plugged = false;
  std::string entry = "/sys/class/hidraw/" + NodeName(device);
  if (::unlink(entry.c_str()) != 0 && errno != ENOENT) throw StepFailed("cannot remove " + entry + ": " + Reason());
  Remove(kDevices + "/" + HidName(device));
  if (device.device->no_node) return;
  std::string node = "/dev/" + NodeName(device);
  if (::umount2(node.c_str(), MNT_DETACH) != 0) throw StepFailed("cannot unmount " + node + ": " + Reason());
  if (::unlink(node.c_str()) != 0) throw StepFailed("cannot remove " + node + ": " + Reason());
}

int UnusedNumber() {
  int number = 0;
  while (numbers_had.contains(number)) ++number;
  return number;
}

// Carries out a request of the control socket and gives back its answer.
std::string Answer(const ControlRequest& request) {
  std::vector<ControlledDevice> view;
  view.reserve(attached.size());
  for (const AttachedDevice& device : attached)
    view.push_back({device.device->serial, NodeName(device), device.plugged});
  std::variant<std::size_t, std::string> found = FindControlledDevice(view, request.id);
  if (const std::string* error = std::get_if<std::string>(&found)) return *error;
  AttachedDevice& device = attached[std::get<std::size_t>(found)];
  if (std::optional<std::string> error = AlreadyDone(request, view[std::get<std::size_t>(found)])) return *error;
  std::string was = NodeName(device);
  try {
    if (request.action == ControlRequest::Unplug) {
      Unplug(device);
      Log(was + " unplugged");
    } else {
      device.number = UnusedNumber();
      Plug(device);
      Log(NodeName(device) + " plugged in (was " + was + ")");
    }
  } catch (const StepFailed& failure) {
    Log(was + ": " + failure.what());
    return std::string("error: ") + failure.what();
  }
  return "ok";
}

// Mounts the node server's file system where supply-sim binds nodes from, starts it,
// and plugs each device in.
void AttachDevices(const std::vector<UsbDevice>& devices, const std::vector<int>& numbers, int fuse_fd) {
  MakeDirectory(kNodeServer);
  Mount("supply-sim", kNodeServer, "fuse", MS_NOSUID | MS_NODEV,
        "fd=" + std::to_string(fuse_fd) + ",rootmode=40000,user_id=" + std::to_string(::getuid()) +
            ",group_id=" + std::to_string(::getgid()));
  if (!StartNodeServer(fuse_fd)) throw StepFailed("cannot serve the simulated devices through FUSE");
  for (std::size_t k = 0; k < devices.size(); ++k) {
    attached.push_back({&devices[k], numbers[k]});
    Plug(attached.back());
  }
}

// Sets up the devices and the control socket, in the namespace of supply-sim's own.
void SetUp(const Options& options) {
  std::vector<int> numbers = NodeNumbers(options.devices);
  EnterPrivateNamespace();
  OpenLog(options.log_path, true);
  // Opened inside the namespace: FUSE takes a descriptor only from the namespace it mounts in.
  int fuse_fd = ::open("/dev/fuse", O_RDWR | O_CLOEXEC);
  if (fuse_fd < 0) throw StepFailed("cannot open /dev/fuse (--usb serves its devices through FUSE): " + Reason());
  OverlayDirectory("/dev",
                   [](const std::string& name) { return !name.starts_with("hidraw") && "/dev/" + name != kOwn; });
  // Shared, so that the nodes plugged in and out later reach the command's view of /dev.
  Mount("none", "/dev", nullptr, MS_SHARED);
  OverlayDirectory("/sys/class", [](const std::string& name) { return name != "hidraw"; });
  // Inside another run, its devices are left out rather than written through.
  OverlayDirectory("/sys/devices", [](const std::string& name) { return name != "supply-sim"; });
  MakeDirectory("/sys/class/hidraw");
  MakeDirectory(kDevices);
  MakeDirectory(kOwn);
  int control = ListenForControl(kControl);
  AttachDevices(options.devices, numbers, fuse_fd);
  StartControlServer(control, Answer);
}

}  // namespace

int RunBesideUsbSupplies(const Options& options) {
  // Before any thread starts: setenv is no thread's to share.
  if (::setenv(kControlVariable, kControl.c_str(), 1) != 0) Fail("cannot set " + std::string(kControlVariable));
  HoldSignals();
  try {
    SetUp(options);
  } catch (const StepFailed& failure) {
    Fail(failure.what());
  }
  return RunUnderInit(options.command, kNodeServer);
}
