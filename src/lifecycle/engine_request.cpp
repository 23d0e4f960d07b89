#include "lifecycle/engine_request.h"

#include <glib.h>

namespace {
constexpr char kHexDigits[] = "0123456789abcdef";
}

std::string JsonEscape(const std::string& text) {
  std::string escaped;
  escaped.reserve(text.size());
  for (const char c : text) {
    const unsigned char byte = static_cast<unsigned char>(c);
    switch (c) {
      case '\t': escaped += "\\t"; break;
      case '\n': escaped += "\\n"; break;
      case '\r': escaped += "\\r"; break;
      case '"': escaped += "\\\""; break;
      case '\\': escaped += "\\\\"; break;
      default:
        // Any other control byte would make the request invalid JSON.
        if (byte < 0x20) {
          escaped += "\\u00";
          escaped += kHexDigits[byte >> 4];
          escaped += kHexDigits[byte & 0xf];
        } else {
          escaped += c;
        }
    }
  }
  return escaped;
}

std::string BuildEngineRequest(const std::string& data_dir, const std::string& config_path) {
  return "{\"datDir\":\"" + JsonEscape(data_dir) + "\",\"mphCachePath\":\"\",\"configPath\":\"" +
         JsonEscape(config_path) + "\"}";
}

std::string Base64Encode(const std::string& text) {
  gchar* encoded = g_base64_encode(reinterpret_cast<const guchar*>(text.data()), text.size());
  if (encoded == nullptr) return {};
  std::string result(encoded);
  g_free(encoded);
  return result;
}

std::string Base64Decode(const std::string& text) {
  gsize length = 0;
  guchar* decoded = g_base64_decode(text.c_str(), &length);
  if (decoded == nullptr) return {};
  std::string result(reinterpret_cast<const char*>(decoded), length);
  g_free(decoded);
  return result;
}

bool ContainsSuccess(const std::string& decoded_response) {
  return decoded_response.find("\"success\":true") != std::string::npos ||
         decoded_response.find("\"success\": true") != std::string::npos;
}
