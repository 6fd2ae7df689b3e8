#include "launch/windows_names.hpp"

#include <algorithm>
#include <cctype>

namespace launcher {

// Microsoft, "Naming Files, Paths, and Namespaces": < > : " / \ | ? *, NUL
// and the units 1 to 31 are never part of a name. Wine's
// dlls/ntdll/tests/path.c, test_nt_names: "kernel32.dll*", "system32?" and
// "sys\001" give STATUS_OBJECT_NAME_INVALID. A quote matters most: Wine's
// shell splits a program path at one and starts what comes before it, with
// the rest as its arguments (C:\Q\a" b\quenby.exe ran C:\Q\a.exe), where
// Windows' shell finds no file (dlls/shell32/tests/shlexec.c).
bool holds_refused_character(std::string_view name)
{
    return std::any_of(name.begin(), name.end(), [](char c) {
        return static_cast<unsigned char>(c) < 0x20 ||
               std::string_view("<>:\"/\\|?*").find(c) != std::string_view::npos;
    });
}

// RtlIsDosDeviceName_U, in Wine's dlls/ntdll/tests/path.c: "c:prn.......",
// "c:NUL  ....  ", "c:nul:aaa" and "c:\...\nul.txt" are devices, "c:nul0",
// "c:\lpt0.txt" and "CONERR$" are not; CONIN$ and CONOUT$ are from Windows 8
// on ("fails on win7"). The name counts up to its first dot or colon,
// without trailing blanks. The digits of COM and LPT include the
// superscripts ¹ ² ³ (Microsoft, "Naming Files, Paths, and Namespaces").
bool is_dos_device(std::string_view name)
{
    std::string device(name.substr(0, name.find_first_of(".:")));
    while (!device.empty() && device.back() == ' ')
        device.pop_back();
    for (char& c : device)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (device == "CON" || device == "PRN" || device == "AUX" || device == "NUL" ||
        device == "CONIN$" || device == "CONOUT$")
        return true;
    std::string_view const number = std::string_view(device).substr(
        std::min<std::size_t>(device.size(), 3));
    return (device.rfind("COM", 0) == 0 || device.rfind("LPT", 0) == 0) &&
           ((number.size() == 1 && number[0] >= '1' && number[0] <= '9') || number == "\xC2\xB9" ||
            number == "\xC2\xB2" || number == "\xC2\xB3");
}

bool ends_in_dot_or_blank(std::string_view name)
{
    return !name.empty() && (name.back() == '.' || name.back() == ' ');
}

// Wine's dlls/ntdll/tests/path.c, RtlGetFullPathName_U: "c:/test.",
// "c:/test     " and "c:/test  ....   ..   " are "c:\test"; "..." and
// "c:/test/.. " name the folder itself.
std::string read_as_last_name(std::string_view name)
{
    while (ends_in_dot_or_blank(name))
        name.remove_suffix(1);
    return std::string(name);
}

// The same rows inside a path: "c:/test./file" is "c:\test\file",
// "c:/test../file" is "c:\test.\file" (Vista kept "test.."), and
// "c:/test.. /file" is "c:\test.. \file".
std::string read_as_inner_name(std::string_view name)
{
    if (!name.empty() && name.back() == '.')
        name.remove_suffix(1);
    return std::string(name);
}

} // namespace launcher
