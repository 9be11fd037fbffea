#include "tests/support/test_support.h"

#ifdef _WIN32
#include <process.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>

#include "mapi/util/sha256.h"

namespace varnolt::test {

fs::path samplesDir() {
  if (const char* env = std::getenv("VARNOLT_SAMPLES_DIR"); env && *env) {
    if (fs::is_directory(env)) return fs::path(env);
  }
  fs::path p(VARNOLT_SAMPLES_DIR);
  if (fs::is_directory(p)) return fs::weakly_canonical(p);
  return {};
}

std::vector<fs::path> sampleFiles(const std::string& sub, const std::string& ext) {
  std::vector<fs::path> out;
  fs::path dir = samplesDir();
  if (dir.empty() || !fs::is_directory(dir / sub)) return out;
  for (const auto& e : fs::directory_iterator(dir / sub)) {
    if (e.is_regular_file() && e.path().extension() == ext) out.push_back(e.path());
  }
  std::sort(out.begin(), out.end());
  return out;
}

fs::path pathOf(const std::string& utf8) { return fs::path(std::u8string(utf8.begin(), utf8.end())); }

fs::path binDir() { return fs::path(VARNOLT_BIN_DIR); }
fs::path programPath(const std::string& name) {
#ifdef _WIN32
  return binDir() / (name + ".exe");
#else
  return binDir() / name;
#endif
}

fs::path sourceDir() { return fs::path(VARNOLT_SOURCE_DIR); }

namespace {

long processId() {
#ifdef _WIN32
  return static_cast<long>(::_getpid());
#else
  return static_cast<long>(::getpid());
#endif
}

}  // namespace

TempDir::TempDir() {
  static std::atomic<unsigned> counter{0};
  std::random_device rd;
  fs::path base = fs::temp_directory_path();
  for (int attempt = 0; attempt < 100; ++attempt) {
    fs::path p = base / ("varnolt-test-" + std::to_string(processId()) + "-" +
                         std::to_string(counter++) + "-" + std::to_string(rd() % 100000));
    std::error_code ec;
    if (fs::create_directory(p, ec)) {
      path_ = p;
      return;
    }
  }
  throw std::runtime_error("cannot create a scratch folder");
}

TempDir::~TempDir() {
  std::error_code ec;
  // Make read-only leftovers removable before deleting the tree.
  for (auto it = fs::recursive_directory_iterator(path_, ec); !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
  }
  fs::remove_all(path_, ec);
}

#ifdef _WIN32

namespace {

std::wstring wideOf(const std::string& utf8) {
  if (utf8.empty()) return {};
  const int n = ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(n), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(), n);
  return wide;
}

// One argument quoted the way CommandLineToArgvW and the C runtime read it
// back: backslashes doubled only before a quote.
void appendQuoted(std::wstring& line, const std::wstring& arg) {
  if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
    line += arg;
    return;
  }
  line += L'"';
  std::size_t backslashes = 0;
  for (wchar_t c : arg) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    line.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
    backslashes = 0;
    line += c;
  }
  line.append(2 * backslashes, L'\\');
  line += L'"';
}

// Reads a pipe to its end on a thread of its own, so neither pipe fills
// while the other is read.
DWORD WINAPI drainPipe(void* context) {
  auto* job = static_cast<std::pair<HANDLE, std::string*>*>(context);
  char buf[65536];
  DWORD n = 0;
  while (::ReadFile(job->first, buf, sizeof buf, &n, nullptr) && n > 0) job->second->append(buf, n);
  return 0;
}

}  // namespace

CommandResult run(const std::vector<std::string>& argv, int timeoutSeconds) {
  CommandResult result;
  if (argv.empty()) return result;
  // Our own programs are .exe files beside the tests.
  std::string program = argv[0];
  if (fs::path(program).extension().empty() && fs::exists(pathOf(program + ".exe"))) program += ".exe";
  std::wstring line;
  appendQuoted(line, wideOf(program));
  for (std::size_t i = 1; i < argv.size(); ++i) {
    line += L' ';
    appendQuoted(line, wideOf(argv[i]));
  }
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE outRead, outWrite, errRead, errWrite;
  if (!::CreatePipe(&outRead, &outWrite, &inherit, 0) || !::CreatePipe(&errRead, &errWrite, &inherit, 0))
    throw std::runtime_error("CreatePipe failed");
  ::SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
  ::SetHandleInformation(errRead, HANDLE_FLAG_INHERIT, 0);
  HANDLE nul = ::CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0, nullptr);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = nul;
  startup.hStdOutput = outWrite;
  startup.hStdError = errWrite;
  PROCESS_INFORMATION process{};
  const std::wstring application = wideOf(program);
  // Under Wine on a busy machine, starting a program now and then fails for
  // a moment; a program that is not there fails at once.
  BOOL started = FALSE;
  DWORD startError = 0;
  for (int attempt = 0; attempt < 5 && !started; ++attempt) {
    if (attempt > 0) ::Sleep(200u * static_cast<DWORD>(attempt));
    started = ::CreateProcessW(application.c_str(), line.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr,
                               nullptr, &startup, &process);
    startError = started ? 0 : ::GetLastError();
    if (startError == ERROR_FILE_NOT_FOUND || startError == ERROR_PATH_NOT_FOUND) break;
  }
  ::CloseHandle(outWrite);
  ::CloseHandle(errWrite);
  if (nul != INVALID_HANDLE_VALUE) ::CloseHandle(nul);
  if (!started) {
    ::CloseHandle(outRead);
    ::CloseHandle(errRead);
    result.exitCode = 127;
    result.err = "cannot start " + program + ": Windows error " + std::to_string(startError);
    return result;
  }
  std::pair<HANDLE, std::string*> outJob{outRead, &result.out}, errJob{errRead, &result.err};
  HANDLE readers[2] = {::CreateThread(nullptr, 0, drainPipe, &outJob, 0, nullptr),
                       ::CreateThread(nullptr, 0, drainPipe, &errJob, 0, nullptr)};
  const bool timedOut = ::WaitForSingleObject(process.hProcess, static_cast<DWORD>(timeoutSeconds) * 1000u) != WAIT_OBJECT_0;
  if (timedOut) {
    ::TerminateProcess(process.hProcess, 1);
    ::WaitForSingleObject(process.hProcess, INFINITE);
  }
  ::WaitForMultipleObjects(2, readers, TRUE, INFINITE);
  DWORD code = 0;
  ::GetExitCodeProcess(process.hProcess, &code);
  if (!timedOut) result.exitCode = static_cast<int>(code);
  for (HANDLE h : {readers[0], readers[1], process.hProcess, process.hThread, outRead, errRead}) ::CloseHandle(h);
  return result;
}

bool haveProgram(const std::string& name) {
  // The independent readers are Linux programs a Windows build cannot run.
  // Only .exe files run here: /usr/bin/python3 is visible under Wine, but
  // as a Linux program.
  const fs::path path = pathOf(name);
  if (!path.has_parent_path()) return false;
  return (path.extension() == ".exe" && fs::exists(path)) || fs::exists(pathOf(name + ".exe"));
}

#else

namespace {

void drain(int fd, std::string& into) {
  char buf[65536];
  ssize_t n = read(fd, buf, sizeof buf);
  if (n > 0) into.append(buf, static_cast<size_t>(n));
}

}  // namespace

CommandResult run(const std::vector<std::string>& argv, int timeoutSeconds) {
  CommandResult result;
  if (argv.empty()) return result;
  int outPipe[2], errPipe[2];
  if (pipe(outPipe) != 0 || pipe(errPipe) != 0) throw std::runtime_error("pipe failed");
  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    dup2(outPipe[1], 1);
    dup2(errPipe[1], 2);
    close(outPipe[0]);
    close(errPipe[0]);
    close(outPipe[1]);
    close(errPipe[1]);
    int devnull = open("/dev/null", O_RDONLY);
    if (devnull >= 0) dup2(devnull, 0);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  close(outPipe[1]);
  close(errPipe[1]);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
  bool outOpen = true, errOpen = true, timedOut = false;
  while (outOpen || errOpen) {
    pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    if (left <= 0) {
      timedOut = true;
      kill(pid, SIGKILL);
      break;
    }
    int r = poll(fds, 2, static_cast<int>(std::min<long long>(left, 1000)));
    if (r < 0) break;
    for (int i = 0; i < 2; ++i) {
      bool& open = i == 0 ? outOpen : errOpen;
      if (!open || fds[i].revents == 0) continue;
      std::string& into = i == 0 ? result.out : result.err;
      size_t before = into.size();
      drain(fds[i].fd, into);
      if (into.size() == before && (fds[i].revents & (POLLHUP | POLLERR))) open = false;
    }
  }
  close(outPipe[0]);
  close(errPipe[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (!timedOut && WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
  return result;
}

bool haveProgram(const std::string& name) {
  if (name.find('/') != std::string::npos) return access(name.c_str(), X_OK) == 0;
  const char* path = std::getenv("PATH");
  if (!path) return false;
  std::string p(path);
  size_t start = 0;
  while (start <= p.size()) {
    size_t end = p.find(':', start);
    if (end == std::string::npos) end = p.size();
    fs::path candidate = fs::path(p.substr(start, end - start)) / name;
    if (access(candidate.c_str(), X_OK) == 0) return true;
    start = end + 1;
  }
  return false;
}

#endif

std::vector<std::uint8_t> readFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + p.string());
  return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
}

void writeFile(const fs::path& p, const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + p.string());
}

void writeFile(const fs::path& p, const std::string& text) {
  writeFile(p, std::vector<std::uint8_t>(text.begin(), text.end()));
}

std::string sha256Hex(const std::vector<std::uint8_t>& bytes) {
  return mapi::sha256Hex(bytes.data(), bytes.size());
}

std::string fileSha256(const fs::path& p) { return sha256Hex(readFile(p)); }

std::optional<std::string> fileUriPath(const std::string& uri) {
  if (uri.rfind("file://", 0) != 0) return std::nullopt;
  const std::string encoded = uri.substr(7, uri.find_first_of("?#") - 7);
  auto hex = [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; };
  std::string out;
  for (std::size_t i = 0; i < encoded.size(); ++i) {
    if (encoded[i] != '%') {
      out += encoded[i];
      continue;
    }
    if (i + 2 >= encoded.size() || !hex(encoded[i + 1]) || !hex(encoded[i + 2])) return std::nullopt;
    out += static_cast<char>(std::stoi(encoded.substr(i + 1, 2), nullptr, 16));
    i += 2;
  }
  return out;
}

void setTimeZone(const char* value) {
#ifdef _WIN32
  ::_putenv_s("TZ", value ? value : "");
  ::_tzset();
#else
  if (value) ::setenv("TZ", value, 1);
  else ::unsetenv("TZ");
  ::tzset();
#endif
}

}  // namespace varnolt::test
