# Cross-compiles for 32-bit Windows with Debian's clang instead of GCC, over
# the same libraries as toolchain-mingw-i686.cmake: MinGW-w64's headers and
# import libraries, and the C++ library, support libraries and start files
# of GCC's POSIX-thread toolchain. A second compiler's warnings and code
# over the launcher and its tests; the programs run under Wine as well.
#
# What linking takes from GCC's toolchain (its folder, below): libstdc++
# (the POSIX-thread build, hence MinGW-w64's winpthreads too), libgcc and
# libgcc_eh (the DWARF unwinder that C++ exceptions take), libssp (the
# checked string functions of _FORTIFY_SOURCE), crtbegin.o and crtend.o; and
# GNU ld (i686-w64-mingw32-ld.bfd), which the project's link options are
# written for. Resources are compiled by windres, as for GCC.
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw-i686.cmake)

set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET i686-w64-mingw32)
set(CMAKE_CXX_COMPILER_TARGET i686-w64-mingw32)
# MinGW-w64's headers and libraries. Without it clang's driver searches the
# host's /usr/include as well.
set(CMAKE_SYSROOT /usr/i686-w64-mingw32)

# GCC's own folder for the target (lib/gcc/i686-w64-mingw32/12-posix),
# asked of the POSIX-thread g++ itself: clang 14 cannot read "12-posix" as
# a GCC version, finds no GCC there and would take the host's libstdc++
# headers; and the win32-thread GCC may be installed beside it.
execute_process(COMMAND i686-w64-mingw32-g++-posix -print-libgcc-file-name
    OUTPUT_VARIABLE launcher_libgcc RESULT_VARIABLE launcher_libgcc_failed
    OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
if(launcher_libgcc_failed OR NOT IS_ABSOLUTE "${launcher_libgcc}" OR NOT EXISTS "${launcher_libgcc}")
    message(FATAL_ERROR "No i686-w64-mingw32-g++-posix, whose libstdc++ clang builds against: "
                        "run scripts/setup")
endif()
get_filename_component(launcher_gcc_dir "${launcher_libgcc}" DIRECTORY)

# As GCC compiles for this target, so that clang's code and GCC's library
# agree: thread-local variables through libgcc's emulation (__emutls), and
# type_info compared by name out of line (GCC predefines
# __GXX_TYPEINFO_EQUALITY_INLINE as 0 for MinGW; clang does not).
set(CMAKE_C_FLAGS_INIT "-femulated-tls")
set(CMAKE_CXX_FLAGS_INIT "-femulated-tls -D__GXX_TYPEINFO_EQUALITY_INLINE=0")
foreach(folder "" /i686-w64-mingw32 /backward)
    string(APPEND CMAKE_CXX_FLAGS_INIT " -stdlib++-isystem ${launcher_gcc_dir}/include/c++${folder}")
endforeach()
# GNU ld; libstdc++, libgcc and libssp from GCC's folder (-L), its start
# files too (-B); and winpthreads, which GCC's POSIX-thread toolchain always
# links (-pthread).
foreach(kind EXE SHARED MODULE)
    set(CMAKE_${kind}_LINKER_FLAGS_INIT
        "-fuse-ld=bfd -B${launcher_gcc_dir} -L${launcher_gcc_dir} -pthread")
endforeach()

# -O2, not -Os (MinSizeRel, as the GCC build): at -Os clang compiles its own
# copy of libstdc++'s std::string::_M_construct, a member function that
# takes an empty iterator tag by value. Members are thiscall on i686
# MinGW, and there GCC's copy pops a stack slot for the empty argument
# (ret $12) while clang's pops none (ret $8; llvm/llvm-project issue
# 58255). The linker keeps one copy for the callers of both compilers, so
# the others' stack ends up four bytes off, and the programs crashed. At -O2
# clang inlines those calls and emits no copy of its own.
foreach(lang C CXX)
    set(CMAKE_${lang}_FLAGS_RELEASE "-O2 -DNDEBUG" CACHE STRING
        "Release flags: -O2, not -Os (cmake/toolchain-mingw-i686-clang.cmake says why)")
endforeach()
