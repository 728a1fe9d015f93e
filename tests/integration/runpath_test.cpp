// The agent directory's programs and libraries find their libraries beside
// themselves and nowhere else: an empty or relative RUNPATH entry makes
// glibc search the working directory of whoever starts the tool.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "tests/support/agent_dir.h"
#include "tests/support/process.h"

namespace {

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

bool is_elf(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  char magic[4] = {};
  in.read(magic, sizeof(magic));
  return in && std::string(magic, 4) == "\177ELF";
}

// Every RUNPATH and RPATH entry of the file's dynamic section, as readelf shows them.
Lines search_entries(const std::string& file) {
  auto r = testsupport::run_process({"/usr/bin/readelf", "-d", "-W", file});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  const std::regex tag(R"(\((RUNPATH|RPATH)\)\s+Library r(un)?path: \[(.*)\])");
  Lines entries;
  for (const auto& line : testsupport::split_lines(r.out)) {
    std::smatch m;
    if (!std::regex_search(line, m, tag)) continue;
    const std::string list = m[3];
    size_t from = 0;
    while (true) {
      const size_t colon = list.find(':', from);
      entries.push_back(list.substr(from, colon == std::string::npos ? std::string::npos : colon - from));
      if (colon == std::string::npos) break;
      from = colon + 1;
    }
  }
  return entries;
}

TEST(Runpath, EveryFileOfTheAgentDirectorySearchesOnlyItsOwnFolder) {
  Lines checked;
  for (const auto& entry : fs::directory_iterator(testsupport::bin_dir())) {
    // libxferlib.so is a link to the system's libcurl.
    if (entry.is_symlink() || !entry.is_regular_file() || !is_elf(entry.path())) continue;
    const std::string name = entry.path().filename();
    checked.push_back(name);
    EXPECT_EQ(search_entries(entry.path()), Lines{"$ORIGIN"}) << name;
  }
  for (const char* expected : {"pathvane", "kit-password", "libkit.so", "libconfstore.so", "libproxfind.so"}) {
    EXPECT_NE(std::find(checked.begin(), checked.end(), expected), checked.end()) << expected;
  }
}

// What the dynamic loader tries while the tool starts from another folder:
// only absolute paths, never a name relative to the working directory.
TEST(Runpath, ToolStartedElsewhereNeverSearchesTheWorkingDirectory) {
  testsupport::AgentDir agent;
  const std::string tool = agent.copy_program("pathvane");
  char elsewhere[] = "/tmp/pathvane-runpath-XXXXXX";
  ASSERT_NE(mkdtemp(elsewhere), nullptr);
  auto r = testsupport::run_process({tool, "/?"}, {{"LD_DEBUG", "libs"}}, elsewhere);
  fs::remove(elsewhere);
  EXPECT_EQ(r.exit_code, 1) << r.err;
  const std::regex trying(R"(trying file=(.*))");
  Lines tried;
  for (const auto& line : testsupport::split_lines(r.err)) {
    std::smatch m;
    if (std::regex_search(line, m, trying)) tried.push_back(m[1]);
  }
  ASSERT_FALSE(tried.empty()) << r.err;
  for (const auto& file : tried) EXPECT_EQ(file.rfind('/', 0), 0u) << file;
}

}  // namespace
