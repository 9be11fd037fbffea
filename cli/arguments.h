#pragma once
// The program's arguments as UTF-8, whatever the system passed them in, and
// a console that shows UTF-8 output as it is.

#include <string>
#include <vector>

namespace varnolt::cli {

// The arguments after the program's name. On Windows they come from the
// wide command line (argv holds them in the ANSI code page, which loses
// every character outside it).
std::vector<std::string> programArguments(int argc, char** argv);

// Makes a Windows console show what the program writes as UTF-8, and its
// line ends the same as on Linux; nothing elsewhere.
void useUtf8Console();

}  // namespace varnolt::cli
