#include "core/command_file.h"

#include <cerrno>
#include <vector>

#include "core/console.h"
#include "core/texts.h"
#include "core/words.h"

namespace {

CommandFileLine Refusal(std::size_t number, std::wstring_view text, std::vector<std::string> values) {
  CommandFileLine line;
  line.kind = CommandFileLine::Refused;
  line.number = number;
  line.refusal = Message{text, std::move(values)};
  return line;
}

CommandFileLine ReadFailure(const CommandFile& file, std::size_t number, int error) {
  CommandFileLine line = Refusal(number, texts::kCannotReadCommands, {file.name, std::to_string(error)});
  line.kind = CommandFileLine::Failed;
  line.error = error;
  return line;
}

}  // namespace

CommandFile::~CommandFile() {
  if (owned && reader.stream != nullptr) (void)std::fclose(reader.stream);
}

std::optional<CommandFileLine> OpenCommandFile(CommandFile& file, const char* path) {
  file.name = path;
  file.reader.max_length = kMaxCommandLineLength;
  if (file.name == "-") {
    UseBinaryStandardInput();
    file.reader.stream = stdin;
    return std::nullopt;
  }
  errno = 0;
  file.reader.stream = OpenFileForReading(path);
  if (file.reader.stream == nullptr) return ReadFailure(file, 0, errno != 0 ? errno : EIO);
  file.owned = true;
  return std::nullopt;
}

CommandFileLine ParseCommandFileLine(std::string_view text, std::size_t number, std::size_t max_bytes) {
  std::string_view content = text.substr(0, text.find('#'));
  std::vector<std::string_view> words = SplitWords(content);
  std::string line_number = std::to_string(number);
  if (words.empty()) {
    CommandFileLine skipped;
    skipped.kind = CommandFileLine::Skipped;
    skipped.number = number;
    return skipped;
  }
  if (words.size() < kFewestCommandBytes) {
    return Refusal(number, texts::kLineTooFew, {line_number, std::to_string(kFewestCommandBytes)});
  }
  CommandFileLine line;
  line.kind = CommandFileLine::Command;
  line.number = number;
  if (words.size() > max_bytes || words.size() > line.command.bytes.size()) {
    return Refusal(number, texts::kLineTooMany, {line_number, std::to_string(max_bytes)});
  }
  for (std::size_t k = 0; k < words.size(); ++k) {
    std::string word(words[k]);
    // A NUL would end the word early for the converter; no byte the user did not type
    // may go out.
    std::optional<std::uint8_t> byte =
        word.find('\0') == std::string::npos ? ConvertCommandByte(word.c_str()) : std::nullopt;
    if (!byte) return Refusal(number, texts::kLineInvalidByte, {word, line_number, std::to_string(k + 1)});
    line.command.bytes[k] = *byte;
  }
  line.command.count = words.size();
  return line;
}

CommandFileLine NextCommandLine(CommandFile& file, std::size_t max_bytes) {
  for (;;) {
    TextLine text = ReadTextLine(file.reader);
    switch (text.kind) {
      case TextLine::End:
        return CommandFileLine{};
      case TextLine::Failed:
        return ReadFailure(file, text.number, text.error);
      case TextLine::Utf16Bare: {
        CommandFileLine line = Refusal(text.number, texts::kCommandsUtf16Bare, {file.name});
        line.kind = CommandFileLine::Failed;
        return line;
      }
      case TextLine::TooLong:
        return Refusal(text.number, texts::kLineTooLong,
                       {std::to_string(text.number), std::to_string(kMaxCommandLineLength)});
      case TextLine::Text:
        break;
    }
    CommandFileLine line = ParseCommandFileLine(text.text, text.number, max_bytes);
    if (line.kind != CommandFileLine::Skipped) return line;
  }
}
