#include <string>

#include "platform/console.h"

namespace platform {

// No VT sequences: the consoles of Windows 7 and 8.1 print them as text.
// What the previous line took beyond the new one is blanked with spaces.
std::string progress_draw(const std::string& text, size_t previous_columns) {
  const size_t columns = columns_of(text);
  std::string line = "\r" + text;
  if (previous_columns > columns) line.append(previous_columns - columns, ' ');
  return line;
}

}  // namespace platform
