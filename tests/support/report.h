// The run report's lines as the tests expect them.
#pragma once
#include <string>
#include <vector>

namespace testsupport {

// The verdict lines of a passed and a failed check.
inline const std::string kPassVerdict = "========> [pass] Connectivity check completed with no issues";
inline const std::string kErrorVerdict = "========> [error] Connectivity check completed with *ERRORS*";

// One check's block: start, name, verdict, the transfer lines, end.
std::vector<std::string> report_block(const std::string& name, const std::string& verdict,
                                      const std::string& curl_text, const std::string& curl_error, int status);
std::vector<std::string> report_summary(unsigned ok, unsigned issues, unsigned failed, unsigned total);
// The whole report of a run of the health check alone that passed (HTTP 200).
std::vector<std::string> health_pass_report();

// The lines of one check's block as a report shows it, start to end; empty
// when the report has no block of that name.
std::vector<std::string> block_in(const std::string& report, const std::string& name);

}  // namespace testsupport
