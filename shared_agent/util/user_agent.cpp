#include "shared_agent/util/user_agent.h"

#include "shared_agent/util/config_text.h"

std::u16string UserAgentForVersion(const std::u16string& version) { return u"Corvanta/" + version; }

HRESULT WriteUserAgent(char* field, size_t size, const std::u16string& version) {
  return TStringToBuffer(field, size, UserAgentForVersion(version));
}
