// The launcher's entry: the argument vector, the one exception boundary, the
// exit code. Everything else happens in run().

#include "run.hpp"
#include "windows/arguments.hpp"
#include "windows/module_file_name.hpp"
#include "windows/windows_system.hpp"

#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <iostream>
#include <string>

// The command line's parameter keeps the name <winbase.h> declares it with.
int WINAPI wWinMain(HINSTANCE /* instance */, HINSTANCE /* previous */, PWSTR lpCmdLine,
                    int /* show */)
{
    // Lines end in a bare line feed, as on every other platform; in text mode
    // the C runtime would turn each into CR LF. A GUI program may have no
    // standard output at all, and then there is nothing to switch.
    if (int const out = _fileno(stdout); out >= 0)
        _setmode(out, _O_BINARY);

    return launcher::within_boundary(std::cout, [lpCmdLine] {
        // The start-up code has already taken the program name off the command line.
        std::u16string const line(lpCmdLine, lpCmdLine + wcslen(lpCmdLine));
        return launcher::run(
            launcher::windows::make_arguments(launcher::windows::module_file_name_narrow(), line),
            launcher::windows::windows_system(), std::cout);
    });
}
