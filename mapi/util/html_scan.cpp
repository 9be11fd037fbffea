#include "mapi/util/html_scan.h"

#include <cctype>

namespace varnolt::mapi {

std::size_t htmlTagEnd(std::string_view html, std::size_t start) {
  char quote = 0;
  std::size_t end = start + 1;
  while (end < html.size()) {
    char c = html[end];
    if (quote != 0) {
      if (c == quote) quote = 0;
    } else if (c == '"' || c == '\'') {
      quote = c;
    } else if (c == '>') {
      break;
    }
    ++end;
  }
  return end;
}

std::string htmlTagName(std::string_view tag) {
  const bool closing = tag.size() > 1 && tag[1] == '/';
  const std::size_t begin = closing ? 2 : 1;
  std::size_t end = begin;
  while (end < tag.size() && (std::isalnum(static_cast<unsigned char>(tag[end])) || tag[end] == ':')) ++end;
  std::string name(tag.substr(begin, end - begin));
  for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return name;
}

}  // namespace varnolt::mapi
