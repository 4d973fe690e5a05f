// The part of the open help that is the same on every system.
#include "serial/open_help.h"

#include <string_view>

namespace {

constexpr size_t kPortArgumentIndex = 2;  // program, upgrade file, port option

bool NeedsQuotes(const std::string& word) {
  if (word.empty()) return true;
  for (char c : word) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
#ifdef _WIN32
                       std::string_view("-_./:\\=+,@%").find(c) != std::string_view::npos;
#else
                       std::string_view("-_./:=+,@%").find(c) != std::string_view::npos;
#endif
    if (!plain) return true;
  }
  return false;
}

std::string Quoted(const std::string& word) {
  if (!NeedsQuotes(word)) return word;
#ifdef _WIN32
  return "\"" + word + "\"";
#else
  std::string out = "'";
  for (char c : word) {
    if (c == '\'')
      out += "'\\''";
    else
      out += c;
  }
  return out + "'";
#endif
}

}  // namespace

std::string SuggestedCommand(const std::vector<std::string>& commandLine,
                             const std::string& portOption) {
  std::string line;
  for (size_t i = 0; i < commandLine.size(); ++i) {
    const std::string& word =
        i == kPortArgumentIndex && !portOption.empty() ? portOption : commandLine[i];
    if (!line.empty()) line += ' ';
    line += Quoted(word);
  }
  return line;
}
