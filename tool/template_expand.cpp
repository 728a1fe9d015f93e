#include "tool/template_expand.h"

#include <algorithm>
#include <deque>
#include <iterator>

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

  void replace(size_t from, size_t to, const std::u16string& value) {
    head_.replace(from, to - from, value);
    // A run's members depend only on the text before them.
    while (!runs_.empty() && runs_.back().start > from) runs_.pop_back();
    if (!runs_.empty() && runs_.back().last > from) runs_.back().last = from;
  }
  std::u16string_view slice(size_t from, size_t to) const { return std::u16string_view(head_).substr(from, to - from); }

  // The first unit that can still change while no placeholder starts before
  // q. A placeholder may start up to kRescan units before the next insertion
  // point, where the text there begins an "[%set:" that the value completes;
  // replacing that one may in turn complete an "[%set:" begun just before it,
  // and so on back through a run of such beginnings.
  size_t first_changeable(size_t q) {
    size_t first = q > kRescan ? q - kRescan : 0;
    for (size_t s = first; s < q; ++s) {
      if (head_[s] == u'[') first = std::min(first, reach(s));
    }
    return first;
  }

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
    while (!runs_.empty() && runs_.front().last < settled_) runs_.pop_front();
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
  // How far back a placeholder starting at s can reach: to the start of the
  // run of "[%set:" beginnings that ends at s. Runs of two or more are kept
  // as intervals, so that a long run is walked once and costs one entry.
  size_t reach(size_t s) {
    if (const Run* run = run_holding(s)) return run->start;
    size_t at = s;
    for (size_t begun; (begun = begun_before(at)) != 0;) {
      at -= begun;
      if (Run* run = run_holding(at)) {
        run->last = s;  // no run lies between: its members would be on the walk
        return run->start;
      }
    }
    if (at != s) {
      runs_.insert(first_after(at), Run{at, s});
    }
    return at;
  }

  struct Run {
    size_t start;  // the "[" of its first beginning
    size_t last;   // the "[" after its last beginning
  };

  std::deque<Run>::iterator first_after(size_t unit) {
    return std::upper_bound(runs_.begin(), runs_.end(), unit, [](size_t u, const Run& run) { return u < run.start; });
  }

  Run* run_holding(size_t unit) {
    auto after = first_after(unit);
    if (after == runs_.begin()) return nullptr;
    Run& run = *std::prev(after);
    return unit <= run.last ? &run : nullptr;
  }

  // The length of the "[%set:" beginning that ends just before at, or 0.
  size_t begun_before(size_t at) const {
    for (size_t k = 1; k < kOpen.size() && k <= at; ++k) {
      if (head_.compare(at - k, k, kOpen.data(), k) == 0) return k;
    }
    return 0;
  }

  // Ordered, disjoint, none wholly settled.
  std::deque<Run> runs_;
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
  // No placeholder starts before q. An earlier whole "[%set:" failed because
  // a line terminator follows it, which no later replacement removes.
  size_t q = 0;
  for (;;) {
    if (!work.settle(work.first_changeable(q))) {
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
