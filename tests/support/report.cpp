#include "tests/support/report.h"

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

}  // namespace testsupport
