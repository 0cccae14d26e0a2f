// dimlink-mqtt: every supply the machine reaches, on an MQTT broker. One thread per
// supply carries out its requests in order; the broker's thread reads and sorts them;
// the main thread watches USB, answers what waited too long, and stops on a signal.
#include <mosquitto.h>
#include <signal.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>

#include "dimlink.h"
#include "mqtt/broker_link.h"
#include "mqtt/gateway_log.h"
#include "mqtt/gateway_options.h"
#include "mqtt/supplies.h"

namespace {

constexpr auto kTick = std::chrono::milliseconds(200);
constexpr auto kUsbPollEvery = std::chrono::milliseconds(500);
// After a stop signal: how long the exchanges under way may take before they are
// interrupted, and by when everything must be out.
constexpr auto kStopGrace = std::chrono::milliseconds(3500);
constexpr auto kStopDeadline = std::chrono::milliseconds(4700);

const char* const kOnline = "{\"state\":\"online\"}";
const char* const kOffline = "{\"state\":\"offline\"}";

struct Gateway {
  GatewayOptions options;
  std::string prefix;  // "BASE/NODE/"
  BrokerLink broker;
  SupplyRegistry supplies;
  std::atomic<bool> stopping{false};
};

void Answer(Gateway& gateway, const Job& job, const std::string& payload) {
  Publish(gateway.broker, {job.reply_topic, payload, job.correlation}, false);
}

void AnswerWith(Gateway& gateway, const Job& job, const char* verdict, int status, const std::string& message) {
  Answer(gateway, job, ResultJson(GatewayResult(verdict, status, message), job.command, job.transaction));
}

void PublishAvailability(Gateway& gateway, const Supply& supply) {
  Publish(gateway.broker, {gateway.prefix + supply.id + "/availability", supply.available ? kOnline : kOffline, ""},
          true);
}

void PublishSupplies(Gateway& gateway) {
  std::string list;
  {
    std::lock_guard lock(gateway.supplies.mutex);
    list = SuppliesJson(gateway.supplies);
  }
  Publish(gateway.broker, {gateway.prefix + "supplies", list, ""}, true);
}

// Marks a supply online or offline, telling the broker when that changes it.
void SetAvailable(Gateway& gateway, Supply& supply, bool available) {
  if (supply.available.exchange(available) == available) return;
  PublishAvailability(gateway, supply);
  PublishSupplies(gateway);
}

// Every supply (USB ones alone with usb_only): taken under the registry's lock, which no
// one holds while publishing.
std::vector<Supply*> AllSupplies(Gateway& gateway, bool usb_only = false) {
  std::vector<Supply*> all;
  std::lock_guard lock(gateway.supplies.mutex);
  for (auto& [id, supply] : gateway.supplies.by_id) {
    if (supply->usb || !usb_only) all.push_back(supply.get());
  }
  return all;
}

void PublishStates(Gateway& gateway) {
  Publish(gateway.broker, {gateway.prefix + "state", kOnline, ""}, true);
  PublishSupplies(gateway);
  for (Supply* supply : AllSupplies(gateway)) PublishAvailability(gateway, *supply);
}

std::string Hex(const CommandBytes& command) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string text;
  for (size_t k = 0; k < command.length; ++k) {
    text += k ? " " : "";
    text += {kHex[command.bytes[k] >> 4], kHex[command.bytes[k] & 0xF]};
  }
  return text;
}

// Carries out one job on the supply: opens a USB supply first where it has no handle yet
// or came back, as the tools search for it on each run.
dimlink_result Exchange(Supply& supply, const Job& job) {
  dimlink_result result = DIMLINK_RESULT_INIT;
  dimlink_supply* handle;
  {
    std::lock_guard lock(supply.handle_mutex);
    if (supply.usb && (supply.handle == nullptr || supply.reopen)) {
      dimlink_close(supply.handle);
      supply.handle =
          dimlink_open_usb(supply.serial.empty() ? nullptr : supply.serial.c_str(), supply.path.c_str(), &result);
      supply.reopen = false;
      if (supply.handle == nullptr) return result;
    }
    handle = supply.handle;
  }
  dimlink_exchange(handle, job.command.bytes, job.command.length, &result);
  return result;
}

void CarryOut(Gateway& gateway, Supply& supply, const Job& job) {
  if (Clock::now() > job.deadline) {
    AnswerWith(gateway, job, "expired", 3, "the request waited longer than its message expiry or --max-wait");
    return;
  }
  if (job.transaction) {
    if (auto earlier = EarlierResult(supply.history, *job.transaction)) {
      Answer(gateway, job, *earlier);
      return;
    }
  }
  if (!supply.present) {
    AnswerWith(gateway, job, "not-found", 3, "the USB supply " + supply.id + " is not plugged in");
    return;
  }
  dimlink_result result = Exchange(supply, job);
  std::string payload = ResultJson(result, job.command, job.transaction);
  if (job.transaction) RememberTransaction(supply.history, *job.transaction, payload);
  Answer(gateway, job, payload);
  if (gateway.options.verbose) LogLine(supply.id + ": " + Hex(job.command) + ": " + result.verdict);
  if (!supply.usb) {
    if (result.answered) SetAvailable(gateway, supply, true);
    if (result.verdict != nullptr && std::strcmp(result.verdict, "connect-failed") == 0)
      SetAvailable(gateway, supply, false);
  }
}

void RunWorker(Gateway& gateway, Supply& supply) {
  while (std::optional<Job> job = PopJob(supply.queue)) {
    supply.busy = true;
    CarryOut(gateway, supply, *job);
    supply.busy = false;
  }
}

Supply& AddSupply(Gateway& gateway, std::unique_ptr<Supply> supply) {
  Supply& added = *supply;
  gateway.supplies.by_id.emplace(added.id, std::move(supply));
  added.worker = std::thread(RunWorker, std::ref(gateway), std::ref(added));
  return added;
}

Supply* FindSupply(Gateway& gateway, const std::string& id) {
  std::lock_guard lock(gateway.supplies.mutex);
  auto found = gateway.supplies.by_id.find(id);
  return found == gateway.supplies.by_id.end() ? nullptr : found->second.get();
}

// Sorts one request: answered at once when it cannot be carried out, else queued.
void Dispatch(Gateway& gateway, IncomingRequest& incoming) {
  std::string id = incoming.topic.substr(gateway.prefix.size());
  id.resize(id.size() - std::strlen("/exchange"));
  Request request = ParseRequest(incoming.payload);
  Job job;
  job.transaction = request.transaction;
  bool usable_reply =
      !incoming.response_topic.empty() && incoming.response_topic.find_first_of("+#") == std::string::npos;
  job.reply_topic = usable_reply ? incoming.response_topic : gateway.prefix + id + "/result";
  job.correlation = incoming.correlation;
  auto wait = std::chrono::milliseconds(gateway.options.max_wait_ms);
  if (incoming.expiry_seconds >= 0)
    wait = std::min<std::chrono::milliseconds>(wait, std::chrono::seconds(incoming.expiry_seconds));
  job.deadline = Clock::now() + wait;

  if (!request.problem.empty()) {
    LogLine(id + ": refused a request: " + request.problem);
    AnswerWith(gateway, job, "bad-request", 1, request.problem);
    return;
  }
  dimlink_result parsed = DIMLINK_RESULT_INIT;
  if (dimlink_parse_command(request.command.c_str(), job.command.bytes, &job.command.length, &parsed) != 0) {
    job.command.length = 0;
    Answer(gateway, job, ResultJson(parsed, job.command, job.transaction));
    return;
  }
  Supply* supply = FindSupply(gateway, id);
  if (supply == nullptr || !supply->present) {
    AnswerWith(gateway, job, "not-found", 3,
               supply != nullptr ? "the USB supply " + id + " is not plugged in"
                                 : "node " + gateway.options.node + " has no supply " + id);
    return;
  }
  if (gateway.stopping) {
    AnswerWith(gateway, job, "expired", 3, "the gateway stopped before carrying it out");
    return;
  }
  if (!PushJob(supply->queue, job)) {
    AnswerWith(gateway, job, "queue-full", 3, "256 requests are already waiting for supply " + id);
  }
}

// Answers the waiting jobs whose time is up, at that moment rather than at their turn.
void AnswerExpired(Gateway& gateway) {
  for (Supply* supply : AllSupplies(gateway)) {
    for (const Job& job : TakeExpiredJobs(supply->queue, Clock::now())) {
      AnswerWith(gateway, job, "expired", 3, "the request waited longer than its message expiry or --max-wait");
    }
  }
}

struct ListedDevice {
  std::string path, serial, name;
};

std::vector<ListedDevice> ListUsb() {
  std::vector<ListedDevice> devices;
  dimlink_supply_info* list = nullptr;
  if (dimlink_list_usb(&list) < 0) return devices;
  for (dimlink_supply_info* info = list; info != nullptr; info = info->next)
    devices.push_back({info->path, info->serial, info->name});
  dimlink_free_list(list);
  return devices;
}

// Brings the USB supplies in line with the devices listed now: new ones added, gone ones
// marked offline (their waiting requests answered "not-found"), returning ones online.
void WatchUsb(Gateway& gateway) {
  std::vector<ListedDevice> devices = ListUsb();
  bool changed = false;
  std::vector<Supply*> gone;
  std::vector<Supply*> back;
  {
    std::lock_guard lock(gateway.supplies.mutex);
    std::set<Supply*> seen;
    for (const ListedDevice& device : devices) {
      Supply* match = nullptr;
      for (auto& [id, supply] : gateway.supplies.by_id) {
        if (!supply->usb || seen.contains(supply.get())) continue;
        bool by_serial = id == supply->serial && id == device.serial && !supply->present;
        std::lock_guard handle_lock(supply->handle_mutex);
        if (by_serial || supply->path == device.path) match = supply.get();
        if (match != nullptr) break;
      }
      if (match != nullptr) {
        seen.insert(match);
        if (!match->present) {
          std::lock_guard handle_lock(match->handle_mutex);
          match->path = device.path;
          match->reopen = true;
          back.push_back(match);
        }
        continue;
      }
      int same_serial = 0;
      for (const ListedDevice& other : devices) same_serial += other.serial == device.serial ? 1 : 0;
      auto supply = std::make_unique<Supply>();
      supply->id = UsbSupplyId(device.serial, device.path, same_serial, gateway.supplies);
      if (gateway.supplies.by_id.contains(supply->id)) continue;
      supply->usb = true;
      supply->serial = device.serial;
      supply->name = device.name;
      supply->path = device.path;
      LogLine("USB supply " + supply->id + " plugged in (" + device.path + ")");
      seen.insert(&AddSupply(gateway, std::move(supply)));
      changed = true;
    }
    for (auto& [id, supply] : gateway.supplies.by_id) {
      if (supply->usb && supply->present && !seen.contains(supply.get())) gone.push_back(supply.get());
    }
  }
  for (Supply* supply : back) {
    LogLine("USB supply " + supply->id + " plugged in again");
    supply->present = true;
    SetAvailable(gateway, *supply, true);
  }
  for (Supply* supply : gone) {
    LogLine("USB supply " + supply->id + " unplugged");
    supply->present = false;
    SetAvailable(gateway, *supply, false);
    for (const Job& job : TakeAllJobs(supply->queue, false)) {
      AnswerWith(gateway, job, "not-found", 3, "the USB supply " + supply->id + " is not plugged in");
    }
  }
  if (changed) {
    PublishSupplies(gateway);
    for (Supply* supply : AllSupplies(gateway, true)) PublishAvailability(gateway, *supply);
  }
}

// Opens the TCP supplies given, all or none; "" or what is wrong with one of them.
std::string AddTcpSupplies(Gateway& gateway) {
  std::vector<dimlink_supply*> handles;
  for (const TcpSupplyOption& option : gateway.options.tcp) {
    dimlink_result result = DIMLINK_RESULT_INIT;
    handles.push_back(dimlink_open_tcp(option.address.c_str(), option.port, &result));
    if (handles.back() == nullptr) {
      std::for_each(handles.begin(), handles.end(), dimlink_close);
      return "--tcp " + option.id + ": " + result.message;
    }
  }
  std::lock_guard lock(gateway.supplies.mutex);
  for (size_t k = 0; k < handles.size(); ++k) {
    const TcpSupplyOption& option = gateway.options.tcp[k];
    auto supply = std::make_unique<Supply>();
    supply->id = option.id;
    supply->address = option.address;
    supply->port = option.port;
    supply->handle = handles[k];
    AddSupply(gateway, std::move(supply));
  }
  return "";
}

// Ends the workers of a gateway that could not start, nothing being queued yet.
void EndWorkers(Gateway& gateway) {
  for (Supply* supply : AllSupplies(gateway)) {
    TakeAllJobs(supply->queue, true);
    supply->worker.join();
    dimlink_close(supply->handle);
  }
}

// Lets the exchanges under way finish (interrupting them past the grace), answers every
// waiting request "expired", and publishes the offline states.
void Stop(Gateway& gateway, Clock::time_point signalled) {
  gateway.stopping = true;
  std::vector<Supply*> all = AllSupplies(gateway);
  for (Supply* supply : all) {
    for (const Job& job : TakeAllJobs(supply->queue, true)) {
      AnswerWith(gateway, job, "expired", 3, "the gateway stopped before carrying it out");
    }
  }
  auto anyone_busy = [&] {
    return std::any_of(all.begin(), all.end(), [](Supply* supply) { return supply->busy.load(); });
  };
  while (anyone_busy() && Clock::now() < signalled + kStopGrace)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  for (Supply* supply : all) {
    std::lock_guard lock(supply->handle_mutex);
    if (supply->busy && supply->handle != nullptr) dimlink_interrupt(supply->handle);
  }
  for (Supply* supply : all) {
    supply->worker.join();
    supply->available = false;
    PublishAvailability(gateway, *supply);
    dimlink_close(supply->handle);
  }
  PublishSupplies(gateway);
  Publish(gateway.broker, {gateway.prefix + "state", kOffline, ""}, true);
  if (size_t left = WaitPublished(gateway.broker, signalled + kStopDeadline); left > 0) {
    LogLine("stopped with " + std::to_string(left) + " messages the broker has not acknowledged");
  }
}

std::string HostName() {
  char name[256] = {};
  gethostname(name, sizeof name - 1);
  return name;
}

bool ReadPassword(const GatewayOptions& options, std::string& password) {
  if (options.password_file.empty()) {
    const char* from_environment = std::getenv("DIMLINK_MQTT_PASSWORD");
    password = from_environment != nullptr ? from_environment : "";
    return true;
  }
  std::ifstream file(options.password_file);
  if (!file) return false;
  std::getline(file, password);
  if (!password.empty() && password.back() == '\r') password.pop_back();
  return true;
}

int Fail(const std::string& message) {
  LogLine(message);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  Gateway gateway;
  gateway.options = ParseGatewayOptions(std::vector<std::string>(argv + 1, argv + argc), HostName());
  const GatewayOptions& options = gateway.options;
  if (options.help) {
    (void)std::fputs(kGatewayUsage, stdout);
    return 0;
  }
  if (options.version) {
    std::printf("dimlink-mqtt %s (libdimlink %s)\n", DIMLINK_VERSION, dimlink_version());
    return 0;
  }
  if (!options.error.empty()) return Fail(options.error);
  std::string password;
  if (!ReadPassword(options, password))
    return Fail("--password-file \"" + options.password_file + "\": cannot read it");

  // The stop signals are taken by the main thread alone, by waiting for them; every
  // thread started from here on inherits the mask.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGTERM);
  sigaddset(&stop_signals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
  (void)signal(SIGPIPE, SIG_IGN);

  gateway.prefix = options.base + "/" + options.node + "/";
  if (std::string problem = AddTcpSupplies(gateway); !problem.empty()) return Fail(problem);
  gateway.broker.subscription = gateway.prefix + "+/exchange";
  gateway.broker.on_connected = [&] { PublishStates(gateway); };
  gateway.broker.on_request = [&](IncomingRequest& request) { Dispatch(gateway, request); };
  if (options.usb) WatchUsb(gateway);
  std::string problem = StartBroker(gateway.broker, options, password, gateway.prefix + "state", kOffline);
  if (!problem.empty()) {
    EndWorkers(gateway);
    StopBroker(gateway.broker);
    return Fail(problem);
  }
  sd_notify(0, "READY=1");

  auto next_poll = Clock::now();
  timespec tick = {0, std::chrono::nanoseconds(kTick).count()};
  while (sigtimedwait(&stop_signals, nullptr, &tick) < 0) {
    AnswerExpired(gateway);
    if (options.usb && Clock::now() >= next_poll) {
      WatchUsb(gateway);
      next_poll = Clock::now() + kUsbPollEvery;
    }
  }
  auto signalled = Clock::now();
  sd_notify(0, "STOPPING=1");
  LogLine("stopping");
  Stop(gateway, signalled);
  StopBroker(gateway.broker);
  return 0;
}
