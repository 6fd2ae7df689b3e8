// Boost.ProgramOptions compiles its Windows command-line splitter only when
// _WIN32 is defined. The fuzzer and the benchmarks run on Linux, so this file
// compiles Boost's own source of it here, unchanged: what they exercise is
// the splitter the launcher ships with, not a copy.
#include <boost/program_options/parsers.hpp>

#include <cctype>

#define _WIN32 1
#define BOOST_NO_STD_WSTRING 1 // only the narrow splitter is used
#include BOOST_PROGRAM_OPTIONS_WINMAIN_SOURCE
