// What a request payload asks for: a JSON object {"command":TEXT,"transaction":T} or the
// command text alone. The command text itself is the library's to read.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

// The largest payload taken as a request.
constexpr std::size_t kMaxRequestBytes = 4096;

struct Request {
  std::string command;                     // the command text, not yet parsed
  std::optional<std::string> transaction;  // the caller's transaction as JSON text, to echo
  std::string problem;                     // why the payload is no request; "" when it is one
};

// Reads a payload. A payload that is too long, not UTF-8, empty, or JSON that is not an
// object with a "command" string (and at most a string or number "transaction") gives a
// Request whose problem says what is wrong; its transaction is kept when it was readable.
Request ParseRequest(std::string_view payload);
