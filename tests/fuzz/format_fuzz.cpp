// Our bounded formatter against the C library's: a format string made from
// the input out of conversions both define alike (flags, width, precision,
// length modifiers, d i u o x X e E f F g G a A c s and %%), with arguments of
// the types the conversions read, formatted by both into buffers of a fuzzed
// size. Output, buffer and return value must be the same. Left out: %p (ours
// has the Windows form), the wide and Windows forms (%ls, %S, %ws, %hs, %I64
// ...), %n, and the combinations C leaves undefined.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/format.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

enum class Kind : uint8_t { Int, Long, LongLong, Unsigned, ULong, ULongLong, Double, LongDouble, Text };

struct Arg {
  Kind kind = Kind::Int;
  uint64_t bits = 0;
  long double extended = 0;
  std::string text;
};

struct Case {
  std::string format;
  std::vector<Arg> args;
  size_t size = 0;
};

// Three argument slots cover "%*.*d" and three one-argument conversions.
constexpr size_t kMaxArgs = 3;
constexpr size_t kGuard = 16;

struct Conversion {
  char letter;
  const char* flags;           // the flags C defines for it
  bool precision;              // precision allowed
  const char* const* lengths;  // length modifiers, "" first
  const Kind* kinds;           // argument kind per length modifier
  size_t count;                // of lengths and kinds
};

constexpr const char* kIntLengths[] = {"", "hh", "h", "l", "ll", "j", "z", "t"};
constexpr Kind kSignedKinds[] = {Kind::Int, Kind::Int, Kind::Int, Kind::Long,
                                 Kind::LongLong, Kind::Long, Kind::Long, Kind::Long};
constexpr Kind kUnsignedKinds[] = {Kind::Unsigned, Kind::Unsigned, Kind::Unsigned, Kind::ULong,
                                   Kind::ULongLong, Kind::ULong, Kind::ULong, Kind::Long};
constexpr const char* kFloatLengths[] = {"", "l", "L"};
constexpr Kind kFloatKinds[] = {Kind::Double, Kind::Double, Kind::LongDouble};
constexpr const char* kNoLength[] = {""};
constexpr Kind kCharKind[] = {Kind::Int};
constexpr Kind kTextKind[] = {Kind::Text};

const Conversion kConversions[] = {
    {'d', "-+ 0'", true, kIntLengths, kSignedKinds, 8},
    {'i', "-+ 0'", true, kIntLengths, kSignedKinds, 8},
    {'u', "-0'", true, kIntLengths, kUnsignedKinds, 8},
    {'o', "-#0", true, kIntLengths, kUnsignedKinds, 8},
    {'x', "-#0", true, kIntLengths, kUnsignedKinds, 8},
    {'X', "-#0", true, kIntLengths, kUnsignedKinds, 8},
    {'e', "-+ #0", true, kFloatLengths, kFloatKinds, 3},
    {'E', "-+ #0", true, kFloatLengths, kFloatKinds, 3},
    {'f', "-+ #0'", true, kFloatLengths, kFloatKinds, 3},
    {'F', "-+ #0'", true, kFloatLengths, kFloatKinds, 3},
    {'g', "-+ #0'", true, kFloatLengths, kFloatKinds, 3},
    {'G', "-+ #0'", true, kFloatLengths, kFloatKinds, 3},
    {'a', "-+ #0", true, kFloatLengths, kFloatKinds, 3},
    {'A', "-+ #0", true, kFloatLengths, kFloatKinds, 3},
    {'c', "-", false, kNoLength, kCharKind, 1},
    {'s', "-", true, kNoLength, kTextKind, 1},
};

// A '*' width or precision: small, so that outputs stay small, and negative
// at times (a left-justified width; no precision).
Arg star(fuzz::Reader& in) {
  Arg arg;
  arg.bits = static_cast<uint64_t>(static_cast<int64_t>(in.below(801)) - 400);
  return arg;
}

Arg value_of(Kind kind, fuzz::Reader& in) {
  Arg arg;
  arg.kind = kind;
  switch (kind) {
    case Kind::Text:
      arg.text = fuzz::c_text(in.bytes(in.below(48)));
      break;
    case Kind::LongDouble: {
      // Any 80-bit pattern, the unnormal ones included.
      std::string bytes = in.bytes(10);
      bytes.resize(sizeof(long double), '\0');
      std::memcpy(&arg.extended, bytes.data(), 10);
      break;
    }
    default:
      arg.bits = in.u64();
      break;
  }
  return arg;
}

bool add_conversion(Case& c, fuzz::Reader& in) {
  const Conversion& conv = kConversions[in.below(sizeof(kConversions) / sizeof(kConversions[0]))];
  std::vector<Arg> args;
  std::string directive = "%";
  const uint8_t flag_bits = in.byte();
  for (size_t i = 0; conv.flags[i]; ++i) {
    if (flag_bits & (1u << i)) directive.push_back(conv.flags[i]);
  }
  switch (in.below(3)) {
    case 1:
      directive += std::to_string(1 + in.below(300));
      break;
    case 2:
      directive.push_back('*');
      args.push_back(star(in));
      break;
    default:
      break;
  }
  if (conv.precision) {
    switch (in.below(4)) {
      case 1:
        directive.push_back('.');
        break;
      case 2:
        directive.push_back('.');
        directive += std::to_string(in.below(300));
        break;
      case 3:
        directive += ".*";
        args.push_back(star(in));
        break;
      default:
        break;
    }
  }
  const size_t length = in.below(static_cast<uint32_t>(conv.count));
  directive += conv.lengths[length];
  directive.push_back(conv.letter);
  args.push_back(value_of(conv.kinds[length], in));
  if (c.args.size() + args.size() > kMaxArgs) return false;
  c.format += directive;
  c.args.insert(c.args.end(), args.begin(), args.end());
  return true;
}

Case case_of(fuzz::Reader& in) {
  Case c;
  const uint16_t size = in.u16();
  // Mostly small buffers, so that cut output is common.
  c.size = size & 0x8000 ? size & 0x1FFF : size & 0x7F;
  while (!in.empty()) {
    const uint8_t op = in.byte();
    if (op % 4 == 0) {
      // Literal text: any byte but '%' and NUL.
      for (char ch : in.bytes(op / 4 % 16)) c.format.push_back(ch == '%' || ch == '\0' ? '_' : ch);
    } else if (op % 4 == 1) {
      c.format += "%%";
    } else if (!add_conversion(c, in)) {
      break;
    }
  }
  return c;
}

// A trailing unused argument keeps a format without conversions a call with
// arguments, which C allows and compilers do not warn about.
template <typename... A>
void compare(const Case& c, A... args) {
  std::vector<char> ours(c.size + kGuard, '#');
  std::vector<char> theirs(c.size + kGuard, '#');
  const int ours_result = platform::format(ours.data(), c.size, c.format.c_str(), args..., 0);
  const int theirs_result = std::snprintf(theirs.data(), c.size, c.format.c_str(), args..., 0);
  if (ours_result != theirs_result || ours != theirs) {
    std::fprintf(stderr, "format \"%s\", size %zu: ours %d, the C library's %d\n", c.format.c_str(), c.size,
                 ours_result, theirs_result);
    std::fprintf(stderr, "ours:   %.*s\ntheirs: %.*s\n", static_cast<int>(ours.size()), ours.data(),
                 static_cast<int>(theirs.size()), theirs.data());
  }
  FUZZ_CHECK(ours_result == theirs_result);
  FUZZ_CHECK(ours == theirs);
}

// Turns the argument list into a typed call, one argument at a time.
template <typename... A>
void expand(const Case& c, size_t next, A... args) {
  if constexpr (sizeof...(A) < kMaxArgs) {
    if (next < c.args.size()) {
      const Arg& a = c.args[next];
      switch (a.kind) {
        case Kind::Int: return expand(c, next + 1, args..., static_cast<int>(a.bits));
        case Kind::Long: return expand(c, next + 1, args..., static_cast<long>(a.bits));
        case Kind::LongLong: return expand(c, next + 1, args..., static_cast<long long>(a.bits));
        case Kind::Unsigned: return expand(c, next + 1, args..., static_cast<unsigned>(a.bits));
        case Kind::ULong: return expand(c, next + 1, args..., static_cast<unsigned long>(a.bits));
        case Kind::ULongLong: return expand(c, next + 1, args..., static_cast<unsigned long long>(a.bits));
        case Kind::Double: {
          double d;
          std::memcpy(&d, &a.bits, sizeof(d));
          return expand(c, next + 1, args..., d);
        }
        case Kind::LongDouble: return expand(c, next + 1, args..., a.extended);
        case Kind::Text: return expand(c, next + 1, args..., a.text.c_str());
      }
    }
  }
  compare(c, args...);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Reader in(data, size);
  const Case c = case_of(in);
  expand(c, 0);
  return 0;
}
