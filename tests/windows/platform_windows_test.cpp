// The Windows system layer against the real system services (run under
// Wine on the build machine).
#include "platform/adapters.h"
#include "platform/cert_system_store.h"
#include "platform/clock.h"
#include "platform/codec.h"
#include "platform/console.h"
#include "platform/fd_write.h"
#include "platform/files.h"
#include "platform/loader.h"
#include "platform/sysinfo.h"

#include <gtest/gtest.h>

// After the interface: its constants share names with these macros.
#include <windows.h>
#include <aclapi.h>
#include <fcntl.h>
#include <io.h>
#include <winioctl.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

std::u16string utf16(const std::string& utf8) {
  const int n = platform::MultiByteToWideChar(platform::CP_UTF8, 0, utf8.c_str(), -1, nullptr, 0);
  std::u16string out(static_cast<size_t>(n), u'\0');
  platform::MultiByteToWideChar(platform::CP_UTF8, 0, utf8.c_str(), -1, out.data(), n);
  out.resize(static_cast<size_t>(n - 1));
  return out;
}

std::wstring wide(const std::string& utf8) {
  const std::u16string text = utf16(utf8);
  return std::wstring(reinterpret_cast<const wchar_t*>(text.c_str()), text.size());
}

std::string read_whole(const std::string& path) {
  std::ifstream in(wide(path).c_str(), std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

bool ends_with_icase(std::string text, std::string end) {
  if (end.size() > text.size()) return false;
  for (auto* s : {&text, &end}) {
    for (char& c : *s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// ---------------------------------------------------------------- codec

struct RoundTrip {
  const char* utf8;
  std::u16string utf16;
};

class CodecRoundTrip : public ::testing::TestWithParam<RoundTrip> {};

TEST_P(CodecRoundTrip, Utf8ToUtf16AndBack) {
  const RoundTrip& c = GetParam();
  const int in_len = static_cast<int>(std::strlen(c.utf8));
  const int units = platform::MultiByteToWideChar(platform::CP_UTF8, platform::MB_ERR_INVALID_CHARS, c.utf8, in_len, nullptr, 0);
  ASSERT_EQ(units, static_cast<int>(c.utf16.size()));
  std::u16string out(static_cast<size_t>(units), u'\0');
  ASSERT_EQ(platform::MultiByteToWideChar(platform::CP_UTF8, platform::MB_ERR_INVALID_CHARS, c.utf8, in_len, out.data(), units), units);
  EXPECT_EQ(out, c.utf16);

  const int bytes = platform::WideCharToMultiByte(platform::CP_UTF8, 0, out.data(), units, nullptr, 0);
  ASSERT_EQ(bytes, in_len);
  std::string back(static_cast<size_t>(bytes), '\0');
  ASSERT_EQ(platform::WideCharToMultiByte(platform::CP_UTF8, 0, out.data(), units, back.data(), bytes), bytes);
  EXPECT_EQ(back, c.utf8);
}

INSTANTIATE_TEST_SUITE_P(Texts, CodecRoundTrip,
                         ::testing::Values(RoundTrip{"plain ascii", u"plain ascii"},
                                           RoundTrip{"caf\xC3\xA9", u"caf\u00E9"},
                                           RoundTrip{"\xE6\x97\xA5\xE6\x9C\xAC", u"\u65E5\u672C"},
                                           // Beyond the BMP: a surrogate pair.
                                           RoundTrip{"\xF0\x9F\x98\x80!", u"\U0001F600!"}));

TEST(Codec, MinusOneLengthCountsTheTerminator) {
  EXPECT_EQ(platform::MultiByteToWideChar(platform::CP_UTF8, 0, "abc", -1, nullptr, 0), 4);
}

TEST(Codec, InvalidUtf8FailsStrictlyAndBecomesReplacementLeniently) {
  const char* cases[] = {"\xC3", "\xC0\xAF", "\xED\xA0\x80", "a\xFF" "b", "\xF4\x90\x80\x80"};
  for (const char* bad : cases) {
    SCOPED_TRACE(testing::PrintToString(std::string(bad)));
    const int in_len = static_cast<int>(std::strlen(bad));
    char16_t out[16];
    platform::SetLastError(0);
    EXPECT_EQ(platform::MultiByteToWideChar(platform::CP_UTF8, platform::MB_ERR_INVALID_CHARS, bad, in_len, out, 16), 0);
    EXPECT_EQ(platform::GetLastError(), static_cast<uint32_t>(platform::ERROR_NO_UNICODE_TRANSLATION));
    const int n = platform::MultiByteToWideChar(platform::CP_UTF8, 0, bad, in_len, out, 16);
    ASSERT_GT(n, 0);
    EXPECT_NE(std::u16string(out, static_cast<size_t>(n)).find(u'\uFFFD'), std::u16string::npos);
  }
}

TEST(Codec, TooSmallBufferFailsWithInsufficientBuffer) {
  char16_t out[2];
  EXPECT_EQ(platform::MultiByteToWideChar(platform::CP_UTF8, 0, "abcd", 4, out, 2), 0);
  EXPECT_EQ(platform::GetLastError(), static_cast<uint32_t>(platform::ERROR_INSUFFICIENT_BUFFER));
}

TEST(Codec, LoneSurrogateBecomesReplacementCharacter) {
  const char16_t lone[] = {u'a', static_cast<char16_t>(0xD800), u'b'};
  char out[16];
  const int n = platform::WideCharToMultiByte(platform::CP_UTF8, 0, lone, 3, out, sizeof(out));
  EXPECT_EQ(std::string(out, static_cast<size_t>(n)), "a\xEF\xBF\xBD" "b");
}

// ---------------------------------------------------------------- console

TEST(Console, LineEndsBecomeCrLfOnce) {
  const std::pair<std::string, std::string> cases[] = {
      {"", ""},
      {"one\n", "one\r\n"},
      {"a\nb\n\n", "a\r\nb\r\n\r\n"},
      {"kept\r\n", "kept\r\n"},
      {"\nlead", "\r\nlead"},
      {"no end", "no end"},
  };
  for (const auto& [in, want] : cases) EXPECT_EQ(platform::with_line_ends(in), want) << in;
  EXPECT_STREQ(platform::line_end(), "\r\n");
}

TEST(Console, ProgressUsesSpacesNotEscapes) {
  EXPECT_EQ(platform::progress_erase(0), "\r\r");
  EXPECT_EQ(platform::progress_erase(4), "\r    \r");
  // A shorter line blanks what the longer one took beyond it; columns, not
  // bytes, count ("\xC3\xA9" is one).
  const struct {
    std::string text;
    size_t previous;
  } draws[] = {{"abc", 0}, {"abc", 3}, {"ab", 5}, {"\xC3\xA9", 4}};
  for (const auto& d : draws) {
    const std::string line = platform::progress_draw(d.text, d.previous);
    SCOPED_TRACE(testing::PrintToString(line));
    EXPECT_EQ(line.rfind("\r" + d.text, 0), 0u);
    EXPECT_EQ(line.find('\x1b'), std::string::npos);
    const size_t drawn = platform::columns_of(line.substr(1, line.find('\r', 1) - 1));
    EXPECT_GE(drawn, std::max(d.previous, platform::columns_of(d.text)));
  }
}

TEST(Console, PipeGetsUtf8BytesWithCrLf) {
  HANDLE read_end = nullptr, write_end = nullptr;
  ASSERT_TRUE(::CreatePipe(&read_end, &write_end, nullptr, 1 << 16));
  HANDLE saved = ::GetStdHandle(STD_OUTPUT_HANDLE);
  ASSERT_TRUE(::SetStdHandle(STD_OUTPUT_HANDLE, write_end));
  const bool terminal = platform::stream_is_terminal(platform::Stream::kOut);
  const bool written = platform::write_stream(platform::Stream::kOut, "caf\xC3\xA9\nnext\n");
  ::SetStdHandle(STD_OUTPUT_HANDLE, saved);
  ::CloseHandle(write_end);
  char buffer[64];
  DWORD got = 0;
  std::string text;
  while (::ReadFile(read_end, buffer, sizeof(buffer), &got, nullptr) && got > 0) text.append(buffer, got);
  ::CloseHandle(read_end);
  EXPECT_FALSE(terminal);
  EXPECT_TRUE(written);
  EXPECT_EQ(text, "caf\xC3\xA9\r\nnext\r\n");
}

TEST(Console, EchoOffIsInactiveWithoutAConsoleInput) {
  HANDLE read_end = nullptr, write_end = nullptr;
  ASSERT_TRUE(::CreatePipe(&read_end, &write_end, nullptr, 0));
  HANDLE saved = ::GetStdHandle(STD_INPUT_HANDLE);
  ::SetStdHandle(STD_INPUT_HANDLE, read_end);
  bool active = true;
  {
    platform::InputEchoOff quiet;
    active = quiet.active();
  }
  ::SetStdHandle(STD_INPUT_HANDLE, saved);
  ::CloseHandle(read_end);
  ::CloseHandle(write_end);
  EXPECT_FALSE(active);
}

// ---------------------------------------------------------------- clock

struct KnownTime {
  std::time_t seconds;
  int year, month, day, hour, minute, second;
};

class ClockKnownDates : public ::testing::TestWithParam<KnownTime> {};

TEST_P(ClockKnownDates, PartsAndSecondsAgree) {
  const KnownTime& t = GetParam();
  std::tm parts{};
  ASSERT_TRUE(platform::utc_parts(t.seconds, parts));
  EXPECT_EQ(parts.tm_year + 1900, t.year);
  EXPECT_EQ(parts.tm_mon + 1, t.month);
  EXPECT_EQ(parts.tm_mday, t.day);
  EXPECT_EQ(parts.tm_hour, t.hour);
  EXPECT_EQ(parts.tm_min, t.minute);
  EXPECT_EQ(parts.tm_sec, t.second);
  std::time_t back = 0;
  ASSERT_TRUE(platform::utc_seconds(parts, back));
  EXPECT_EQ(back, t.seconds);
}

INSTANTIATE_TEST_SUITE_P(Dates, ClockKnownDates,
                         ::testing::Values(KnownTime{0, 1970, 1, 1, 0, 0, 0},
                                           KnownTime{951782400, 2000, 2, 29, 0, 0, 0},
                                           KnownTime{1700000000, 2023, 11, 14, 22, 13, 20},
                                           KnownTime{1709251199, 2024, 2, 29, 23, 59, 59},
                                           // Past 2038: time_t is 64-bit here.
                                           KnownTime{4102444800, 2100, 1, 1, 0, 0, 0}));

TEST(Clock, UtcSecondsNormalisesOutOfRangeFields) {
  std::tm parts{};
  parts.tm_year = 2024 - 1900;
  parts.tm_mon = 0;
  parts.tm_mday = 32;  // 1 February
  std::time_t when = 0;
  ASSERT_TRUE(platform::utc_seconds(parts, when));
  EXPECT_EQ(when, 1706745600);
}

TEST(Clock, BeforeNineteenSeventyIsOutOfRange) {
  std::tm parts{};
  EXPECT_FALSE(platform::utc_parts(-86400, parts));
  std::tm old{};
  old.tm_year = 1960 - 1900;
  old.tm_mday = 1;
  std::time_t when = 0;
  EXPECT_FALSE(platform::utc_seconds(old, when));
}

TEST(Clock, TimestampAndFileTimeAreNow) {
  const std::string stamp = platform::utc_timestamp();
  ASSERT_EQ(stamp.size(), 24u) << stamp;
  const char* shape = "dddd-dd-ddTdd:dd:dd.dddZ";
  for (size_t i = 0; i < stamp.size(); ++i) {
    if (shape[i] == 'd') {
      EXPECT_TRUE(stamp[i] >= '0' && stamp[i] <= '9') << stamp;
    } else {
      EXPECT_EQ(stamp[i], shape[i]) << stamp;
    }
  }
  std::tm parts{};
  ASSERT_TRUE(platform::utc_parts(std::time(nullptr), parts));
  char year[8];
  std::snprintf(year, sizeof(year), "%04d", parts.tm_year + 1900);
  EXPECT_EQ(stamp.substr(0, 4), year);

  const int64_t unix_from_filetime = platform::GetSystemTimeAsFileTime() / 10000000 - 11644473600LL;
  EXPECT_LE(std::llabs(unix_from_filetime - static_cast<int64_t>(std::time(nullptr))), 2);
}

// ---------------------------------------------------------------- files

// Whether the object's DACL lets in Everyone, Authenticated Users or Users:
// what a folder would get from a permissive parent (Wine reports the Unix
// mode's "other" bits as Everyone).
bool open_to_everyone(const std::string& path) {
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (::GetNamedSecurityInfoW(wide(path).c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                              &dacl, nullptr, &descriptor) != platform::ERROR_SUCCESS) {
    ADD_FAILURE() << "no security information for " << path;
    return true;
  }
  bool open = !dacl;  // a null DACL lets everyone in
  for (WELL_KNOWN_SID_TYPE type : {WinWorldSid, WinAuthenticatedUserSid, WinBuiltinUsersSid}) {
    BYTE sid[SECURITY_MAX_SID_SIZE];
    DWORD sid_size = sizeof(sid);
    if (!::CreateWellKnownSid(type, nullptr, sid, &sid_size)) continue;
    for (DWORD i = 0; dacl && i < dacl->AceCount; ++i) {
      ACE_HEADER* ace = nullptr;
      if (!::GetAce(dacl, i, reinterpret_cast<void**>(&ace)) || ace->AceType != ACCESS_ALLOWED_ACE_TYPE) continue;
      if (::EqualSid(&reinterpret_cast<ACCESS_ALLOWED_ACE*>(ace)->SidStart, sid)) open = true;
    }
  }
  ::LocalFree(descriptor);
  return open;
}

class FilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    wchar_t temp[MAX_PATH];
    ASSERT_GT(::GetTempPathW(MAX_PATH, temp), 0u);
    std::u16string base(reinterpret_cast<const char16_t*>(temp));
    char unique[64];
    std::snprintf(unique, sizeof(unique), "pv-test-%lu-%llu", ::GetCurrentProcessId(),
                  static_cast<unsigned long long>(::GetTickCount64()) + counter_++);
    std::string narrow;
    for (char16_t c : base) narrow.push_back(static_cast<char>(c));  // the temp path is ASCII under Wine
    root_ = narrow + unique;
  }

  void TearDown() override {
    // Everything the tests made, depth first.
    remove_tree(wide(root_));
  }

  static void remove_tree(const std::wstring& path) {
    WIN32_FIND_DATAW entry{};
    HANDLE find = ::FindFirstFileW((path + L"\\*").c_str(), &entry);
    if (find != INVALID_HANDLE_VALUE) {
      do {
        const std::wstring name = entry.cFileName;
        if (name == L"." || name == L"..") continue;
        const std::wstring child = path + L"\\" + name;
        if ((entry.dwFileAttributes & platform::FILE_ATTRIBUTE_DIRECTORY) &&
            !(entry.dwFileAttributes & platform::FILE_ATTRIBUTE_REPARSE_POINT)) {
          remove_tree(child);
        } else if (entry.dwFileAttributes & platform::FILE_ATTRIBUTE_DIRECTORY) {
          ::RemoveDirectoryW(child.c_str());
        } else {
          ::DeleteFileW(child.c_str());
        }
      } while (::FindNextFileW(find, &entry));
      ::FindClose(find);
    }
    ::RemoveDirectoryW(path.c_str());
  }

  void write_file(platform::Folder& folder, const std::string& name, const std::string& text) {
    platform::File file;
    std::string why;
    ASSERT_TRUE(folder.create_new(name, file, why)) << why;
    ASSERT_TRUE(file.write_all(text, why)) << why;
    ASSERT_TRUE(file.close(why)) << why;
  }

  std::string root_;
  static inline unsigned counter_ = 0;
};

TEST_F(FilesTest, OpenCreatesTheFolderAndFilesClosedToOthers) {
  platform::Folder folder;
  std::string why;
  ASSERT_TRUE(folder.open(root_, true, why)) << why;
  EXPECT_TRUE(folder.is_open());
  EXPECT_EQ(folder.path(), root_);
  EXPECT_EQ(folder.join("x.txt"), root_ + "\\x.txt");

  EXPECT_FALSE(open_to_everyone(root_));
  platform::File file;
  ASSERT_TRUE(folder.create_new("settings", file, why)) << why;
  EXPECT_FALSE(open_to_everyone(folder.join("settings")));

  // Opening it again, without create, finds it.
  platform::Folder again;
  EXPECT_TRUE(again.open(root_, false, why)) << why;
}

TEST_F(FilesTest, OpenRefusesAMissingFolderWithoutCreate) {
  platform::Folder folder;
  std::string why;
  EXPECT_FALSE(folder.open(root_ + "\\absent", false, why));
  EXPECT_FALSE(why.empty());
  EXPECT_FALSE(folder.is_open());
}

TEST_F(FilesTest, OpenRefusesAFileGivenAsFolder) {
  platform::Folder folder;
  std::string why;
  ASSERT_TRUE(folder.open(root_, true, why)) << why;
  write_file(folder, "plain", "x");
  platform::Folder not_folder;
  EXPECT_FALSE(not_folder.open(folder.join("plain"), false, why));
  EXPECT_EQ(why, folder.join("plain") + " is not a directory");
  EXPECT_FALSE(not_folder.open(folder.join("plain"), true, why));
  EXPECT_EQ(why, folder.join("plain") + " is not a directory");
}

// A junction, as an unprivileged user could plant, in place of a folder.
bool make_junction(const std::wstring& link, const std::wstring& target) {
  if (!::CreateDirectoryW(link.c_str(), nullptr)) return false;
  HANDLE handle = ::CreateFileW(link.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  const std::wstring substitute = L"\\??\\" + target;
  const size_t name_bytes = (substitute.size() + 1 + target.size() + 1) * sizeof(wchar_t);
  std::vector<unsigned char> buffer(8 + 8 + name_bytes, 0);
  auto put16 = [&](size_t at, size_t value) {
    const uint16_t v = static_cast<uint16_t>(value);
    std::memcpy(buffer.data() + at, &v, 2);
  };
  const uint32_t tag = IO_REPARSE_TAG_MOUNT_POINT;
  std::memcpy(buffer.data(), &tag, 4);
  put16(4, 8 + name_bytes);                                     // ReparseDataLength
  put16(8, 0);                                                  // SubstituteNameOffset
  put16(10, substitute.size() * sizeof(wchar_t));               // SubstituteNameLength
  put16(12, (substitute.size() + 1) * sizeof(wchar_t));         // PrintNameOffset
  put16(14, target.size() * sizeof(wchar_t));                   // PrintNameLength
  std::memcpy(buffer.data() + 16, substitute.c_str(), substitute.size() * sizeof(wchar_t));
  std::memcpy(buffer.data() + 16 + (substitute.size() + 1) * sizeof(wchar_t), target.c_str(),
              target.size() * sizeof(wchar_t));
  DWORD returned = 0;
  const BOOL ok = ::DeviceIoControl(handle, FSCTL_SET_REPARSE_POINT, buffer.data(),
                                    static_cast<DWORD>(buffer.size()), nullptr, 0, &returned, nullptr);
  ::CloseHandle(handle);
  if (!ok) ::RemoveDirectoryW(link.c_str());
  return ok;
}

TEST_F(FilesTest, OpenRefusesAJunction) {
  platform::Folder folder;
  std::string why;
  ASSERT_TRUE(folder.open(root_, true, why)) << why;
  ASSERT_TRUE(::CreateDirectoryW(wide(folder.join("real")).c_str(), nullptr));
  if (!make_junction(wide(folder.join("planted")), wide(folder.join("real")))) {
    GTEST_SKIP() << "this system could not make a junction (error " << ::GetLastError() << ")";
  }
  EXPECT_EQ(folder.kind_of("planted"), platform::EntryKind::kLink);
  platform::Folder through_link;
  EXPECT_FALSE(through_link.open(folder.join("planted"), false, why));
  EXPECT_EQ(why, folder.join("planted") + " is not a directory");
}

TEST_F(FilesTest, CreateNewRefusesAnExistingNameAndKeepsItsContent) {
  platform::Folder folder;
  std::string why;
  ASSERT_TRUE(folder.open(root_, true, why)) << why;
  write_file(folder, "taken.txt", "first");
  platform::File file;
  EXPECT_FALSE(folder.create_new("taken.txt", file, why));
  EXPECT_FALSE(file.is_open());
  EXPECT_FALSE(why.empty());
  EXPECT_EQ(read_whole(folder.join("taken.txt")), "first");
  // A folder at the name is refused as well.
  ASSERT_TRUE(::CreateDirectoryW(wide(folder.join("sub")).c_str(), nullptr));
  EXPECT_FALSE(folder.create_new("sub", file, why));
}

TEST_F(FilesTest, TemporaryThenReplaceSwapsTheWholeContent) {
  platform::Folder folder;
  std::string why;
  ASSERT_TRUE(folder.open(root_, true, why)) << why;
  write_file(folder, "results.json", "an old and much longer content that must not survive");

  platform::File file;
  std::string temporary;
  ASSERT_TRUE(folder.create_temporary("results.json", file, temporary, why)) << why;
  ASSERT_EQ(temporary.size(), std::string("results.json.").size() + 8 + 4) << temporary;
  EXPECT_EQ(temporary.rfind("results.json.", 0), 0u) << temporary;
  EXPECT_EQ(temporary.substr(temporary.size() - 4), ".tmp");
  for (char c : temporary.substr(13, 8)) EXPECT_TRUE(std::isalnum(static_cast<unsigned char>(c))) << temporary;

  ASSERT_TRUE(file.write_all("new", why)) << why;
  ASSERT_TRUE(file.sync(why)) << why;
  ASSERT_TRUE(file.close(why)) << why;
  ASSERT_TRUE(folder.replace(temporary, "results.json", why)) << why;

  EXPECT_EQ(read_whole(folder.join("results.json")), "new");
  EXPECT_EQ(folder.kind_of(temporary), platform::EntryKind::kMissing);
  EXPECT_EQ(folder.names(), std::vector<std::string>{"results.json"});
}

TEST_F(FilesTest, TwoTemporariesGetDifferentNames) {
  platform::Folder folder;
  std::string why;
  ASSERT_TRUE(folder.open(root_, true, why)) << why;
  platform::File a, b;
  std::string name_a, name_b;
  ASSERT_TRUE(folder.create_temporary("f", a, name_a, why)) << why;
  ASSERT_TRUE(folder.create_temporary("f", b, name_b, why)) << why;
  EXPECT_NE(name_a, name_b);
}

TEST_F(FilesTest, ReplaceOfAMissingFileFailsWithAReason) {
  platform::Folder folder;
  std::string why;
  ASSERT_TRUE(folder.open(root_, true, why)) << why;
  EXPECT_FALSE(folder.replace("nothing.tmp", "target", why));
  EXPECT_FALSE(why.empty());
  EXPECT_EQ(why.find('\n'), std::string::npos) << why;
  EXPECT_EQ(why.find('\r'), std::string::npos) << why;
}

TEST_F(FilesTest, HeldByOtherFollowsTheLock) {
  platform::Folder folder;
  std::string why;
  ASSERT_TRUE(folder.open(root_, true, why)) << why;
  EXPECT_FALSE(folder.held_by_other("trace.log"));  // missing: nobody holds it

  platform::File file;
  ASSERT_TRUE(folder.create_new("trace.log", file, why)) << why;
  EXPECT_FALSE(folder.held_by_other("trace.log"));
  ASSERT_TRUE(file.lock(why)) << why;
  EXPECT_TRUE(folder.held_by_other("trace.log"));
  // The lock lies past the data: others still read what was written.
  ASSERT_TRUE(file.write_all("line\n", why)) << why;
  EXPECT_EQ(read_whole(folder.join("trace.log")), "line\n");

  ASSERT_TRUE(file.close(why)) << why;
  EXPECT_FALSE(folder.held_by_other("trace.log"));
}

TEST_F(FilesTest, SecondLockOnTheSameFileFails) {
  platform::Folder folder;
  std::string why;
  ASSERT_TRUE(folder.open(root_, true, why)) << why;
  platform::File first;
  ASSERT_TRUE(folder.create_new("one.log", first, why)) << why;
  ASSERT_TRUE(first.lock(why)) << why;
  HANDLE other = ::CreateFileW(wide(folder.join("one.log")).c_str(), GENERIC_READ,
                               FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(other, INVALID_HANDLE_VALUE);
  OVERLAPPED where{};
  where.OffsetHigh = 0xFFFFFFFFu;
  EXPECT_FALSE(::LockFileEx(other, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &where));
  ::CloseHandle(other);
}

TEST_F(FilesTest, NamesAndKindsListWhatWasMade) {
  platform::Folder folder;
  std::string why;
  ASSERT_TRUE(folder.open(root_, true, why)) << why;
  write_file(folder, "a.txt", "a");
  write_file(folder, "caf\xC3\xA9.txt", "b");
  ASSERT_TRUE(::CreateDirectoryW(wide(folder.join("sub")).c_str(), nullptr));

  std::vector<std::string> names = folder.names();
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"a.txt", "caf\xC3\xA9.txt", "sub"}));

  int64_t modified = 0;
  EXPECT_EQ(folder.kind_of("a.txt", &modified), platform::EntryKind::kRegular);
  EXPECT_LE(std::llabs(modified - static_cast<int64_t>(std::time(nullptr))), 60);
  EXPECT_EQ(folder.kind_of("sub"), platform::EntryKind::kFolder);
  EXPECT_EQ(folder.kind_of("none"), platform::EntryKind::kMissing);
  EXPECT_EQ(read_whole(folder.join("caf\xC3\xA9.txt")), "b");
}

TEST_F(FilesTest, ReleaseToStreamHandsTheFileToStdio) {
  platform::Folder folder;
  std::string why;
  ASSERT_TRUE(folder.open(root_, true, why)) << why;
  platform::File file;
  ASSERT_TRUE(folder.create_new("policy.json", file, why)) << why;
  FILE* stream = file.release_to_stream("wb");
  ASSERT_NE(stream, nullptr);
  EXPECT_FALSE(file.is_open());
  EXPECT_GE(std::fputs("{\n}\n", stream), 0);
  ASSERT_EQ(std::fclose(stream), 0);
  // Binary: no line end is changed on the way.
  EXPECT_EQ(read_whole(folder.join("policy.json")), "{\n}\n");
}

TEST_F(FilesTest, RemoveDeletesAFile) {
  platform::Folder folder;
  std::string why;
  ASSERT_TRUE(folder.open(root_, true, why)) << why;
  write_file(folder, "gone", "x");
  EXPECT_TRUE(folder.remove("gone"));
  EXPECT_EQ(folder.kind_of("gone"), platform::EntryKind::kMissing);
  EXPECT_FALSE(folder.remove("gone"));
}

TEST_F(FilesTest, FolderLockWaitsForTheHolder) {
  platform::Folder holder;
  std::string why;
  ASSERT_TRUE(holder.open(root_, true, why)) << why;
  ASSERT_TRUE(holder.lock());
  std::atomic<bool> got{false};
  std::thread waiter([&] {
    platform::Folder other;
    std::string failure;
    // Another spelling of the same folder: the lock is the folder's, not the text's.
    if (other.open(root_ + "\\.", false, failure) && other.lock()) got = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_FALSE(got.load());
  holder.close();
  waiter.join();
  EXPECT_TRUE(got.load());
}

TEST_F(FilesTest, FolderCannotBeRenamedWhileOpen) {
  platform::Folder folder;
  std::string why;
  ASSERT_TRUE(folder.open(root_, true, why)) << why;
  EXPECT_FALSE(::MoveFileW(wide(root_).c_str(), wide(root_ + "-moved").c_str()));
  folder.close();
  ASSERT_TRUE(::MoveFileW(wide(root_).c_str(), wide(root_ + "-moved").c_str()));
  ASSERT_TRUE(::MoveFileW(wide(root_ + "-moved").c_str(), wide(root_).c_str()));
}

TEST_F(FilesTest, ReadRegularFileResults) {
  platform::Folder folder;
  std::string why;
  ASSERT_TRUE(folder.open(root_, true, why)) << why;
  write_file(folder, "secret", "0123456789");
  ASSERT_TRUE(::CreateDirectoryW(wide(folder.join("dir")).c_str(), nullptr));

  std::string text;
  uint64_t size = 0;
  EXPECT_EQ(platform::read_regular_file(folder.join("secret"), 10, text, size), platform::ReadResult::kOk);
  EXPECT_EQ(text, "0123456789");
  text.clear();
  EXPECT_EQ(platform::read_regular_file(folder.join("secret"), 9, text, size), platform::ReadResult::kTooLarge);
  EXPECT_EQ(size, 10u);
  EXPECT_TRUE(text.empty());
  EXPECT_EQ(platform::read_regular_file(folder.join("dir"), 100, text, size), platform::ReadResult::kNotRegular);
  EXPECT_EQ(platform::read_regular_file("NUL", 100, text, size), platform::ReadResult::kNotRegular);
  EXPECT_EQ(platform::read_regular_file(folder.join("absent"), 100, text, size), platform::ReadResult::kMissing);
}

TEST_F(FilesTest, AttributesAndCreateDirectoryTakeWidePaths) {
  platform::Folder folder;
  std::string why;
  ASSERT_TRUE(folder.open(root_, true, why)) << why;
  const std::u16string sub = utf16(folder.join("\xE6\x97\xA5"));
  EXPECT_EQ(platform::GetFileAttributesW(sub.c_str()), platform::INVALID_FILE_ATTRIBUTES);
  ASSERT_TRUE(platform::CreateDirectoryW(sub.c_str()));
  EXPECT_FALSE(platform::CreateDirectoryW(sub.c_str()));
  const uint32_t attributes = platform::GetFileAttributesW(sub.c_str());
  ASSERT_NE(attributes, platform::INVALID_FILE_ATTRIBUTES);
  EXPECT_TRUE(attributes & platform::FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_EQ(platform::join_path("a", "b"), "a\\b");
}

TEST(FdWrite, WritesEveryByteOfALargeBuffer) {
  wchar_t dir[MAX_PATH], path[MAX_PATH];
  ASSERT_GT(::GetTempPathW(MAX_PATH, dir), 0u);
  ASSERT_NE(::GetTempFileNameW(dir, L"pvw", 0, path), 0u);
  const int fd = ::_wopen(path, _O_WRONLY | _O_BINARY | _O_TRUNC);
  ASSERT_GE(fd, 0);
  std::string bytes(3 * 1024 * 1024 + 7, '\0');
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 31);
  EXPECT_TRUE(platform::write_all(fd, bytes));
  ::_close(fd);
  std::ifstream in(path, std::ios::binary);
  const std::string back((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  in.close();
  ::DeleteFileW(path);
  EXPECT_TRUE(back == bytes);
  EXPECT_FALSE(platform::write_all(-1, "x"));
}

TEST(Process, IdIsTheSystemOne) { EXPECT_EQ(platform::process_id(), static_cast<long>(::GetCurrentProcessId())); }

// ---------------------------------------------------------------- sysinfo

TEST(Sysinfo, ComputerNameSizeQueryThenName) {
  for (auto format : {platform::ComputerNameDnsHostname, platform::ComputerNameDnsFullyQualified}) {
    SCOPED_TRACE(static_cast<int>(format));
    uint32_t size = 0;
    EXPECT_EQ(platform::GetComputerNameExW(format, nullptr, &size), 0);
    EXPECT_EQ(platform::GetLastError(), static_cast<uint32_t>(platform::ERROR_MORE_DATA));
    ASSERT_GT(size, 1u);
    std::u16string name(size, u'\0');
    ASSERT_EQ(platform::GetComputerNameExW(format, name.data(), &size), 1);
    EXPECT_EQ(size, std::char_traits<char16_t>::length(name.c_str()));
    EXPECT_GT(size, 0u);
  }
}

TEST(Sysinfo, ComputerNameSourceSeamIsHonoured) {
  platform::set_computer_name_source([](platform::COMPUTER_NAME_FORMAT format, std::u16string& name) {
    if (format != platform::ComputerNameDnsFullyQualified) return false;
    name = u"host.example.test";
    return true;
  });
  char16_t buffer[64];
  uint32_t size = 64;
  const int fqdn = platform::GetComputerNameExW(platform::ComputerNameDnsFullyQualified, buffer, &size);
  const std::u16string got(buffer, size);
  uint32_t small = 4;
  const int too_small = platform::GetComputerNameExW(platform::ComputerNameDnsFullyQualified, buffer, &small);
  uint32_t other = 64;
  const int host = platform::GetComputerNameExW(platform::ComputerNameDnsHostname, buffer, &other);
  platform::set_computer_name_source(nullptr);

  EXPECT_EQ(fqdn, 1);
  EXPECT_EQ(got, u"host.example.test");
  EXPECT_EQ(too_small, 0);
  EXPECT_EQ(small, 18u);
  EXPECT_EQ(host, 0);
}

TEST(Sysinfo, VersionArchitectureAndProduct) {
  platform::OSVERSIONINFOEXW version{};
  ASSERT_TRUE(platform::GetVersionInfo(&version));
  EXPECT_EQ(version.dwOSVersionInfoSize, sizeof(version));
  EXPECT_EQ(version.dwPlatformId, 2u);  // VER_PLATFORM_WIN32_NT
  EXPECT_GE(version.dwMajorVersion, 6u);
  EXPECT_GT(version.dwBuildNumber, 0u);
  EXPECT_GE(version.wProductType, 1);
  EXPECT_LE(version.wProductType, 3);
  EXPECT_FALSE(platform::GetVersionInfo(nullptr));

  platform::SYSTEM_INFO info{};
  platform::GetNativeSystemInfo(&info);
  EXPECT_EQ(info.wProcessorArchitecture, PROCESSOR_ARCHITECTURE_AMD64);

  uint32_t product = 0xDEAD;
  EXPECT_EQ(platform::GetProductInfo(version.dwMajorVersion, version.dwMinorVersion, 0, 0, &product), 1);
  EXPECT_NE(product, 0xDEADu);
  EXPECT_EQ(platform::GetSystemMetrics(platform::SM_SERVERR2), ::GetSystemMetrics(platform::SM_SERVERR2));
}

// ---------------------------------------------------------------- adapters

TEST(Adapters, SystemQueryListsInterfacesAndAddresses) {
  const platform::AdapterSnapshot snapshot = platform::query_system_adapters();
  ASSERT_EQ(snapshot.adapters_result, 0u);
  ASSERT_FALSE(snapshot.adapters.empty());
  for (const auto& adapter : snapshot.adapters) {
    EXPECT_FALSE(adapter.adapter_name.empty());
    EXPECT_FALSE(adapter.friendly_name.empty());
    EXPECT_NE(adapter.if_index, 0u);
    EXPECT_LE(adapter.physical_address.size(), 8u);
  }
  ASSERT_EQ(snapshot.ip_table_result, 0u);
  ASSERT_FALSE(snapshot.rows.empty());
  for (const auto& row : snapshot.rows) {
    EXPECT_NE(row.if_index, 0u);
    EXPECT_NE(row.addr, 0u);
  }
}

TEST(Adapters, SystemSnapshotLaysOutThroughThePortableQuery) {
  const platform::AdapterSnapshot snapshot = platform::query_system_adapters();
  ASSERT_EQ(snapshot.adapters_result, 0u);
  uint32_t size = 0;
  ASSERT_EQ(platform::GetAdaptersAddresses(snapshot, nullptr, &size), static_cast<uint32_t>(platform::ERROR_BUFFER_OVERFLOW));
  std::vector<std::max_align_t> buffer(size / sizeof(std::max_align_t) + 1);
  ASSERT_EQ(platform::GetAdaptersAddresses(snapshot, buffer.data(), &size), 0u);
  size_t count = 0;
  for (auto* a = reinterpret_cast<platform::IP_ADAPTER_ADDRESSES*>(buffer.data()); a; a = a->Next) ++count;
  EXPECT_EQ(count, snapshot.adapters.size());
}

TEST(Adapters, InetNtoaDottedDecimal) {
  const std::pair<uint32_t, const char*> cases[] = {
      {0x0100007Fu, "127.0.0.1"},  // network order in memory: 7F 00 00 01
      {0x00000000u, "0.0.0.0"},
      {0xFFFFFFFFu, "255.255.255.255"},
      {0x0A01A8C0u, "192.168.1.10"},
  };
  for (const auto& [address, text] : cases) EXPECT_EQ(platform::inet_ntoa(address), text);
}

// ---------------------------------------------------------------- certificates

TEST(CertStore, RootEnumeratesDerCertificatesWithSubjects) {
  platform::HCERTSTORE store = platform::CertOpenSystemStoreW(nullptr, u"ROOT");
  ASSERT_NE(store, nullptr);
  size_t count = 0;
  size_t named = 0;
  const platform::CERT_CONTEXT* first = nullptr;
  for (auto* cert = platform::CertEnumCertificatesInStore(store, nullptr); cert;
       cert = platform::CertEnumCertificatesInStore(store, cert)) {
    if (!first) first = cert;
    ++count;
    ASSERT_GE(cert->encoded.size(), 2u);
    EXPECT_EQ(cert->encoded[0], 0x30);  // a DER SEQUENCE
    ASSERT_FALSE(cert->subject.empty());
    EXPECT_EQ(cert->subject[0], 0x30);
    // The subject is part of the certificate's own bytes.
    EXPECT_NE(std::search(cert->encoded.begin(), cert->encoded.end(), cert->subject.begin(), cert->subject.end()),
              cert->encoded.end());
    char16_t name[256];
    if (platform::CertGetNameStringW(cert, platform::CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, name, 256) > 1) {
      ++named;
    }
  }
  EXPECT_GT(count, 0u);
  EXPECT_EQ(named, count);
  // Contexts stay readable until the store is closed.
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->encoded[0], 0x30);

  uint32_t chars = 0;
  ASSERT_EQ(platform::CryptBinaryToStringW(first->encoded.data(), static_cast<uint32_t>(first->encoded.size()),
                                           platform::CRYPT_STRING_BASE64, nullptr, &chars),
            1);
  EXPECT_GE(chars, (first->encoded.size() + 2) / 3 * 4);
  std::u16string base64(chars, u'\0');
  ASSERT_EQ(platform::CryptBinaryToStringW(first->encoded.data(), static_cast<uint32_t>(first->encoded.size()),
                                           platform::CRYPT_STRING_BASE64, base64.data(), &chars),
            1);
  EXPECT_EQ(base64.substr(0, 2), u"MI");  // 0x30 0x82 ...
  EXPECT_EQ(platform::CertCloseStore(store, 0), 1);
}

TEST(CertStore, StoppingEarlyFreesTheContext) {
  platform::HCERTSTORE store = platform::CertOpenSystemStoreW(nullptr, u"ROOT");
  ASSERT_NE(store, nullptr);
  const platform::CERT_CONTEXT* cert = platform::CertEnumCertificatesInStore(store, nullptr);
  ASSERT_NE(cert, nullptr);
  EXPECT_EQ(platform::CertFreeCertificateContext(cert), 1);
  // A freed context leads nowhere and names nothing; neither crashes.
  EXPECT_EQ(platform::CertEnumCertificatesInStore(store, cert), nullptr);
  char16_t name[8] = u"x";
  EXPECT_EQ(platform::CertGetNameStringW(cert, platform::CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, name, 8), 1u);
  EXPECT_EQ(name[0], u'\0');
  EXPECT_EQ(platform::CertCloseStore(store, 0), 1);
}

// ---------------------------------------------------------------- loader

TEST(Loader, Kernel32ExportsGetProductInfo) {
  platform::Module kernel32 = platform::LoadLibraryW(u"kernel32.dll");
  ASSERT_NE(kernel32, nullptr);
  EXPECT_NE(platform::GetProcAddress(kernel32, "GetProductInfo"), nullptr);
  EXPECT_EQ(platform::GetProcAddress(kernel32, "NoSuchExportAnywhere"), nullptr);
  EXPECT_TRUE(platform::FreeLibrary(kernel32));
  EXPECT_EQ(platform::LoadLibraryW(u"no-such-library-here.dll"), nullptr);
  EXPECT_EQ(platform::linux_library_name("xferlib.dll"), "xferlib.dll");
}

void function_in_the_executable() {}

TEST(Loader, ModulePathsAndExecutableDirectory) {
  const std::string exe = platform::module_path_of(reinterpret_cast<const void*>(&function_in_the_executable));
  EXPECT_TRUE(ends_with_icase(exe, ".exe")) << exe;
  const std::string dir = platform::executable_directory();
  ASSERT_FALSE(dir.empty());
  EXPECT_NE(dir.back(), '\\');
  EXPECT_EQ(exe.rfind(dir + "\\", 0), 0u) << exe << " / " << dir;

  platform::Module kernel32 = platform::LoadLibraryW(u"kernel32.dll");
  const std::string dll = platform::module_path_of(platform::GetProcAddress(kernel32, "GetProductInfo"));
  EXPECT_TRUE(ends_with_icase(dll, "kernel32.dll")) << dll;
  EXPECT_EQ(platform::module_path_of(nullptr), "");
}

TEST(Loader, LibraryDirectorySeam) {
  wchar_t system[MAX_PATH];
  ASSERT_GT(::GetSystemDirectoryW(system, MAX_PATH), 0u);
  std::string system_dir;
  for (const wchar_t* c = system; *c; ++c) system_dir.push_back(static_cast<char>(*c));
  wchar_t temp[MAX_PATH];
  ASSERT_GT(::GetTempPathW(MAX_PATH, temp), 0u);
  std::string empty_dir;
  for (const wchar_t* c = temp; *c; ++c) empty_dir.push_back(static_cast<char>(*c));
  empty_dir += "pv-empty-lib-dir";
  ::CreateDirectoryW(wide(empty_dir).c_str(), nullptr);

  struct Case {
    std::string dir;
    bool exclusive;
    bool loads;
  };
  const Case cases[] = {
      {system_dir, true, true},   // found in the directory given
      {empty_dir, true, false},   // exclusive: the usual search is not tried
      {empty_dir, false, true},   // otherwise it is
      {"", true, true},           // cleared: the usual search
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.dir + (c.exclusive ? " exclusive" : ""));
    platform::set_library_directory(c.dir, c.exclusive);
    platform::Module module = platform::LoadLibraryW(u"version.dll");
    EXPECT_EQ(module != nullptr, c.loads);
    if (module) {
      const std::string path = platform::module_path_of(platform::GetProcAddress(module, "GetFileVersionInfoSizeW"));
      EXPECT_TRUE(ends_with_icase(path, "version.dll")) << path;
      platform::FreeLibrary(module);
    }
  }
  platform::set_library_directory("");
  ::RemoveDirectoryW(wide(empty_dir).c_str());
}

}  // namespace
