#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "agent/kit/kit.h"
#include "pathvane/xfer_table.h"
#include "tests/support/process.h"
#include "tests/support/report.h"
#include "diagnosis/xfer_facts.h"
#include "tool/pathvane_wrapper.h"

namespace {

using testsupport::split_lines;

// What the injected checks leave in their slot and return.
struct Planned {
  int rc = 0;
  check_result result{};
  bool write = true;
};
Planned planned;
std::vector<std::string> calls;

const char* fake_strerror(CURLcode code) {
  static std::string text;
  text = "curl text " + std::to_string(static_cast<int>(code));
  return text.c_str();
}

int record_slot(pathvane_handle* handle, uint32_t bit, const char* name) {
  calls.push_back(name);
  if (planned.write) handle->results[slot_for_bit(bit)] = planned.result;
  return planned.rc;
}

#define CHECK_FN(fn, bit, name) \
  int fn(pathvane_handle* h) { return record_slot(h, bit, name); }
CHECK_FN(check_health, 0x1, "Health Test")
CHECK_FN(check_velta, 0x4, "Velta Registration")
CHECK_FN(check_policy, 0x100, "Policy D/L (company)")
CHECK_FN(check_retro, 0x10, "Retro File Fetch")
CHECK_FN(check_submit, 0x20, "Submit Server Upload")
CHECK_FN(check_crash, 0x8, "Crash Dump Upload")
CHECK_FN(check_updater, 0x400, "Updater update host")
CHECK_FN(check_event, 0x800, "Event Intake")
CHECK_FN(check_url, 0x1000, "Url Reputation")

const CheckRow kTable[] = {
    {"Health Test", 0x1, check_health},           {"Velta Registration", 0x4, check_velta},
    {"Policy D/L (company)", 0x100, check_policy}, {"Retro File Fetch", 0x10, check_retro},
    {"Submit Server Upload", 0x20, check_submit},  {"Crash Dump Upload", 0x8, check_crash},
    {"Updater update host", 0x400, check_updater}, {"Event Intake", 0x800, check_event},
    {"Url Reputation", 0x1000, check_url},
};

class RunChecksTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setDebugLevel(0x7FFFFFF000LL);
    std::memset(&handle_, 0, sizeof(handle_));
    for (auto& slot : handle_.results) slot.outcome = OUTCOME_UNTOUCHED;
    wrapper_.handle() = &handle_;
    saved_ = pathvane_curl;
    pathvane_curl.curl_easy_strerror = fake_strerror;
    planned = Planned{};
    calls.clear();
  }
  void TearDown() override {
    wrapper_.handle() = nullptr;
    pathvane_curl = saved_;
  }

  // Runs and returns (stdout lines, stderr text).
  std::pair<std::vector<std::string>, std::string> run(uint32_t mask, std::span<const CheckRow> table = kTable) {
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(wrapper_.RunChecks(mask, table), 0);
    std::string out = ::testing::internal::GetCapturedStdout();
    std::string err = ::testing::internal::GetCapturedStderr();
    return {split_lines(out), err};
  }

  static std::vector<std::string> summary(unsigned ok, unsigned issues, unsigned failed, unsigned total) {
    return testsupport::report_summary(ok, issues, failed, total);
  }

  pathvane_handle handle_;
  PathvaneWrapper wrapper_;
  curl_function_table saved_{};
};

TEST_F(RunChecksTest, NoHandleIsRefusedSilently) {
  wrapper_.handle() = nullptr;
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(wrapper_.RunChecks(0xFFF, kTable), static_cast<HRESULT>(0x80070006));
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
}

TEST_F(RunChecksTest, MaskWithNoRowPrintsOnlyTheZeroSummary) {
  auto [lines, err] = run(0x2);
  EXPECT_EQ(lines, summary(0, 0, 0, 0));
  EXPECT_TRUE(calls.empty());
}

TEST_F(RunChecksTest, DefaultMaskRunsRowsOneToEightInOrder) {
  planned.result = {OUTCOME_PASS, 0, "", 200};
  auto [lines, err] = run(0xFFF);
  EXPECT_EQ(calls, (std::vector<std::string>{"Health Test", "Velta Registration", "Policy D/L (company)",
                                              "Retro File Fetch", "Submit Server Upload", "Crash Dump Upload",
                                              "Updater update host", "Event Intake"}));
  ASSERT_EQ(lines.size(), 8u * 7u + 6u);
  std::vector<std::string> first(lines.begin(), lines.begin() + 7);
  EXPECT_EQ(first, (std::vector<std::string>{"********* START", "========>  Checking connectivity to: Health Test",
                                              "========> [pass] Connectivity check completed with no issues",
                                              "====> Curl code  :\t\tcurl text 0", "====> Curl err   :\t\tNo error",
                                              "====> HTTP status:\t\t200", "********* -END- *********"}));
  std::vector<std::string> tail(lines.end() - 6, lines.end());
  EXPECT_EQ(tail, summary(8, 0, 0, 8));
}

TEST_F(RunChecksTest, UrlReputationRunsOnlyWhenAsked) {
  planned.result = {OUTCOME_PASS, 0, "", 200};
  run(0x1 | 0x1000);
  EXPECT_EQ(calls, (std::vector<std::string>{"Health Test", "Url Reputation"}));
}

struct ClassifyCase {
  const char* label;
  uint32_t bit;
  int rc;
  check_result result;
  bool write;
  const char* verdict;
  std::vector<std::string> details;  // lines between the verdict and the end line
  unsigned ok, issues, failed;
  bool error_line;
};

void PrintTo(const ClassifyCase& c, std::ostream* os) { *os << c.label; }

class ClassifyTest : public RunChecksTest, public ::testing::WithParamInterface<ClassifyCase> {};

TEST_P(ClassifyTest, VerdictDetailsAndCounter) {
  const ClassifyCase& c = GetParam();
  planned.rc = c.rc;
  planned.result = c.result;
  planned.write = c.write;
  const CheckRow* row = nullptr;
  for (const auto& r : kTable) {
    if (r.bit == c.bit) row = &r;
  }
  ASSERT_NE(row, nullptr);
  auto [lines, err] = run(c.bit);
  std::vector<std::string> expected = {"********* START", std::string("========>  Checking connectivity to: ") + row->name,
                                       c.verdict};
  expected.insert(expected.end(), c.details.begin(), c.details.end());
  expected.push_back("********* -END- *********");
  auto tail = summary(c.ok, c.issues, c.failed, 1);
  expected.insert(expected.end(), tail.begin(), tail.end());
  EXPECT_EQ(lines, expected);
  EXPECT_EQ(err.find("Failed to get check result details") != std::string::npos, c.error_line) << err;

  // The record kept beside the report says the same.
  ASSERT_EQ(wrapper_.records().size(), 1u);
  const CheckRecord& record = wrapper_.records()[0];
  EXPECT_EQ(record.name, row->name);
  EXPECT_EQ(record.rc, c.rc);
  EXPECT_EQ(c.verdict, std::string("========> [") + verdict_word(c.rc) +
                           (c.rc == 0   ? "] Connectivity check completed with no issues"
                            : c.rc == 6 ? "] Test was not run, no host was specified"
                                        : "] Connectivity check completed with *ERRORS*"));
  const Counted expected_count = c.ok ? Counted::kSuccess : c.issues ? Counted::kIssues : Counted::kFailed;
  EXPECT_EQ(record.counted, expected_count);
  EXPECT_TRUE(record.slot_read);
  EXPECT_EQ(record.slot.outcome, c.write ? c.result.outcome : static_cast<uint32_t>(OUTCOME_UNTOUCHED));
}

const char* kPass = "========> [pass] Connectivity check completed with no issues";
const char* kWarn = "========> [warning] Test was not run, no host was specified";
const char* kErr = "========> [error] Connectivity check completed with *ERRORS*";

std::vector<std::string> details(int curl, const char* err, int status) {
  return {"====> Curl code  :\t\tcurl text " + std::to_string(curl), std::string("====> Curl err   :\t\t") + err,
          "====> HTTP status:\t\t" + std::to_string(status)};
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ClassifyTest,
    ::testing::Values(
        ClassifyCase{"pass200", 0x1, 0, {OUTCOME_PASS, 0, "", 200}, true, kPass, details(0, "No error", 200), 1, 0, 0, false},
        ClassifyCase{"redirect301", 0x1, 0, {OUTCOME_PASS, 0, "", 301}, true, kPass, details(0, "No error", 301), 0, 1, 0, false},
        ClassifyCase{"notFound404", 0x1, 9, {OUTCOME_CONNECTION_REFUSED, 0, "", 404}, true, kErr, details(0, "No error", 404), 0, 1, 0, false},
        ClassifyCase{"server500", 0x1, 12, {OUTCOME_SERVER_ERROR, 0, "", 500}, true, kErr, details(0, "No error", 500), 0, 0, 1, false},
        ClassifyCase{"server503", 0x1, 12, {OUTCOME_SERVER_ERROR, 0, "", 503}, true, kErr, details(0, "No error", 503), 0, 0, 1, false},
        ClassifyCase{"curlCodeWith200", 0x1, 1, {OUTCOME_FAILED, 7, "Failed to connect", 200}, true, kErr, details(7, "Failed to connect", 200), 0, 0, 1, false},
        ClassifyCase{"echoMismatch200", 0x4, 1, {OUTCOME_FAILED, 0, "", 200}, true, kErr, details(0, "No error", 200), 0, 1, 0, false},
        ClassifyCase{"status0outcome0", 0x800, 0, {OUTCOME_PASS, 0, "", 0}, true, kPass, details(0, "No error", 0), 1, 0, 0, false},
        ClassifyCase{"status0outcome1", 0x800, 1, {OUTCOME_FAILED, 0, "", 0}, true, kErr, details(0, "No error", 0), 0, 1, 0, false},
        ClassifyCase{"updaterNotRun", 0x400, 6, {OUTCOME_NOT_RUN, 0, "", 0}, true, kWarn, {"========> No connector update was available (not executed)"}, 0, 1, 0, false},
        ClassifyCase{"crashDumpNotRun", 0x8, 6, {OUTCOME_NOT_RUN, 0, "", 0}, true, kWarn, {"========> Crash dump is disabled (not executed)"}, 0, 1, 0, false},
        ClassifyCase{"otherNotRun", 0x20, 6, {OUTCOME_NOT_RUN, 0, "", 0}, true, kWarn, {"========> [error] host not found"}, 0, 0, 1, false},
        ClassifyCase{"slotUntouched", 0x4, 1, {}, false, kErr, {}, 0, 0, 1, true}),
    [](const auto& info) { return std::string(info.param.label); });

TEST_F(RunChecksTest, LongErrorTextIsCutToTheBuffer) {
  planned.rc = 1;
  planned.result = {OUTCOME_FAILED, 28, "", 0};
  std::memset(planned.result.curl_error, 'x', sizeof(planned.result.curl_error));  // no terminator
  auto [lines, err] = run(0x1);
  ASSERT_GE(lines.size(), 5u);
  EXPECT_EQ(lines[4], "====> Curl err   :\t\t" + std::string(255, 'x'));
}

TEST_F(RunChecksTest, RowWithoutSlotIsCountedAsFailed) {
  const CheckRow odd[] = {{"Odd", 0x2000, check_health}};
  planned.result = {OUTCOME_PASS, 0, "", 200};
  auto [lines, err] = run(0x2000, odd);
  EXPECT_NE(err.find("Failed to get check result details"), std::string::npos);
  std::vector<std::string> tail(lines.end() - 6, lines.end());
  EXPECT_EQ(tail, summary(0, 0, 1, 1));
}

// A check whose one transfer was refused, and one that made none.
int check_with_refused_transfer(pathvane_handle* handle) {
  static int marker;
  xfer_facts_before(reinterpret_cast<CURL*>(&marker));
  xfer_facts* facts = xfer_facts_take_in_flight();
  facts->curl_code = CURLE_COULDNT_CONNECT;
  std::snprintf(facts->remote_ip, sizeof(facts->remote_ip), "192.0.2.7");
  facts->remote_port = 9;
  handle->results[slot_for_bit(0x1)] = {OUTCOME_FAILED, CURLE_COULDNT_CONNECT, "refused", 0};
  return 1;
}

int check_without_transfer(pathvane_handle* handle) {
  handle->results[slot_for_bit(0x4)] = {OUTCOME_FAILED, 0, "no token", 0};
  return 1;
}

TEST_F(RunChecksTest, EachCheckHasOnlyItsOwnTransfersAndCauses) {
  const CheckRow rows[] = {{"Health Test", 0x1, check_with_refused_transfer},
                           {"Velta Registration", 0x4, check_without_transfer}};
  run(0x1 | 0x4, rows);
  const auto& records = wrapper_.records();
  ASSERT_EQ(records.size(), 2u);
  ASSERT_EQ(records[0].transfers.size(), 1u);
  ASSERT_FALSE(records[0].causes.empty());
  EXPECT_EQ(records[0].causes[0].code, "tcp.refused");
  EXPECT_EQ(records[0].causes[0].key, "192.0.2.7:9");
  EXPECT_TRUE(records[1].transfers.empty());
  ASSERT_EQ(records[1].causes.size(), 1u);
  EXPECT_EQ(records[1].causes[0].code, "check.stopped");
  ASSERT_EQ(records[1].hints.size(), 1u);
  EXPECT_NE(records[1].hints[0].find("before any transfer: no token"), std::string::npos) << records[1].hints[0];
}

TEST(SlotTable, BitsMapToTheirShift) {
  for (uint32_t slot = 0; slot < 13; ++slot) EXPECT_EQ(slot_for_bit(1u << slot), slot);
  EXPECT_EQ(slot_for_bit(0x2000), 13u);
  EXPECT_EQ(slot_for_bit(0x3), 13u);
}

}  // namespace
