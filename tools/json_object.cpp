#include "tools/json_object.h"

#include <cstdint>

namespace {

struct Cursor {
  std::string_view text;
  std::size_t at = 0;

  bool AtEnd() const { return at >= text.size(); }
  char Peek() const { return AtEnd() ? '\0' : text[at]; }
};

using Fault = std::optional<std::string>;

void SkipBlanks(Cursor& in) {
  while (!in.AtEnd() && (in.Peek() == ' ' || in.Peek() == '\t' || in.Peek() == '\n' || in.Peek() == '\r')) ++in.at;
}

bool Take(Cursor& in, char expected) {
  if (in.AtEnd() || in.text[in.at] != expected) return false;
  ++in.at;
  return true;
}

void AppendUtf8(std::string& out, std::uint32_t code) {
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xC0 | (code >> 6));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    out += static_cast<char>(0xE0 | (code >> 12));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (code >> 18));
    out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

std::optional<std::uint32_t> HexQuad(Cursor& in) {
  if (in.text.size() - in.at < 4) return std::nullopt;
  std::uint32_t value = 0;
  for (int k = 0; k < 4; ++k) {
    char c = in.text[in.at++];
    std::uint32_t digit = 0;
    if (c >= '0' && c <= '9') {
      digit = static_cast<std::uint32_t>(c - '0');
    } else if ((c | 0x20) >= 'a' && (c | 0x20) <= 'f') {
      digit = static_cast<std::uint32_t>((c | 0x20) - 'a' + 10);
    } else {
      return std::nullopt;
    }
    value = value * 16 + digit;
  }
  return value;
}

// After "\u": one code point, a UTF-16 surrogate pair taken together.
Fault UnicodeEscape(Cursor& in, std::string& out) {
  std::optional<std::uint32_t> high = HexQuad(in);
  if (!high) return "bad \\u escape";
  if (*high >= 0xDC00 && *high <= 0xDFFF) return "lone surrogate in a string";
  if (*high < 0xD800 || *high > 0xDBFF) {
    AppendUtf8(out, *high);
    return std::nullopt;
  }
  if (!Take(in, '\\') || !Take(in, 'u')) return "lone surrogate in a string";
  std::optional<std::uint32_t> low = HexQuad(in);
  if (!low || *low < 0xDC00 || *low > 0xDFFF) return "lone surrogate in a string";
  AppendUtf8(out, 0x10000 + ((*high - 0xD800) << 10) + (*low - 0xDC00));
  return std::nullopt;
}

Fault String(Cursor& in, std::string& out) {
  if (!Take(in, '"')) return "a string expected";
  while (!in.AtEnd()) {
    char c = in.text[in.at++];
    if (c == '"') return std::nullopt;
    if (static_cast<unsigned char>(c) < 0x20) return "control character in a string";
    if (c != '\\') {
      out += c;
      continue;
    }
    char escape = in.Peek();
    ++in.at;
    static constexpr std::string_view kFrom = "\"\\/bfnrt";
    static constexpr std::string_view kTo = "\"\\/\b\f\n\r\t";
    if (escape == 'u') {
      if (Fault fault = UnicodeEscape(in, out)) return fault;
    } else if (escape != '\0' && kFrom.find(escape) != std::string_view::npos) {
      out += kTo[kFrom.find(escape)];
    } else {
      return "bad escape in a string";
    }
  }
  return "unended string";
}

std::size_t Digits(Cursor& in) {
  std::size_t start = in.at;
  while (!in.AtEnd() && in.Peek() >= '0' && in.Peek() <= '9') ++in.at;
  return in.at - start;
}

// -?(0|[1-9][0-9]*)(.[0-9]+)?([eE][+-]?[0-9]+)?
Fault Number(Cursor& in, std::string& out) {
  std::size_t start = in.at;
  (void)Take(in, '-');
  if (in.Peek() == '0') {
    ++in.at;
  } else if (Digits(in) == 0) {
    return "bad value";
  }
  if (Take(in, '.') && Digits(in) == 0) return "bad number";
  if (Take(in, 'e') || Take(in, 'E')) {
    if (!Take(in, '+')) (void)Take(in, '-');
    if (Digits(in) == 0) return "bad number";
  }
  out.assign(in.text.substr(start, in.at - start));
  return std::nullopt;
}

bool Word(Cursor& in, std::string_view word) {
  if (in.text.substr(in.at, word.size()) != word) return false;
  in.at += word.size();
  return true;
}

Fault Value(Cursor& in, JsonValue& value) {
  char c = in.Peek();
  if (c == '"') {
    value.type = JsonType::String;
    return String(in, value.text);
  }
  if (c == '{' || c == '[') return "nested objects and arrays are not taken";
  if (Word(in, "null")) return std::nullopt;
  value.boolean = Word(in, "true");
  if (value.boolean || Word(in, "false")) {
    value.type = JsonType::Boolean;
    return std::nullopt;
  }
  value.type = JsonType::Number;
  return Number(in, value.text);
}

Fault Member(Cursor& in, JsonObject& object) {
  std::string key;
  if (Fault fault = String(in, key)) return fault;
  if (FindJsonKey(object, key) != nullptr) return "key \"" + key + "\" given twice";
  SkipBlanks(in);
  if (!Take(in, ':')) return "':' expected after a key";
  SkipBlanks(in);
  JsonValue value;
  if (Fault fault = Value(in, value)) return fault;
  object.emplace_back(std::move(key), std::move(value));
  return std::nullopt;
}

}  // namespace

std::optional<std::string> ReadJsonObject(std::string_view text, JsonObject& object) {
  Cursor in{text};
  SkipBlanks(in);
  if (!Take(in, '{')) return "a JSON object expected";
  SkipBlanks(in);
  if (!Take(in, '}')) {
    do {
      SkipBlanks(in);
      if (Fault fault = Member(in, object)) return fault;
      SkipBlanks(in);
    } while (Take(in, ','));
    if (!Take(in, '}')) return "',' or '}' expected";
  }
  SkipBlanks(in);
  if (!in.AtEnd()) return "text after the object";
  return std::nullopt;
}

const JsonValue* FindJsonKey(const JsonObject& object, std::string_view key) {
  for (const auto& [name, value] : object) {
    if (name == key) return &value;
  }
  return nullptr;
}
