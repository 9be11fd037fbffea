#include "platform/os_release.h"

#ifdef _WIN32
#include <windows.h>
#endif

#include <fstream>
#include <sstream>
#include <system_error>

namespace varnolt::platform {

namespace fs = std::filesystem;

const std::string* RegistryKey::Find(const std::string& name) const {
  auto it = values_.find(name);
  return it == values_.end() ? nullptr : &it->second;
}

#ifdef _WIN32

namespace {

// One string value of the system's version key; nothing when it is not there.
std::optional<std::string> registryString(const wchar_t* name) {
  const wchar_t* key = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
  DWORD bytes = 0;
  if (::RegGetValueW(HKEY_LOCAL_MACHINE, key, name, RRF_RT_REG_SZ, nullptr, nullptr, &bytes) != ERROR_SUCCESS)
    return std::nullopt;
  std::wstring wide(bytes / sizeof(wchar_t) + 1, L'\0');
  bytes = static_cast<DWORD>(wide.size() * sizeof(wchar_t));
  if (::RegGetValueW(HKEY_LOCAL_MACHINE, key, name, RRF_RT_REG_SZ, nullptr, wide.data(), &bytes) != ERROR_SUCCESS)
    return std::nullopt;
  wide.resize(wcsnlen(wide.c_str(), wide.size()));
  if (wide.empty()) return std::string();
  const int length = ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0,
                                           nullptr, nullptr);
  std::string text(static_cast<std::size_t>(length > 0 ? length : 0), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), text.data(), length, nullptr,
                        nullptr);
  return text;
}

std::optional<RegistryKey> openVersionKey() {
  std::map<std::string, std::string> values;
  for (const wchar_t* name : {L"ProductName", L"CurrentVersion", L"CurrentBuild", L"DisplayVersion"}) {
    if (auto value = registryString(name)) {
      std::string narrow;
      for (const wchar_t* c = name; *c != L'\0'; ++c) narrow += static_cast<char>(*c);
      values[narrow] = *value;
    }
  }
  if (values.empty()) return std::nullopt;
  return RegistryKey(std::move(values));
}

}  // namespace

std::vector<fs::path> DefaultOsReleaseFiles() { return {}; }

#else

std::vector<fs::path> DefaultOsReleaseFiles() { return {"/etc/os-release", "/usr/lib/os-release"}; }

#endif

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
#ifdef _WIN32
  if (candidates.empty()) return openVersionKey();
#endif
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
    if (const std::string* product = key.Find("ProductName"); product != nullptr && !product->empty()) {
      value = *product;
    } else if (const std::string* pretty = key.Find("PRETTY_NAME"); pretty != nullptr && !pretty->empty()) {
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
