#include "tool/template_expand.h"

namespace {

constexpr std::u16string_view kOpen = u"[%set:";
// A placeholder that a replacement joins together starts at most this far
// before the insertion point: the rest of its "[%set:" comes after it.
constexpr size_t kRescan = kOpen.size() - 1;

bool is_line_terminator(char16_t c) { return c == u'\n' || c == u'\r' || c == 0x2028 || c == 0x2029; }
bool is_high_surrogate(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool is_low_surrogate(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

// The working text: what has been read of the template, with the
// replacements made so far, followed by the template's unread rest.
class WorkingText {
 public:
  WorkingText(std::u16string_view text, size_t field_size) : rest_(text), field_size_(field_size) {}

  // Reads on until unit k is there; false when the text ends before it.
  bool has(size_t k) {
    while (head_.size() <= k) {
      if (rest_.empty()) return false;
      size_t take = std::min(rest_.size(), k + 1 - head_.size());
      head_.append(rest_.substr(0, take));
      rest_.remove_prefix(take);
    }
    return true;
  }
  char16_t operator[](size_t k) const { return head_[k]; }

  void replace(size_t from, size_t to, const std::u16string& value) { head_.replace(from, to - from, value); }
  std::u16string_view slice(size_t from, size_t to) const { return std::u16string_view(head_).substr(from, to - from); }

  // Marks the units before end as final; false once they need the whole
  // field (a lone surrogate counts as the three bytes of its replacement).
  bool settle(size_t end) {
    while (settled_ < end) {
      char16_t c = head_[settled_];
      if (is_high_surrogate(c) && has(settled_ + 1) && is_low_surrogate(head_[settled_ + 1])) {
        settled_bytes_ += 4;
        settled_ += 2;
      } else {
        settled_bytes_ += c < 0x80 ? 1 : c < 0x800 ? 2 : 3;
        ++settled_;
      }
      if (settled_bytes_ >= field_size_) return false;
    }
    return true;
  }

  // Everything read, as far as it fits the field.
  bool finish(std::u16string& out) {
    head_.append(rest_);
    rest_ = {};
    bool fits = settle(head_.size());
    out = head_.substr(0, settled_);
    return fits;
  }
  std::u16string settled_text() const { return head_.substr(0, settled_); }

 private:
  std::u16string head_;
  std::u16string_view rest_;
  size_t field_size_;
  size_t settled_ = 0;
  size_t settled_bytes_ = 0;
};

}  // namespace

bool ExpandPlaceholders(std::u16string_view text, const PlaceholderValue& value_of, size_t field_size,
                        std::u16string& out) {
  WorkingText work(text, field_size);
  // No placeholder starts before q. An earlier "[%set:" failed because a line
  // terminator follows it, which no later replacement removes; so everything
  // before the rescan window stays as it is.
  size_t q = 0;
  for (;;) {
    if (!work.settle(q > kRescan ? q - kRescan : 0)) {
      out = work.settled_text();
      return false;
    }
    if (!work.has(q)) break;
    bool opens = true;
    for (size_t i = 0; i < kOpen.size() && opens; ++i) opens = work.has(q + i) && work[q + i] == kOpen[i];
    if (!opens) {
      ++q;
      continue;
    }
    size_t c = q + kOpen.size();
    while (work.has(c + 1) && !is_line_terminator(work[c]) && !(work[c] == u'%' && work[c + 1] == u']')) ++c;
    if (!work.has(c + 1)) break;  // no "%]" anywhere after q: nothing left to replace
    if (is_line_terminator(work[c])) {
      q = c + 1;
      continue;
    }
    std::u16string value = value_of(work.slice(q + kOpen.size(), c));
    work.replace(q, c + 2, value);
    // The value may complete an "[%set:" that the text before it began.
    q = q > kRescan ? q - kRescan : 0;
  }
  return work.finish(out);
}
