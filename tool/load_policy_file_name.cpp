#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "agent/kit/kit.h"
#include "shared_agent/util/config_read.h"
#include "shared_agent/util/config_text.h"
#include "shared_agent/util/text_encoding.h"
#include "tool/pathvane_wrapper.h"

namespace {

// Whatever is there, a link included, is left for the download to judge:
// it opens the folder itself and refuses anything but a folder.
bool exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

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
  if (Util::aswprintf(&tmp_dir, u"%s/%s", base.c_str(), u"tmp") < 0 || !tmp_dir) return S_OK;
  std::string narrow;
  bool ready = SUCCEEDED(WideToUtf8(tmp_dir, narrow)) &&
               (exists(narrow) || mkdir(narrow.c_str(), 0755) == 0);
  if (!ready) {
    error("PathvaneWrapper::LoadPolicyFileName failed to create tmp directory");
    Util::FreeMem(tmp_dir);
    return S_OK;
  }
  std::u16string file = std::u16string(tmp_dir) + u"/policy.xml";
  Util::FreeMem(tmp_dir);
  // A path that does not fit leaves the field empty.
  if (FAILED(TStringToBuffer(settings->policy_file_name, sizeof(settings->policy_file_name), file))) {
    settings->policy_file_name[0] = '\0';
  }
  return S_OK;
}
