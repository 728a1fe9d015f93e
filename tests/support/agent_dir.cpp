#include "tests/support/agent_dir.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

#include "agent/kit/kit.h"
#include "platform/loader.h"
#include "tests/support/process.h"

namespace fs = std::filesystem;

namespace testsupport {
namespace {

const ::testing::TestResult* current_result() {
  const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
  return info ? info->result() : nullptr;
}

int part_count() {
  const ::testing::TestResult* result = current_result();
  return result ? result->total_part_count() : 0;
}

bool failed_since(int parts_before) {
  const ::testing::TestResult* result = current_result();
  if (!result) return ::testing::Test::HasFailure();
  for (int i = parts_before; i < result->total_part_count(); ++i) {
    if (result->GetTestPartResult(i).failed()) return true;
  }
  return false;
}

}  // namespace

AgentDir::AgentDir(const std::vector<std::string>& without) {
  std::string base = fs::temp_directory_path().string() + "/pathvane-agent-XXXXXX";
  std::vector<char> name(base.begin(), base.end());
  name.push_back('\0');
  if (!mkdtemp(name.data())) {
    ADD_FAILURE() << "cannot create a temporary agent directory under " << base;
    return;
  }
  path_ = name.data();
  for (const auto& entry : fs::directory_iterator(bin_dir())) {
    std::string file = entry.path().filename().string();
    bool library = file.starts_with("lib") && file.ends_with(".so");
    if (!library) continue;
    bool skip = false;
    for (const auto& left_out : without) skip = skip || left_out == file;
    if (!skip) link(file, file);
  }
}

AgentDir::~AgentDir() {
  if (path_.empty()) return;
  std::error_code ignored;
  fs::remove_all(path_, ignored);
}

void AgentDir::write_config(const nlohmann::json& config) const {
  write_file("agent-config.json", config.dump(2));
}

void AgentDir::write_file(const std::string& name, const std::string& text) const {
  std::ofstream out(file(name), std::ios::binary | std::ios::trunc);
  out << text;
  if (!out) ADD_FAILURE() << "cannot write " << file(name);
}

void AgentDir::remove(const std::string& name) const {
  std::error_code ignored;
  fs::remove(file(name), ignored);
}

void AgentDir::link(const std::string& name, const std::string& target) const {
  std::string to = target.starts_with("/") ? target : bin_dir() + "/" + target;
  std::error_code ec;
  fs::create_symlink(to, file(name), ec);
  if (ec) ADD_FAILURE() << "cannot link " << file(name) << " to " << to << ": " << ec.message();
}

std::string AgentDir::log_text() const {
  std::ifstream in(path_ + "/log/pathvane.log");
  std::string text, line;
  // "2026-12-11T01:02:03.456Z " in front of every line.
  constexpr size_t kStamp = 25;
  while (std::getline(in, line)) {
    EXPECT_GE(line.size(), kStamp) << line;
    EXPECT_EQ(line.substr(19, 1) + line.substr(23, 2), ".Z ") << line;
    text += line.size() >= kStamp ? line.substr(kStamp) : line;
    text += '\n';
  }
  return text;
}

std::string AgentDir::copy_program(const std::string& name) const {
  std::error_code ec;
  fs::copy_file(bin_dir() + "/" + name, file(name), fs::copy_options::overwrite_existing, ec);
  if (ec) ADD_FAILURE() << "cannot copy " << name << " into " << path_ << ": " << ec.message();
  return file(name);
}

void AgentDir::prepare_for_unprivileged_user() const {
  for (const char* lib : {"libkit.so", "libconfstore.so", "libproxfind.so", "libxferlib.so"}) {
    remove(lib);
    copy_program(lib);
  }
  EXPECT_EQ(chmod(path_.c_str(), 0755), 0);
  EXPECT_EQ(chmod(file("agent-config.json").c_str(), 0644), 0);
}

std::string file_text(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<std::string> names_in(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<std::string> unprivileged_prefix() {
  return {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--"};
}

std::string encode_password(const std::string& password) {
  auto r = run_process({bin_dir() + "/kit-password"}, {}, "", 30, password + "\n");
  EXPECT_EQ(r.exit_code, 0) << r.err;
  std::string text = r.out;
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

void run_in_agent_dir(const AgentDir& dir, const std::function<void()>& body, int timeout_seconds) {
  std::fflush(stdout);
  std::fflush(stderr);
  // Only the child's own failures count, not earlier ones of the same test.
  const int parts_before = part_count();
  pid_t pid = fork();
  ASSERT_GE(pid, 0) << "fork failed";
  if (pid == 0) {
    alarm(static_cast<unsigned>(timeout_seconds));
    platform::set_library_directory(dir.path(), true);
    // The tool would write its log beside itself, the agent directory.
    trace_set_log_directory((dir.path() + "/log").c_str());
    int status = 0;
    try {
      body();
      status = failed_since(parts_before) ? 1 : 0;
    } catch (const std::exception& e) {
      std::fprintf(stderr, "exception in the child: %s\n", e.what());
      status = 2;
    }
#if defined(__SANITIZE_ADDRESS__)
    // _exit skips the leak check at exit; a leak in the child fails it too.
    if (__lsan_do_recoverable_leak_check() && status == 0) status = 3;
#endif
    std::fflush(stdout);
    std::fflush(stderr);
    _exit(status);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  if (WIFSIGNALED(status)) {
    ADD_FAILURE() << "the child process ended with signal " << WTERMSIG(status)
                  << (WTERMSIG(status) == SIGALRM ? " (timed out)" : "");
  } else {
    int exit_code = WEXITSTATUS(status);
    EXPECT_EQ(exit_code, 0) << "expectations failed in the child process (see above)";
  }
}

nlohmann::json agent_identity() {
  return {
      {"version", "8.4.2.31122"},
      {"config/agent/uuid", "6f1c2b1e-8d1b-4b7e-9a55-0c8e3f6a9d21"},
      {"config/agent/affiliate/uuid", "11111111-2222-4333-8444-555555555555"},
      {"config/velta/business/uuid", "aaaaaaaa-bbbb-4ccc-8ddd-eeeeeeeeeeee"},
  };
}

}  // namespace testsupport
