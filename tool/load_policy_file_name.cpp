#include "agent/kit/kit.h"
#include "platform/files.h"
#include "shared_agent/util/config_read.h"
#include "shared_agent/util/config_text.h"
#include "shared_agent/util/text_encoding.h"
#include "tool/pathvane_wrapper.h"

namespace {

// Whatever is there, a link included, is left for the download to judge:
// it opens the folder itself and refuses anything but a folder.
bool exists(const char16_t* path) { return platform::GetFileAttributesW(path) != platform::INVALID_FILE_ATTRIBUTES; }

}  // namespace

HRESULT PathvaneWrapper::LoadPolicyFileName(pathvane_settings* settings) {
  settings->policy_file_name[0] = '\0';
  std::u16string base;
  HRESULT hr = ReadConfigText("config/agent/directory/base", base);
  if (FAILED(hr)) {
    error("PathvaneWrapper::LoadPolicyFileName failed to get base folder.");
    return hr;
  }
  char16_t* tmp_dir = nullptr;
  if (Util::aswprintf(&tmp_dir, u"%s%s%s", base.c_str(), platform::kPathSeparator, u"tmp") < 0 || !tmp_dir) {
    return S_OK;
  }
  bool ready = exists(tmp_dir) || platform::CreateDirectoryW(tmp_dir);
  if (!ready) {
    error("PathvaneWrapper::LoadPolicyFileName failed to create tmp directory");
    Util::FreeMem(tmp_dir);
    return S_OK;
  }
  std::u16string file = std::u16string(tmp_dir) + platform::kPathSeparator + u"policy.xml";
  Util::FreeMem(tmp_dir);
  // A path that does not fit leaves the field empty.
  if (FAILED(TStringToBuffer(settings->policy_file_name, sizeof(settings->policy_file_name), file))) {
    settings->policy_file_name[0] = '\0';
  }
  return S_OK;
}
