#include "launch/location.hpp"

#include "fake_system.hpp"

#include <gtest/gtest.h>

namespace {

struct directory_case {
    const char* name;
    std::u16string module_path;
    std::string directory;
};

TEST(Location, LauncherDirectoryIsTheModulesFolderInGenericForm)
{
    const directory_case cases[] = {
#ifdef _WIN32
        {"nested", u"C:\\Games\\Demo\\launcher.exe", "C:/Games/Demo"},
        {"drive root keeps its separator", u"C:\\launcher.exe", "C:/"},
        {"mixed separators", u"D:/Games\\Demo/launcher.exe", "D:/Games/Demo"},
        {"network share", u"\\\\server\\share\\launcher.exe", "//server/share"},
        {"cyrillic", u"C:\\\u0418\u0433\u0440\u044B\\launcher.exe", "C:/\xD0\x98\xD0\xB3\xD1\x80\xD1\x8B"},
        {"beyond the BMP", u"C:\\Spiele \xD83C\xDFAE\\launcher.exe", "C:/Spiele \xF0\x9F\x8E\xAE"},
#else
        {"nested", u"/games/demo/launcher.exe", "/games/demo"},
        {"root", u"/launcher.exe", "/"},
        {"beyond the BMP", u"/spiele \xD83C\xDFAE/launcher.exe", "/spiele \xF0\x9F\x8E\xAE"},
#endif
        {"no folder at all", u"launcher.exe", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(launcher::launcher_directory(c.module_path), c.directory);
    }
}

struct locate_case {
    const char* name;
    std::u16string module_path;
    std::string probe;
    std::string executable;
    std::string working_directory;
};

TEST(Location, ComposesPathsFromTheLauncherDirectory)
{
    const locate_case cases[] = {
#ifdef _WIN32
        {"drive root doubles the separator", u"C:\\launcher.exe",
         "C://x64r/quenby.exe", "C://x86r/quenby.exe", "C://x86r"},
        {"characters beyond the BMP survive", u"C:\\\xD83C\xDFAE\\launcher.exe",
         "C:/\xF0\x9F\x8E\xAE/x64r/quenby.exe", "C:/\xF0\x9F\x8E\xAE/x86r/quenby.exe",
         "C:/\xF0\x9F\x8E\xAE/x86r"},
#else
        {"root doubles the separator", u"/launcher.exe",
         "//x64r/quenby.exe", "//x86r/quenby.exe", "//x86r"},
        {"characters beyond the BMP survive", u"/\xD83C\xDFAE/launcher.exe",
         "/\xF0\x9F\x8E\xAE/x64r/quenby.exe", "/\xF0\x9F\x8E\xAE/x86r/quenby.exe",
         "/\xF0\x9F\x8E\xAE/x86r"},
#endif
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fake_system os;
        os.module_path = c.module_path;
        auto const game = launcher::locate_game({}, os.services());
        EXPECT_EQ(os.probes, std::vector<std::string>{c.probe});
        EXPECT_EQ(game.executable, c.executable);
        EXPECT_EQ(game.working_directory, c.working_directory);
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
