#include "options/options.hpp"
#include "windows/arguments.hpp"
#include "windows/module_file_name.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <system_error>

namespace {

using words = std::vector<std::string>;

struct split_case {
    const char* name;
    std::u16string command_line;
    words expected; // after element 0
};

// Expectations worked out by hand from the Windows rules for command lines.
TEST(Arguments, SplitsTheCommandLineByTheWindowsRules)
{
    // clang-format off
    const split_case cases[] = {
        {"nothing", u"", {}},
        {"only white space", u" \t\r\n\v\f", {}},
        {"two options", u"--build x86r --help", {"--build", "x86r", "--help"}},
        {"runs of white space", u"  a \t\r\n\v\f b  ", {"a", "b"}},
        {"quoted blank", u"--application \"my game.json\"", {"--application", "my game.json"}},
        {"quotes inside a word", u"a\"b c\"d", {"ab cd"}},
        {"two backslashes and a quote", u"a\\\\\"b c\"", {"a\\b c"}},
        {"three backslashes and a quote", u"a\\\\\\\"b", {"a\\\"b"}},
        {"backslashes without a quote", u"C:\\dir\\\\ x\\", {"C:\\dir\\\\", "x\\"}},
        {"empty quotes", u"\"\" x", {"", "x"}},
        {"empty quotes at the end", u"x \"\"", {"x", ""}},
        {"open quote at the end", u"x \"", {"x", ""}},
        {"unterminated quote", u"\"a b", {"a b"}},
        {"no-break space is no separator", u"a\u00A0b", {"a\xC2\xA0" "b"}},
        {"cyrillic", u"--build \u0421\u0431\u043E\u0440\u043A\u0430",
         {"--build", "\xD0\xA1\xD0\xB1\xD0\xBE\xD1\x80\xD0\xBA\xD0\xB0"}},
        {"beyond the BMP", u"\xD83C\xDFAE", {"\xF0\x9F\x8E\xAE"}},
        // Kept as WTF-8, each unpaired surrogate its three bytes: dropped, one
        // would make --build name another folder ("a\xD800b" is no "ab").
        {"lone high surrogate before a blank", u"a\xD800 b", {"a\xED\xA0\x80", "b"}},
        {"lone high surrogate before a quote", u"\xD800\"x y\"", {"\xED\xA0\x80x y"}},
        {"lone low surrogate", u"a\xDC00" u"b", {"a\xED\xB0\x80" "b"}},
    };
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        words expected{"C:\\Games\\launcher.exe"};
        expected.insert(expected.end(), c.expected.begin(), c.expected.end());
        EXPECT_EQ(launcher::windows::make_arguments("C:\\Games\\launcher.exe", c.command_line),
                  expected);
    }
}

TEST(Arguments, KeepsTheProgramPathWhole)
{
    const std::string program = "C:\\Games --build Release\\\"launcher\".exe";
    auto const arguments = launcher::windows::make_arguments(program, u"--build x86r");
    EXPECT_EQ(arguments, (words{program, "--build", "x86r"}));

    // Had the path been split, --build would occur twice and be dropped.
    std::ostringstream out;
    auto const values = launcher::parse_options(arguments, launcher::make_option_description(),
                                                out);
    EXPECT_EQ(out.str(), "");
    EXPECT_EQ(values["build"].as<std::string>(), "x86r");
}

// What the fake GetModuleFileNameW holds. It is a plain function pointer,
// so it shares this state.
struct module_name_script {
    std::wstring path;
    bool cut_without_nul = false;
    DWORD fails_with = ERROR_SUCCESS; // else the call fails with this error
} module_name;

// Microsoft's GetModuleFileNameW page: a name that does not fit is cut to
// nSize characters with the NUL, nSize is returned and the error is
// ERROR_INSUFFICIENT_BUFFER; Windows XP cuts it to nSize characters without
// the NUL, as Wine 8 does.
DWORD WINAPI fake_module_file_name(HMODULE, LPWSTR buffer, DWORD size)
{
    if (module_name.fails_with != ERROR_SUCCESS) {
        SetLastError(module_name.fails_with);
        return 0;
    }
    SetLastError(ERROR_ACCESS_DENIED); // junk that a success must not be judged by
    std::size_t const length = module_name.path.size();
    if (length < size) {
        std::copy_n(module_name.path.begin(), length, buffer);
        buffer[length] = L'\0';
        return static_cast<DWORD>(length);
    }
    std::size_t const kept = module_name.cut_without_nul ? size : size - 1;
    std::copy_n(module_name.path.begin(), kept, buffer);
    if (kept < size)
        buffer[kept] = L'\0';
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return size;
}

// A launcher path longer than MAX_PATH, which the test bed cannot give the
// real call: Wine 8's CreateProcessW refuses to start such a program
// (ERROR_INVALID_NAME). Read cut, it would lose the end of the launcher's
// folder, and "--build ..\x86r" would start a game one folder too high.
TEST(Arguments, ReadsTheLaunchersOwnPathWhole)
{
    const struct {
        const char* name;
        std::size_t length;
        bool cut_without_nul;
        DWORD fails_with;
    } cases[] = {
        {"259 units, the longest that fits MAX_PATH", 259, false, ERROR_SUCCESS},
        {"285 units, cut as Windows cuts", 285, false, ERROR_SUCCESS},
        {"285 units, cut as Windows XP and Wine cut", 285, true, ERROR_SUCCESS},
        // The error reported is Windows' own, not whatever came after it.
        {"the call fails", 30, false, ERROR_NOT_ENOUGH_MEMORY},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::wstring const folder = L"C:\\Games\\";
        std::wstring const file = L"\\launcher.exe";
        module_name = {folder + std::wstring(c.length - folder.size() - file.size(), L'd') + file,
                       c.cut_without_nul, c.fails_with};

        if (c.fails_with != ERROR_SUCCESS) {
            try {
                (void)launcher::windows::module_file_name(fake_module_file_name);
                ADD_FAILURE() << "no exception";
            } catch (const std::system_error& error) {
                EXPECT_EQ(error.code().value(), static_cast<int>(c.fails_with));
            }
            continue;
        }
        auto const path = launcher::windows::module_file_name(fake_module_file_name);

        EXPECT_EQ(path, std::u16string(module_name.path.begin(), module_name.path.end()));
    }
}

TEST(Arguments, NamesAnUnknownProgram)
{
    EXPECT_EQ(launcher::windows::make_arguments(std::nullopt, u" --help"),
              (words{"Unknown absolute executable filename", "--help"}));
}

} // namespace
