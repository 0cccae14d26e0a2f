#include "core/answer_layout.h"

#include "core/texts.h"

namespace {

constexpr std::array<std::uint8_t, 15> kLengthByCode{6, 8, 7, 8, 9, 8, 23, 7, 10, 7, 7, 7, 7, 7, 7};

constexpr std::array<std::wstring_view, 8> kErrorByStatus{
    std::wstring_view{},       texts::kNoHeader,          texts::kNoFooter,  texts::kBadInstruction,
    texts::kChannelOutOfRange, texts::kAddressOutOfRange, texts::kBadFormat, texts::kKnobInUse,
};

constexpr std::size_t kShortestFrame = 6;

}  // namespace

std::size_t ResponseLength(std::uint8_t command_code) {
  return command_code < kLengthByCode.size() ? kLengthByCode[command_code] : 0;
}

Verdict SelectVerdict(const CommandBuffer& command, const ResponseBuffer& answer, std::size_t length) {
  std::uint8_t status = answer[3];
  if (status >= kErrorByStatus.size()) return {texts::kUnexpected, false};
  if (status != 0) return {kErrorByStatus[status], false};
  bool echo = answer[0] == command[0] && answer[1] == command[1] && answer[2] == command[2];
  bool footer = length >= 2 && length <= answer.size() && answer[length - 2] == ResponseFooter[0] &&
                answer[length - 1] == ResponseFooter[1];
  if (echo && footer) return {texts::kSuccess, true};
  return {texts::kMismatch, false};
}

bool AnswerIsWhole(const ResponseBuffer& answer, std::size_t received) {
  if (received >= answer.size()) return true;
  if (received < 3) return false;
  std::size_t length = ResponseLength(answer[2]);
  return length != 0 && received >= length;
}

Answer BuildAnswer(const CommandBuffer& command, std::uint8_t status) {
  Answer answer;
  std::size_t length = ResponseLength(command[2]);
  answer.length = length != 0 ? length : kShortestFrame;
  answer.bytes[0] = command[0];
  answer.bytes[1] = command[1];
  answer.bytes[2] = command[2];
  answer.bytes[3] = status;
  answer.bytes[answer.length - 2] = ResponseFooter[0];
  answer.bytes[answer.length - 1] = ResponseFooter[1];
  return answer;
}
