#include "mqtt/transaction_history.h"

void RememberTransaction(TransactionHistory& history, const std::string& transaction, std::string result) {
  auto [place, added] = history.results.insert_or_assign(transaction, std::move(result));
  if (!added) return;
  history.order.push_back(transaction);
  if (history.order.size() > kRememberedTransactions) {
    history.results.erase(history.order.front());
    history.order.pop_front();
  }
}

std::optional<std::string> EarlierResult(const TransactionHistory& history, const std::string& transaction) {
  auto found = history.results.find(transaction);
  if (found == history.results.end()) return std::nullopt;
  return found->second;
}
