// What the tools are expected to print, spelled out here independently of the tools'
// own text table, so that a changed byte in a label or message fails the tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace expected {

inline const std::string kSentLabel = "Send Command / 送信コマンド： ";
inline const std::string kReceivedLabel = "Receive Command / 受信コマンド： ";

inline const std::string kSuccess = "\n送信コマンドを正しく実行しました。";
inline const std::string kMismatch = "\n受信コマンドが送信コマンドと一致していません。";
inline const std::vector<std::string> kByStatus = {
    kSuccess,
    "\n送信コマンドのヘッダーが検出されませんでした。",
    "\n送信コマンドのフッターが検出されませんでした。",
    "\n送信コマンドの命令が正しくありません。",
    "\n送信コマンドのチャンネルが範囲外です。",
    "\n送信コマンドのアドレスが範囲外です。",
    "\n送信コマンドの形式が正しくありません。",
    "\n電源本体のつまみによる内部調光を使用中のため、外部調光方式が利用できません。",
};
inline const std::string kUnexpected = "\n予想外のエラーを受信しました。";

inline const std::string kArgumentCount = "\nPlease check the number of the arguments. 引数の数を確認してください。\n";

inline std::string InvalidByte(const std::string& argument, int position) {
  return "\nInvalid command byte \"" + argument + "\" (argument " + std::to_string(position) +
         "). 送信コマンドのバイトが正しくありません。\n";
}
inline std::string TooMany(int most) {
  return "\nToo many command bytes: at most " + std::to_string(most) + ". 送信コマンドのバイト数が多すぎます。\n";
}
inline std::string InvalidPort(const std::string& text) {
  return "\nInvalid port \"" + text + "\". ポート番号が正しくありません。\n";
}
inline std::string InvalidAddress(const std::string& text) {
  return "\nInvalid address \"" + text + "\". アドレスが正しくありません。\n";
}
inline std::string ConnectFailed(long error) {
  return "\nConnected failed with error:" + std::to_string(error) + ". LAN電源への接続が失敗しました。\n";
}
inline std::string ReceiveFailed(long error) {
  return "\nReceive failed with error:" + std::to_string(error) + ". LAN電源からの受信が失敗しました。\n";
}
inline const std::string kClosedWithoutAnswer =
    "\nThe connection was closed without an answer. LAN電源が応答せずに接続を閉じました。\n";

inline const std::string kSupplyNotFound = "\nLAN電源・USB電源を見つかりませんでした。";
inline const std::string kUsbSendFailed = "\nLAN電源・USB電源がUSBへの送信は失敗しました。";
inline const std::string kUsbReceiveFailed = "\nLAN電源・USB電源からUSBでの受信は失敗しました。";

// "A1 B2 00" as bytes.
std::vector<std::uint8_t> Hex(const std::string& text);

// A transcript line: label, NUL, then "XX " and a NUL per byte, then two line ends.
std::string Line(const std::string& label, const std::vector<std::uint8_t>& bytes);

inline std::string Sent(const std::string& hex) { return Line(kSentLabel, Hex(hex)); }
inline std::string Received(const std::string& hex) { return Line(kReceivedLabel, Hex(hex)); }

// The same text in code page 932.
std::string ToCodePage932(const std::string& utf8);

// A byte as two upper-case hex digits.
std::string Hex2(int value);

// Splits "A1 B2 00" into its words.
std::vector<std::string> Words(const std::string& text);

}  // namespace expected
