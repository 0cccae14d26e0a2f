#include "core/command_file.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// The lines a command file gives, each as "number:bytes" or "number:refusal text".
std::vector<std::string> ReadAll(const std::string& content, std::size_t max_bytes = 64) {
  CommandFile file;
  file.name = "f";
  file.stream = fmemopen(const_cast<char*>(content.data()), content.size(), "rb");
  file.owned = true;
  std::vector<std::string> lines;
  for (;;) {
    CommandFileLine line = NextCommandLine(file, max_bytes);
    if (line.kind == CommandFileLine::End) return lines;
    std::string seen = std::to_string(line.number) + ":";
    if (line.kind == CommandFileLine::Command) {
      for (std::size_t k = 0; k < line.command.count; ++k) seen += std::to_string(line.command.bytes[k]) + " ";
    } else {
      for (const std::string& value : line.refusal.values) seen += value + "|";
    }
    lines.push_back(seen);
  }
}

TEST(NextCommandLine, ReadsCommandsAndRefusesWhatIsNotOne) {
  struct Row {
    std::string content;
    std::vector<std::string> lines;
  };
  const std::string limit(kMaxCommandLineLength - 9, ' ');
  const Row rows[] = {
      {"", {}},
      {"\n# only\r\n \t\n", {}},
      {"1 2 3 4 5", {"1:1 2 3 4 5 "}},
      {"\t-1 +7 0 d 0A#x\r\n\r\n1 2 3 4 5\n", {"1:255 7 0 13 10 ", "3:1 2 3 4 5 "}},
      {"1 2 3 4 zz 5\n", {"1:zz|1|5|"}},
      {"1 2 3 4 1FF\n", {"1:1FF|1|5|"}},
      {std::string("1 2 3 4 0\0 5\n", 13), {std::string("1:0\0|1|5|", 9)}},
      {"1 2 3 4\n", {"1:1|5|"}},
      {"1 2 3 4 5 6 7\n1 2 3 4 5 6\n", {"1:1|6|", "2:1 2 3 4 5 6 "}},
      {"1 2 3 4 5" + limit + "\r\n", {"1:1 2 3 4 5 "}},
      {"1 2 3 4 5" + limit + " \n1 2 3 4 5", {"1:1|4096|", "2:1 2 3 4 5 "}},
      {"1 2 3 4 5" + limit + std::string(10000, ' '), {"1:1|4096|"}},
  };
  for (const Row& row : rows) EXPECT_EQ(ReadAll(row.content, 6), row.lines) << row.content.substr(0, 40);
}

TEST(OpenCommandFile, RefusesAFileThatCannotBeOpened) {
  CommandFile file;
  std::optional<CommandFileLine> refused = OpenCommandFile(file, "/nonexistent/commands");
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->error, 2);
  EXPECT_EQ(refused->refusal.values, (std::vector<std::string>{"/nonexistent/commands", "2"}));
}

}  // namespace
