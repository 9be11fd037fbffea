#include "platform/os_release.h"

#include <fstream>
#include <sstream>
#include <system_error>

namespace varnolt::platform {

namespace fs = std::filesystem;

const std::string* RegistryKey::Find(const std::string& name) const {
  auto it = values_.find(name);
  return it == values_.end() ? nullptr : &it->second;
}

std::vector<fs::path> DefaultOsReleaseFiles() { return {"/etc/os-release", "/usr/lib/os-release"}; }

std::map<std::string, std::string> ParseOsRelease(const std::string& text) {
  std::map<std::string, std::string> values;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const auto start = line.find_first_not_of(" \t");
    if (start == std::string::npos || line[start] == '#') continue;
    const auto eq = line.find('=', start);
    if (eq == std::string::npos) continue;
    const std::string name = line.substr(start, eq - start);
    if (name.empty() || name.find_first_of(" \t") != std::string::npos) continue;
    const std::string raw = line.substr(eq + 1);
    std::string value;
    bool ok = true;
    if (!raw.empty() && (raw.front() == '"' || raw.front() == '\'')) {
      const char quote = raw.front();
      std::size_t i = 1;
      bool closed = false;
      for (; i < raw.size(); ++i) {
        const char c = raw[i];
        if (c == quote) {
          closed = true;
          ++i;
          break;
        }
        if (quote == '"' && c == '\\' && i + 1 < raw.size() &&
            std::string("$\"\\`").find(raw[i + 1]) != std::string::npos) {
          value += raw[++i];
        } else {
          value += c;
        }
      }
      ok = closed && raw.find_first_not_of(" \t", i) == std::string::npos;
    } else {
      value = raw;
      while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.pop_back();
    }
    if (ok) values[name] = value;
  }
  return values;
}

std::optional<RegistryKey> OpenProductKey(const std::vector<fs::path>& candidates) {
  for (const auto& path : candidates) {
    std::error_code ec;
    if (!fs::is_regular_file(path, ec)) continue;
    std::ifstream in(path, std::ios::binary);
    if (!in) continue;
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) continue;
    return RegistryKey(ParseOsRelease(text.str()));
  }
  return std::nullopt;
}

std::string ReadRegistryString(const RegistryKey& key, const std::string& valueName) {
  std::string value;
  if (valueName == "ProductName") {
    if (const std::string* pretty = key.Find("PRETTY_NAME"); pretty != nullptr && !pretty->empty()) {
      value = *pretty;
    } else if (const std::string* name = key.Find("NAME"); name != nullptr && !name->empty()) {
      value = *name;
      if (const std::string* version = key.Find("VERSION"); version != nullptr && !version->empty()) {
        value += " " + *version;
      }
    } else {
      return kRegistryError;
    }
  } else if (const std::string* found = key.Find(valueName); found != nullptr) {
    value = *found;
  } else {
    return kRegistryError;
  }
  return value.size() > kRegistryValueMax ? std::string(kRegistryError) : value;
}

}  // namespace varnolt::platform
