// The configuration store: the input is agent-config.json. The store is the
// real libconfstore.so, loaded from a scratch agent directory (it reads the
// data file beside itself); its typed reads are judged against the document
// as nlohmann::json reads it, for fixed keys and for every member name the
// input holds.
#include <openssl/x509.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "agent/confstore/iconfig.h"
#include "platform/loader.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

std::string agent_dir;
platform::Module module = nullptr;
CreateConfigClassInstanceFn create = nullptr;

void remove_agent_dir() {
  std::error_code ignored;
  if (!agent_dir.empty()) fs::remove_all(agent_dir, ignored);
}

// Strict base64 with "=" padding only at the end; the unused bits of the
// last group are not looked at.
std::optional<std::string> base64_decode(const std::string& text) {
  static const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  if (text.size() % 4 != 0) return std::nullopt;
  size_t padding = 0;
  while (padding < 2 && padding < text.size() && text[text.size() - 1 - padding] == '=') ++padding;
  std::string out;
  uint32_t bits = 0;
  int count = 0;
  for (size_t i = 0; i + padding < text.size(); ++i) {
    size_t value = alphabet.find(text[i]);
    if (value == std::string::npos) return std::nullopt;
    bits = bits << 6 | static_cast<uint32_t>(value);
    if (++count == 4) {
      out.push_back(static_cast<char>(bits >> 16));
      out.push_back(static_cast<char>(bits >> 8));
      out.push_back(static_cast<char>(bits));
      bits = 0;
      count = 0;
    }
  }
  if (count == 3) {
    out.push_back(static_cast<char>(bits >> 10));
    out.push_back(static_cast<char>(bits >> 2));
  } else if (count == 2) {
    out.push_back(static_cast<char>(bits >> 4));
  }
  return out;
}

// A text value: a string with no NUL in it.
const std::string* text_of(const json* value) {
  if (!value || !value->is_string()) return nullptr;
  const auto& text = value->get_ref<const std::string&>();
  return text.find('\0') == std::string::npos ? &text : nullptr;
}

void check_key(IConfig& config, const json& document, const std::string& key) {
  const json* value = document.contains(key) ? &document[key] : nullptr;
  const std::string* text = text_of(value);

  char* narrow = config.GetStringA(key.c_str());
  FUZZ_CHECK((narrow != nullptr) == (text != nullptr));
  if (narrow) FUZZ_CHECK(*text == narrow);
  config.FreeBuffer(narrow);

  for (bool ex : {false, true}) {
    char16_t* wide = ex ? config.GetStringEx(key.c_str()) : config.GetString(key.c_str());
    FUZZ_CHECK((wide != nullptr) == (text != nullptr));
    if (wide) {
      // nlohmann::json accepts only well-formed UTF-8, so every text converts.
      const std::optional<std::u16string> expected = fuzz::utf16_of_utf8(*text);
      FUZZ_CHECK(expected && *expected == wide);
    }
    config.FreeString(wide);
  }

  uint32_t number = CONFIG_NO_NUMBER;
  if (value && value->is_number_integer()) {
    if (value->is_number_unsigned()) {
      const auto n = value->get<uint64_t>();
      if (n <= 0xFFFFFFFFu) number = static_cast<uint32_t>(n);
    } else if (value->get<int64_t>() >= 0 && value->get<int64_t>() <= 0xFFFFFFFFll) {
      number = static_cast<uint32_t>(value->get<int64_t>());
    }
  }
  FUZZ_CHECK(config.GetDword(key.c_str()) == number);
  FUZZ_CHECK(config.GetDwordEx(key.c_str()) == number);

  std::optional<std::string> binary;
  if (value && value->is_object() && value->contains("base64")) {
    if (const std::string* encoded = text_of(&(*value)["base64"])) binary = base64_decode(*encoded);
  }
  uint32_t length = 0xABCD;
  uint8_t* bytes = config.GetBinary(key.c_str(), &length);
  FUZZ_CHECK((bytes != nullptr) == binary.has_value());
  if (bytes) {
    FUZZ_CHECK(length == binary->size() && std::string(reinterpret_cast<char*>(bytes), length) == *binary);
  } else {
    FUZZ_CHECK(length == 0);
  }
  config.FreeBuffer(bytes);
  FUZZ_CHECK(config.GetBinary(key.c_str(), nullptr) == nullptr);

  X509** certs = nullptr;
  uint32_t count = 7;
  const int result = config.GetCertList(key.c_str(), &certs, &count);
  if (!value || !value->is_array()) {
    FUZZ_CHECK(result == 1 && certs == nullptr && count == 0);
  } else {
    FUZZ_CHECK((certs != nullptr) == (count > 0));
    for (uint32_t i = 0; i < count; ++i) FUZZ_CHECK(certs[i] != nullptr);
    // Every entry gave at least one certificate, or the result says one did not.
    FUZZ_CHECK(result == 0 || result == 2);
    if (result == 0) FUZZ_CHECK(count >= value->size());
  }
  config.FreeCertList(certs, count);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::string base = fs::temp_directory_path().string() + "/pathvane-fuzz-XXXXXX";
  if (!mkdtemp(base.data())) fuzz::fail(__FILE__, __LINE__, "mkdtemp");
  agent_dir = base;
  std::atexit(remove_agent_dir);
  for (const char* library : {"libconfstore.so", "libkit.so"}) {
    fs::create_symlink(std::string(PATHVANE_BIN_DIR) + "/" + library, agent_dir + "/" + library);
  }
  platform::set_library_directory(agent_dir, true);
  module = platform::LoadLibraryW(u"confstore.dll");
  platform::set_library_directory("");
  FUZZ_CHECK(module != nullptr);
  create = reinterpret_cast<CreateConfigClassInstanceFn>(platform::GetProcAddress(module, "CreateConfigClassInstance"));
  FUZZ_CHECK(create != nullptr);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  {
    std::ofstream out(agent_dir + "/agent-config.json", std::ios::binary | std::ios::trunc);
    out << text;
    FUZZ_CHECK(out.good());
  }
  IConfig* config = create();
  FUZZ_CHECK(config != nullptr);
  config->SetModuleHandle(module);
  const json document = json::parse(text, nullptr, /*allow_exceptions=*/false);
  const bool loaded = config->Load(0) != 0;
  FUZZ_CHECK(loaded == document.is_object());
  if (loaded) {
    std::vector<std::string> keys = {"version", "config/agent/uuid", "config/proxy/port", "config/proxy/password",
                                     "config/agent/cloud/trustedcerts/cert", "", "no/such/key"};
    for (const auto& member : document.items()) keys.push_back(member.key());
    for (const std::string& key : keys) {
      // A key is a C string: one holding a NUL is asked for up to it.
      check_key(*config, document, fuzz::c_text(key));
    }
    char16_t* version = config->GetAgentVersion();
    char16_t* same = config->GetString("version");
    FUZZ_CHECK((version == nullptr) == (same == nullptr));
    if (version) FUZZ_CHECK(std::u16string(version) == same);
    config->FreeString(version);
    config->FreeString(same);
  }
  delete config;
  return 0;
}
