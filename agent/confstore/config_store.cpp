#include "agent/confstore/config_store.h"

#include <openssl/evp.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/codec.h"

namespace {

// A UTF-16 copy the caller hands back through FreeString, or null.
char16_t* wide_copy(const std::string& utf8) {
  using platform::CP_UTF8;
  using platform::MB_ERR_INVALID_CHARS;
  using platform::MultiByteToWideChar;
  int units = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.c_str(), -1, nullptr, 0);
  if (units <= 0) return nullptr;
  auto* wide = static_cast<char16_t*>(std::calloc(static_cast<size_t>(units), sizeof(char16_t)));
  if (!wide) return nullptr;
  if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.c_str(), -1, wide, units) != units) {
    std::free(wide);
    return nullptr;
  }
  return wide;
}

// A text holding a NUL is no text: cut there it would pass for a shorter value.
const std::string* text_of(const nlohmann::json* value) {
  if (!value || !value->is_string()) return nullptr;
  const auto* text = value->get_ptr<const std::string*>();
  return text->find('\0') == std::string::npos ? text : nullptr;
}

// Strict base64 with padding; false for anything else.
bool base64_decode(const std::string& text, uint8_t*& out, uint32_t& length) {
  if (text.size() % 4 != 0 || text.size() > 0xFFFFFFF0u) return false;
  size_t padding = 0;
  if (!text.empty() && text[text.size() - 1] == '=') ++padding;
  if (text.size() > 1 && text[text.size() - 2] == '=') ++padding;
  // EVP_DecodeBlock reads "=" anywhere as a zero digit: only the padding may be one.
  if (text.find('=') < text.size() - padding) return false;
  auto* block = static_cast<uint8_t*>(std::malloc(text.size() / 4 * 3 + 1));
  if (!block) return false;
  // EVP_DecodeBlock would skip surrounding white space; a value has none.
  bool clean = text.find_first_of(" \t\r\n") == std::string::npos;
  int decoded = clean ? EVP_DecodeBlock(block, reinterpret_cast<const unsigned char*>(text.data()),
                                        static_cast<int>(text.size()))
                      : -1;
  if (decoded < 0 || static_cast<size_t>(decoded) < padding) {
    std::free(block);
    return false;
  }
  out = block;
  length = static_cast<uint32_t>(static_cast<size_t>(decoded) - padding);
  return true;
}

}  // namespace

const nlohmann::json* ConfigStore::find(const char* key) const {
  if (!key) return nullptr;
  auto it = values_.find(key);
  return it == values_.end() ? nullptr : &*it;
}

char* ConfigStore::GetStringA(const char* key) {
  try {
    const std::string* text = text_of(find(key));
    if (!text) return nullptr;
    auto* copy = static_cast<char*>(std::malloc(text->size() + 1));
    if (!copy) return nullptr;
    std::memcpy(copy, text->c_str(), text->size() + 1);
    return copy;
  } catch (...) {
    return nullptr;
  }
}

char16_t* ConfigStore::GetString(const char* key) {
  try {
    const std::string* text = text_of(find(key));
    return text ? wide_copy(*text) : nullptr;
  } catch (...) {
    return nullptr;
  }
}

char16_t* ConfigStore::GetStringEx(const char* key) { return GetString(key); }

uint32_t ConfigStore::GetDword(const char* key) {
  try {
    const nlohmann::json* value = find(key);
    if (!value) return CONFIG_NO_NUMBER;
    if (value->is_number_unsigned()) {
      auto number = value->get<uint64_t>();
      return number <= 0xFFFFFFFFu ? static_cast<uint32_t>(number) : CONFIG_NO_NUMBER;
    }
    if (value->is_number_integer()) {
      auto number = value->get<int64_t>();
      return number >= 0 && number <= 0xFFFFFFFFll ? static_cast<uint32_t>(number) : CONFIG_NO_NUMBER;
    }
    return CONFIG_NO_NUMBER;
  } catch (...) {
    return CONFIG_NO_NUMBER;
  }
}

uint32_t ConfigStore::GetDwordEx(const char* key) { return GetDword(key); }

uint8_t* ConfigStore::GetBinary(const char* key, uint32_t* length) {
  if (!length) return nullptr;
  *length = 0;
  try {
    const nlohmann::json* value = find(key);
    if (!value || !value->is_object()) return nullptr;
    const std::string* text = text_of(value->contains("base64") ? &(*value)["base64"] : nullptr);
    uint8_t* bytes = nullptr;
    uint32_t size = 0;
    if (!text || !base64_decode(*text, bytes, size)) return nullptr;
    *length = size;
    return bytes;
  } catch (...) {
    return nullptr;
  }
}

void ConfigStore::FreeBuffer(void* buffer) { std::free(buffer); }

void ConfigStore::FreeString(char16_t* text) { std::free(text); }

char16_t* ConfigStore::GetAgentVersion() {
  try {
    const std::string* text = text_of(find("version"));
    return text ? wide_copy(*text) : nullptr;
  } catch (...) {
    return nullptr;
  }
}
