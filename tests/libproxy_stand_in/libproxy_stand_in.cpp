#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

extern "C" {

struct pxProxyFactory {
  int unused;
};

pxProxyFactory* px_proxy_factory_new() { return static_cast<pxProxyFactory*>(std::calloc(1, sizeof(pxProxyFactory))); }

void px_proxy_factory_free(pxProxyFactory* factory) { std::free(factory); }

// The answers in the order the variable lists them, whatever the URL.
char** px_proxy_factory_get_proxies(pxProxyFactory* factory, const char* url) {
  if (!factory || !url) return nullptr;
  const char* listed = std::getenv("LIBPROXY_STAND_IN_ANSWERS");
  std::vector<std::string> answers;
  std::istringstream words(listed ? listed : "");
  for (std::string word; words >> word;) answers.push_back(word);
  if (answers.empty()) answers.emplace_back("direct://");
  auto** list = static_cast<char**>(std::calloc(answers.size() + 1, sizeof(char*)));
  if (!list) return nullptr;
  for (size_t i = 0; i < answers.size(); ++i) list[i] = strdup(answers[i].c_str());
  return list;
}

void px_proxy_factory_free_proxies(char** proxies) {
  if (!proxies) return;
  for (char** p = proxies; *p; ++p) std::free(*p);
  std::free(proxies);
}

}  // extern "C"
