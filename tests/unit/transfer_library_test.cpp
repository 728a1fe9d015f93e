// Binding the agent's transfer library: the table is filled from
// libxferlib.so in the agent directory, and a missing library or function
// ends the process.
#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <string>

#include "pathvane/xfer_table.h"
#include "platform/loader.h"
#include "tests/support/process.h"

namespace {

namespace fs = std::filesystem;

class TransferLibraryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(pathvane_curl_module, nullptr);
    char pattern[] = "/tmp/pathvane-xferlib-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    dll_curl_unload();
    platform::set_library_directory("");
    fs::remove_all(dir_);
  }
  std::string dir_;
};

TEST_F(TransferLibraryTest, ResolvesAllSixteenFromTheAgentDirectory) {
  platform::set_library_directory(testsupport::bin_dir(), true);
  pathvane_curl = curl_function_table{};
  ASSERT_EQ(dll_curl_load_symbols(), 0);
  ASSERT_NE(pathvane_curl_module, nullptr);
  const void* entries[] = {
      reinterpret_cast<void*>(pathvane_curl.curl_easy_cleanup),
      reinterpret_cast<void*>(pathvane_curl.curl_easy_init),
      reinterpret_cast<void*>(pathvane_curl.curl_easy_perform),
      reinterpret_cast<void*>(pathvane_curl.curl_easy_send),
      reinterpret_cast<void*>(pathvane_curl.curl_easy_setopt),
      reinterpret_cast<void*>(pathvane_curl.curl_easy_strerror),
      reinterpret_cast<void*>(pathvane_curl.curl_easy_escape),
      reinterpret_cast<void*>(pathvane_curl.curl_easy_unescape),
      reinterpret_cast<void*>(pathvane_curl.curl_escape),
      reinterpret_cast<void*>(pathvane_curl.curl_unescape),
      reinterpret_cast<void*>(pathvane_curl.curl_formadd),
      reinterpret_cast<void*>(pathvane_curl.curl_formfree),
      reinterpret_cast<void*>(pathvane_curl.curl_free),
      reinterpret_cast<void*>(pathvane_curl.curl_slist_append),
      reinterpret_cast<void*>(pathvane_curl.curl_slist_free_all),
      reinterpret_cast<void*>(pathvane_curl.curl_easy_getinfo),
  };
  for (size_t i = 0; i < std::size(entries); ++i) EXPECT_NE(entries[i], nullptr) << "entry " << i + 1;
  EXPECT_STREQ(pathvane_curl.curl_easy_strerror(CURLE_PEER_FAILED_VERIFICATION),
               "SSL peer certificate or SSH remote key was not OK");

  // A second load while loaded changes nothing.
  void* module = pathvane_curl_module;
  auto* setopt = pathvane_curl.curl_easy_setopt;
  EXPECT_EQ(dll_curl_load_symbols(), -1);
  EXPECT_EQ(pathvane_curl_module, module);
  EXPECT_EQ(pathvane_curl.curl_easy_setopt, setopt);

  dll_curl_unload();
  EXPECT_EQ(pathvane_curl_module, nullptr);
  EXPECT_EQ(dll_curl_load_symbols(), 0) << "loads again after an unload";
}

TEST_F(TransferLibraryTest, AgentDirectoryLinksTheSystemLibcurl) {
  fs::path link = fs::path(testsupport::bin_dir()) / "libxferlib.so";
  ASSERT_TRUE(fs::is_symlink(link));
  EXPECT_NE(fs::read_symlink(link).filename().string().find("libcurl.so"), std::string::npos);
}

TEST_F(TransferLibraryTest, MissingLibraryAborts) {
  platform::set_library_directory(dir_, true);
  EXPECT_EXIT(dll_curl_load_symbols(), ::testing::KilledBySignal(SIGABRT),
              "dll_curl_load_symbols\\(\\): failed to load curl library");
}

TEST_F(TransferLibraryTest, MissingFunctionAbortsNamingIt) {
  // A library that is not libcurl stands in for a broken build of it.
  fs::create_symlink(fs::path(testsupport::bin_dir()) / "libkit.so", fs::path(dir_) / "libxferlib.so");
  platform::set_library_directory(dir_, true);
  EXPECT_EXIT(dll_curl_load_symbols(), ::testing::KilledBySignal(SIGABRT),
              "dll_curl_load_symbols\\(\\): failed to find function curl_easy_cleanup");
}

}  // namespace
