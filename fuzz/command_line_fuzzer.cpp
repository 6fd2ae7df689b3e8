// Fuzzes the launcher's whole command-line path: UTF-16 input (as Windows
// hands it over, lone surrogates included) through the conversion to WTF-8,
// the split into words, the options stage and the game's parameter string.
//
// Beyond "no crash" it checks seven properties on every input, each in a
// function of its own below: the options stage takes any line, it says at
// most its one message, the game reads back exactly the application name,
// no input takes more than linear time, the same input taken as a path
// keeps every unit, the options stage reads, records and reports every line
// as one parse of all the words by Boost does (the oracle: the plain,
// quadratic way), and whatever --build holds, the game's paths keep the
// rule of game_paths (core/launch/location.hpp) for a launcher under each kind of
// root, the working folder among them one that reads as itself.

#include "launch/location.hpp"
#include "launch/parameters.hpp"
#include "launch/windows_names.hpp"
#include "launch/windows_path.hpp"
#include "options/options.hpp"
#include "text/utf16.hpp"
#include "windows/arguments.hpp"

#include <boost/program_options/parsers.hpp>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace {

namespace po = boost::program_options;

const std::string message =
    "Unknown program options found which are ignored. Type \"--help\" for valid program options.\n";

[[noreturn]] void fail(const char* what)
{
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

// Reads one argument from the start of `text` by the Windows rules
// (CommandLineToArgvW, the C runtime): 2n backslashes and a quote give n
// backslashes and toggle quoting, 2n+1 give n backslashes and a literal
// quote, other backslashes are literal, and a blank or tab outside quotes
// ends the argument. Sets `rest` to what follows the argument.
std::string read_argument(const std::string& text, std::string& rest)
{
    std::string value;
    bool quoted = false;
    std::size_t i = 0;
    while (i < text.size()) {
        char const c = text[i];
        if (c == '\\') {
            std::size_t run = 0;
            while (i + run < text.size() && text[i + run] == '\\')
                ++run;
            if (i + run < text.size() && text[i + run] == '"') {
                value.append(run / 2, '\\');
                if (run % 2) {
                    value += '"';
                    i += run + 1;
                } else {
                    i += run; // the quote is read next, as a delimiter
                }
            } else {
                value.append(run, '\\');
                i += run;
            }
        } else if (c == '"') {
            quoted = !quoted;
            ++i;
        } else if ((c == ' ' || c == '\t') && !quoted) {
            break;
        } else {
            value += c;
            ++i;
        }
    }
    rest = text.substr(i);
    return value;
}

const auto description = launcher::make_option_description();
const std::string program = "C:\\Games\\launcher.exe";

// The processor time this thread has used: the work it did, whatever else
// the machine runs. The wall clock also counts the time others' programs
// took the core, and a busy machine made a 7 ms input look like 100 ms.
std::chrono::nanoseconds thread_time()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
}

// What the options stage leaves: each recorded option with its value ("" for
// the switch), and whether the message was printed.
struct outcome {
    std::map<std::string, std::string> recorded;
    bool reported = false;

    bool operator==(const outcome& other) const
    {
        return recorded == other.recorded && reported == other.reported;
    }
};

outcome outcome_of(const po::variables_map& values, bool reported)
{
    outcome result{{}, reported};
    for (const auto& [name, value] : values)
        result.recorded[name] = value.value().type() == typeid(std::string)
                                    ? value.as<std::string>()
                                    : "";
    return result;
}

template <typename Parse>
std::optional<po::parsed_options> parsed_or_nothing(const Parse& parse)
{
    try {
        return parse();
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

// The oracle's options stage: all words to one run of Boost's parser (here
// `whole`, nothing when it threw), then stored.
outcome stage_in_one_parse(const std::optional<po::parsed_options>& whole)
{
    po::variables_map values;
    bool reported = !whole;
    if (whole) {
        try {
            po::store(*whole, values);
        } catch (const std::exception&) {
            reported = true;
        }
    }
    return outcome_of(values, reported);
}

bool same_reading(const std::optional<po::parsed_options>& a,
                  const std::optional<po::parsed_options>& b)
{
    if (!a || !b)
        return !a && !b;
    if (a->options.size() != b->options.size() || a->description != b->description ||
        a->m_options_prefix != b->m_options_prefix)
        return false;
    for (std::size_t i = 0; i < a->options.size(); ++i) {
        const po::option& x = a->options[i];
        const po::option& y = b->options[i];
        if (x.string_key != y.string_key || x.position_key != y.position_key ||
            x.value != y.value || x.original_tokens != y.original_tokens ||
            x.unregistered != y.unregistered || x.case_insensitive != y.case_insensitive)
            return false;
    }
    return true;
}

// The launcher paths the location is checked under, with the roots the
// game's paths may begin with: the plain one and, for a "\\?\" launcher
// path, the prefixed one. No roots: the launcher's path has none, and the
// shell must get nothing.
struct launcher_at {
    std::u16string module_path;
    std::vector<std::u16string> roots;
};

const std::u16string long_name(240, u'a');

const std::vector<launcher_at> launchers = {
    {u"C:\\Q\\sub\\launcher.exe", {u"C:\\"}},
    {u"C:\\launcher.exe", {u"C:\\"}},
    {u"C:\\Q\\AUX\\sub\\launcher.exe", {u"C:\\"}},
    {u"\\\\server\\share\\Q\\launcher.exe", {u"\\\\server\\share"}},
    {u"\\\\?\\C:\\Q\\sub\\launcher.exe", {u"C:\\", u"\\\\?\\C:\\"}},
    {u"\\\\?\\UNC\\server\\share\\Q\\launcher.exe",
     {u"\\\\server\\share", u"\\\\?\\UNC\\server\\share"}},
    {u"\\\\?\\Volume{1b3b}\\Q\\launcher.exe", {u"\\\\?\\Volume{1b3b}"}},
    {u"\\\\?\\GLOBALROOT\\Device\\HarddiskVolume1\\Q\\launcher.exe",
     {u"\\\\?\\GLOBALROOT\\Device\\HarddiskVolume1"}},
    {u"\\\\?\\C:\\" + long_name + u"\\launcher.exe", {u"C:\\", u"\\\\?\\C:\\"}},
    {u"\\\\.\\C:\\Q\\sub\\launcher.exe", {u"\\\\.\\C:"}},
    {u"", {}},
    {u"launcher.exe", {}},
    {u"C:launcher.exe", {}},
    {u"\\Q\\launcher.exe", {}},
};

bool starts_with(std::u16string_view text, std::u16string_view prefix)
{
    return text.substr(0, prefix.size()) == prefix;
}

// Without "\\?\": "\\?\C:\x" is "C:\x", "\\?\UNC\s\h" is "\\s\h".
std::u16string plain(std::u16string_view path)
{
    if (starts_with(path, u"\\\\?\\UNC\\"))
        return u"\\" + std::u16string(path.substr(7));
    if (starts_with(path, u"\\\\?\\") && path.size() >= 7 && path[5] == u':' && path[6] == u'\\')
        return std::u16string(path.substr(4));
    return std::u16string(path);
}

// Microsoft, "Naming Files, Paths, and Namespaces": < > : " / \ | ? * and
// the units 0 to 31 never appear in a name.
bool refused(char16_t unit)
{
    return unit < 32 || std::u16string_view(u"<>:\"/\\|?*").find(unit) != std::u16string_view::npos;
}

// Wine's dlls/ntdll/tests/path.c, test_RtlIsDosDeviceName_U: the name up to
// its first dot or colon, blanks at its end dropped, in any case; CONIN$ and
// CONOUT$ from Windows 8 on; the superscript digits from Microsoft's
// "Naming Files, Paths, and Namespaces".
bool dos_device(std::u16string_view name)
{
    std::u16string base(name.substr(0, name.find_first_of(u".:")));
    while (!base.empty() && base.back() == u' ')
        base.pop_back();
    for (char16_t& unit : base)
        if (unit >= u'a' && unit <= u'z')
            unit = static_cast<char16_t>(unit - u'a' + u'A');
    for (std::u16string_view device : {u"CON", u"PRN", u"AUX", u"NUL", u"CONIN$", u"CONOUT$"})
        if (base == device)
            return true;
    if (base.size() != 4 || !(starts_with(base, u"COM") || starts_with(base, u"LPT")))
        return false;
    char16_t const digit = base[3];
    return (digit >= u'1' && digit <= u'9') || digit == u'\u00B9' || digit == u'\u00B2' ||
           digit == u'\u00B3';
}

// Whether the launcher, reading `folder` as Windows reads a path without
// "\\?\" (windows_names.hpp), finds `folder` again. Windows reads the
// working folder and the game's path once more, and a name that reads
// otherwise there ("C:\Q\v2.\x64r" is "C:\Q\v2\x64r") names another folder.
// A "\\?\" path is taken as written, but for a name's trailing dot, which
// Wine's shell strips there as well.
bool reads_as_itself(const std::string& folder)
{
    auto const path = launcher::parse_windows_path(folder);
    bool const verbatim = folder.rfind(R"(\\?\)", 0) == 0;
    for (std::size_t i = 0; i < path.components.size(); ++i) {
        const std::string& name = path.components[i];
        if (verbatim) {
            if (!name.empty() && name.back() == '.')
                return false;
            continue;
        }
        bool const last = i + 1 == path.components.size();
        if ((last ? launcher::read_as_last_name(name) : launcher::read_as_inner_name(name)) != name)
            return false;
    }
    return true;
}

// The --build rule for one launcher path: the shell gets nothing or
// <folder>\quenby.exe in <folder>, a folder that keeps the launcher's root,
// holds no "." or ".." name and no character Windows refuses in a name, and
// ends in no DOS device and in no name that SetCurrentDirectory would read
// otherwise (one ending in a dot or a blank), and is one SetCurrentDirectory
// takes, and one the launcher's own reading gives again. A launcher path
// without a root gives nothing.
void check_location(const launcher_at& at, std::string_view build)
{
    auto const game = launcher::game_paths(at.module_path, build);
    if (!game)
        return;
    auto const fail = [&](const char* what) {
        std::fprintf(stderr,
                     "launcher path: %s\n--build (%zu bytes): %.200s\nworking folder: %.300s\n",
                     launcher::path_to_utf8(at.module_path).c_str(), build.size(),
                     std::string(build).c_str(), game->working_directory.c_str());
        ::fail(what);
    };
    if (at.roots.empty())
        fail("a launcher path without a root gave paths");
    std::u16string const folder = launcher::path_to_utf16(game->working_directory);
    std::u16string const file = launcher::path_to_utf16(game->executable);

    auto const root = std::find_if(at.roots.begin(), at.roots.end(), [&](const std::u16string& r) {
        return starts_with(folder, r) &&
               (folder.size() == r.size() || r.back() == u'\\' || folder[r.size()] == u'\\');
    });
    if (root == at.roots.end())
        fail("the working folder lost the launcher's root");

    // SetCurrentDirectory: at most MAX_PATH - 2 units, without the backslash
    // it adds; the shell: a game path under MAX_PATH, "\\?\" or not.
    if (folder.size() > 258)
        fail("a working folder SetCurrentDirectory refuses");
    if (file.size() >= 260)
        fail("a game path the shell refuses");
    std::u16string const plain_folder = plain(folder);
    std::u16string const in_folder = plain_folder + (plain_folder.back() == u'\\' ? u"" : u"\\") +
                                     u"quenby.exe";
    if (plain(file) != in_folder)
        fail("the game is not quenby.exe in its working folder");

    std::u16string_view names(folder);
    names.remove_prefix(root->size());
    std::u16string_view last;
    while (!names.empty()) {
        if (names[0] == u'\\')
            names.remove_prefix(1);
        std::u16string_view const name = names.substr(0, names.find(u'\\'));
        names.remove_prefix(name.size());
        if (name.empty() || name == u"." || name == u"..")
            fail(R"(the working folder holds an empty, "." or ".." name)");
        if (std::any_of(name.begin(), name.end(), refused))
            fail("the working folder holds a character Windows refuses in a name");
        last = name;
    }
    if (dos_device(last))
        fail("the working folder ends in a DOS device");
    // path.c, RtlGetFullPathName_U: "c:/test     " and "c:/test." are
    // "c:\test"; the game's path keeps the name inside it as written.
    if (!last.empty() && (last.back() == u'.' || last.back() == u' '))
        fail("the working folder's last name ends in a dot or a blank");
    if (!reads_as_itself(game->working_directory))
        fail("the launcher reads the working folder it hands out as another");
}

// What the launcher makes of one command line: the part the time bound is for.
struct stage_run {
    std::vector<std::string> arguments;
    std::string said; // what the options stage wrote
    po::variables_map options;
    std::string parameters;
};

// Runs the stages on `line` into `run` and gives the processor time they
// took. Property: the options stage takes any line, nothing escapes it.
std::chrono::nanoseconds run_stages(const std::u16string& line, stage_run& run)
{
    auto const started = thread_time();
    run.arguments = launcher::windows::make_arguments(program, line);
    std::ostringstream out;
    try {
        run.options = launcher::parse_options(run.arguments, description, out);
    } catch (...) {
        fail("an exception escaped the options stage");
    }
    run.parameters = launcher::game_parameters(run.options);
    auto const elapsed = std::chrono::nanoseconds(thread_time() - started);
    run.said = out.str();
    return elapsed;
}

// Property: the options stage takes any line, and the program stays element 0.
void check_takes_any_line(const stage_run& run)
{
    if (run.arguments.empty() || run.arguments[0] != program)
        fail("element 0 is not the program");
}

// Property: the options stage says at most its one message.
void check_says_at_most_its_message(const stage_run& run)
{
    if (!run.said.empty() && run.said != message)
        fail("the options stage said something other than its message");
}

// Property: the game reads back exactly the application name, by the
// Windows rules (read_argument above, written apart from the launcher).
void check_game_reads_back_the_application(const stage_run& run)
{
    if (run.options.count("application")) {
        std::string const prefix = " --application ";
        if (run.parameters.compare(0, prefix.size(), prefix) != 0)
            fail("the parameter string does not start with --application");
        std::string rest;
        std::string const value = read_argument(run.parameters.substr(prefix.size()), rest);
        if (value != run.options["application"].as<std::string>() || !rest.empty())
            fail("the game would read back another application name");
    } else if (!run.parameters.empty()) {
        fail("parameters without an application");
    }
}

// Property: no input takes more than linear time. The bound, 20 ms + 2.5 µs
// a byte of processor time with sanitizers, leaves about four times room
// over what the longest command line takes (docs/testing.md, "Measured
// figures"), for a slower processor, and a quadratic parse passes it
// from some 21 kB up. The thread is now and then charged for work that is
// not the stages' (the sanitizer's allocator recycling its quarantine,
// pages reclaimed from a busy machine), so a run over the bound is timed
// twice more and the quickest counts; a quadratic parse is over it every
// time.
void check_linear_time(const std::u16string& line, std::size_t size,
                       std::chrono::nanoseconds elapsed)
{
    auto const bound = std::chrono::milliseconds(20) + std::chrono::nanoseconds(2500) * size;
    for (int again = 0; again < 2 && elapsed > bound; ++again) {
        stage_run rerun;
        elapsed = std::min(elapsed, run_stages(line, rerun));
    }
    if (elapsed > bound)
        fail("more than linear time");
}

// Property: the same units as a path are all kept, and valid UTF-16 is
// written as to_utf8 writes it: the conversion the command line's words
// had before they kept unpaired surrogates, the oracle for every other
// text.
void check_path_keeps_every_unit(const std::u16string& line)
{
    std::string const path = launcher::path_to_utf8(line);
    if (launcher::path_to_utf16(path) != line)
        fail("a path lost a UTF-16 unit");
    if (launcher::to_utf16(launcher::to_utf8(line)) == line && path != launcher::to_utf8(line))
        fail("a valid path written otherwise than a word");
}

// Property: whatever --build holds, the game's paths keep the --build rule
// (check_location) under every launcher path.
void check_build_location(const std::u16string& line, const stage_run& run)
{
    // Without --build the launcher takes x64r or x86r: x86r stands for both.
    std::string const build = run.options.count("build") ? run.options["build"].as<std::string>()
                                                         : "x86r";
    for (const launcher_at& at : launchers)
        check_location(at, build);
    // Quoting brings any text to --build: the input itself is a value too,
    // so the rule holds over every input, not only those that spell --b.
    std::string const any_build = launcher::path_to_utf8(line);
    for (const launcher_at& at : launchers)
        check_location(at, any_build);
}

// Property: the options stage records and reports as one parse of all the
// words by Boost would, and the parse in the launcher's pieces reads the
// words as that one parse does. Outside the timed part: the oracle is
// quadratic.
void check_same_as_one_parse(const stage_run& run)
{
    std::vector<const char*> words;
    words.reserve(run.arguments.size());
    for (const std::string& argument : run.arguments)
        words.push_back(argument.c_str());
    auto const whole = parsed_or_nothing([&] {
        return launcher::parse_words(static_cast<int>(words.size()), words.data(), description);
    });
    if (!(outcome_of(run.options, !run.said.empty()) == stage_in_one_parse(whole)))
        fail("the options stage records or reports otherwise than one parse");
    // In the launcher's pieces, and cut wherever the rules allow, so that
    // every cut is put to the test.
    for (std::size_t const least_piece : {std::size_t{64}, std::size_t{1}}) {
        auto const pieces = parsed_or_nothing(
            [&] { return launcher::parse_in_pieces(run.arguments, description, least_piece); });
        if (!same_reading(whole, pieces))
            fail("the parse in pieces reads the words otherwise than one parse");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::u16string line(size / 2, u'\0');
    for (std::size_t i = 0; i < line.size(); ++i)
        line[i] = static_cast<char16_t>(data[2 * i] | data[2 * i + 1] << 8);

    stage_run run;
    auto const elapsed = run_stages(line, run);
    check_takes_any_line(run);
    check_says_at_most_its_message(run);
    check_game_reads_back_the_application(run);
    check_linear_time(line, size, elapsed);
    check_path_keeps_every_unit(line);
    check_build_location(line, run);
    check_same_as_one_parse(run);
    return 0;
}

// Before any fuzzing, the longest line of one-letter words, the slowest
// shape for the stage: the fuzzer itself reaches such lengths only after
// many minutes, and as a seed it would make every input long, with the
// quadratic oracle run for each.
extern "C" int LLVMFuzzerInitialize(int* /* argc */, char*** /* argv */)
{
    std::vector<std::uint8_t> longest; // "a a a ... a" in UTF-16LE, 32767 units
    for (std::size_t unit = 0; unit < 32767; ++unit)
        longest.insert(longest.end(), {static_cast<std::uint8_t>(unit % 2 ? ' ' : 'a'), 0});
    return LLVMFuzzerTestOneInput(longest.data(), longest.size());
}
