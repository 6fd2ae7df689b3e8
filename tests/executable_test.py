"""Checks the built launcher.exe: how Windows will load it and its resources.

Usage: python3 -B -m pytest -p no:cacheprovider tests/executable_test.py
           --executable path/to/launcher.exe --map path/to/launcher.map
           [--build-folder FOLDER]...

The map is the linker's for that executable (which has no symbols); the
build folders must not appear in the executable. The options are
tests/conftest.py's.
"""

import collections
import re
import struct
from xml.etree import ElementTree

import pefile
import pytest

# The DLLs the loader resolves before the start-up code restricts the
# search: known DLLs only, which Windows takes from System32 whatever lies
# beside the program, and which hold what is imported from them themselves
# (advapi32's RtlGenRandom, say, is forwarded to cryptbase.dll, which is no
# known DLL and would be looked for beside the program first). Not shell32
# either: its own imports would be resolved from the program's folder where
# it is no known DLL (Wine, Proton). Anything else, libstdc++-6.dll or a
# Boost DLL, would have to be shipped beside it.
IMPORTED_DLLS = {"kernel32.dll", "msvcrt.dll"}

# Functions newer than Windows 7 that the launcher looks up at run time: an
# import would keep it from loading there at all.
LOOKED_UP = {b"SetDefaultDllDirectories", b"IsWow64Process2", b"GetMachineTypeAttributes",
             b"IsWow64GuestMachineSupported"}

# Every function the launcher looks up by name (GetProcAddress), spelt as
# the DLL exports it (Microsoft's documentation; RtlGenRandom's export is
# SystemFunction036). A misspelt name finds nothing, and the launcher takes
# the branch for a Windows without the call: Wine 8 exports neither
# GetMachineTypeAttributes nor IsWow64GuestMachineSupported, so no test run
# there could tell.
LOOKED_UP_BY_NAME = LOOKED_UP | {b"SystemFunction036", b"ShellExecuteExW"}


def symbol_address(linker_map, name, required=True):
    """The address the linker gave `name`, from its map (None if it gave it
    none and `required` is false)."""
    found = re.search(r"^\s+0x([0-9a-f]+)\s+" + re.escape(name) + "$", linker_map, re.M)
    if not found:
        if not required:
            return None
        raise AssertionError(f"{name} is not in the linker map")
    return int(found.group(1), 16)


def resources(pe, kind):
    """{(id, language): data} for one resource type."""
    found = {}
    for entry in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        if entry.id != kind:
            continue
        for name in entry.directory.entries:
            for language in name.directory.entries:
                rva, size = language.data.struct.OffsetToData, language.data.struct.Size
                found[(name.id, language.id)] = pe.get_data(rva, size)
    return found


def given(config, name):
    value = config.getoption(name)
    if not value:
        raise pytest.UsageError(f"executable_test.py needs --{name.replace('_', '-')}")
    return value


@pytest.fixture(scope="module")
def pe(request):
    return pefile.PE(given(request.config, "executable"))


@pytest.fixture(scope="module")
def linker_map(request):
    with open(given(request.config, "map")) as f:
        return f.read()


def pytest_generate_tests(metafunc):
    if "build_folder" in metafunc.fixturenames:
        metafunc.parametrize("build_folder", metafunc.config.getoption("build_folder"))


def test_is_a_32_bit_windows_gui_program(pe):
    assert pe.FILE_HEADER.Machine == pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_I386"]
    assert pe.OPTIONAL_HEADER.Magic == 0x10B  # PE32
    assert pe.OPTIONAL_HEADER.Subsystem == pefile.SUBSYSTEM_TYPE["IMAGE_SUBSYSTEM_WINDOWS_GUI"]


@pytest.mark.parametrize("bit, why", [
    (0x0040, "DYNAMIC_BASE"),
    (0x0100, "NX_COMPAT"),
    (0x0400, "NO_SEH: no handler in the image may be called"),
    (0x8000, "TERMINAL_SERVER_AWARE"),
], ids=["DYNAMIC_BASE", "NX_COMPAT", "NO_SEH", "TERMINAL_SERVER_AWARE"])
def test_keeps_aslr_and_dep(pe, bit, why):
    assert pe.OPTIONAL_HEADER.DllCharacteristics & bit, why


def test_keeps_its_relocations(pe):
    assert not pe.FILE_HEADER.Characteristics & 0x0001, "relocations stripped"
    relocations = pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_BASERELOC"]]
    assert relocations.Size > 0, "no relocations: ASLR could not move it"


def test_starts_with_its_own_start_up_code(pe, linker_map):
    start = symbol_address(linker_map, "launcher_start")
    assert pe.OPTIONAL_HEADER.ImageBase + pe.OPTIONAL_HEADER.AddressOfEntryPoint == start, \
        "the entry point is not the start-up code that hardens the process"


def test_functions_check_the_one_canary(pe, linker_map):
    """Each protected function reads the canary twice (in, and before it
    returns) and calls the failure routine when it changed; without the
    protector neither happens."""
    guard = symbol_address(linker_map, "__stack_chk_guard")
    fail = symbol_address(linker_map, "__stack_chk_fail")
    base = pe.OPTIONAL_HEADER.ImageBase
    # clang reads a variable that another image might hold through a
    # pointer to it, which the linker fills in (one for the image); GCC
    # names the canary itself.
    pointer = symbol_address(linker_map, ".refptr.___stack_chk_guard", required=False)
    if pointer is not None:
        assert pe.get_dword_at_rva(pointer - base) == guard, "the canary's pointer points elsewhere"
    # Code names the canary, or its pointer, by its absolute address,
    # which the base relocations list (HIGHLOW entries); the pointer's
    # own entry is no read.
    targets = collections.Counter(
        pe.get_dword_at_rva(entry.rva)
        for block in pe.DIRECTORY_ENTRY_BASERELOC
        for entry in block.entries if entry.type == 3 and base + entry.rva != pointer)
    text = next(s for s in pe.sections if s.Name.rstrip(b"\0") == b".text")
    code, start = text.get_data(), base + text.VirtualAddress
    calls = sum(1 for i in range(len(code) - 4)
                if code[i] == 0xE8 and start + i + 5 + struct.unpack_from("<i", code, i + 1)[0] == fail)
    assert calls >= 100, "few functions call the failure routine"
    # A protected function names the canary twice, or its pointer at
    # least once (clang keeps it in a register for both reads).
    naming = targets[guard] // 2 + (targets[pointer] if pointer is not None else 0)
    assert naming >= calls, "protected functions that do not read the canary"
    for dll in pe.DIRECTORY_ENTRY_IMPORT:
        names = {i.name for i in dll.imports}
        assert not names & {b"CryptAcquireContextA", b"CryptGenRandom"}, \
            "the canary is seeded through a cryptographic provider"


def test_has_no_time_stamp(pe):
    assert pe.FILE_HEADER.TimeDateStamp == 0, "time stamp in the PE header"


def test_names_no_build_folder(pe, build_folder):
    # Where a path begins, not inside another: a checkout at /src is
    # no leak in Boost's own "boost/libs/filesystem/src/...".
    leak = re.search(rb"(?<![\w./-])" + re.escape(build_folder.encode()), bytes(pe.__data__))
    assert leak is None, f"names the build folder {build_folder}"


def test_imports_only_system_dlls(pe):
    imported = {entry.dll.decode().lower() for entry in pe.DIRECTORY_ENTRY_IMPORT}
    assert not [dll for dll in imported if dll.startswith(("api-ms-win-", "ext-ms-win-"))], \
        "API sets are missing on Windows 7"
    assert imported == IMPORTED_DLLS
    names = {i.name for dll in pe.DIRECTORY_ENTRY_IMPORT for i in dll.imports}
    assert not names & LOOKED_UP, "imports what Windows 7 lacks"


@pytest.mark.parametrize("name", sorted(LOOKED_UP_BY_NAME), ids=bytes.decode)
def test_looks_up_each_call_by_its_exported_name(pe, name):
    # A whole string, as GetProcAddress reads it: not the end of a
    # longer name, ended by its NUL.
    found = re.search(rb"(?<!\w)" + re.escape(name) + rb"\0", bytes(pe.__data__))
    assert found, "the name is not in the image: a misspelt look-up finds nothing"


@pytest.fixture(scope="module")
def manifest(pe):
    manifests = resources(pe, pefile.RESOURCE_TYPE["RT_MANIFEST"])
    assert list(manifests) == [(1, 1033)]
    return next(iter(manifests.values()))


def test_manifest_runs_as_invoker(manifest):
    text = manifest.decode("utf-8")
    assert re.search(r'<requestedExecutionLevel\s+level="asInvoker"\s+uiAccess="false"\s*/>', text), text
    assert len(re.findall("requestedExecutionLevel", text)) == 1


# Without these Windows runs it in a Vista context.
@pytest.mark.parametrize("windows, guid", [
    ("Windows 7", "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}"),
    ("Windows 10 and 11", "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"),
], ids=["Windows 7", "Windows 10 and 11"])
def test_manifest_names_a_supported_windows(manifest, windows, guid):
    compatibility = "{urn:schemas-microsoft-com:compatibility.v1}"
    supported = {os.get("Id") for os in ElementTree.fromstring(manifest).iterfind(
        f"{compatibility}compatibility/{compatibility}application/{compatibility}supportedOS")}
    assert guid in supported, windows


def test_icon_group_holds_six_32_bit_pngs(pe):
    groups = resources(pe, pefile.RESOURCE_TYPE["RT_GROUP_ICON"])
    assert list(groups) == [(101, 1031)]
    group = groups[(101, 1031)]
    reserved, kind, count = struct.unpack_from("<HHH", group)
    assert (reserved, kind, count) == (0, 1, 6)
    icons = resources(pe, pefile.RESOURCE_TYPE["RT_ICON"])
    sizes = []
    for i in range(count):
        width, height, _, _, planes, bits, length, icon_id = struct.unpack_from("<BBBBHHIH", group, 6 + 14 * i)
        assert bits == 32
        image = icons[(icon_id, 1031)]
        assert len(image) == length
        assert image[:8] == b"\x89PNG\r\n\x1a\n"
        png_width, png_height, depth, colour = struct.unpack_from(">IIBB", image, 16)
        assert (depth, colour) == (8, 6), "8-bit RGBA"
        assert (png_width, png_height) == (width or 256, height or 256)
        sizes.append(png_width)
    assert sorted(sizes) == [16, 32, 48, 64, 128, 256]


def test_version_record(pe):
    assert list(resources(pe, pefile.RESOURCE_TYPE["RT_VERSION"])) == [(1, 1031)]
    fixed = pe.VS_FIXEDFILEINFO[0]
    assert (fixed.FileVersionMS, fixed.FileVersionLS) == (0x10000, 0)
    assert (fixed.ProductVersionMS, fixed.ProductVersionLS) == (0x10000, 0)
    strings = {}
    for info in pe.FileInfo[0]:
        for table in getattr(info, "StringTable", []):
            assert table.LangID.decode().lower() == "040704b0"
            strings.update({k.decode(): v.decode() for k, v in table.entries.items()})
    assert strings["FileVersion"] == "4.0.0"
    assert strings["ProductVersion"] == "4.0.0"
    assert strings["OriginalFilename"] == "launcher.exe"
