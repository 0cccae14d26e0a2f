#include "core/answer_layout.h"

#include "core/texts.h"

namespace {

constexpr std::array<std::uint8_t, 15> kLengthByCode{6, 8, 7, 8, 9, 8, 23, 7, 10, 7, 7, 7, 7, 7, 7};

namespace keys = texts::keys;

constexpr std::array<Verdict, 8> kErrorByStatus{{
    {},
    {texts::kNoHeader, false, keys::kNoHeader},
    {texts::kNoFooter, false, keys::kNoFooter},
    {texts::kBadInstruction, false, keys::kBadInstruction},
    {texts::kChannelOutOfRange, false, keys::kChannelOutOfRange},
    {texts::kAddressOutOfRange, false, keys::kAddressOutOfRange},
    {texts::kBadFormat, false, keys::kBadFormat},
    {texts::kKnobInUse, false, keys::kKnobInUse},
}};

constexpr std::size_t kShortestFrame = 6;

}  // namespace

std::size_t ResponseLength(std::uint8_t command_code) {
  return command_code < kLengthByCode.size() ? kLengthByCode[command_code] : 0;
}

Verdict SelectVerdict(const CommandBuffer& command, const ResponseBuffer& answer, std::size_t length) {
  std::uint8_t status = answer[3];
  if (status >= kErrorByStatus.size()) return {texts::kUnexpected, false, keys::kUnexpected};
  if (status != 0) return kErrorByStatus[status];
  bool echo = answer[0] == command[0] && answer[1] == command[1] && answer[2] == command[2];
  bool footer = length >= 2 && length <= answer.size() && answer[length - 2] == ResponseFooter[0] &&
                answer[length - 1] == ResponseFooter[1];
  if (echo && footer) return {texts::kSuccess, true, keys::kCarriedOut};
  return {texts::kMismatch, false, keys::kMismatch};
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
