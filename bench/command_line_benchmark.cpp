// Cost of the command-line path (UTF-16 to UTF-8, split, options, parameter
// string) up to the longest command line Windows allows, 32,767 UTF-16
// units. It should grow linearly with the length: each case is fitted to
// a straight line, and a small RMS says it fits.

#include "launch/parameters.hpp"
#include "options/options.hpp"
#include "windows/arguments.hpp"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <sstream>

namespace {

const auto description = launcher::make_option_description();

// `head`, then `piece` repeated, then `tail`, cut to `length` units.
std::u16string command_line(std::size_t length, std::u16string_view head, std::u16string_view piece,
                            std::u16string_view tail)
{
    std::u16string line(head);
    while (line.size() + tail.size() < length)
        line += piece;
    line.resize(length - tail.size());
    return line + std::u16string(tail);
}

void run_path(benchmark::State& state, const std::u16string& line)
{
    for (auto _ : state) {
        auto const arguments = launcher::windows::make_arguments("C:\\Games\\launcher.exe", line);
        std::ostringstream out;
        auto const options = launcher::parse_options(arguments, description, out);
        benchmark::DoNotOptimize(launcher::game_parameters(options));
    }
    state.SetComplexityN(static_cast<std::int64_t>(line.size()));
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(line.size() * 2));
}

// One long application name full of quotes, backslashes and blanks: the
// worst case for splitting and for quoting it again.
void LongApplicationName(benchmark::State& state)
{
    run_path(state, command_line(static_cast<std::size_t>(state.range(0)), u"--application \"",
                                 u"a \\\\\\\" b\\c \u0418\xD83C\xDFAE ", u"\\\\\" --build x86r"));
}

// Many short words: the most work for the parser and the option store.
void ManyWords(benchmark::State& state)
{
    run_path(state, command_line(static_cast<std::size_t>(state.range(0)), u"--build x86r ",
                                 u"w --f=1 \"q q\" ", u" --application demo.app.json"));
}

// One-letter words, as many as fit: the most words a command line can hold.
void OneLetterWords(benchmark::State& state)
{
    run_path(state, command_line(static_cast<std::size_t>(state.range(0)), u"", u"a ", u""));
}

} // namespace

BENCHMARK(LongApplicationName)->RangeMultiplier(2)->Range(1024, 32767)->Complexity(benchmark::oN);
BENCHMARK(ManyWords)->RangeMultiplier(2)->Range(1024, 32767)->Complexity(benchmark::oN);
BENCHMARK(OneLetterWords)->RangeMultiplier(2)->Range(1024, 32767)->Complexity(benchmark::oN);
