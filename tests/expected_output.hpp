#pragma once

// The launcher's answer to --help, byte for byte: the first column fits the
// longest option, descriptions wrap before column 80 (the library keeps the
// blank at the break), and an empty line ends it.
inline const char* const expected_help =
    "Allowed options:\n"
    "  --help                Produce help message\n"
    "  --application arg     CAMP reflection ASCII class name of the application to \n"
    "                        run (e.g. \"../game.app.json\")\n"
    "  --build arg           Build directory name to run quenby.exe in\n"
    "\n";

// The one line a malformed command line earns.
inline const char* const expected_message =
    "Unknown program options found which are ignored. Type \"--help\" for valid program options.\n";
