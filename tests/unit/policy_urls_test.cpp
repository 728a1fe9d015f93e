// Policy URL templates expanded from a real agent-config.json. Each
// configuration is read in its own child process (the singleton keeps the
// first one it loads).
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "pathvane/pathvane.h"
#include "tests/support/agent_dir.h"
#include "tool/pathvane_wrapper.h"

namespace {

using nlohmann::json;
using testsupport::AgentDir;
using testsupport::run_in_agent_dir;

constexpr const char* kAffiliate = "config/velta/endpoint/policy/affiliate";
constexpr const char* kCompany = "config/velta/endpoint/policy/company";
constexpr const char* kPolicy = "config/velta/endpoint/policy/policy";
constexpr const char* kAgent = "config/velta/endpoint/policy/agent";

std::string repeated(const std::string& text, int times) {
  std::string out;
  for (int i = 0; i < times; ++i) out += text;
  return out;
}

constexpr const char* kEuro = "\u20ac";      // three bytes of UTF-8
constexpr const char* kGrin = "\U0001F600";  // four, and two UTF-16 units

struct Sized {
  std::string template_text;
  std::string expanded;
};

// A template with a placeholder (the key "a", value "A") whose expansion has
// its character last end at byte end, then tail; 100 euro signs before it
// make bytes and UTF-16 units differ.
Sized ending_at(const std::string& last, size_t end, const std::string& tail = "") {
  const std::string head = "https://p/";
  const std::string euros = repeated(kEuro, 100);
  const std::string fill(end - head.size() - 1 - euros.size() - last.size(), 'x');
  return {head + "[%set:a%]" + euros + fill + last + tail, head + "A" + euros + fill + last + tail};
}

// The expansion of ending_at(last, end, tail) as far as its first cut bytes of tail.
std::string cut_after(const std::string& last, size_t end, const std::string& tail, size_t cut) {
  return ending_at(last, end).expanded + tail.substr(0, cut);
}

struct Loaded {
  HRESULT result = S_OK;
  std::string affiliate, company, policy, agent;
  std::string errors;
};

// LoadPolicyUrls over a fresh settings record, in a child reading config.
template <typename Check>
void load_policy_urls(const json& config, Check check) {
  AgentDir dir;
  if (!config.is_null()) dir.write_config(config);
  run_in_agent_dir(dir, [&] {
    auto settings = std::make_unique<pathvane_settings>();
    std::memset(settings.get(), 0, sizeof(*settings));
    PathvaneWrapper wrapper;
    Loaded loaded;
    ::testing::internal::CaptureStderr();
    loaded.result = wrapper.LoadPolicyUrls(settings.get());
    loaded.errors = ::testing::internal::GetCapturedStderr();
    loaded.affiliate = settings->policy_affiliate_url;
    loaded.company = settings->policy_company_url;
    loaded.policy = settings->policy_policy_url;
    loaded.agent = settings->policy_agent_url;
    check(loaded);
  });
}

TEST(PolicyUrlsTest, TemplatesExpandLeftToRightWithEncodedValues) {
  const json values = {
      {"config/agent/uuid", "1f2e-33"},
      {"config/velta/business/uuid", "B1"},
      {"config/ui/lang", "de"},
      {"uiconfig", "asWritten"},
      {"config/uiconfig", "wrong"},
      {"config/agent/name", "Z\u00fcrich"},
      {"config/agent/slash", "a/b c"},
      {"config/agent/se", "se"},
      {"a", "A"},
  };
  struct Case {
    std::string template_text;
    std::string url;
  } cases[] = {
      {"https://policy.example.test/v1/company", "https://policy.example.test/v1/company"},
      {"A/[%set:agent/uuid%]/B", "A/1f2e%2D33/B"},
      {"[%set:agent/name%]", "Z%C3%BCrich"},
      {"x/[%set:agent/slash%]", "x/a%2Fb%20c"},
      {"[%set:uiconfig%]|[%set:ui/lang%]", "asWritten|de"},
      {"[%set:config/velta/business/uuid%]", "B1"},
      {"u=[%set:agent/uuid%]&b=[%set:config/velta/business/uuid%]", "u=1f2e%2D33&b=B1"},
      {"a[%set:agent/missing%]b", "ab"},
      {"A/[%set:agent/uuid", "A/[%set:agent/uuid"},
      {"A/[%set:agent/uuid%]/[%set:agent/uuid", "A/1f2e%2D33/[%set:agent/uuid"},
      // The group is non-greedy: NAME ends at the first "%]".
      {"[%set:a%]x%]", "Ax%]"},
      {"[%set:%]", ""},
      {"[%set:[%set:a%]", ""},
      // Each search starts again from the beginning, so what a replacement
      // leaves can join the text around it into a new placeholder.
      {"A[%se[%set:k%]t:a%]C", "AAC"},
      {"[%[%set:agent/se%]t:a%]", "A"},
      {"[%[%set:agent/se%]x:a%]", "[%sex:a%]"},
      // NAME never spans a line end.
      {"[%set:a\n%]", "[%set:a\n%]"},
      {"[%set:a\r%][%set:a%]", "[%set:a\r%]A"},
      {"[%set:a\u2028%]|[%set:a\u2029%]", "[%set:a\u2028%]|[%set:a\u2029%]"},
      {"[%set:a\n[%set:a%]", "[%set:a\nA"},
      // Each removal completes the "[%set" before it: 1500 bytes of
      // beginnings that look final vanish one by one.
      {"x" + repeated("[%set", 300) + "[%set:k%]" + repeated(":k%]", 300) + "y", "xy"},
      // The last character ends one byte under the field's 1024, or two.
      {ending_at(kEuro, 1023).template_text, ending_at(kEuro, 1023).expanded},
      {ending_at(kEuro, 1022).template_text, ending_at(kEuro, 1022).expanded},
      {ending_at(kGrin, 1023).template_text, ending_at(kGrin, 1023).expanded},
      {ending_at(kGrin, 1022).template_text, ending_at(kGrin, 1022).expanded},
  };
  for (const auto& c : cases) {
    json config = values;
    config[kAffiliate] = "aff";
    config[kCompany] = c.template_text;
    config[kPolicy] = "pol";
    config[kAgent] = "agt";
    load_policy_urls(config, [&](const Loaded& loaded) {
      EXPECT_EQ(loaded.result, S_OK) << c.template_text;
      EXPECT_EQ(loaded.company, c.url) << c.template_text;
      EXPECT_EQ(loaded.errors, "") << c.template_text;
    });
  }
}

TEST(PolicyUrlsTest, RowsFillInOrderAndStopAtTheFirstFailure) {
  json config = {{"config/agent/uuid", "u1"}, {kAffiliate, "https://p.test/aff/[%set:agent/uuid%]"}};
  // No company template: the later rows stay empty even though they exist.
  config[kPolicy] = "https://p.test/pol";
  config[kAgent] = "https://p.test/agt";
  load_policy_urls(config, [](const Loaded& loaded) {
    EXPECT_EQ(loaded.result, ZEL_E_CONFIG_MISSING);
    EXPECT_EQ(loaded.affiliate, "https://p.test/aff/u1");
    EXPECT_EQ(loaded.company, "");
    EXPECT_EQ(loaded.policy, "");
    EXPECT_EQ(loaded.agent, "");
    EXPECT_EQ(loaded.errors,
              "[error] Failed to find/create the policy fetch path (config/velta/endpoint/policy/company), "
              "template path () from config. Bailing.\n");
  });

  config[kCompany] = "https://p.test/co";
  load_policy_urls(config, [](const Loaded& loaded) {
    EXPECT_EQ(loaded.result, S_OK);
    EXPECT_EQ(loaded.affiliate, "https://p.test/aff/u1");
    EXPECT_EQ(loaded.company, "https://p.test/co");
    EXPECT_EQ(loaded.policy, "https://p.test/pol");
    EXPECT_EQ(loaded.agent, "https://p.test/agt");
  });
}

TEST(PolicyUrlsTest, AUrlMustFitIn1023Bytes) {
  const std::string head = "https://p.test/";
  // 1021 bytes and the placeholder's "%2D": 1024 bytes once expanded.
  const std::string base = head + std::string(1021 - head.size(), 'a');
  json config = {{"config/agent/dash", "-"}};
  config[kAffiliate] = base + "[%set:agent/dash%]";
  load_policy_urls(config, [&](const Loaded& loaded) {
    EXPECT_EQ(loaded.result, E_INSUFFICIENT_BUFFER);
    EXPECT_EQ(loaded.affiliate, "");
    EXPECT_EQ(loaded.errors, "[error] Conversion of policy URL failed for path " + base + "%2D.\n");
  });

  const std::string exact = head + std::string(1023 - head.size(), 'b');
  config[kAffiliate] = exact;
  config[kCompany] = "c";
  config[kPolicy] = "p";
  config[kAgent] = "a";
  load_policy_urls(config, [&](const Loaded& loaded) {
    EXPECT_EQ(loaded.result, S_OK);
    EXPECT_EQ(loaded.affiliate, exact);
  });
}

TEST(PolicyUrlsTest, AUrlPastTheFieldFailsWithItsFirst1024Bytes) {
  std::string many = "https://p/";
  for (int i = 0; i < 200; ++i) many += "[%set:agent/big%]";
  std::string euros;
  for (int i = 0; i < 400; ++i) euros += "\u20ac";
  struct Case {
    std::string template_text;
    std::string logged_url;
  } cases[] = {
      {many, "https://p/" + std::string(1014, 'a')},
      {std::string(100000, 'x'), std::string(1024, 'x')},
      // Unclosed: nothing to replace, however far it runs.
      {"[%set:" + std::string(100000, 'x'), "[%set:" + std::string(1018, 'x')},
      // Three bytes a character: cut just past the 1024th byte.
      {euros, euros.substr(0, 342 * 3)},
      // A character that ends one byte under the limit leaves room for
      // nothing more; one that ends at it, or past it, is the last kept.
      {ending_at(kEuro, 1023, "/t").template_text, cut_after(kEuro, 1023, "/t", 1)},
      {ending_at(kEuro, 1024, "/t").template_text, cut_after(kEuro, 1024, "/t", 0)},
      {ending_at(kEuro, 1025, "/t").template_text, cut_after(kEuro, 1025, "/t", 0)},
      {ending_at(kEuro, 1026, "/t").template_text, cut_after(kEuro, 1026, "/t", 0)},
      {ending_at(kGrin, 1023, "/t").template_text, cut_after(kGrin, 1023, "/t", 1)},
      {ending_at(kGrin, 1024, "/t").template_text, cut_after(kGrin, 1024, "/t", 0)},
      {ending_at(kGrin, 1025, "/t").template_text, cut_after(kGrin, 1025, "/t", 0)},
      {ending_at(kGrin, 1027, "/t").template_text, cut_after(kGrin, 1027, "/t", 0)},
  };
  for (const auto& c : cases) {
    json config = {{"config/agent/big", std::string(100000, 'a')}, {"a", "A"}, {kAffiliate, c.template_text}};
    config[kCompany] = "c";
    load_policy_urls(config, [&](const Loaded& loaded) {
      EXPECT_EQ(loaded.result, E_INSUFFICIENT_BUFFER);
      EXPECT_EQ(loaded.affiliate, "");
      EXPECT_EQ(loaded.company, "");
      EXPECT_EQ(loaded.errors, "[error] Conversion of policy URL failed for path " + c.logged_url + ".\n");
    });
  }
}

TEST(PolicyUrlsTest, NoConfigurationFailsTheFirstRow) {
  load_policy_urls(nullptr, [](const Loaded& loaded) {
    EXPECT_EQ(loaded.result, ZEL_E_CONFIG_MISSING);
    EXPECT_EQ(loaded.affiliate, "");
    EXPECT_NE(loaded.errors.find("Failed to find/create the policy fetch path "
                                 "(config/velta/endpoint/policy/affiliate), template path () from config."),
              std::string::npos)
        << loaded.errors;
  });
}

}  // namespace
