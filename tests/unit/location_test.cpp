#include "launch/location.hpp"

#include "fake_system.hpp"

#include <gtest/gtest.h>

namespace {

namespace po = boost::program_options;

struct locate_case {
    const char* name;
    std::u16string module_path;
    std::optional<std::string> build;  // --build
    std::string probe;                 // none with --build
    std::string executable;  // empty: nothing to start
    std::string working_directory;
};

// Windows' own form whatever the launcher's path looks like: what the shell
// parses (UNC, "\\?\") it knows with backslashes only.
TEST(Location, WritesPathsAsWindowsDoes)
{
    std::u16string const long_name(240, u'a');   // C:\<240>\x64r\quenby.exe: 259 characters
    std::string const long_name8(240, 'a');
    std::u16string const emoji_name = [] {      // 120 characters, 240 UTF-16 units
        std::u16string name;
        for (int i = 0; i < 120; ++i)
            name += u"\xD83C\xDFAE";
        return name;
    }();
    std::string emoji_name8;
    for (int i = 0; i < 120; ++i)
        emoji_name8 += "\xF0\x9F\x8E\xAE";

    const locate_case cases[] = {
        {"drive", u"C:\\Games\\Demo\\launcher.exe", {},
         "C:\\Games\\Demo\\x64r\\quenby.exe", "C:\\Games\\Demo\\x86r\\quenby.exe", "C:\\Games\\Demo\\x86r"},
        {"drive root: one separator", u"C:\\launcher.exe", {},
         "C:\\x64r\\quenby.exe", "C:\\x86r\\quenby.exe", "C:\\x86r"},
        {"mixed separators", u"D:/Games\\\\Demo/launcher.exe", {},
         "D:\\Games\\Demo\\x64r\\quenby.exe", "D:\\Games\\Demo\\x86r\\quenby.exe", "D:\\Games\\Demo\\x86r"},
        {"network share", u"\\\\server\\share\\Q\\launcher.exe", {},
         "\\\\server\\share\\Q\\x64r\\quenby.exe", "\\\\server\\share\\Q\\x86r\\quenby.exe",
         "\\\\server\\share\\Q\\x86r"},
        {"root of a share", u"\\\\server\\share\\launcher.exe", {"x86r"},
         "", "\\\\server\\share\\x86r\\quenby.exe", "\\\\server\\share\\x86r"},
        {"\\\\?\\ drive loses its prefix", u"\\\\?\\C:\\Games\\Q\\launcher.exe", {},
         "C:\\Games\\Q\\x64r\\quenby.exe", "C:\\Games\\Q\\x86r\\quenby.exe", "C:\\Games\\Q\\x86r"},
        {"\\\\?\\UNC becomes UNC", u"\\\\?\\UNC\\server\\share\\Q\\launcher.exe", {},
         "\\\\server\\share\\Q\\x64r\\quenby.exe", "\\\\server\\share\\Q\\x86r\\quenby.exe",
         "\\\\server\\share\\Q\\x86r"},
        {"\\\\?\\ path of 259 characters loses its prefix", u"\\\\?\\C:\\" + long_name + u"\\launcher.exe", {},
         "C:\\" + long_name8 + "\\x64r\\quenby.exe", "C:\\" + long_name8 + "\\x86r\\quenby.exe",
         "C:\\" + long_name8 + "\\x86r"},
        {"\\\\?\\ path of 260 characters keeps it, its folder need not", u"\\\\?\\C:\\" + long_name + u"a\\launcher.exe", {},
         "\\\\?\\C:\\" + long_name8 + "a\\x64r\\quenby.exe", "\\\\?\\C:\\" + long_name8 + "a\\x86r\\quenby.exe",
         "C:\\" + long_name8 + "a\\x86r"},
        // SetCurrentDirectory keeps a backslash after the folder, in MAX_PATH units.
        {"folder of 257 units: no prefix", u"\\\\?\\C:\\" + long_name + u"aaaaaaaaa\\launcher.exe", {"x86r"},
         "", "\\\\?\\C:\\" + long_name8 + "aaaaaaaaa\\x86r\\quenby.exe", "C:\\" + long_name8 + "aaaaaaaaa\\x86r"},
        {"folder of 258 units once .. is taken: no prefix",
         u"\\\\?\\C:\\" + long_name + u"aaaaaaaaaa\\b\\launcher.exe",
         {"..\\x86r"}, "", "\\\\?\\C:\\" + long_name8 + "aaaaaaaaaa\\x86r\\quenby.exe",
         "C:\\" + long_name8 + "aaaaaaaaaa\\x86r"},
        // "Setting a current directory longer than MAX_PATH causes CreateProcessW
        // to fail" (Microsoft's SetCurrentDirectory page), with or without "\\?\".
        {"folder of 259 units: nothing", u"\\\\?\\C:\\" + long_name + u"aaaaaaaaaaa\\b\\launcher.exe",
         {"..\\x86r"}, "", "", ""},
        {"plain folder of 259 units: nothing", u"C:\\Q\\launcher.exe", {std::string(254, 'b')}, "", "", ""},
        {"file of 259 units once .. is taken", u"\\\\?\\C:\\" + long_name + u"\\b\\launcher.exe", {"..\\x86r"},
         "", "C:\\" + long_name8 + "\\x86r\\quenby.exe", "C:\\" + long_name8 + "\\x86r"},
        {"\\\\?\\ path of 250 characters, --build ..", u"\\\\?\\C:\\" + long_name.substr(10) + u"\\launcher.exe",
         {"..\\x86r"}, "", "C:\\x86r\\quenby.exe", "C:\\x86r"},
        {"\\\\?\\ path over 259 with --build ..", u"\\\\?\\C:\\" + long_name + u"\\launcher.exe", {"..\\x86r"},
         "", "C:\\x86r\\quenby.exe", "C:\\x86r"},
        {"length in UTF-16 units", u"\\\\?\\C:\\" + emoji_name + u"\\launcher.exe", {"x86r"},
         "", "C:\\" + emoji_name8 + "\\x86r\\quenby.exe", "C:\\" + emoji_name8 + "\\x86r"},
        {"long \\\\?\\UNC file keeps its prefix, its folder need not",
         u"\\\\?\\UNC\\server\\share\\" + long_name.substr(5) + u"\\launcher.exe", {"x86r"},
         "", "\\\\?\\UNC\\server\\share\\" + long_name8.substr(5) + "\\x86r\\quenby.exe",
         "\\\\server\\share\\" + long_name8.substr(5) + "\\x86r"},
        // Without "\\?\" to keep, a long file stays plain, and keeps its root.
        {"plain launcher path, file of 264 units", u"C:\\Q\\launcher.exe", {std::string(248, 'b')},
         "", "C:\\Q\\" + std::string(248, 'b') + "\\quenby.exe", "C:\\Q\\" + std::string(248, 'b')},
        {"\\\\?\\ folder ending in a dot keeps it", u"\\\\?\\C:\\Games\\Q.\\launcher.exe", {},
         "\\\\?\\C:\\Games\\Q.\\x64r\\quenby.exe", "\\\\?\\C:\\Games\\Q.\\x86r\\quenby.exe",
         "\\\\?\\C:\\Games\\Q.\\x86r"},
        // A "\\?\" path is taken as written: path.c's test_nt_names refuses "." and
        // "..", file.c's test_GetFileAttributesExW refuses "\\?\C:\...\..\...".
        {"\\\\?\\ folder ending in a dot, --build ..", u"\\\\?\\C:\\Games\\Q.\\launcher.exe", {"..\\x86r"},
         "", "C:\\Games\\x86r\\quenby.exe", "C:\\Games\\x86r"},
        // path.c, RtlGetFullPathName_U: "c:/test.", "c:/test     " are "c:\test".
        {"\\\\?\\ with --build ending in a blank", u"\\\\?\\C:\\Q\\launcher.exe", {"Release "},
         "", "C:\\Q\\Release\\quenby.exe", "C:\\Q\\Release"},
        {"\\\\?\\ with --build ending in a dot", u"\\\\?\\C:\\Q\\launcher.exe", {"x86r."},
         "", "C:\\Q\\x86r\\quenby.exe", "C:\\Q\\x86r"},
        {"--build ending in a blank", u"C:\\Q\\launcher.exe", {"Release "},
         "", "C:\\Q\\Release\\quenby.exe", "C:\\Q\\Release"},
        {"--build ending in dots", u"C:\\Q\\launcher.exe", {"x86r.."},
         "", "C:\\Q\\x86r\\quenby.exe", "C:\\Q\\x86r"},
        {"--build of dots only", u"C:\\Q\\launcher.exe", {"..."}, "", "C:\\Q\\quenby.exe", "C:\\Q"},
        // path.c: "c:/test/./file" is "c:\test\file", "c:/foo/../bar" is "c:\bar", "c:/.." is "c:\".
        {"--build with .", u"C:\\Q\\launcher.exe", {"a/./b"}, "", "C:\\Q\\a\\b\\quenby.exe", "C:\\Q\\a\\b"},
        {"\\\\?\\ with --build ..", u"\\\\?\\C:\\Q\\launcher.exe", {"../other"},
         "", "C:\\other\\quenby.exe", "C:\\other"},
        {".. stops at a drive root", u"C:\\launcher.exe", {"..\\..\\x86r"}, "", "C:\\x86r\\quenby.exe", "C:\\x86r"},
        // Microsoft, "File path formats on Windows systems": the root of a UNC path is its share.
        {".. stops at a share", u"\\\\server\\share\\Q\\launcher.exe", {"..\\..\\..\\x86r"},
         "", "\\\\server\\share\\x86r\\quenby.exe", "\\\\server\\share\\x86r"},
        {"\\\\?\\ volume with --build .", u"\\\\?\\Volume{1b3b}\\Q\\launcher.exe", {".\\x86r"},
         "", "\\\\?\\Volume{1b3b}\\Q\\x86r\\quenby.exe", "\\\\?\\Volume{1b3b}\\Q\\x86r"},
        {".. stops at a volume", u"\\\\?\\Volume{1b3b}\\Q\\launcher.exe", {"..\\..\\x"},
         "", "\\\\?\\Volume{1b3b}\\x\\quenby.exe", "\\\\?\\Volume{1b3b}\\x"},
        // path.c, RtlIsDosDeviceName_U: "c:\...\nul.txt" is a device. Superscript
        // digits: Microsoft, "Naming Files, Paths, and Namespaces".
        {"device", u"C:\\Q\\launcher.exe", {"CON"}, "", "", ""},
        {"device with an extension", u"C:\\Q\\launcher.exe", {"x86r/nul.txt"}, "", "", ""},
        {"device with a superscript digit", u"C:\\Q\\launcher.exe", {"COM\xC2\xB9"}, "", "", ""},
        // path.c, test_RtlIsDosDeviceName_U: "c:\\lpt0.txt" is no device, "CONERR$" neither;
        // "CONIN$" and "CONOUT$" are from Windows 8 on; "C:\\con\\con" is one, "c:\\nul\\foo" not.
        {"device in lower case", u"C:\\Q\\launcher.exe", {"aux"}, "", "", ""},
        {"LPT0 is a name", u"C:\\Q\\launcher.exe", {"LPT0"}, "", "C:\\Q\\LPT0\\quenby.exe", "C:\\Q\\LPT0"},
        {"console input", u"C:\\Q\\launcher.exe", {"CONIN$"}, "", "", ""},
        {"console output", u"C:\\Q\\launcher.exe", {"conout$"}, "", "", ""},
        {"CONERR$ is a name", u"C:\\Q\\launcher.exe", {"CONERR$"}, "", "C:\\Q\\CONERR$\\quenby.exe",
         "C:\\Q\\CONERR$"},
        {"working folder's last name a device", u"C:\\Q\\AUX\\sub\\launcher.exe", {".."}, "", "", ""},
        {"a device inside the launcher's folder", u"C:\\Q\\AUX\\launcher.exe", {},
         "C:\\Q\\AUX\\x64r\\quenby.exe", "C:\\Q\\AUX\\x86r\\quenby.exe", "C:\\Q\\AUX\\x86r"},
        // Microsoft, "Naming Files, Paths, and Namespaces": < > : " / \\ | ? * and units
        // 0 to 31 are no part of a name. path.c, test_nt_names: "kernel32.dll*",
        // "system32?" and "sys\\001" are invalid names. shlexec.c: Windows' shell finds
        // no C:\\Q\\a" b\\quenby.exe, Wine's ran C:\\Q\\a.exe.
        {"a quote", u"C:\\Q\\sub\\launcher.exe", {"..\\a\" b"}, "", "", ""},
        {"an asterisk", u"C:\\Q\\launcher.exe", {"x86r*"}, "", "", ""},
        {"a question mark", u"C:\\Q\\launcher.exe", {"x86r?"}, "", "", ""},
        {"less than", u"C:\\Q\\launcher.exe", {"a<b"}, "", "", ""},
        {"greater than", u"C:\\Q\\launcher.exe", {"a>b"}, "", "", ""},
        {"a bar", u"C:\\Q\\launcher.exe", {"a|b"}, "", "", ""},
        {"a stream", u"C:\\Q\\launcher.exe", {"x86r:s"}, "", "", ""},
        {"drive-relative", u"C:\\Q\\launcher.exe", {"C:x86r"}, "", "", ""},
        {"U+0001, as the fuzzer found it", u"C:\\Q\\sub\\launcher.exe", {"\x01\xE7\xA0\x80lease"},
         "", "", ""},
        {"U+001F", u"C:\\Q\\launcher.exe", {"x86r\x1F"}, "", "", ""},
        {"in a name .. takes away", u"C:\\Q\\launcher.exe", {"a\"\\..\\x86r"}, "", "", ""},
        // path.c, RtlGetFullPathName_U: "c:/test.. /file" is "c:\\test.. \\file",
        // "c:/test../file" is "c:\\test.\\file": an inner name loses one dot.
        {"inner name ending in a blank", u"C:\\Q\\launcher.exe", {"test.. \\x86r"},
         "", "C:\\Q\\test.. \\x86r\\quenby.exe", "C:\\Q\\test.. \\x86r"},
        {"inner name ending in dots", u"\\\\?\\C:\\Q\\launcher.exe", {"test..\\x86r"},
         "", "\\\\?\\C:\\Q\\test.\\x86r\\quenby.exe", "\\\\?\\C:\\Q\\test.\\x86r"},
        // ... so "..." inside reads as "..", which test_nt_names refuses in a path.
        {"inner name of three dots", u"C:\\Q\\launcher.exe", {"...\\x86r"}, "", "", ""},
        // Microsoft, "Naming Files, Paths, and Namespaces": named device objects lie in
        // the object manager's Device folder, a volume among them.
        {".. stops at a GLOBALROOT device", u"\\\\?\\GLOBALROOT\\Device\\HarddiskVolume1\\Q\\launcher.exe",
         {"..\\..\\x"}, "", "\\\\?\\GLOBALROOT\\Device\\HarddiskVolume1\\x\\quenby.exe",
         "\\\\?\\GLOBALROOT\\Device\\HarddiskVolume1\\x"},
        {"\\\\?\\ volume keeps its prefix", u"\\\\?\\Volume{1b3b}\\Q\\launcher.exe", {"x86r"},
         "", "\\\\?\\Volume{1b3b}\\Q\\x86r\\quenby.exe", "\\\\?\\Volume{1b3b}\\Q\\x86r"},
        {"--build at a drive root", u"C:\\launcher.exe", {"/sub//dir/"},
         "", "C:\\sub\\dir\\quenby.exe", "C:\\sub\\dir"},
        {"cyrillic", u"C:\\\u0418\u0433\u0440\u044B\\launcher.exe", {},
         "C:\\\xD0\x98\xD0\xB3\xD1\x80\xD1\x8B\\x64r\\quenby.exe",
         "C:\\\xD0\x98\xD0\xB3\xD1\x80\xD1\x8B\\x86r\\quenby.exe", "C:\\\xD0\x98\xD0\xB3\xD1\x80\xD1\x8B\\x86r"},
        {"characters beyond the BMP survive", u"C:\\\xD83C\xDFAE\\launcher.exe", {},
         "C:\\\xF0\x9F\x8E\xAE\\x64r\\quenby.exe", "C:\\\xF0\x9F\x8E\xAE\\x86r\\quenby.exe",
         "C:\\\xF0\x9F\x8E\xAE\\x86r"},
        {"an unpaired surrogate survives", u"\\\\?\\C:\\Games\\Q\xD800\\launcher.exe", {},
         "C:\\Games\\Q\xED\xA0\x80\\x64r\\quenby.exe", "C:\\Games\\Q\xED\xA0\x80\\x86r\\quenby.exe",
         "C:\\Games\\Q\xED\xA0\x80\\x86r"},
        // A path without a drive, a share or "\\?\" is read against the current
        // folder (path.c, RtlGetFullPathName_U: "foo", "c:foo" and "\\foo" lie
        // in or below C:\windows): nothing to look at, nothing to start.
        {"no root: a file name only", u"launcher.exe", {}, "", "", ""},
        {"no root: drive-relative", u"C:launcher.exe", {"x86r"}, "", "", ""},
        {"no root: the current drive's", u"\\Q\\launcher.exe", {}, "", "", ""},
    };
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
    }
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
