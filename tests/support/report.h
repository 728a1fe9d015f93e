// The run report's lines as the tests expect them.
#pragma once
#include <string>
#include <vector>

namespace testsupport {

// One check's block: start, name, verdict, the transfer lines, end.
std::vector<std::string> report_block(const std::string& name, const std::string& verdict,
                                      const std::string& curl_text, const std::string& curl_error, int status);
std::vector<std::string> report_summary(unsigned ok, unsigned issues, unsigned failed, unsigned total);

}  // namespace testsupport
