#pragma once

#include <boost/program_options/options_description.hpp>
#include <boost/program_options/parsers.hpp>
#include <boost/program_options/variables_map.hpp>

#include <cstddef>
#include <iosfwd>
#include <string>
#include <vector>

namespace launcher {

// The launcher's three options: "help", "application" and "build".
[[nodiscard]] boost::program_options::options_description make_option_description();

// What --help prints: the option description as Boost lays it out, and an
// empty line. Whole or not at all: where memory runs out while it is laid
// out, std::bad_alloc, even where Boost's own code swallowed it.
[[nodiscard]] std::string help_text(const boost::program_options::options_description& description);

// One run of Boost's command-line parser over argv[1] to argv[argc - 1]
// with the launcher's policy: the default style, undeclared options allowed.
[[nodiscard]] boost::program_options::parsed_options parse_words(
    int argc, const char* const* argv,
    const boost::program_options::options_description& description);

// What parse_words gives for the argument vector after element 0, and where
// it throws, but in time linear in the number of words: Boost's parser
// erases each word it reads from the front of its list, so the words go to
// it in pieces of at least `least_piece` words, cut only where no word of a
// piece can be read together with a word of the next.
[[nodiscard]] boost::program_options::parsed_options parse_in_pieces(
    const std::vector<std::string>& arguments,
    const boost::program_options::options_description& description, std::size_t least_piece = 64);

// Parses the argument vector, element 0 excluded, under a tolerant policy:
// undeclared options and stray words are ignored; a malformed command line
// writes one message to `out` and leaves whatever was recorded before the
// fault. Never throws on account of the command line; std::bad_alloc and
// std::length_error, which tell of the memory instead, leave it. (`least_piece` as for
// parse_in_pieces.)
[[nodiscard]] boost::program_options::variables_map parse_options(
    const std::vector<std::string>& arguments,
    const boost::program_options::options_description& description, std::ostream& out,
    std::size_t least_piece = 64);

} // namespace launcher
