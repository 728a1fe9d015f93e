#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netpacket/packet.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "agent/kit/kit.h"
#include "pathvane/pathvane.h"
#include "platform/adapters.h"
#include "platform/codec.h"
#include "platform/sysinfo.h"
#include "shared_agent/util/host_identity.h"

namespace {

using platform::AdapterRecord;
using platform::AdapterSnapshot;
using platform::IpAddrRow;

// Names the seam hands out, per format; no entry means "not available".
std::map<uint32_t, std::u16string> seam_names;

bool seam_source(platform::COMPUTER_NAME_FORMAT format, std::u16string& name) {
  auto found = seam_names.find(format);
  if (found == seam_names.end()) return false;
  name = found->second;
  return true;
}

std::vector<std::string> lines_starting(const std::string& text, const std::string& prefix) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (line.rfind(prefix, 0) == 0) lines.push_back(line.substr(prefix.size()));
  }
  return lines;
}

std::u16string ascii16(const std::string& text) { return std::u16string(text.begin(), text.end()); }

std::string utf8_of(const std::u16string& text) {
  std::string out(text.size() * 3 + 1, '\0');
  int n = platform::WideCharToMultiByte(platform::CP_UTF8, 0, text.c_str(), -1, out.data(),
                                        static_cast<int>(out.size()));
  out.resize(n > 0 ? static_cast<size_t>(n - 1) : 0);
  return out;
}

// An up Ethernet adapter with a locally administered address ending in its index.
AdapterRecord adapter(uint32_t index, const std::string& name) {
  AdapterRecord record;
  record.adapter_name = name;
  record.friendly_name = ascii16(name);
  record.if_index = index;
  record.if_type = platform::IF_TYPE_ETHERNET_CSMACD;
  record.oper_status = platform::IfOperStatusUp;
  record.physical_address = {0x02, 0x00, 0x5e, 0x10, 0x20, static_cast<uint8_t>(index)};
  return record;
}

AdapterRecord with_friendly(AdapterRecord record, std::u16string friendly) {
  record.friendly_name = std::move(friendly);
  return record;
}

AdapterRecord with_address(AdapterRecord record, std::vector<uint8_t> bytes) {
  record.physical_address = std::move(bytes);
  return record;
}

AdapterRecord with_status(AdapterRecord record, uint32_t type, uint32_t oper_status) {
  record.if_type = type;
  record.oper_status = oper_status;
  return record;
}

IpAddrRow row(uint32_t index, const char* dotted) {
  IpAddrRow r;
  in_addr address{};
  EXPECT_EQ(inet_pton(AF_INET, dotted, &address), 1) << dotted;
  r.addr = address.s_addr;
  r.mask = htonl(0xFFFFFF00u);
  r.if_index = index;
  return r;
}

std::string mac_of(uint32_t index) {
  char text[18];
  std::snprintf(text, sizeof(text), "02:00:5e:10:20:%02x", index);
  return text;
}

// Lowercase hex pairs joined by ':', one to six of them.
bool looks_like_mac(const std::string& text) {
  auto hex = [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); };
  if (text.size() % 3 != 2 || text.size() > 17) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    if (i % 3 == 2 ? text[i] != ':' : !hex(text[i])) return false;
  }
  return true;
}

bool is_empty(const char* field, size_t size) {
  return std::all_of(field, field + size, [](char c) { return c == '\0'; });
}

class HostIdentityTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_level_ = getDebugLevel();
    setDebugLevel(0x7FFFFFF000LL);
    seam_names = {{platform::ComputerNameDnsFullyQualified, u"host.example.test"}};
    platform::set_computer_name_source(seam_source);
    settings_ = std::make_unique<pathvane_settings>();
    std::memset(settings_.get(), 0, sizeof(*settings_));
  }
  void TearDown() override {
    platform::set_computer_name_source(nullptr);
    setDebugLevel(saved_level_);
  }

  // Reads the identity into a zeroed record; returns what went to standard error.
  std::string read(const AdapterSnapshot* snapshot) {
    ::testing::internal::CaptureStderr();
    result_ = read_host_identity(&settings_->os_info, &settings_->host_info, snapshot);
    return ::testing::internal::GetCapturedStderr();
  }

  const host_info& host() const { return settings_->host_info; }

  int64_t saved_level_ = 0;
  std::unique_ptr<pathvane_settings> settings_;
  HRESULT result_ = E_FAIL;
};

// ---------------------------------------------------------------------------
// Which adapters are kept, and how their fields are stored.

struct ExpectedNic {
  std::string adapter_name;
  std::string friendly_name;
  std::string mac;
  std::string ip;
};

struct KeepCase {
  std::string name;
  AdapterSnapshot snapshot;
  std::vector<ExpectedNic> expected;
};

std::ostream& operator<<(std::ostream& out, const KeepCase& c) { return out << c.name; }

ExpectedNic listed(uint32_t index, const std::string& name, const std::string& ip) {
  return {name, name, mac_of(index), ip};
}

std::vector<KeepCase> keep_cases() {
  std::vector<KeepCase> cases;
  AdapterRecord good = adapter(1, "eth1");
  IpAddrRow good_row = row(1, "192.0.2.1");
  ExpectedNic good_nic = listed(1, "eth1", "192.0.2.1");

  cases.push_back({"MoreThanThreeKeepsTheLowestIndexes",
                   {0,
                    {adapter(9, "eth9"), adapter(4, "eth4"), adapter(12, "eth12"), adapter(2, "eth2"),
                     adapter(7, "eth7")},
                    0,
                    {row(9, "10.0.0.9"), row(4, "10.0.0.4"), row(12, "10.0.0.12"), row(2, "10.0.0.2"),
                     row(7, "10.0.0.7")}},
                   {listed(2, "eth2", "10.0.0.2"), listed(4, "eth4", "10.0.0.4"), listed(7, "eth7", "10.0.0.7")}});

  // 55 bytes fit the 56-byte field with its terminator; 56 bytes, in
  // characters or in UTF-8, do not.
  cases.push_back({"FriendlyNameMustFitWithItsTerminator",
                   {0,
                    {with_friendly(adapter(1, "eth1"), std::u16string(55, u'a')),
                     with_friendly(adapter(2, "eth2"), std::u16string(56, u'b')),
                     with_friendly(adapter(3, "eth3"), std::u16string(28, u'\u00e9'))},
                    0,
                    {row(1, "10.0.0.1"), row(2, "10.0.0.2"), row(3, "10.0.0.3")}},
                   {{"eth1", std::string(55, 'a'), mac_of(1), "10.0.0.1"},
                    {"eth2", "", mac_of(2), "10.0.0.2"},
                    {"eth3", "", mac_of(3), "10.0.0.3"}}});

  cases.push_back({"LongPhysicalAddressIsListedWithoutMac",
                   {0,
                    {with_address(adapter(5, "ib0"), {0x80, 0x00, 0x02, 0x08, 0xfe, 0x80, 0x00, 0x01}),
                     with_address(adapter(6, "fw0"), {0x0a, 0x0b, 0x0c, 0x0d, 0x0e, 0x0f, 0x10})},
                    0,
                    {row(5, "10.0.5.1"), row(6, "10.0.6.1")}},
                   {{"ib0", "ib0", "", "10.0.5.1"}, {"fw0", "fw0", "", "10.0.6.1"}}});

  cases.push_back({"Ipv6OnlyIsNotListed", {0, {good, adapter(2, "eth2")}, 0, {good_row}}, {good_nic}});

  cases.push_back({"NoPhysicalAddressIsNotListed",
                   {0, {good, with_address(adapter(2, "tun0"), {})}, 0, {good_row, row(2, "10.8.0.1")}},
                   {good_nic}});

  cases.push_back({"DownIsNotListed",
                   {0,
                    {good, with_status(adapter(2, "eth2"), platform::IF_TYPE_ETHERNET_CSMACD,
                                       platform::IfOperStatusDown)},
                    0,
                    {good_row, row(2, "10.0.0.2")}},
                   {good_nic}});

  cases.push_back({"SoftwareLoopbackIsNotListed",
                   {0,
                    {good, with_status(adapter(2, "lo"), platform::IF_TYPE_SOFTWARE_LOOPBACK,
                                       platform::IfOperStatusUp)},
                    0,
                    {good_row, row(2, "10.0.0.2")}},
                   {good_nic}});

  cases.push_back({"Exactly127001IsNotListed",
                   {0, {good, adapter(2, "eth2"), adapter(3, "eth3")}, 0,
                    {good_row, row(2, "127.0.0.1"), row(3, "127.0.0.2")}},
                   {good_nic, listed(3, "eth3", "127.0.0.2")}});

  cases.push_back({"LastAddressRowWins",
                   {0, {adapter(3, "eth3"), adapter(4, "eth4")}, 0,
                    {row(3, "10.0.0.1"), row(4, "10.0.1.1"), row(3, "10.0.0.2"), row(3, "10.0.0.3")}},
                   {listed(3, "eth3", "10.0.0.3"), listed(4, "eth4", "10.0.1.1")}});

  cases.push_back({"LaterLoopbackAddressRowHidesTheAdapter",
                   {0, {good, adapter(2, "eth2"), adapter(3, "eth3")}, 0,
                    {good_row, row(2, "10.0.0.2"), row(2, "127.0.0.1"), row(3, "127.0.0.1"), row(3, "10.0.0.3")}},
                   {good_nic, listed(3, "eth3", "10.0.0.3")}});

  cases.push_back({"LaterAdapterWithTheSameIndexReplaces",
                   {0, {adapter(3, "first"), with_address(adapter(3, "second"), {0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff})},
                    0, {row(3, "10.0.0.3")}},
                   {{"second", "second", "aa:bb:cc:dd:ee:ff", "10.0.0.3"}}});

  cases.push_back({"RowOfAnUnknownInterfaceIsIgnored",
                   {0, {good, adapter(2, "eth2")}, 0, {good_row, row(99, "10.0.0.2")}},
                   {good_nic}});

  cases.push_back({"NoAddressTableMeansNoAdapter", {0, {good}, platform::ERROR_NOT_ENOUGH_MEMORY, {good_row}}, {}});

  return cases;
}

class KeepRuleTest : public HostIdentityTest, public ::testing::WithParamInterface<KeepCase> {};

TEST_P(KeepRuleTest, ListsTheKeptAdaptersInIndexOrder) {
  const KeepCase& c = GetParam();
  std::string err = read(&c.snapshot);
  ASSERT_EQ(result_, S_OK);
  EXPECT_EQ(lines_starting(err, "[error] "), std::vector<std::string>{});
  ASSERT_EQ(host().nic_count, c.expected.size());
  for (size_t i = 0; i < c.expected.size(); ++i) {
    SCOPED_TRACE("slot " + std::to_string(i));
    const nic_info& nic = host().nics[i];
    EXPECT_EQ(std::string(nic.adapter_name), c.expected[i].adapter_name);
    EXPECT_EQ(std::string(nic.friendly_name), c.expected[i].friendly_name);
    EXPECT_EQ(std::string(nic.mac), c.expected[i].mac);
    EXPECT_EQ(std::string(nic.ip), c.expected[i].ip);
    EXPECT_TRUE(is_empty(nic.ipv6, sizeof(nic.ipv6)));
    EXPECT_EQ(nic.is_up, 1);
  }
  for (size_t i = c.expected.size(); i < static_cast<size_t>(kMaxNics); ++i) {
    EXPECT_TRUE(is_empty(reinterpret_cast<const char*>(&host().nics[i]), sizeof(nic_info))) << "slot " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(Snapshots, KeepRuleTest, ::testing::ValuesIn(keep_cases()),
                         [](const ::testing::TestParamInfo<KeepCase>& info) { return info.param.name; });

// ---------------------------------------------------------------------------
// A failed adapter query leaves no adapters, and the identity is still read.

std::vector<AdapterRecord> adapters_filling(size_t bytes) {
  std::vector<AdapterRecord> list;
  for (uint32_t i = 1; platform::adapter_list_bytes(list) <= bytes; ++i) {
    list.push_back(adapter(i, "veth" + std::to_string(i)));
  }
  return list;
}

struct FailedQueryCase {
  std::string name;
  AdapterSnapshot snapshot;
};

class FailedQueryTest : public HostIdentityTest, public ::testing::WithParamInterface<FailedQueryCase> {};

TEST_P(FailedQueryTest, GivesAnEmptyTable) {
  const AdapterSnapshot& snapshot = GetParam().snapshot;

  zel::NicTable table;
  table[1].mac = u"stale";
  ::testing::internal::CaptureStderr();
  HRESULT hr = zel::DumpNetworkInfo(table, &snapshot);
  std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(hr, static_cast<HRESULT>(0xC1040003));
  EXPECT_TRUE(table.empty());
  EXPECT_EQ(lines_starting(err, "[trace] "),
            (std::vector<std::string>{"zel::DumpNetworkInfo: entering", "zel::DumpNetworkInfo: exit."}));
  EXPECT_EQ(lines_starting(err, "[error] "), std::vector<std::string>{});

  read(&snapshot);
  EXPECT_EQ(result_, S_OK);
  EXPECT_EQ(host().nic_count, 0);
  EXPECT_STREQ(host().hostname, "host.example.test");
}

FailedQueryCase failing(const std::string& name, uint32_t code) {
  AdapterSnapshot snapshot{code, {adapter(1, "eth1")}, 0, {row(1, "10.0.0.1")}};
  return {name, snapshot};
}

INSTANTIATE_TEST_SUITE_P(
    Snapshots, FailedQueryTest,
    ::testing::Values(failing("QueryError", platform::ERROR_GEN_FAILURE),
                      FailedQueryCase{"NoAdapters", AdapterSnapshot{}},
                      FailedQueryCase{"ListLargerThanTheWorkBuffer",
                                      AdapterSnapshot{0, adapters_filling(0x10000), 0, {row(1, "10.0.0.1")}}}),
    [](const ::testing::TestParamInfo<FailedQueryCase>& info) { return info.param.name; });

TEST_F(HostIdentityTest, ListThatJustFitsTheWorkBufferIsScanned) {
  AdapterSnapshot snapshot{0, adapters_filling(0x10000), 0, {row(1, "10.0.0.1"), row(2, "10.0.0.2")}};
  ASSERT_GT(platform::adapter_list_bytes(snapshot.adapters), 0x10000u);
  snapshot.adapters.pop_back();
  ASSERT_LE(platform::adapter_list_bytes(snapshot.adapters), 0x10000u);

  zel::NicTable table;
  ::testing::internal::CaptureStderr();
  HRESULT hr = zel::DumpNetworkInfo(table, &snapshot);
  ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(hr, S_OK);
  ASSERT_EQ(table.size(), 2u);
  EXPECT_EQ(table.at(2).ipv4, u"10.0.0.2");
}

// ---------------------------------------------------------------------------
// Texts of the scan and of the OS facts.

TEST(FormatMac, JoinsLowercaseHexPairs) {
  struct Case {
    std::vector<uint8_t> bytes;
    std::u16string expected;
  } cases[] = {
      {{0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e}, u"00:1a:2b:3c:4d:5e"},
      {{0xff, 0xAB, 0x0c, 0x00, 0x00, 0x01}, u"ff:ab:0c:00:00:01"},
      {{0x07}, u"07"},
      {{0x80, 0x00, 0x02, 0x08, 0xfe, 0x80, 0x00, 0x01}, u"80:00:02:08:fe:80:00:01"},
      {{}, u""},
  };
  for (const auto& c : cases) {
    std::u16string out = u"previous";
    EXPECT_EQ(format_mac(c.bytes.data(), static_cast<uint32_t>(c.bytes.size()), out), 0);
    EXPECT_EQ(out, c.expected);
  }
}

TEST(KernelRelease, GivesMajorMinorBuild) {
  struct Case {
    const char* release;
    uint32_t major, minor, build;
  } cases[] = {
      {"6.1.0-18-amd64", 6, 1, 0},
      {"6.18.44-fc-v1478", 6, 18, 44},
      {"5.15.153.1-microsoft-standard-WSL2", 5, 15, 153},
      {"6.8", 6, 8, 0},
      {"4", 4, 0, 0},
      {"6.1-rc3", 6, 1, 0},
      {"6..2", 6, 0, 0},
      {"", 0, 0, 0},
      {"linux", 0, 0, 0},
      {nullptr, 0, 0, 0},
      {"99999999999.1.2", 0xFFFFFFFFu, 1, 2},
  };
  for (const auto& c : cases) {
    uint32_t major = 77, minor = 77, build = 77;
    platform::parse_kernel_release(c.release, major, minor, build);
    EXPECT_EQ(major, c.major) << (c.release ? c.release : "(null)");
    EXPECT_EQ(minor, c.minor) << (c.release ? c.release : "(null)");
    EXPECT_EQ(build, c.build) << (c.release ? c.release : "(null)");
  }
}

TEST(ArchitectureCode, UsesTheWindowsCodes) {
  struct Case {
    const char* machine;
    uint16_t code;
  } cases[] = {
      {"x86_64", 9}, {"aarch64", 12}, {"i386", 0}, {"i686", 0},      {"i786", 0xFFFF},
      {"armv7l", 0xFFFF}, {"riscv64", 0xFFFF}, {"x86_64x", 0xFFFF}, {"", 0xFFFF}, {nullptr, 0xFFFF},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(platform::architecture_code(c.machine), c.code) << (c.machine ? c.machine : "(null)");
  }
}

TEST_F(HostIdentityTest, OsFactsComeFromTheRunningKernel) {
  utsname name;
  ASSERT_EQ(uname(&name), 0);
  uint32_t major = 0, minor = 0, build = 0;
  platform::parse_kernel_release(name.release, major, minor, build);

  AdapterSnapshot none{platform::ERROR_GEN_FAILURE, {}, 0, {}};
  std::string err = read(&none);
  ASSERT_EQ(result_, S_OK);
  const os_info& os = settings_->os_info;
  EXPECT_EQ(os.product_type, 1);
  EXPECT_EQ(os.architecture, platform::architecture_code(name.machine));
  EXPECT_EQ(os.major, major);
  EXPECT_EQ(os.minor, minor);
  EXPECT_EQ(os.build, build);
  EXPECT_EQ(os.platform_id, 2u);
  EXPECT_EQ(os.os_product_type, 1u);
  EXPECT_EQ(os.product_info_type, 0u);
  EXPECT_EQ(os.service_pack_major, 0u);
  EXPECT_EQ(os.service_pack_minor, 0u);
  EXPECT_EQ(os.suite_mask, 0u);
  EXPECT_EQ(os.sm_server_r2, 0u);
  // kernel32's GetProductInfo is there and succeeds: none of its notes.
  EXPECT_EQ(err.find("kernel32"), std::string::npos) << err;
  EXPECT_EQ(err.find("GetProductInfo"), std::string::npos) << err;
}

// ---------------------------------------------------------------------------
// The computer name.

struct NameCase {
  std::string name;
  std::optional<std::u16string> fully_qualified;
  std::optional<std::u16string> host_name;
  std::string expected_hostname;
  std::vector<std::string> expected_errors;
};

std::ostream& operator<<(std::ostream& out, const NameCase& c) { return out << c.name; }

class ComputerNameTest : public HostIdentityTest, public ::testing::WithParamInterface<NameCase> {};

TEST_P(ComputerNameTest, StoresTheNameOrItsPlaceholder) {
  const NameCase& c = GetParam();
  seam_names.clear();
  if (c.fully_qualified) seam_names[platform::ComputerNameDnsFullyQualified] = *c.fully_qualified;
  if (c.host_name) seam_names[platform::ComputerNameDnsHostname] = *c.host_name;
  AdapterSnapshot none{platform::ERROR_GEN_FAILURE, {}, 0, {}};

  std::string err = read(&none);
  ASSERT_EQ(result_, S_OK);
  EXPECT_EQ(std::string(host().hostname), c.expected_hostname);
  EXPECT_EQ(lines_starting(err, "[error] "), c.expected_errors);
}

const char kNoFq[] = "zel::GetComputerNameExW: GetComputerNameEx ( 3 ) last error not ERROR_MORE_DATA";
const char kNoHost[] = "zel::GetComputerNameExW: GetComputerNameEx ( 1 ) last error not ERROR_MORE_DATA";

INSTANTIATE_TEST_SUITE_P(
    Seam, ComputerNameTest,
    ::testing::Values(
        NameCase{"FullyQualifiedFirst", u"host.example.test", u"host", "host.example.test", {}},
        NameCase{"HostNameWhenNoFullyQualified", std::nullopt, u"host", "host", {kNoFq}},
        NameCase{"NonAsciiIsStoredAsUtf8", u"h\u00f4te.example", std::nullopt, "h\u00f4te.example", {}},
        NameCase{"Name255BytesFits", ascii16(std::string(255, 'n')), std::nullopt, std::string(255, 'n'), {}},
        NameCase{"Name256BytesIsNil", ascii16(std::string(256, 'n')), std::nullopt, "nil",
                 {"error setting hostname"}},
        NameCase{"Name256Utf8BytesIsNil", std::u16string(128, u'\u00e9'), std::nullopt, "nil",
                 {"error setting hostname"}},
        NameCase{"NoNameInEitherFormat", std::nullopt, std::nullopt, "",
                 {kNoFq, kNoHost, "zel::GetFQDomainName: Could not determine computer name"}}),
    [](const ::testing::TestParamInfo<NameCase>& info) { return info.param.name; });

TEST_F(HostIdentityTest, UnknownWhenTheNameCannotBeRead) {
  seam_names.clear();
  std::u16string out = u"previous";
  ::testing::internal::CaptureStderr();
  EXPECT_FALSE(zel::GetComputerNameExW(platform::ComputerNameDnsHostname, out));
  std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(out, u"UNKNOWN");
  EXPECT_EQ(lines_starting(err, "[error] "), std::vector<std::string>{kNoHost});
}

TEST_F(HostIdentityTest, PlatformComputerNameHasWindowsSizeSemantics) {
  seam_names = {{platform::ComputerNameDnsHostname, u"abc"}};
  uint32_t size = 0;
  EXPECT_EQ(platform::GetComputerNameExW(platform::ComputerNameDnsHostname, nullptr, &size), 0);
  EXPECT_EQ(platform::GetLastError(), platform::ERROR_MORE_DATA);
  EXPECT_EQ(size, 4u);

  char16_t small[3] = {u'x', u'x', u'x'};
  size = 3;
  EXPECT_EQ(platform::GetComputerNameExW(platform::ComputerNameDnsHostname, small, &size), 0);
  EXPECT_EQ(platform::GetLastError(), platform::ERROR_MORE_DATA);
  EXPECT_EQ(size, 4u);

  char16_t fits[4] = {};
  size = 4;
  EXPECT_EQ(platform::GetComputerNameExW(platform::ComputerNameDnsHostname, fits, &size), 1);
  EXPECT_EQ(size, 3u);
  EXPECT_EQ(std::u16string(fits), u"abc");

  size = 0;
  EXPECT_EQ(platform::GetComputerNameExW(platform::ComputerNameDnsDomain, nullptr, &size), 0);
  EXPECT_EQ(platform::GetLastError(), platform::ERROR_INVALID_PARAMETER);
}

TEST(SystemComputerName, BothFormatsNameThisHost) {
  platform::set_computer_name_source(nullptr);
  char host[256] = {};
  ASSERT_EQ(gethostname(host, sizeof(host) - 1), 0);
  std::u16string short_name, full_name;
  ::testing::internal::CaptureStderr();
  bool short_found = zel::GetComputerNameExW(platform::ComputerNameDnsHostname, short_name);
  bool full_found = zel::GetComputerNameExW(platform::ComputerNameDnsFullyQualified, full_name);
  std::string err = ::testing::internal::GetCapturedStderr();
  ASSERT_TRUE(short_found) << err;
  ASSERT_TRUE(full_found) << err;
  EXPECT_EQ(utf8_of(short_name), host);
  EXPECT_FALSE(full_name.empty());
}

// ---------------------------------------------------------------------------
// This machine's own adapters.

// The interfaces that could be listed: up, running, not loopback, with a
// hardware address and an IPv4 address other than 127.0.0.1.
std::map<std::string, std::set<std::string>> eligible_interfaces() {
  std::map<std::string, std::set<std::string>> addresses;
  std::set<std::string> with_hardware;
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return {};
  for (ifaddrs* e = list; e; e = e->ifa_next) {
    if (!e->ifa_addr) continue;
    unsigned up = IFF_UP | IFF_RUNNING;
    if ((e->ifa_flags & up) != up || (e->ifa_flags & IFF_LOOPBACK)) continue;
    if (e->ifa_addr->sa_family == AF_PACKET) {
      sockaddr_ll link;
      std::memcpy(&link, e->ifa_addr, sizeof(link));
      if (link.sll_halen > 0) with_hardware.insert(e->ifa_name);
    } else if (e->ifa_addr->sa_family == AF_INET) {
      sockaddr_in address;
      std::memcpy(&address, e->ifa_addr, sizeof(address));
      char text[INET_ADDRSTRLEN] = {};
      inet_ntop(AF_INET, &address.sin_addr, text, sizeof(text));
      // An address label such as "eth0:1" belongs to "eth0".
      std::string name = e->ifa_name;
      addresses[name.substr(0, name.find(':'))].insert(text);
    }
  }
  freeifaddrs(list);
  std::map<std::string, std::set<std::string>> eligible;
  for (auto& [name, ips] : addresses) {
    if (with_hardware.count(name) && !ips.count("127.0.0.1")) eligible[name] = ips;
  }
  return eligible;
}

TEST_F(HostIdentityTest, ThisMachinesAdaptersAreWellFormed) {
  std::string err = read(nullptr);
  ASSERT_EQ(result_, S_OK);
  EXPECT_EQ(lines_starting(err, "[error] "), std::vector<std::string>{});

  auto eligible = eligible_interfaces();
  EXPECT_EQ(host().nic_count, std::min<size_t>(eligible.size(), kMaxNics));
  ASSERT_LE(host().nic_count, kMaxNics);

  uint32_t previous_index = 0;
  for (int i = 0; i < host().nic_count; ++i) {
    const nic_info& nic = host().nics[i];
    SCOPED_TRACE(nic.adapter_name);
    const std::pair<const char*, size_t> fields[] = {{nic.adapter_name, sizeof(nic.adapter_name)},
                                                     {nic.friendly_name, sizeof(nic.friendly_name)},
                                                     {nic.mac, sizeof(nic.mac)},
                                                     {nic.ip, sizeof(nic.ip)},
                                                     {nic.ipv6, sizeof(nic.ipv6)}};
    for (const auto& [field, size] : fields) EXPECT_NE(std::memchr(field, '\0', size), nullptr);
    EXPECT_EQ(nic.ipv6[0], '\0');
    EXPECT_EQ(nic.is_up, 1);
    EXPECT_TRUE(looks_like_mac(nic.mac)) << nic.mac;
    EXPECT_STREQ(nic.friendly_name, nic.adapter_name);
    ASSERT_EQ(eligible.count(nic.adapter_name), 1u);
    EXPECT_EQ(eligible[nic.adapter_name].count(nic.ip), 1u) << nic.ip;
    uint32_t index = if_nametoindex(nic.adapter_name);
    EXPECT_GT(index, previous_index);
    previous_index = index;
  }
}

}  // namespace
