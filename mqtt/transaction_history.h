// The results of one supply's last 1,000 transactions carried out, so that a request sent
// again is answered with the earlier result instead of being carried out twice.
#pragma once

#include <cstddef>
#include <deque>
#include <optional>
#include <string>
#include <unordered_map>

constexpr std::size_t kRememberedTransactions = 1000;

struct TransactionHistory {
  std::deque<std::string> order;  // oldest first
  std::unordered_map<std::string, std::string> results;
};

// Keeps the result of a transaction (its JSON text), forgetting the oldest past the limit.
void RememberTransaction(TransactionHistory& history, const std::string& transaction, std::string result);

// The earlier result of this transaction, if it is among the remembered.
std::optional<std::string> EarlierResult(const TransactionHistory& history, const std::string& transaction);
