#include "tests/support/report.h"

#include <algorithm>

#include "tests/support/process.h"

namespace testsupport {

std::vector<std::string> report_block(const std::string& name, const std::string& verdict,
                                      const std::string& curl_text, const std::string& curl_error, int status) {
  return {"********* START",
          "========>  Checking connectivity to: " + name,
          verdict,
          "====> Curl code  :\t\t" + curl_text,
          "====> Curl err   :\t\t" + curl_error,
          "====> HTTP status:\t\t" + std::to_string(status),
          "********* -END- *********"};
}

std::vector<std::string> report_summary(unsigned ok, unsigned issues, unsigned failed, unsigned total) {
  return {"********* SUMMARY *********",
          "====>  * Completed successfully\t" + std::to_string(ok),
          "====>  * Completed with issues\t" + std::to_string(issues),
          "====>  * Failed checks\t\t" + std::to_string(failed),
          "====>  ** TOTAL CHECKS **\t\t" + std::to_string(total),
          "********* -DONE- *********"};
}

std::vector<std::string> health_pass_report() {
  std::vector<std::string> all = report_block(
      "Health Test", "========> [pass] Connectivity check completed with no issues", "No error", "No error", 200);
  std::vector<std::string> summary = report_summary(1, 0, 0, 1);
  all.insert(all.end(), summary.begin(), summary.end());
  return all;
}

std::vector<std::string> block_in(const std::string& report, const std::string& name) {
  std::vector<std::string> lines = split_lines(report);
  const std::string title = "========>  Checking connectivity to: " + name;
  auto at = std::find(lines.begin(), lines.end(), title);
  if (at == lines.begin() || at == lines.end()) return {};
  auto end = std::find(at, lines.end(), "********* -END- *********");
  return std::vector<std::string>(at - 1, end == lines.end() ? end : end + 1);
}

}  // namespace testsupport
