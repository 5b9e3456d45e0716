#pragma once

// One line of the application's log on standard error (the desktop's journal keeps it):
// "nimbrella: KIND: TEXT". It says what the user is told, the balance, and the controls
// opening and closing.

#include <cstdio>
#include <string>
#include <string_view>

namespace nimbrella {

inline void appLog(std::string_view kind, std::string_view text) {
  std::string line = "nimbrella: ";
  line += kind;
  line += ": ";
  line += text;
  line += '\n';
  std::fwrite(line.data(), 1, line.size(), stderr);
}

}  // namespace nimbrella
