#include "platform/console.h"

#include <termios.h>
#include <unistd.h>

#include <cstdio>

#include "platform/fd_write.h"

namespace platform {
namespace {

int descriptor(Stream stream) { return stream == Stream::kOut ? STDOUT_FILENO : STDERR_FILENO; }

}  // namespace

bool stream_is_terminal(Stream stream) { return ::isatty(descriptor(stream)) == 1; }

bool write_stream(Stream stream, std::string_view text) { return write_all(descriptor(stream), text); }

const char* line_end() { return "\n"; }

std::string with_line_ends(std::string_view text) { return std::string(text); }

std::string progress_erase(size_t /*columns*/) { return "\r\033[K"; }

std::string progress_draw(const std::string& text, size_t /*previous_columns*/) { return "\r" + text + "\033[K"; }

InputEchoOff::InputEchoOff() {
  termios* saved = new termios{};
  if (!::isatty(STDIN_FILENO) || ::tcgetattr(STDIN_FILENO, saved) != 0) {
    delete saved;
    return;
  }
  termios quiet = *saved;
  quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  active_ = ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet) == 0;
  if (active_) {
    saved_state_ = saved;
  } else {
    delete saved;
  }
}

InputEchoOff::~InputEchoOff() {
  if (!active_) return;
  termios* saved = static_cast<termios*>(saved_state_);
  ::tcsetattr(STDIN_FILENO, TCSAFLUSH, saved);
  delete saved;
}

}  // namespace platform
