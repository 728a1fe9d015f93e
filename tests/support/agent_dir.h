// A temporary agent directory for a test: links to the built libraries, an
// agent-config.json of the test's own, and, when asked, a copy of a program
// of the build (the tool). Removed with everything in it at the end.
#pragma once
#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace testsupport {

class AgentDir {
 public:
  // Links every library of the built agent directory (lib*.so in bin_dir())
  // except those named in without.
  explicit AgentDir(const std::vector<std::string>& without = {});
  ~AgentDir();
  AgentDir(const AgentDir&) = delete;
  AgentDir& operator=(const AgentDir&) = delete;

  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

  // agent-config.json from a JSON value, or any text (a malformed one).
  void write_config(const nlohmann::json& config) const;
  void write_file(const std::string& name, const std::string& text) const;
  void remove(const std::string& name) const;
  // A link named name to target (a file of bin_dir() when not absolute).
  void link(const std::string& name, const std::string& target) const;
  // Copies a program of bin_dir() in (its RUNPATH $ORIGIN then finds the
  // linked libraries here); returns its path.
  std::string copy_program(const std::string& name = "pathvane") const;
  // Readies the folder for a run as an unprivileged user that may read but
  // not write it (its own copies of the libraries: links into the build tree
  // may not be open to that user). unprivileged_prefix() drops to that user.
  void prepare_for_unprivileged_user() const;
  // The last run's trace log (log/pathvane.log), each line without its time
  // stamp; empty when there is none.
  std::string log_text() const;

 private:
  std::string path_;
};

// The keys every agent-config.json of the tests starts from: the version
// and the agent's, affiliate's and business GUIDs.
nlohmann::json agent_identity();

// A file's whole content ("" when it cannot be read), and the names in a
// folder, sorted.
std::string file_text(const std::string& path);
std::vector<std::string> names_in(const std::string& folder);

// The command prefix that runs a program as the unprivileged user.
std::vector<std::string> unprivileged_prefix();

// The stored form of a proxy password for agent-config.json's
// {"base64": ...}, as build/bin/kit-password prints it.
std::string encode_password(const std::string& password);

// Runs body in a child process that loads libraries only from dir, so that
// the configuration singleton and the proxy loader start afresh there.
// Expectations that fail in the child fail the calling test; so do a crash
// and a child that runs longer than timeout_seconds.
void run_in_agent_dir(const AgentDir& dir, const std::function<void()>& body, int timeout_seconds = 60);

}  // namespace testsupport
