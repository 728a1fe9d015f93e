// Standard output and standard error as the user sees them.
#pragma once
#include <cstddef>
#include <string>
#include <string_view>

namespace platform {

enum class Stream { kOut, kErr };

// Whether the stream is a terminal (a console on Windows).
bool stream_is_terminal(Stream stream);

// Writes UTF-8 text whose lines end in "\n". A console gets it as Unicode;
// a pipe or a file gets the bytes, with the system's line ends. False when
// the text did not all go out.
bool write_stream(Stream stream, std::string_view text);

// The system's line end in files the tool writes for people ("\n" or "\r\n").
const char* line_end();

// Makes a text file's "\n" line ends the system's.
std::string with_line_ends(std::string_view text);

// What returns a terminal's line to its start and blanks the columns a
// progress text took, leaving the cursor at the start.
std::string progress_erase(size_t columns);
// What draws text as the terminal's progress line over the previous one,
// which took previous_columns.
std::string progress_draw(const std::string& text, size_t previous_columns);
// Columns a text takes on a terminal: one per character, as near as it matters.
size_t columns_of(const std::string& text);

// Standard input's echo switched off while it is a terminal; restored by
// the destructor.
class InputEchoOff {
 public:
  InputEchoOff();
  ~InputEchoOff();
  InputEchoOff(const InputEchoOff&) = delete;
  InputEchoOff& operator=(const InputEchoOff&) = delete;
  bool active() const { return active_; }

 private:
  bool active_ = false;
  [[maybe_unused]] unsigned long saved_ = 0;
  void* saved_state_ = nullptr;
};

}  // namespace platform
