// A result as the tools' --json object, then the caller's transaction.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "dimlink.h"

// The command bytes of a request: length 0 where the command did not parse (null).
struct CommandBytes {
  unsigned char bytes[64] = {};
  size_t length = 0;
};

// The gateway's own answer, nothing sent: verdict and status as the gateway names them.
dimlink_result GatewayResult(const char* verdict, int status, std::string_view message);

// {"command":...,"sent":...,"answer":...,"raw":...,"verdict":...,"message":...,"status":...,
// "error":...} in the --json order, then "transaction" when there is one; no line feed.
std::string ResultJson(const dimlink_result& result, const CommandBytes& command,
                       const std::optional<std::string>& transaction);
