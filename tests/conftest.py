"""The inputs of executable_test.py, which ctest hands over as options:
pytest takes options only from a conftest.py it reads before collecting,
and this is the one beside that file. (pytest reads it for the release
tests below as well, where these options go unused.)"""


def pytest_addoption(parser):
    group = parser.getgroup("executable_test.py", "the built launcher.exe that executable_test.py checks")
    group.addoption("--executable", metavar="PATH", help="launcher.exe")
    group.addoption("--map", metavar="PATH", help="the linker's map of that launcher.exe (which has no symbols)")
    group.addoption("--build-folder", metavar="PATH", action="append", default=[],
                    help="a folder whose path the executable must not hold (repeatable)")
