#include "base/system.h"

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <sys/ioctl.h>
#include <unistd.h>
#endif

namespace varnolt::base {

#ifdef _WIN32

unsigned long processId() { return ::GetCurrentProcessId(); }

bool standardErrorIsTerminal() {
  // A console, not a pipe or a file that merely reports a character device.
  DWORD mode = 0;
  return ::GetConsoleMode(::GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

int standardErrorColumns() {
  CONSOLE_SCREEN_BUFFER_INFO info{};
  if (!::GetConsoleScreenBufferInfo(::GetStdHandle(STD_ERROR_HANDLE), &info)) return 0;
  return info.srWindow.Right - info.srWindow.Left + 1;
}

void writeToStandardErrorNow(const char* text, std::size_t size) {
  DWORD written = 0;
  ::WriteFile(::GetStdHandle(STD_ERROR_HANDLE), text, static_cast<DWORD>(size), &written, nullptr);
}

#else

unsigned long processId() { return static_cast<unsigned long>(::getpid()); }

bool standardErrorIsTerminal() { return ::isatty(STDERR_FILENO) == 1; }

int standardErrorColumns() {
  winsize size{};
  if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) != 0) return 0;
  return size.ws_col;
}

void writeToStandardErrorNow(const char* text, std::size_t size) {
  [[maybe_unused]] const auto written = ::write(STDERR_FILENO, text, size);
}

#endif

}  // namespace varnolt::base
