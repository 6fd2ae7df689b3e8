#include "launch/location.hpp"

#include "fake_system.hpp"

#include <gtest/gtest.h>

#include <vector>

namespace {

namespace po = boost::program_options;

// One run of locate_game: the launcher at `module_path`, with or without
// --build, and what it must probe and give the shell. Paths are Windows'
// own form whatever the launcher's path looks like: what the shell parses
// (UNC, "\\?\") it knows with backslashes only.
struct locate_case {
    const char* name;
    std::u16string module_path;
    std::optional<std::string> build; // --build
    std::string probe;                // none with --build
    std::string executable;           // empty: nothing to start
    std::string working_directory;
};

void check_locations(const std::vector<locate_case>& cases)
{
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fake_system os;
        os.module_path = c.module_path;
        po::variables_map options;
        if (c.build)
            options.insert({"build", po::variable_value(*c.build, false)});

        auto const game = launcher::locate_game(options, os.services());

        EXPECT_EQ(os.probes, c.probe.empty() ? std::vector<std::string>{} : std::vector{c.probe});
        EXPECT_EQ(game ? game->executable : "", c.executable);
        EXPECT_EQ(game ? game->working_directory : "", c.working_directory);

        // With x64r\quenby.exe there, the game starts from the paths the
        // probe was given. locate_game once worked them out again for the
        // start; that second working is the oracle here.
        if (!c.build && !c.probe.empty()) {
            fake_system with_x64r;
            with_x64r.module_path = c.module_path;
            with_x64r.files[c.probe] = boost::filesystem::regular_file;
            auto const started = launcher::locate_game(options, with_x64r.services());
            auto const again = launcher::game_paths(c.module_path, launcher::x64_build_folder);
            ASSERT_TRUE(started && again);
            EXPECT_EQ(started->executable, again->executable);
            EXPECT_EQ(started->working_directory, again->working_directory);
        }
    }
}

// The root of the launcher's path is kept, in Windows' own spelling, and
// ".." never goes past it.
TEST(Location, KeepsTheRootOfTheLaunchersPath)
{
    // clang-format off
    check_locations({
        {"drive", uR"(C:\Games\Demo\launcher.exe)", {},
         R"(C:\Games\Demo\x64r\quenby.exe)", R"(C:\Games\Demo\x86r\quenby.exe)", R"(C:\Games\Demo\x86r)"},
        {"drive root: one separator", uR"(C:\launcher.exe)", {},
         R"(C:\x64r\quenby.exe)", R"(C:\x86r\quenby.exe)", R"(C:\x86r)"},
        // Z and z end the ranges of drive letters.
        {"drive Z:", uR"(Z:\Q\launcher.exe)", {},
         R"(Z:\Q\x64r\quenby.exe)", R"(Z:\Q\x86r\quenby.exe)", R"(Z:\Q\x86r)"},
        {"drive z: in lower case", uR"(z:\Q\launcher.exe)", {"x86r"},
         "", R"(z:\Q\x86r\quenby.exe)", R"(z:\Q\x86r)"},
        {"mixed separators", uR"(D:/Games\\Demo/launcher.exe)", {},
         R"(D:\Games\Demo\x64r\quenby.exe)", R"(D:\Games\Demo\x86r\quenby.exe)", R"(D:\Games\Demo\x86r)"},
        {"network share", uR"(\\server\share\Q\launcher.exe)", {},
         R"(\\server\share\Q\x64r\quenby.exe)", R"(\\server\share\Q\x86r\quenby.exe)",
         R"(\\server\share\Q\x86r)"},
        {"root of a share", uR"(\\server\share\launcher.exe)", {"x86r"},
         "", R"(\\server\share\x86r\quenby.exe)", R"(\\server\share\x86r)"},
        {R"(\\?\ drive loses its prefix)", uR"(\\?\C:\Games\Q\launcher.exe)", {},
         R"(C:\Games\Q\x64r\quenby.exe)", R"(C:\Games\Q\x86r\quenby.exe)", R"(C:\Games\Q\x86r)"},
        {R"(\\?\UNC becomes UNC)", uR"(\\?\UNC\server\share\Q\launcher.exe)", {},
         R"(\\server\share\Q\x64r\quenby.exe)", R"(\\server\share\Q\x86r\quenby.exe)",
         R"(\\server\share\Q\x86r)"},
        {R"(\\?\ volume keeps its prefix)", uR"(\\?\Volume{1b3b}\Q\launcher.exe)", {"x86r"},
         "", R"(\\?\Volume{1b3b}\Q\x86r\quenby.exe)", R"(\\?\Volume{1b3b}\Q\x86r)"},
        {"--build at a drive root", uR"(C:\launcher.exe)", {"/sub//dir/"},
         "", R"(C:\sub\dir\quenby.exe)", R"(C:\sub\dir)"},
        // path.c: "c:/.." is "c:\".
        {".. stops at a drive root", uR"(C:\launcher.exe)", {R"(..\..\x86r)"},
         "", R"(C:\x86r\quenby.exe)", R"(C:\x86r)"},
        // Microsoft, "File path formats on Windows systems": the root of a UNC path is its share.
        {".. stops at a share", uR"(\\server\share\Q\launcher.exe)", {R"(..\..\..\x86r)"},
         "", R"(\\server\share\x86r\quenby.exe)", R"(\\server\share\x86r)"},
        {".. stops at a volume", uR"(\\?\Volume{1b3b}\Q\launcher.exe)", {R"(..\..\x)"},
         "", R"(\\?\Volume{1b3b}\x\quenby.exe)", R"(\\?\Volume{1b3b}\x)"},
        // Microsoft, "Naming Files, Paths, and Namespaces": named device objects lie in
        // the object manager's Device folder, a volume among them.
        {".. stops at a GLOBALROOT device", uR"(\\?\GLOBALROOT\Device\HarddiskVolume1\Q\launcher.exe)",
         {R"(..\..\x)"}, "", R"(\\?\GLOBALROOT\Device\HarddiskVolume1\x\quenby.exe)",
         R"(\\?\GLOBALROOT\Device\HarddiskVolume1\x)"},
        // "\\.\C:" is a drive of the device namespace, whose root is "\\.\":
        // GetFullPathNameW reads "\\.\C:\Q\..\..\x" as "\\.\x", no folder.
        {"device namespace drive", uR"(\\.\C:\Games\Q\launcher.exe)", {},
         R"(\\.\C:\Games\Q\x64r\quenby.exe)", R"(\\.\C:\Games\Q\x86r\quenby.exe)",
         R"(\\.\C:\Games\Q\x86r)"},
        {".. to a device namespace drive", uR"(\\.\C:\Q\launcher.exe)", {R"(..\x86r)"},
         "", R"(\\.\C:\x86r\quenby.exe)", R"(\\.\C:\x86r)"},
        {".. above a device namespace drive", uR"(\\.\C:\Q\launcher.exe)", {R"(..\..\x86r)"},
         "", "", ""},
        // A path without a drive, a share or "\\?\" is read against the current
        // folder (path.c, RtlGetFullPathName_U: "foo", "c:foo" and "\foo" lie
        // in or below C:\windows): nothing to look at, nothing to start.
        {"no root: a file name only", u"launcher.exe", {}, "", "", ""},
        {"no root: drive-relative", u"C:launcher.exe", {"x86r"}, "", "", ""},
        {"no root: the current drive's", uR"(\Q\launcher.exe)", {}, "", "", ""},
    });
    // clang-format on
}

// "\\?\" goes where the plain path would be too long, and comes back where
// ".." makes it short; a working folder SetCurrentDirectory cannot take
// gives nothing.
TEST(Location, KeepsLongPathsWithinWhatWindowsTakes)
{
    std::u16string const long_name(240, u'a'); // C:\<240>\x64r\quenby.exe: 259 characters
    std::string const long_name8(240, 'a');
    std::u16string const emoji_name = [] { // 120 characters, 240 UTF-16 units
        std::u16string name;
        for (int i = 0; i < 120; ++i)
            name += u"\xD83C\xDFAE";
        return name;
    }();
    std::string emoji_name8;
    for (int i = 0; i < 120; ++i)
        emoji_name8 += "\xF0\x9F\x8E\xAE";
    std::string const long_build_name(254, 'b');
    std::string const longer_build_name(248, 'b');

    // clang-format off
    check_locations({
        {R"(\\?\ path of 259 characters loses its prefix)",
         uR"(\\?\C:\)" + long_name + uR"(\launcher.exe)", {},
         R"(C:\)" + long_name8 + R"(\x64r\quenby.exe)", R"(C:\)" + long_name8 + R"(\x86r\quenby.exe)",
         R"(C:\)" + long_name8 + R"(\x86r)"},
        // Wine's shell refuses a game path of 260 units or more, with "\\?\"
        // (then 264) as without it: nothing to ask, and no probe either.
        {R"(\\?\ path of 260 characters: nothing)",
         uR"(\\?\C:\)" + long_name + uR"(a\launcher.exe)", {}, "", "", ""},
        {"folder of 257 units: nothing", uR"(\\?\C:\)" + long_name + uR"(aaaaaaaaa\launcher.exe)",
         {"x86r"}, "", "", ""},
        {"folder of 258 units once .. is taken: nothing",
         uR"(\\?\C:\)" + long_name + uR"(aaaaaaaaaa\b\launcher.exe)", {R"(..\x86r)"}, "", "", ""},
        {"plain folder of 248 units", uR"(C:\Q\launcher.exe)", {std::string(243, 'b')},
         "", R"(C:\Q\)" + std::string(243, 'b') + R"(\quenby.exe)", R"(C:\Q\)" + std::string(243, 'b')},
        {"plain folder of 249 units: nothing", uR"(C:\Q\launcher.exe)", {std::string(244, 'b')},
         "", "", ""},
        // "Setting a current directory longer than MAX_PATH causes CreateProcessW
        // to fail" (Microsoft's SetCurrentDirectory page), with or without "\\?\".
        {"folder of 259 units: nothing", uR"(\\?\C:\)" + long_name + uR"(aaaaaaaaaaa\b\launcher.exe)",
         {R"(..\x86r)"}, "", "", ""},
        {"plain folder of 259 units: nothing", uR"(C:\Q\launcher.exe)", {long_build_name}, "", "", ""},
        {"file of 259 units once .. is taken", uR"(\\?\C:\)" + long_name + uR"(\b\launcher.exe)",
         {R"(..\x86r)"}, "", R"(C:\)" + long_name8 + R"(\x86r\quenby.exe)",
         R"(C:\)" + long_name8 + R"(\x86r)"},
        {R"(\\?\ path of 250 characters, --build ..)",
         uR"(\\?\C:\)" + long_name.substr(10) + uR"(\launcher.exe)", {R"(..\x86r)"},
         "", R"(C:\x86r\quenby.exe)", R"(C:\x86r)"},
        {R"(\\?\ path over 259 with --build ..)", uR"(\\?\C:\)" + long_name + uR"(\launcher.exe)",
         {R"(..\x86r)"}, "", R"(C:\x86r\quenby.exe)", R"(C:\x86r)"},
        {"length in UTF-16 units", uR"(\\?\C:\)" + emoji_name + uR"(\launcher.exe)", {"x86r"},
         "", R"(C:\)" + emoji_name8 + R"(\x86r\quenby.exe)", R"(C:\)" + emoji_name8 + R"(\x86r)"},
        {R"(long \\?\UNC file: nothing)",
         uR"(\\?\UNC\server\share\)" + long_name.substr(5) + uR"(\launcher.exe)", {"x86r"},
         "", "", ""},
        {"plain launcher path, file of 264 units: nothing", uR"(C:\Q\launcher.exe)",
         {longer_build_name}, "", "", ""},
    });
    // clang-format on
}

// --build read as Windows reads a relative path without "\\?\", name by
// name, whatever form the launcher's path has; the launcher's own names as
// on disk, in any script.
TEST(Location, ReadsNamesAsWindowsDoes)
{
    // clang-format off
    check_locations({
        // Wine's shell, given "\\?\C:\G\v2.\x64r\quenby.exe", started
        // C:\G\v2\x64r\quenby.exe: it strips a name's dot under "\\?\" too.
        {R"(\\?\ folder ending in a dot: nothing)", uR"(\\?\C:\Games\Q.\launcher.exe)", {},
         "", "", ""},
        // An inner name keeps its blank without "\\?\" (path.c: "c:/test.. /file"
        // is "c:\test.. \file"); the prefix would take 4 of the 259 units.
        {R"(\\?\ folder ending in a blank: no prefix)", uR"(\\?\C:\Games\Q \launcher.exe)", {},
         R"(C:\Games\Q \x64r\quenby.exe)", R"(C:\Games\Q \x86r\quenby.exe)",
         R"(C:\Games\Q \x86r)"},
        // A "\\?\" path is taken as written: path.c's test_nt_names refuses "." and
        // "..", file.c's test_GetFileAttributesExW refuses "\\?\C:\...\..\...".
        {R"(\\?\ folder ending in a dot, --build ..)", uR"(\\?\C:\Games\Q.\launcher.exe)",
         {R"(..\x86r)"}, "", R"(C:\Games\x86r\quenby.exe)", R"(C:\Games\x86r)"},
        // path.c, RtlGetFullPathName_U: "c:/test.", "c:/test     " are "c:\test".
        {R"(\\?\ with --build ending in a blank)", uR"(\\?\C:\Q\launcher.exe)", {"Release "},
         "", R"(C:\Q\Release\quenby.exe)", R"(C:\Q\Release)"},
        {R"(\\?\ with --build ending in a dot)", uR"(\\?\C:\Q\launcher.exe)", {"x86r."},
         "", R"(C:\Q\x86r\quenby.exe)", R"(C:\Q\x86r)"},
        {"--build ending in a blank", uR"(C:\Q\launcher.exe)", {"Release "},
         "", R"(C:\Q\Release\quenby.exe)", R"(C:\Q\Release)"},
        {"--build ending in dots", uR"(C:\Q\launcher.exe)", {"x86r.."},
         "", R"(C:\Q\x86r\quenby.exe)", R"(C:\Q\x86r)"},
        {"--build of dots only", uR"(C:\Q\launcher.exe)", {"..."}, "", R"(C:\Q\quenby.exe)", R"(C:\Q)"},
        // path.c: "c:/test/./file" is "c:\test\file", "c:/foo/../bar" is "c:\bar".
        {"--build with .", uR"(C:\Q\launcher.exe)", {"a/./b"}, "", R"(C:\Q\a\b\quenby.exe)", R"(C:\Q\a\b)"},
        {R"(\\?\ with --build ..)", uR"(\\?\C:\Q\launcher.exe)", {"../other"},
         "", R"(C:\other\quenby.exe)", R"(C:\other)"},
        {R"(\\?\ volume with --build .)", uR"(\\?\Volume{1b3b}\Q\launcher.exe)", {R"(.\x86r)"},
         "", R"(\\?\Volume{1b3b}\Q\x86r\quenby.exe)", R"(\\?\Volume{1b3b}\Q\x86r)"},
        // path.c, RtlGetFullPathName_U: "c:/test.. /file" is "c:\test.. \file",
        // "c:/test../file" is "c:\test.\file": an inner name loses one dot.
        {"inner name ending in a blank", uR"(C:\Q\launcher.exe)", {R"(test.. \x86r)"},
         "", R"(C:\Q\test.. \x86r\quenby.exe)", R"(C:\Q\test.. \x86r)"},
        {"inner name ending in dots", uR"(\\?\C:\Q\launcher.exe)", {R"(test..\x86r)"},
         "", "", ""},
        // ... so "..." inside reads as "..", which test_nt_names refuses in a path.
        {"inner name of three dots", uR"(C:\Q\launcher.exe)", {R"(...\x86r)"}, "", "", ""},
        // A separator after a name keeps it inner ("c:/test/" is "c:\test\"):
        // Windows reads "C:\Q\Release \", "C:\Q\x64r.\" and "C:\Q\..\".
        {"separator after a blank", uR"(C:\Q\launcher.exe)", {R"(Release \)"}, "", "", ""},
        {"separator after dots", uR"(C:\Q\launcher.exe)", {R"(x64r..\)"}, "", "", ""},
        {"separator after three dots", uR"(C:\Q\launcher.exe)", {R"(...\)"}, "", "", ""},
        // Written plain, "C:\Q\v2.\x64r" reads again as "C:\Q\v2\x64r".
        {"inner name left ending in a dot", uR"(C:\Q\launcher.exe)", {R"(v2..\x64r)"}, "", "", ""},
        {"inner name left ending in a dot, on a share", uR"(\\server\share\Q\launcher.exe)",
         {R"(v2..\x64r)"}, "", "", ""},
        // An inner name that ends the folder keeps its blank or its dots but one,
        // which SetCurrentDirectory strips from the last name ("c:/test     " is
        // "c:\test"): the game would lie in one folder and start in another.
        {"folder ending in an inner name's blank", uR"(C:\Games\Q\launcher.exe)", {R"(b \ )"},
         "", "", ""},
        {"folder ending in an inner name's dot", uR"(\\?\C:\Games\Q\launcher.exe)", {R"(a...\...)"},
         "", "", ""},
        {"cyrillic", u"C:\\\u0418\u0433\u0440\u044B\\launcher.exe", {},
         "C:\\\xD0\x98\xD0\xB3\xD1\x80\xD1\x8B\\x64r\\quenby.exe",
         "C:\\\xD0\x98\xD0\xB3\xD1\x80\xD1\x8B\\x86r\\quenby.exe", "C:\\\xD0\x98\xD0\xB3\xD1\x80\xD1\x8B\\x86r"},
        {"characters beyond the BMP survive", u"C:\\\xD83C\xDFAE\\launcher.exe", {},
         "C:\\\xF0\x9F\x8E\xAE\\x64r\\quenby.exe", "C:\\\xF0\x9F\x8E\xAE\\x86r\\quenby.exe",
         "C:\\\xF0\x9F\x8E\xAE\\x86r"},
        {"an unpaired surrogate survives", u"\\\\?\\C:\\Games\\Q\xD800\\launcher.exe", {},
         "C:\\Games\\Q\xED\xA0\x80\\x64r\\quenby.exe", "C:\\Games\\Q\xED\xA0\x80\\x86r\\quenby.exe",
         "C:\\Games\\Q\xED\xA0\x80\\x86r"},
    });
    // clang-format on
}

// A DOS device is no folder: not in --build, nor as the working folder's
// last name. path.c, RtlIsDosDeviceName_U: "c:\...\nul.txt" and
// "c:NUL  ....  " are devices, "c:\lpt0.txt" and "CONERR$" are not;
// "CONIN$" and "CONOUT$" are from Windows 8 on; "C:\con\con" is one,
// "c:\nul\foo" not. Superscript digits: Microsoft, "Naming Files, Paths,
// and Namespaces".
TEST(Location, RefusesDevices)
{
    // clang-format off
    check_locations({
        {"device", uR"(C:\Q\launcher.exe)", {"CON"}, "", "", ""},
        {"device with an extension", uR"(C:\Q\launcher.exe)", {"x86r/nul.txt"}, "", "", ""},
        {"device, all blanks before its extension dropped", uR"(C:\Q\launcher.exe)", {"nul  .txt"},
         "", "", ""},
        {"device with a superscript digit", uR"(C:\Q\launcher.exe)", {"COM\xC2\xB9"}, "", "", ""},
        {"device with a superscript two", uR"(C:\Q\launcher.exe)", {"lpt\xC2\xB2"}, "", "", ""},
        {"device with a superscript three", uR"(C:\Q\launcher.exe)", {"COM\xC2\xB3"}, "", "", ""},
        {"printer", uR"(C:\Q\launcher.exe)", {"PRN"}, "", "", ""},
        {"printer port", uR"(C:\Q\launcher.exe)", {"LPT1"}, "", "", ""},
        {"device in a name .. takes away", uR"(C:\Q\launcher.exe)", {R"(..\LPT1\..\x86r)"}, "", "", ""},
        {"device in lower case", uR"(C:\Q\launcher.exe)", {"aux"}, "", "", ""},
        {"LPT0 is a name", uR"(C:\Q\launcher.exe)", {"LPT0"}, "", R"(C:\Q\LPT0\quenby.exe)", R"(C:\Q\LPT0)"},
        {"console input", uR"(C:\Q\launcher.exe)", {"CONIN$"}, "", "", ""},
        {"console output", uR"(C:\Q\launcher.exe)", {"conout$"}, "", "", ""},
        {"CONERR$ is a name", uR"(C:\Q\launcher.exe)", {"CONERR$"}, "", R"(C:\Q\CONERR$\quenby.exe)",
         R"(C:\Q\CONERR$)"},
        {"working folder's last name a device", uR"(C:\Q\AUX\sub\launcher.exe)", {".."}, "", "", ""},
        {"a device inside the launcher's folder", uR"(C:\Q\AUX\launcher.exe)", {},
         R"(C:\Q\AUX\x64r\quenby.exe)", R"(C:\Q\AUX\x86r\quenby.exe)", R"(C:\Q\AUX\x86r)"},
    });
    // clang-format on
}

// Microsoft, "Naming Files, Paths, and Namespaces": < > : " / \ | ? * and
// units 0 to 31 are no part of a name. path.c, test_nt_names:
// "kernel32.dll*", "system32?" and "sys\001" are invalid names. shlexec.c:
// Windows' shell finds no C:\Q\a" b\quenby.exe, Wine's ran C:\Q\a.exe.
TEST(Location, RefusesCharactersWindowsRefuses)
{
    // clang-format off
    check_locations({
        {"a quote", uR"(C:\Q\sub\launcher.exe)", {R"(..\a" b)"}, "", "", ""},
        {"an asterisk", uR"(C:\Q\launcher.exe)", {"x86r*"}, "", "", ""},
        {"a question mark", uR"(C:\Q\launcher.exe)", {"x86r?"}, "", "", ""},
        {"less than", uR"(C:\Q\launcher.exe)", {"a<b"}, "", "", ""},
        {"greater than", uR"(C:\Q\launcher.exe)", {"a>b"}, "", "", ""},
        {"a bar", uR"(C:\Q\launcher.exe)", {"a|b"}, "", "", ""},
        {"a stream", uR"(C:\Q\launcher.exe)", {"x86r:s"}, "", "", ""},
        {"drive-relative", uR"(C:\Q\launcher.exe)", {"C:x86r"}, "", "", ""},
        {"U+0001, as the fuzzer found it", uR"(C:\Q\sub\launcher.exe)", {"\x01\xE7\xA0\x80lease"},
         "", "", ""},
        {"U+001F", uR"(C:\Q\launcher.exe)", {"x86r\x1F"}, "", "", ""},
        {"in a name .. takes away", uR"(C:\Q\launcher.exe)", {R"(a"\..\x86r)"}, "", "", ""},
    });
    // clang-format on
}

struct machine_case {
    const char* name;
    launcher::machine_report machine;
    std::optional<bool> runs_x64;
};

TEST(Location, KnowsWhereX64ProgramsRun)
{
    using namespace launcher::machine_type;
    auto const none = std::nullopt;
    const machine_case cases[] = {
        {"x64 Windows", {amd64, none, none, true}, true},
        {"x86 Windows", {i386, none, none, false}, false},
        {"ARM64 Windows 11 emulating x64", {arm64, true, none, true}, true},
        {"ARM64, x64 code not enabled", {arm64, false, none, true}, false},
        {"ARM64 Windows 10", {arm64, none, false, true}, false},
        {"ARM64, only the WOW64 guest call says yes", {arm64, none, true, true}, true},
        {"ARM64 with neither call", {arm64, none, none, true}, false},
        {"a machine this launcher does not know (RISC-V)", {0x5064, none, none, true}, none},
        {"x64 Windows before 10 (1709)", {none, none, none, true}, true},
        {"x86 Windows before 10 (1709)", {none, none, none, false}, false},
        {"every call failed", {none, none, none, none}, none},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(launcher::runs_x64_programs(c.machine), c.runs_x64);
    }
}

} // namespace
