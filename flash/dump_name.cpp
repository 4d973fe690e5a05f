#include "flash/dump_name.h"

#include <string_view>

namespace {

constexpr char kOpen = '{';
constexpr char kClose = '}';
constexpr std::string_view kPassPlaceholder = "{n}";
constexpr std::string_view kIdPlaceholder = "{id}";
constexpr std::string_view kUnknownId = "unknown";
constexpr std::string_view kUseHint = "; use {n} or {id}";

enum class Part { kText, kPass, kId, kUnknown, kUnclosed };

struct Token {
  Part part;
  std::string_view text;  // the piece of the pattern
};

// The token that starts at `at`: plain text up to the next "{", or a
// "{...}" group, or an unclosed "{" up to the end.
Token NextToken(std::string_view pattern, size_t at) {
  if (pattern[at] != kOpen) {
    const size_t end = pattern.find(kOpen, at);
    return {Part::kText, pattern.substr(at, end == std::string_view::npos ? end : end - at)};
  }
  const size_t close = pattern.find(kClose, at);
  if (close == std::string_view::npos) return {Part::kUnclosed, pattern.substr(at)};
  const std::string_view group = pattern.substr(at, close + 1 - at);
  if (group == kPassPlaceholder) return {Part::kPass, group};
  if (group == kIdPlaceholder) return {Part::kId, group};
  return {Part::kUnknown, group};
}

// Calls `visit` with each token of the pattern in order; stops early when
// it returns false.
template <typename Visit>
void ForEachToken(std::string_view pattern, Visit visit) {
  for (size_t at = 0; at < pattern.size();) {
    const Token token = NextToken(pattern, at);
    if (!visit(token)) return;
    at += token.text.size();
  }
}

}  // namespace

std::string CheckDumpName(const std::string& pattern) {
  std::string error;
  ForEachToken(pattern, [&](const Token& token) {
    if (token.part == Part::kUnknown) {
      error = "unknown placeholder " + std::string(token.text) + " in " + pattern + std::string(kUseHint);
    } else if (token.part == Part::kUnclosed) {
      error = "unclosed { in " + pattern + std::string(kUseHint);
    }
    return error.empty();
  });
  return error;
}

bool HasPlaceholders(const std::string& pattern) {
  bool found = false;
  ForEachToken(pattern, [&](const Token& token) {
    found = token.part == Part::kPass || token.part == Part::kId;
    return !found;
  });
  return found;
}

std::string ExpandDumpName(const std::string& pattern, uint32_t pass, const std::string& flashId) {
  std::string name;
  ForEachToken(pattern, [&](const Token& token) {
    switch (token.part) {
      case Part::kPass:
        name += std::to_string(pass);
        break;
      case Part::kId:
        name += flashId.empty() ? kUnknownId : std::string_view(flashId);
        break;
      case Part::kText:
      case Part::kUnknown:
      case Part::kUnclosed:
        name += token.text;
        break;
    }
    return true;
  });
  return name;
}
