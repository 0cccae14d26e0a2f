#include "core/command_file.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// The lines a command file gives, each as "number:bytes" or "number:refusal values".
std::vector<std::string> ReadAll(std::string content) {
  CommandFile file;
  file.stream = fmemopen(content.data(), content.size(), "rb");
  file.owned = true;
  std::vector<std::string> lines;
  for (CommandFileLine line = NextCommandLine(file, 6); line.kind != CommandFileLine::End;
       line = NextCommandLine(file, 6)) {
    std::string seen = std::to_string(line.number) + ":";
    for (std::size_t k = 0; k < line.command.count; ++k) seen += std::to_string(line.command.bytes[k]) + " ";
    for (const std::string& value : line.refusal.values) seen += value + "|";
    lines.push_back(seen);
  }
  return lines;
}

TEST(NextCommandLine, ReadsCommandsAndRefusesWhatIsNotOne) {
  struct Row {
    std::string content;
    std::vector<std::string> lines;
  };
  const std::string full = "1 2 3 4 5" + std::string(kMaxCommandLineLength - 9, ' ');
  const Row rows[] = {
      {"\n# only\r\n \t\n", {}},
      {"\t-1 +7 0 d 0A#x\r\n\r\n1 2 3 4 5", {"1:255 7 0 13 10 ", "3:1 2 3 4 5 "}},
      {std::string("1 2 3 4 0\0 5\n", 13), {std::string("1:0\0|1|5|", 9)}},
      {"1 2 3 4\n1 2 3 4 5 6 zz\n", {"1:1|5|", "2:2|6|"}},
      {full + "\r\n" + full + " \n" + full + std::string(10000, ' '), {"1:1 2 3 4 5 ", "2:2|4096|", "3:3|4096|"}},
  };
  for (const Row& row : rows) EXPECT_EQ(ReadAll(row.content), row.lines) << row.content.substr(0, 40);
}

}  // namespace
