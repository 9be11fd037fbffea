#pragma once
// What the program asks of the operating system besides its files: its
// own process number, and the standard error stream it reports on.

#include <cstddef>

namespace varnolt::base {

// This process's number, to tell its scratch names from another's.
unsigned long processId();

// True when standard error is shown on a terminal (or a console window),
// where a progress line may be redrawn in place.
bool standardErrorIsTerminal();

// The width in characters of the terminal standard error is shown on; 0
// when it is not known.
int standardErrorColumns();

// Writes the text to standard error straight away, without the C
// library's buffers or locks: safe in an interrupt handler.
void writeToStandardErrorNow(const char* text, std::size_t size);

}  // namespace varnolt::base
