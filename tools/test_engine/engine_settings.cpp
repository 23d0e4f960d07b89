#include "engine_settings.h"

#include <cctype>
#include <string>
#include <vector>

namespace {

// A parsed JSON value: small enough for a configuration file.
struct JsonValue {
  enum class Kind { kNull, kBool, kNumber, kString, kArray, kObject };
  Kind kind = Kind::kNull;
  std::string text;                 // string contents, or a number as written
  std::vector<JsonValue> items;     // array elements, or object member values
  std::vector<std::string> keys;    // object member names, beside items
};

struct JsonCursor {
  const std::string& text;
  size_t at = 0;
  int depth = 0;
};

// Deeper nesting than any configuration has is refused rather than risking
// the stack.
constexpr int kMaxDepth = 64;

void SkipSpace(JsonCursor* cursor) {
  while (cursor->at < cursor->text.size() &&
         std::isspace(static_cast<unsigned char>(cursor->text[cursor->at]))) {
    ++cursor->at;
  }
}

bool Take(JsonCursor* cursor, char wanted) {
  SkipSpace(cursor);
  if (cursor->at >= cursor->text.size() || cursor->text[cursor->at] != wanted) return false;
  ++cursor->at;
  return true;
}

void AppendUtf8(unsigned code_point, std::string* out) {
  if (code_point < 0x80) {
    *out += static_cast<char>(code_point);
  } else if (code_point < 0x800) {
    *out += static_cast<char>(0xc0 | (code_point >> 6));
    *out += static_cast<char>(0x80 | (code_point & 0x3f));
  } else if (code_point < 0x10000) {
    *out += static_cast<char>(0xe0 | (code_point >> 12));
    *out += static_cast<char>(0x80 | ((code_point >> 6) & 0x3f));
    *out += static_cast<char>(0x80 | (code_point & 0x3f));
  } else {
    *out += static_cast<char>(0xf0 | (code_point >> 18));
    *out += static_cast<char>(0x80 | ((code_point >> 12) & 0x3f));
    *out += static_cast<char>(0x80 | ((code_point >> 6) & 0x3f));
    *out += static_cast<char>(0x80 | (code_point & 0x3f));
  }
}

bool ParseHex4(JsonCursor* cursor, unsigned* value) {
  if (cursor->at + 4 > cursor->text.size()) return false;
  *value = 0;
  for (int i = 0; i < 4; ++i) {
    const char c = cursor->text[cursor->at++];
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    *value = *value * 16 + static_cast<unsigned>(std::isdigit(static_cast<unsigned char>(c))
                                                     ? c - '0'
                                                     : std::tolower(c) - 'a' + 10);
  }
  return true;
}

bool ParseString(JsonCursor* cursor, std::string* out) {
  if (!Take(cursor, '"')) return false;
  const std::string& text = cursor->text;
  while (cursor->at < text.size()) {
    const char c = text[cursor->at++];
    if (c == '"') return true;
    if (static_cast<unsigned char>(c) < 0x20) return false;
    if (c != '\\') {
      *out += c;
      continue;
    }
    if (cursor->at >= text.size()) return false;
    const char escape = text[cursor->at++];
    unsigned code_point = 0;
    switch (escape) {
      case '"': case '\\': case '/': *out += escape; break;
      case 'b': *out += '\b'; break;
      case 'f': *out += '\f'; break;
      case 'n': *out += '\n'; break;
      case 'r': *out += '\r'; break;
      case 't': *out += '\t'; break;
      case 'u':
        if (!ParseHex4(cursor, &code_point)) return false;
        if (code_point >= 0xd800 && code_point < 0xdc00 && text.compare(cursor->at, 2, "\\u") == 0) {
          unsigned low = 0;
          cursor->at += 2;
          if (!ParseHex4(cursor, &low) || low < 0xdc00 || low >= 0xe000) return false;
          code_point = 0x10000 + ((code_point - 0xd800) << 10) + (low - 0xdc00);
        }
        AppendUtf8(code_point, out);
        break;
      default: return false;
    }
  }
  return false;
}

bool ParseValue(JsonCursor* cursor, JsonValue* value);

bool ParseMembers(JsonCursor* cursor, JsonValue* object) {
  if (Take(cursor, '}')) return true;
  do {
    object->keys.emplace_back();
    object->items.emplace_back();
    if (!ParseString(cursor, &object->keys.back()) || !Take(cursor, ':') ||
        !ParseValue(cursor, &object->items.back())) {
      return false;
    }
  } while (Take(cursor, ','));
  return Take(cursor, '}');
}

bool ParseItems(JsonCursor* cursor, JsonValue* array) {
  if (Take(cursor, ']')) return true;
  do {
    array->items.emplace_back();
    if (!ParseValue(cursor, &array->items.back())) return false;
  } while (Take(cursor, ','));
  return Take(cursor, ']');
}

// Numbers and the three literals, kept as written.
bool ParseScalar(JsonCursor* cursor, JsonValue* value) {
  const std::string& text = cursor->text;
  for (const char* literal : {"true", "false", "null"}) {
    if (text.compare(cursor->at, std::char_traits<char>::length(literal), literal) == 0) {
      value->kind = literal[0] == 'n' ? JsonValue::Kind::kNull : JsonValue::Kind::kBool;
      value->text = literal;
      cursor->at += value->text.size();
      return true;
    }
  }
  const size_t start = cursor->at;
  while (cursor->at < text.size() &&
         (std::isdigit(static_cast<unsigned char>(text[cursor->at])) ||
          std::string("+-.eE").find(text[cursor->at]) != std::string::npos)) {
    ++cursor->at;
  }
  value->kind = JsonValue::Kind::kNumber;
  value->text = text.substr(start, cursor->at - start);
  return !value->text.empty();
}

bool ParseValue(JsonCursor* cursor, JsonValue* value) {
  SkipSpace(cursor);
  if (cursor->at >= cursor->text.size() || cursor->depth >= kMaxDepth) return false;
  const char first = cursor->text[cursor->at];
  if (first == '"') {
    value->kind = JsonValue::Kind::kString;
    return ParseString(cursor, &value->text);
  }
  if (first != '{' && first != '[') return ParseScalar(cursor, value);
  ++cursor->at;
  ++cursor->depth;
  value->kind = first == '{' ? JsonValue::Kind::kObject : JsonValue::Kind::kArray;
  const bool ok = first == '{' ? ParseMembers(cursor, value) : ParseItems(cursor, value);
  --cursor->depth;
  return ok;
}

bool SameIgnoringCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

const JsonValue* Member(const JsonValue* object, const std::string& key) {
  if (object == nullptr || object->kind != JsonValue::Kind::kObject) return nullptr;
  const JsonValue* found = nullptr;
  for (size_t i = 0; i < object->keys.size(); ++i) {
    if (SameIgnoringCase(object->keys[i], key)) found = &object->items[i];
  }
  return found;
}

const JsonValue* FirstItem(const JsonValue* array) {
  if (array == nullptr || array->kind != JsonValue::Kind::kArray || array->items.empty()) {
    return nullptr;
  }
  return &array->items.front();
}

std::string StringOf(const JsonValue* value) {
  return value != nullptr && value->kind == JsonValue::Kind::kString ? value->text : "";
}

// A port is a whole number, or a string holding one.
std::string PortOf(const JsonValue* value) {
  if (value == nullptr ||
      (value->kind != JsonValue::Kind::kNumber && value->kind != JsonValue::Kind::kString)) {
    return {};
  }
  if (value->text.empty() || value->text.size() > 5 ||
      value->text.find_first_not_of("0123456789") != std::string::npos) {
    return {};
  }
  return value->text;
}

}  // namespace

EngineSettings ReadEngineSettings(const std::string& config_text) {
  JsonValue root;
  JsonCursor cursor{config_text};
  if (!ParseValue(&cursor, &root)) return {};
  SkipSpace(&cursor);
  if (cursor.at != config_text.size()) return {};

  EngineSettings settings;
  const JsonValue* inbounds = Member(&root, "inbounds");
  if (inbounds != nullptr && inbounds->kind == JsonValue::Kind::kArray) {
    for (const JsonValue& inbound : inbounds->items) {
      if (!SameIgnoringCase(StringOf(Member(&inbound, "protocol")), "tun")) continue;
      settings.tun_name = StringOf(Member(Member(&inbound, "settings"), "name"));
      break;
    }
  }
  const JsonValue* server =
      FirstItem(Member(Member(FirstItem(Member(&root, "outbounds")), "settings"), "vnext"));
  settings.server_address = StringOf(Member(server, "address"));
  settings.server_port = PortOf(Member(server, "port"));
  return settings;
}
