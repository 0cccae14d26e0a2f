#include "mqtt/gateway_options.h"

#include <charconv>
#include <cmath>
#include <set>

#include "mqtt/utf8.h"

const char* const kGatewayUsage =
    "Usage: dimlink-mqtt --broker URL [--node NAME] [--base TOPIC] [--tcp ID=ADDRESS:PORT ...] [--no-usb]\n"
    "                    [--username NAME] [--password-file FILE] [--cafile FILE] [--cert FILE --key FILE]\n"
    "                    [--max-wait SECONDS] [--verbose]\n";

namespace {

bool ParsePort(std::string_view text, int& port) {
  if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string_view::npos) return false;
  std::from_chars(text.data(), text.data() + text.size(), port);
  return port >= 1 && port <= 65535;
}

// "HOST:PORT" or "[V6]:PORT" (port optional when default_port is given).
bool SplitHostPort(std::string_view text, std::string& host, int& port, bool port_required) {
  std::string_view rest;
  if (text.starts_with('[')) {
    size_t close = text.find(']');
    if (close == std::string_view::npos) return false;
    host = text.substr(1, close - 1);
    rest = text.substr(close + 1);
  } else {
    size_t colon = port_required ? text.rfind(':') : text.find(':');
    host = text.substr(0, colon);
    rest = colon == std::string_view::npos ? "" : text.substr(colon);
  }
  if (host.empty()) return false;
  if (rest.empty()) return !port_required;
  return rest.front() == ':' && ParsePort(rest.substr(1), port);
}

std::string ReadBroker(std::string_view url, GatewayOptions& options) {
  if (url.starts_with("mqtts://")) {
    options.tls = true;
    options.port = 8883;
    url.remove_prefix(8);
  } else if (url.starts_with("mqtt://")) {
    url.remove_prefix(7);
  } else {
    return "takes mqtt://HOST[:PORT] or mqtts://HOST[:PORT]";
  }
  if (url.ends_with('/')) url.remove_suffix(1);
  if (!SplitHostPort(url, options.host, options.port, false)) return "takes mqtt://HOST[:PORT] or mqtts://HOST[:PORT]";
  return "";
}

std::string ReadTcp(std::string_view text, GatewayOptions& options) {
  size_t equals = text.find('=');
  TcpSupplyOption supply;
  if (equals == std::string_view::npos) return "takes ID=ADDRESS:PORT";
  supply.id = text.substr(0, equals);
  if (!IsTopicLevel(supply.id)) return "needs an ID that is one topic level (no '/', '+', '#', NUL; not empty)";
  for (const TcpSupplyOption& other : options.tcp) {
    if (other.id == supply.id) return "names the ID " + supply.id + " twice";
  }
  if (!SplitHostPort(text.substr(equals + 1), supply.address, supply.port, true)) return "takes ID=ADDRESS:PORT";
  options.tcp.push_back(std::move(supply));
  return "";
}

std::string ReadSeconds(std::string_view text, int& milliseconds) {
  double seconds = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), seconds, std::chars_format::fixed);
  if (error != std::errc() || end != text.data() + text.size() || !(seconds >= 0.001) || seconds > 86400) {
    return "takes a number of seconds from 0.001 to 86400";
  }
  milliseconds = static_cast<int>(std::lround(seconds * 1000));
  return "";
}

std::string ReadLevel(std::string_view text, std::string& level) {
  if (!IsTopicLevel(text)) return "needs one topic level (no '/', '+', '#', NUL; not empty)";
  level = text;
  return "";
}

// Reads one option that takes a value; "" or what is wrong with the value.
std::string ReadValue(std::string_view name, std::string_view value, GatewayOptions& options) {
  if (name == "--broker") return ReadBroker(value, options);
  if (name == "--node") return ReadLevel(value, options.node);
  if (name == "--base") return ReadLevel(value, options.base);
  if (name == "--tcp") return ReadTcp(value, options);
  if (name == "--max-wait") return ReadSeconds(value, options.max_wait_ms);
  std::string* field = name == "--username"        ? &options.username
                       : name == "--password-file" ? &options.password_file
                       : name == "--cafile"        ? &options.cafile
                       : name == "--cert"          ? &options.cert
                                                   : &options.key;
  if (value.empty()) return "needs a value";
  *field = value;
  return "";
}

std::string CheckTogether(const GatewayOptions& options, bool node_given) {
  if (options.host.empty()) return "--broker is required";
  if (options.cert.empty() != options.key.empty()) return "--cert and --key go together";
  if (!options.tls && (!options.cafile.empty() || !options.cert.empty())) {
    return "--cafile, --cert and --key need an mqtts:// broker";
  }
  if (!node_given && !IsTopicLevel(options.node)) {
    return "--node: the host name \"" + options.node + "\" is no topic level; give --node NAME";
  }
  return "";
}

}  // namespace

bool IsTopicLevel(std::string_view name) {
  return !name.empty() && name.find_first_of(std::string_view("/+#\0", 4)) == std::string_view::npos && IsUtf8(name);
}

GatewayOptions ParseGatewayOptions(const std::vector<std::string>& args, std::string_view host_name) {
  static const std::set<std::string_view> kValued = {"--broker",        "--node",   "--base", "--tcp", "--username",
                                                     "--password-file", "--cafile", "--cert", "--key", "--max-wait"};
  GatewayOptions options;
  bool node_given = false;
  for (size_t k = 0; k < args.size() && options.error.empty(); ++k) {
    std::string_view arg = args[k];
    std::string name(arg.substr(0, arg.find('=')));
    if (arg == "--no-usb") {
      options.usb = false;
    } else if (arg == "--verbose") {
      options.verbose = true;
    } else if (arg == "--help" || arg == "--version") {
      (arg == "--help" ? options.help : options.version) = true;
    } else if (kValued.contains(name)) {
      bool inline_value = name.size() < arg.size();
      if (!inline_value && k + 1 == args.size()) {
        options.error = name + " needs a value";
        break;
      }
      std::string_view value = inline_value ? arg.substr(name.size() + 1) : std::string_view(args[++k]);
      node_given |= name == "--node";
      std::string problem = ReadValue(name, value, options);
      if (!problem.empty()) options.error = name.append(" \"").append(value).append("\": ").append(problem);
    } else {
      options.error = "unknown option \"" + std::string(arg) + "\"";
    }
  }
  if (!node_given) options.node = host_name.substr(0, host_name.find('.'));
  if (options.error.empty() && !options.help && !options.version) options.error = CheckTogether(options, node_given);
  return options;
}
