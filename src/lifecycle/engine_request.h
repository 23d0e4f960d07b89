#pragma once

#include <string>

std::string JsonEscape(const std::string& text);
std::string BuildEngineRequest(const std::string& data_dir, const std::string& config_path);
std::string Base64Encode(const std::string& text);
std::string Base64Decode(const std::string& text);
bool ContainsSuccess(const std::string& decoded_response);
