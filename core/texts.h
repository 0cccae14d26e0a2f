// Every text the tools print, in one place. Messages begin with a line feed and are
// printed through PrintMessage; the two labels start the transcript lines.
// Placeholders: %s is replaced by an argument as the user typed it, %d and %ld by a
// signed decimal number.
#pragma once

#include <array>
#include <string_view>

namespace texts {

inline constexpr std::wstring_view kSentLabel = L"Send Command / 送信コマンド： ";
inline constexpr std::wstring_view kReceivedLabel = L"Receive Command / 受信コマンド： ";

// Verdicts, chosen from the answer's status byte.
inline constexpr std::wstring_view kSuccess = L"\n送信コマンドを正しく実行しました。";
inline constexpr std::wstring_view kMismatch = L"\n受信コマンドが送信コマンドと一致していません。";
inline constexpr std::wstring_view kNoHeader = L"\n送信コマンドのヘッダーが検出されませんでした。";
inline constexpr std::wstring_view kNoFooter = L"\n送信コマンドのフッターが検出されませんでした。";
inline constexpr std::wstring_view kBadInstruction = L"\n送信コマンドの命令が正しくありません。";
inline constexpr std::wstring_view kChannelOutOfRange = L"\n送信コマンドのチャンネルが範囲外です。";
inline constexpr std::wstring_view kAddressOutOfRange = L"\n送信コマンドのアドレスが範囲外です。";
inline constexpr std::wstring_view kBadFormat = L"\n送信コマンドの形式が正しくありません。";
inline constexpr std::wstring_view kKnobInUse =
    L"\n電源本体のつまみによる内部調光を使用中のため、外部調光方式が利用できません。";
inline constexpr std::wstring_view kUnexpected = L"\n予想外のエラーを受信しました。";

// Command line.
inline constexpr std::wstring_view kArgumentCount =
    L"\nPlease check the number of the arguments. 引数の数を確認してください。\n";
inline constexpr std::wstring_view kInvalidByte =
    L"\nInvalid command byte \"%s\" (argument %d). 送信コマンドのバイトが正しくありません。\n";
inline constexpr std::wstring_view kTooManyBytes =
    L"\nToo many command bytes: at most %d. 送信コマンドのバイト数が多すぎます。\n";
inline constexpr std::wstring_view kInvalidPort = L"\nInvalid port \"%s\". ポート番号が正しくありません。\n";
inline constexpr std::wstring_view kInvalidAddress = L"\nInvalid address \"%s\". アドレスが正しくありません。\n";

// Command file (--commands). Lines are counted from 1, bytes on a line from 1.
inline constexpr std::wstring_view kCannotReadCommands =
    L"\nCannot read the command file \"%s\": error %d. コマンドファイルを読み込めません。\n";
inline constexpr std::wstring_view kCommandsUtf16Bare =
    L"\nCannot read the command file \"%s\": UTF-16 without a byte order mark; save it as UTF-8 or as UTF-16 "
    L"with one. コマンドファイルはBOMのないUTF-16のため読み込めません。\n";
inline constexpr std::wstring_view kLineInvalidByte =
    L"\nInvalid command byte \"%s\" (line %d, byte %d). 送信コマンドのバイトが正しくありません。\n";
inline constexpr std::wstring_view kLineTooMany =
    L"\nToo many command bytes on line %d: at most %d. 送信コマンドのバイト数が多すぎます。\n";
inline constexpr std::wstring_view kLineTooFew =
    L"\nToo few command bytes on line %d: at least %d. 送信コマンドのバイト数が足りません。\n";
inline constexpr std::wstring_view kLineTooLong =
    L"\nLine %d is too long: at most %d characters. コマンドファイルの行が長すぎます。\n";

// LAN transport.
inline constexpr std::wstring_view kSocketStartupFailed = L"\nWSAStartup failed with error: %d\n";
inline constexpr std::wstring_view kSocketFailed = L"\nSocket failed with error: %ld\n";
inline constexpr std::wstring_view kConnectFailed =
    L"\nConnected failed with error:%ld. LAN電源への接続が失敗しました。\n";
inline constexpr std::wstring_view kSendFailed = L"\nSend failed with error:%ld. LAN電源への送信が失敗しました。\n";
inline constexpr std::wstring_view kReceiveFailed =
    L"\nReceive failed with error:%ld. LAN電源からの受信が失敗しました。\n";
inline constexpr std::wstring_view kClosedWithoutAnswer =
    L"\nThe connection was closed without an answer. LAN電源が応答せずに接続を閉じました。\n";

// USB transport.
inline constexpr std::wstring_view kSupplyNotFound = L"\nLAN電源・USB電源を見つかりませんでした。";
inline constexpr std::wstring_view kUsbSendFailed = L"\nLAN電源・USB電源がUSBへの送信は失敗しました。";
inline constexpr std::wstring_view kUsbSendFailedWithError =
    L"\nLAN電源・USB電源がUSBへの送信は失敗しました。Error Code = %ld";
inline constexpr std::wstring_view kUsbReceiveFailed = L"\nLAN電源・USB電源からUSBでの受信は失敗しました。";
inline constexpr std::wstring_view kUsbReceiveFailedWithError =
    L"\nLAN電源・USB電源からUSBでの受信は失敗しました。Error Code = %ld";
inline constexpr std::wstring_view kBadWait =
    L"\nInvalid wait \"%s\" (0 to 86400 seconds). 待ち時間が正しくありません。\n";
inline constexpr std::wstring_view kSupplyBusy =
    L"\nThe power supply is busy with another exchange. USB電源は別の送受信で使用中です。\n";
inline constexpr std::wstring_view kLockFailed =
    L"\nCannot take the power supply's lock: error %ld. USB電源の排他ロックを取得できません。\n";

// The library's: an exchange ended by dimlink_interrupt.
inline constexpr std::wstring_view kInterrupted = L"\nThe exchange was interrupted. 送受信が中断されました。\n";

// Written on standard error after the program's name, then the system's reason, when
// standard output could not be written; ASCII, so not in kAll.
inline constexpr std::string_view kCannotWriteOutput = ": cannot write standard output: ";

// All of the above: the console uses the locale's own encoding only when it can
// encode every one of them, so that no message is ever lost to the locale.
inline constexpr std::array kAll{
    kSentLabel,
    kReceivedLabel,
    kSuccess,
    kMismatch,
    kNoHeader,
    kNoFooter,
    kBadInstruction,
    kChannelOutOfRange,
    kAddressOutOfRange,
    kBadFormat,
    kKnobInUse,
    kUnexpected,
    kArgumentCount,
    kInvalidByte,
    kTooManyBytes,
    kInvalidPort,
    kInvalidAddress,
    kCannotReadCommands,
    kCommandsUtf16Bare,
    kLineInvalidByte,
    kLineTooMany,
    kLineTooFew,
    kLineTooLong,
    kSocketStartupFailed,
    kSocketFailed,
    kConnectFailed,
    kSendFailed,
    kReceiveFailed,
    kClosedWithoutAnswer,
    kSupplyNotFound,
    kUsbSendFailed,
    kUsbSendFailedWithError,
    kUsbReceiveFailed,
    kUsbReceiveFailedWithError,
    kBadWait,
    kSupplyBusy,
    kLockFailed,
    kInterrupted,
};

// The fixed English key of each verdict and failure, for output that programs read
// (--json). The answer's verdicts are chosen in answer_layout.cpp beside their texts.
namespace keys {
inline constexpr std::string_view kCarriedOut = "carried-out";
inline constexpr std::string_view kMismatch = "mismatch";
inline constexpr std::string_view kNoHeader = "header-not-detected";
inline constexpr std::string_view kNoFooter = "footer-not-detected";
inline constexpr std::string_view kBadInstruction = "invalid-instruction";
inline constexpr std::string_view kChannelOutOfRange = "channel-out-of-range";
inline constexpr std::string_view kAddressOutOfRange = "address-out-of-range";
inline constexpr std::string_view kBadFormat = "invalid-format";
inline constexpr std::string_view kKnobInUse = "knob-in-use";
inline constexpr std::string_view kUnexpected = "unexpected-error";
inline constexpr std::string_view kBadCommand = "bad-command";  // command line or command file refused
inline constexpr std::string_view kNotFound = "not-found";
inline constexpr std::string_view kBusy = "busy";
inline constexpr std::string_view kLockFailed = "lock-failed";        // the lock cannot be had at all
inline constexpr std::string_view kConnectFailed = "connect-failed";  // also: sockets unavailable
inline constexpr std::string_view kSendFailed = "send-failed";
inline constexpr std::string_view kReceiveFailed = "receive-failed";
inline constexpr std::string_view kClosed = "closed";
// The library's own: an exchange ended by dimlink_interrupt, a call refused for its
// arguments, and a failure inside the library.
inline constexpr std::string_view kInterrupted = "interrupted";
inline constexpr std::string_view kInvalidCall = "invalid-call";
inline constexpr std::string_view kInternalError = "internal-error";

// Every key, for callers that need them as C strings: each is a whole string literal,
// so its data() ends with a NUL.
inline constexpr std::array kAll{kCarriedOut,     kMismatch,          kNoHeader,          kNoFooter,
                                 kBadInstruction, kChannelOutOfRange, kAddressOutOfRange, kBadFormat,
                                 kKnobInUse,      kUnexpected,        kBadCommand,        kNotFound,
                                 kBusy,           kConnectFailed,     kSendFailed,        kReceiveFailed,
                                 kClosed,         kLockFailed,        kInterrupted,       kInvalidCall,
                                 kInternalError};
}  // namespace keys

}  // namespace texts
