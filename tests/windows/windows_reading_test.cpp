#include "run.hpp"
#include "text/utf16.hpp"
#include "unit/fake_system.hpp"
#include "windows/arguments.hpp"
#include "windows/wide.hpp"
#include "windows/windows_split.hpp"

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <random>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

// Windows itself judges the whole launcher: a command line with --build and
// --application, taken through the launcher's own conversion and split and
// run against a fake system that records the start request, under launcher
// paths of every form. Windows' own split of the same line
// (CommandLineToArgvW) gives the words, and GetFullPathNameW and
// RtlIsDosDeviceName_U read the launcher's folder joined with --build's
// word, never the launcher's own model of them. Under Wine in both
// prefixes; on a real Windows it asks that Windows.

namespace {

const std::wstring launcher_folder = LR"(C:\Games\Q\)";

// Where the launcher lies, and how Windows reads --build against it. A
// "\\?\" launcher path reads --build as a plain one does (the rule for
// --build: the same folder however the launcher was started), so Windows
// reads the plain folder, and the launcher's answer is compared without
// the prefix.
struct launcher_at {
    const char* name;
    std::u16string module_path;
    std::wstring folder; // what Windows reads --build against
    std::wstring root;   // what every folder started must lie in
};

const launcher_at launchers[] = {
    {"drive", uR"(C:\Games\Q\launcher.exe)", launcher_folder, LR"(C:\)"},
    {"drive root", uR"(C:\launcher.exe)", LR"(C:\)", LR"(C:\)"},
    {"share", uR"(\\server\share\Q\launcher.exe)", LR"(\\server\share\Q\)", LR"(\\server\share)"},
    {R"(\\?\)", uR"(\\?\C:\Games\Q\launcher.exe)", launcher_folder, LR"(C:\)"},
    {R"(\\.\)", uR"(\\.\C:\Games\Q\launcher.exe)", LR"(\\.\C:\Games\Q\)", LR"(\\.\C:)"},
};

std::wstring full_path(const std::wstring& path)
{
    // The size with its NUL where the buffer is too small, without it else.
    std::wstring buffer(MAX_PATH, L'\0');
    DWORD size = GetFullPathNameW(path.c_str(), MAX_PATH, buffer.data(), nullptr);
    if (size >= buffer.size()) {
        buffer.resize(size);
        size = GetFullPathNameW(path.c_str(), size, buffer.data(), nullptr);
    }
    buffer.resize(size < buffer.size() ? size : 0);
    return buffer;
}

bool is_device(const std::wstring& path)
{
    // In ntdll on every Windows NT, but in no import library MinGW has.
    using call = ULONG(NTAPI*)(PCWSTR);
    static auto const rtl_is_dos_device_name = reinterpret_cast<call>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlIsDosDeviceName_U")));
    return rtl_is_dos_device_name(path.c_str()) != 0;
}

bool is_separator(wchar_t c) { return c == L'\\' || c == L'/'; }

bool within(const std::wstring& path, const std::wstring& root)
{
    return path.compare(0, root.size(), root) == 0 &&
           (path.size() == root.size() || root.back() == L'\\' || path[root.size()] == L'\\');
}

// The names of `text`, at either separator.
std::vector<std::wstring> names_of(std::wstring_view text)
{
    std::vector<std::wstring> names;
    for (std::size_t begin = 0, end = 0; begin <= text.size(); begin = end + 1) {
        end = std::min(text.find_first_of(L"\\/", begin), text.size());
        if (end > begin)
            names.emplace_back(text.substr(begin, end - begin));
    }
    return names;
}

// Microsoft, "Naming Files, Paths, and Namespaces": < > : " | ? * and the
// units 1 to 31 are no part of a name, and path.c's test_nt_names has the
// file system refuse "kernel32.dll*", "system32?" and "sys\001".
// GetFullPathNameW keeps them ("?<>*\"|:" below), so the judge looks itself.
bool holds_refused_character(std::wstring_view name)
{
    return std::any_of(name.begin(), name.end(), [](wchar_t c) {
        return c < 32 || std::wstring_view(L"<>:\"|?*").find(c) != std::wstring_view::npos;
    });
}

// A command-line word that Windows' rules read back as `text`: 2n
// backslashes before a quote are n, 2n+1 and the quote a literal quote.
std::wstring as_word(const std::wstring& text)
{
    std::wstring word = L"\"";
    std::size_t backslashes = 0;
    for (wchar_t const c : text) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        word.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
        word += c;
        backslashes = 0;
    }
    word.append(2 * backslashes, L'\\');
    return word + L'"';
}

std::wstring wide(const std::string& wtf8) { return launcher::windows::path_to_wide(wtf8); }

// Windows' reading of the launcher's folder joined with a --build text, as
// the folder to start a game in, and why no game can start there, if none
// can. SetCurrentDirectory enters "X\" as "X" (kernel32's path.c,
// test_CurrentDirectoryA, check 1), and the folder is handed on without the
// separator, so it must read back as itself without it. Devices are asked
// of the text under a drive's folder: RtlIsDosDeviceName_U reads them in
// DOS paths only, and --build's rule is one for every root.
struct windows_reading {
    std::wstring folder;
    const char* refusal = nullptr;
};

windows_reading read_as_windows_does(const launcher_at& at, const std::wstring& text)
{
    windows_reading reading{full_path(at.folder + text)};
    std::wstring& folder = reading.folder;
    if (folder.empty()) {
        reading.refusal = "no reading";
        return reading;
    }
    if (folder.size() > at.root.size() && folder.back() == L'\\')
        folder.pop_back();
    std::wstring const file = folder + (folder.back() == L'\\' ? L"" : L"\\") + L"quenby.exe";
    auto const names = names_of(folder);
    if (is_device(launcher_folder + text) ||
        (!names.empty() && is_device(launcher_folder + names.back())))
        reading.refusal = "a DOS device";
    else if (!within(folder, at.root))
        reading.refusal = "above the launcher's root";
    else if (holds_refused_character(folder.substr(at.root.size())))
        reading.refusal = "a character Windows refuses in a name";
    else if (full_path(folder) != folder || full_path(file) != file)
        reading.refusal = "read again as another folder"; // ".", "..", a dot or a blank
    else if (file.size() >= MAX_PATH)
        reading.refusal = "a game path the shell refuses"; // with "\\?\" too, under Wine
    return reading;
}

// Whether the shell takes `file` as written. Replayed under Wine 8,
// ShellExecuteExW refused every program path of 260 units or more, with
// "\\?\" or without, and under "\\?\" started C:\G\v2\x64r\quenby.exe for
// "\\?\C:\G\v2.\x64r\quenby.exe": a name's trailing dot goes there too.
bool shell_takes(const std::wstring& file)
{
    if (file.size() >= MAX_PATH)
        return false;
    if (file.compare(0, 4, LR"(\\?\)") != 0)
        return true;
    auto const names = names_of(file);
    return std::none_of(names.begin(), names.end(),
                        [](const std::wstring& name) { return name.back() == L'.'; });
}

// Without "\\?\": a prefixed folder is compared as the plain one, which it
// names where no name ends in a dot; shell_takes judges the
// form.
std::wstring plain(const std::wstring& path)
{
    return path.compare(0, 4, LR"(\\?\)") == 0 ? path.substr(4) : path;
}

// Where the launcher refuses a folder Windows would enter: each refusal
// stricter than Windows, and why it is kept.
struct allowance {
    const char* name;
    bool (*applies)(const launcher_at& at, const std::wstring& text);
};

const allowance allowances[] = {
    // path.c, RtlIsDosDeviceName_U: only the last name of a full path counts
    // ("c:\nul\foo" is none); a --build may hold a device nowhere, the same
    // rule for every name and every Windows (Windows 11 no longer reads full
    // paths as devices at all: "broken" rows).
    {"a device inside the path",
     [](const launcher_at&, const std::wstring& text) {
         for (std::size_t i = 1; i < text.size(); ++i)
             if (is_separator(text[i]) && is_device(launcher_folder + text.substr(0, i)))
                 return true;
         return false;
     }},
    // Microsoft's naming page lists COM¹ to LPT³ among the devices; Wine 8
    // does not know them.
    {"a device with a superscript digit",
     [](const launcher_at&, const std::wstring& text) {
         for (std::wstring name : names_of(text)) {
             name = name.substr(0, name.find_first_of(L".:"));
             name.erase(name.find_last_not_of(L' ') + 1);
             if (name.size() == 4 &&
                 (_wcsnicmp(name.c_str(), L"COM", 3) == 0 ||
                  _wcsnicmp(name.c_str(), L"LPT", 3) == 0) &&
                 std::wstring_view(L"\u00B9\u00B2\u00B3").find(name[3]) != std::wstring_view::npos)
                 return true;
         }
         return false;
     }},
    // A name a later ".." takes away still says the text was not meant as a
    // folder (a quote made Wine's shell start another program).
    {"a refused character in a name .. takes away",
     [](const launcher_at&, const std::wstring& text) {
         auto const names = names_of(text);
         return std::any_of(names.begin(), names.end(),
                            [](const std::wstring& name) { return holds_refused_character(name); });
     }},
    // An inner "..." loses a dot to the name "..", which no file system takes
    // (test_nt_names; "...\" reads as "C:\Games\Q\..\"), unless a later
    // ".." takes it away again ("...\.." is the folder itself). The launcher
    // refuses it as it refuses a refused character there.
    {"an inner ... that a later .. takes away",
     [](const launcher_at&, const std::wstring& text) {
         for (std::size_t at = text.find(L"..."); at != std::wstring::npos;
              at = text.find(L"...", at + 1))
             if ((at == 0 || is_separator(text[at - 1])) && at + 3 < text.size() &&
                 is_separator(text[at + 3]))
                 return true;
         return false;
     }},
    // "a \." is "a" to Windows, which strips the name a final "." or ".."
    // leaves last; the launcher reads that name as the inner name it was
    // ("a \.\" is the folder "a "), and gives nothing.
    {"a name before a final . or .. ending in a dot or a blank",
     [](const launcher_at& at, const std::wstring& text) {
         auto const names = names_of(text);
         return !text.empty() && !is_separator(text.back()) &&
                (names.back() == L"." || names.back() == L"..") &&
                read_as_windows_does(at, text + L"\\").refusal;
     }},
};

// What the judge found over a run.
struct tally {
    static constexpr int families = 5;
    static constexpr const char* family[families] = {
        "starts another folder than Windows reads",
        "starts a folder Windows cannot start a game in",
        "gives nothing where Windows reads a folder it can start a game in",
        "hands the shell a game path it does not take as written",
        "hands the game another application name, or says otherwise",
    };
    long texts = 0;
    long found[families] = {};
    long allowed[std::size(allowances)] = {};
    std::string examples[families];
};

std::string shown(const std::wstring& text)
{
    return "\"" + launcher::path_to_utf8(std::u16string(text.begin(), text.end())) + "\"";
}

// A command line holding `build` and `application`, and Windows' split of it.
struct command {
    std::wstring build, application;
    std::u16string line;
    std::vector<std::wstring> words;
};

command command_for(std::wstring build, std::wstring application)
{
    std::wstring const line = L"--build " + as_word(build) + L" --application " +
                              as_word(application);
    return {std::move(build), std::move(application), std::u16string(line.begin(), line.end()),
            windows_words(L"launcher.exe " + line)};
}

// Runs the launcher at `at` on the command line, asks Windows about the
// same line and tallies what disagrees; `origin` says where the texts came
// from.
void judge(const launcher_at& at, const command& c, const std::string& origin, tally& tally)
{
    ++tally.texts;
    auto const& words = c.words;
    std::wstring const text = words.size() == 5 ? words[2] : L"";
    std::wstring const name = words.size() == 5 ? words[4] : L"";

    fake_system os;
    os.module_path = at.module_path;
    std::ostringstream out;
    launcher::run(launcher::windows::make_arguments("launcher.exe", c.line), os.services(), out);

    windows_reading const windows = read_as_windows_does(at, text);
    bool const started = os.starts.size() == 1;
    std::wstring const file = started ? wide(os.starts[0].file) : L"";
    std::wstring const folder = started ? wide(os.starts[0].directory) : L"";
    int family = -1;
    if (started) {
        auto const game_words = windows_words(L"quenby.exe" + wide(os.starts[0].parameters));
        if (plain(folder) != windows.folder ||
            file != folder + (folder.back() == L'\\' ? L"" : L"\\") + L"quenby.exe")
            family = 0;
        else if (windows.refusal)
            family = 1;
        else if (!shell_takes(file))
            family = 3;
        else if (game_words != std::vector<std::wstring>{L"quenby.exe", L"--application", name} ||
                 !out.str().empty())
            family = 4;
    } else if (words.size() != 5 || os.starts.size() > 1 ||
               out.str() != "ERROR: Failed to start the game\n") {
        family = 4;
    } else if (!windows.refusal) {
        auto const allowed = std::find_if(std::begin(allowances), std::end(allowances),
                                          [&](const allowance& a) { return a.applies(at, text); });
        if (allowed == std::end(allowances))
            family = 2;
        else
            ++tally.allowed[allowed - std::begin(allowances)];
    }
    if (family < 0)
        return;
    if (tally.found[family]++ < 5)
        tally.examples[family] += "\n  " + origin + ", " + at.name + ": --build " + shown(c.build) +
                                  " --application " + shown(c.application) + ": " +
                                  (started ? os.starts[0].directory : "nothing") + ", Windows: " +
                                  launcher::path_to_utf8(std::u16string(windows.folder.begin(),
                                                                        windows.folder.end())) +
                                  (windows.refusal ? std::string(" (") + windows.refusal + ")"
                                                   : "");
}

void expect_agreement(const tally& tally)
{
    for (int family = 0; family < tally::families; ++family)
        EXPECT_EQ(tally.found[family], 0) << tally.texts << " texts; " << tally::family[family]
                                          << ", as" << tally.examples[family];
}

// A row of Wine's conformance tests (an `ok` not marked todo_wine, so one
// that held on Windows), re-typed under the launcher's folder: Wine's
// current folder C:\windows\, and a root its rows go up to, stand for
// C:\Games\Q\. Beside the reading, what older Windows read where the row
// allows that (`broken`, or an alternative it names).
enum device_answer { unsaid, yes, no, from_windows_8 };

struct conformance_row {
    std::wstring text;
    std::wstring reading; // empty: the row says only whether it is a device
    std::wstring older_reading;
    device_answer device = unsaid;
};

conformance_row reads(std::wstring text, std::wstring reading, std::wstring older = L"",
                      device_answer device = unsaid)
{
    return {std::move(text), std::move(reading), std::move(older), device};
}

conformance_row device(std::wstring text, device_answer answer)
{
    return {std::move(text), L"", L"", answer};
}

// ntdll's path.c, test_RtlGetFullPathName_U (F), test_RtlDosPathNameToNtPathName_U
// (N: the NT path is "\??\" and this reading) and test_RtlIsDosDeviceName_U (D).
std::vector<conformance_row> ntdll_rows()
{
    // clang-format off
    return {
        reads(L"test", LR"(C:\Games\Q\test)"), // F N
        reads(L"test/", LR"(C:\Games\Q\test\)"), // F N
        reads(L"test     ", LR"(C:\Games\Q\test)"), // F N
        reads(L"test.", LR"(C:\Games\Q\test)"), // F N
        reads(L"test  ....   ..   ", LR"(C:\Games\Q\test)"), // F
        reads(L"test/  ....   ..   ", LR"(C:\Games\Q\test\)"), // F
        reads(L"test/..", LR"(C:\Games\Q)"), // F
        reads(L"test/.. ", LR"(C:\Games\Q\test\)"), // F
        reads(L"TEST", LR"(C:\Games\Q\TEST)"), // F
        reads(L"test/file", LR"(C:\Games\Q\test\file)"), // F N
        reads(L"test./file", LR"(C:\Games\Q\test\file)"), // F
        reads(L"test.. /file", LR"(C:\Games\Q\test.. \file)"), // F
        reads(L"test/././file", LR"(C:\Games\Q\test\file)"), // F N
        reads(LR"(test\.\.\file)", LR"(C:\Games\Q\test\file)"), // F
        reads(LR"(test/\.\.\file)", LR"(C:\Games\Q\test\file)"), // F
        reads(LR"(test\\.\.\file)", LR"(C:\Games\Q\test\file)"), // F
        reads(LR"(test\test1\..\.\file)", LR"(C:\Games\Q\test\file)"), // F N
        reads(LR"(//test\.\.\file//)", LR"(C:\Games\Q\test\file\)", LR"(C:\Games\Q\test\file)"), // F, NT 4
        reads(LR"(//test\..\file\..\//)", LR"(C:\Games\Q\)"), // F
        reads(L"test../file", LR"(C:\Games\Q\test.\file)", LR"(C:\Games\Q\test..\file)"), // F, Vista
        reads(L"", LR"(C:\Games\Q\)", L"", no), // F N D
        reads(L".", LR"(C:\Games\Q)"), // F N
        reads(L"./", LR"(C:\Games\Q\)"), // N
        reads(L"..", LR"(C:\Games)"), // F N
        reads(L"...", LR"(C:\Games\Q\)"), // F N
        reads(L"./foo", LR"(C:\Games\Q\foo)"), // F N
        reads(L"foo/..", LR"(C:\Games\Q)"), // F N
        reads(L"foo/.", LR"(C:\Games\Q\foo)"), // N
        reads(L"foo/../bar", LR"(C:\Games\Q\bar)"), // N
        reads(L"foo . .", LR"(C:\Games\Q\foo)"), // N
        reads(L"foo.a", LR"(C:\Games\Q\foo.a)"), // N
        reads(L"foo a", LR"(C:\Games\Q\foo a)"), // N
        reads(L"foo//", LR"(C:\Games\Q\foo\)"), // N
        reads(L"foo*", LR"(C:\Games\Q\foo*)"), // N
        reads(L"foo*a", LR"(C:\Games\Q\foo*a)"), // N
        reads(L"foo?", LR"(C:\Games\Q\foo?)"), // N
        reads(L"foo?a", LR"(C:\Games\Q\foo?a)"), // N
        reads(L"foo<", LR"(C:\Games\Q\foo<)"), // N
        reads(L"foo<a", LR"(C:\Games\Q\foo<a)"), // N
        reads(L"foo>", LR"(C:\Games\Q\foo>)"), // N
        reads(L"foo>a", LR"(C:\Games\Q\foo>a)"), // N
        reads(L"?<>*\"|:", LR"(C:\Games\Q\?<>*"|:)"), // F N
        reads(LR"(nonexistent\nul)", LR"(\\.\nul)"), // F N
        reads(LR"(con\con)", LR"(\\.\con)"), // F N
        reads(L"NUL.", LR"(\\.\NUL)"), // F N
        reads(L"NUL", LR"(\\.\NUL)"), // F N
        reads(L"AUX", LR"(\\.\AUX)"), // F N
        reads(L"COM1", LR"(\\.\COM1)"), // F N
        reads(L"CONIN$", LR"(\\.\CONIN$)", LR"(C:\Games\Q\CONIN$)", from_windows_8), // F N D
        reads(L"CONOUT$", LR"(\\.\CONOUT$)", LR"(C:\Games\Q\CONOUT$)", from_windows_8), // F N D
        device(L"cOnOuT$", from_windows_8), // N
        reads(L"CONERR$", LR"(C:\Games\Q\CONERR$)", L"", no), // N D
        device(L"nul:", yes), // D
        device(L"nul\\", no), // D
        device(L"nul\\foo", no), // D
        device(L"nul::", yes), // D
        device(L"nul::::::", yes), // D
        device(L"prn     ", yes), // D
        device(L"prn.......", yes), // D
        device(L"prn... ...", yes), // D
        device(L"NUL  ....  ", yes), // D
        device(L" . . .", no), // D
        device(L" . . . :", no), // D
        device(L":", no), // D
        device(L"nul. . . :", yes), // D
        device(L"nul . . :", yes), // D
        device(L"nul0", no), // D
        device(L"prn:aaa", yes), // D
        device(L"PRN:.txt", yes), // D
        device(L"aux:.txt...", yes), // D
        device(L"prn:.txt:", yes), // D
        device(L"nul:aaa", yes), // D
        device(L"con:", yes), // D
        device(L"lpt1:", yes), // D
        device(L"com5:", yes), // D
        device(L"CoM4:", yes), // D
        device(L"lpt9:", yes), // D
        device(L"lpt0.txt", no), // D
        device(L"CON", yes), // D
        device(L"PIPE", no), // D
        // "c:aaa...aaa\nul.txt", its device 1000 bytes in.
        device(std::wstring(497, L'a') + L"\\nul.txt", yes), // D
    };
    // clang-format on
}

// kernel32's path.c, test_PathNameA through test_ValidPathA: GetFullPathNameA
// joins a relative path to the current folder as written, for these folders
// and files (there or not, and a folder with a separator after it) and for
// each of these characters in each of these places ("*" and "?" too, which
// no file may have); test_CurrentDirectoryA, checks 6 to 9: SetCurrentDirectory
// enters "shortdir" and ".\shortdir" alike.
std::vector<conformance_row> kernel32_rows()
{
    std::vector<conformance_row> rows;
    auto const as_written = [&](const std::wstring& text) {
        rows.push_back(reads(text, launcher_folder + text));
    };
    for (const wchar_t* folder :
         {L"shortdir", L"Long Directory", L"notadir", L"NonExistent Directory"}) {
        for (const wchar_t* file : {L"pathtest.pth", L"Long File test.path"})
            as_written(folder + std::wstring(L"\\") + file);
        as_written(folder + std::wstring(L"\\"));
    }
    for (const wchar_t* place : {L"file#000.ext", L"file000.e#t", L"#file000.ext", L"file000#.ext",
                                 L"Long # File", L"# Long File", L"Long File #"})
        for (wchar_t const c : std::wstring_view(L"!@#$%^&*()=+{}[],?'`")) {
            std::wstring text = place;
            std::replace(text.begin(), text.end(), L'#', c);
            as_written(text);
        }
    for (const wchar_t* folder : {L"shortdir", L"Long Directory"}) {
        as_written(folder);
        rows.push_back(reads(LR"(.\)" + std::wstring(folder), launcher_folder + folder));
    }
    return rows;
}

TEST(WindowsReading, AgreesOnWinesConformanceRows)
{
    auto rows = ntdll_rows();
    for (auto& row : kernel32_rows())
        rows.push_back(std::move(row));
    tally tally;
    for (const conformance_row& row : rows) {
        SCOPED_TRACE(shown(row.text));
        std::wstring const joined = launcher_folder + row.text;
        std::wstring const reading = full_path(joined);
        if (!row.reading.empty()) {
            EXPECT_TRUE(reading == row.reading || reading == row.older_reading)
                << launcher::windows::from_wide(reading);
        }
        bool const device = is_device(joined);
        if (row.device != unsaid) {
            EXPECT_TRUE(device == (row.device != no) || (row.device == from_windows_8 && !device));
        }
        auto const line = command_for(row.text, L"demo.app.json");
        for (const launcher_at& at : launchers)
            judge(at, line, "row", tally);
    }
    expect_agreement(tally);
}

// Random texts over dots, blanks, both separators, ":", "?", a quote,
// letters, device names, unpaired surrogates, characters that look like a
// dot, a separator, a colon or a blank and are none, and names long enough
// that the game's path crosses 260 units: each run draws the same texts
// from its seed (WINDOWS_READING_SEED to draw others), gives each to
// --build, with another to --application, under one launcher path in turn
// (judging every text under all five took five times as long, some 30 s a
// prefix, and found nothing more), and prints the seed with the first texts
// where the launcher and Windows disagree.
TEST(WindowsReading, AgreesOnRandomCommandLines)
{
    const std::wstring pieces[] = {
        L".", L".", L"..", L" ", L" ", L"\\", L"\\", L"/", L":", L"?", L"\"", L"a", L"b", L"x64r",
        L"nul", L"CON", L"lpt1", L"com\u00B2", L"aux.txt", L"CONIN$", L"Release",
        // Climbs, that reach above the launcher's root now and then.
        L"..\\", L"../..\\",
        // Unpaired surrogates, a low one before a high one, and a valid pair.
        L"\xD800", L"\xDC00", L"\xDBFF", L"\xDC00\xD800", L"\xD83C\xDFAE",
        // Fullwidth and other look-alikes: names to Windows, like any letter.
        L"\uFF0E", L"\u2024", L"\uFF3C", L"\uFF0F", L"\u2215", L"\uFF1A", L"\u00A0", L"\u3000",
        L"\uFF23\uFF2F\uFF2E", L"\u0421ON", L"NUL\u200B",
        L"", // a long name, of 100 to 259 units, drawn below
    };
    char const* const chosen = std::getenv("WINDOWS_READING_SEED");
    std::uint32_t const seed = chosen
                                   ? static_cast<std::uint32_t>(std::strtoul(chosen, nullptr, 10))
                                   : 20261209;
    std::mt19937 random(seed);
    auto const draw = [&](std::uint32_t most) {
        std::wstring text;
        for (auto n = 1 + random() % most; n > 0; --n) {
            std::wstring const& piece = pieces[random() % std::size(pieces)];
            text += piece.empty() ? std::wstring(100 + random() % 160, L'L') : piece;
        }
        return text;
    };
    constexpr std::size_t texts = 100000;
    std::vector<command> lines;
    lines.reserve(texts);
    for (std::size_t i = 0; i < texts; ++i) {
        std::wstring build = draw(10);
        lines.push_back(command_for(std::move(build), draw(4)));
    }
    bool agreed = true;
    for (std::size_t path = 0; path < std::size(launchers); ++path) {
        const launcher_at& at = launchers[path];
        tally tally;
        auto const started = std::chrono::steady_clock::now();
        for (std::size_t i = path; i < texts; i += std::size(launchers))
            judge(at, lines[i], "seed " + std::to_string(seed) + ", text " + std::to_string(i),
                  tally);
        std::chrono::duration<double> const took = std::chrono::steady_clock::now() - started;
        std::printf("%s: %ld command lines from seed %u in %.1f s; disagree:", at.name, tally.texts,
                    seed, took.count());
        for (int family = 0; family < tally::families; ++family)
            std::printf(" %ld%s", tally.found[family], family + 1 < tally::families ? "," : ";");
        std::printf(" allowed:");
        for (std::size_t i = 0; i < std::size(allowances); ++i)
            std::printf(" %ld%s", tally.allowed[i], i + 1 < std::size(allowances) ? "," : "\n");
        SCOPED_TRACE(at.name);
        expect_agreement(tally);
        agreed = agreed && std::all_of(std::begin(tally.found), std::end(tally.found),
                                       [](long found) { return found == 0; });
    }
    if (!agreed)
        std::printf("families: 1 %s; 2 %s; 3 %s; 4 %s; 5 %s\n", tally::family[0], tally::family[1],
                    tally::family[2], tally::family[3], tally::family[4]);
}

} // namespace
