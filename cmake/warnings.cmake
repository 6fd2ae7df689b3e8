# The warnings every program of ours is built with, for Windows and for the
# host, by GCC and by clang: fmt's pedantic set (FMT_PEDANTIC in fmt's
# CMakeLists.txt) with the sign conversions and shadowing on as well. Only
# our own targets take them: Boost and GoogleTest are built as their authors
# build them, and their headers, like MinGW-w64's, come in as system headers,
# so every warning left is ours.
#
# Warnings are errors when CI is set (as CI services set it) or
# LAUNCHER_WERROR is (scripts/test sets it); a developer's build only shows
# them.
#
# Included once by the top-level CMakeLists.txt: when that file ends, every
# target then defined in the project's own folders gets the flags.
# `launcher_gcc_warnings` also holds them for a program compiled by hand (the
# tests' 64-bit game).

set(launcher_common_warnings
    -Wall -Wextra -Wpedantic
    -Wconversion -Wsign-conversion -Wdouble-promotion
    -Wshadow -Wundef -Wcast-qual -Wcast-align -Wpointer-arith
    -Wformat=2 -Wnull-dereference -Wredundant-decls -Wwrite-strings
    -Wmissing-include-dirs -Wmissing-declarations -Wdisabled-optimization)
set(launcher_cxx_warnings
    -Wold-style-cast -Wnon-virtual-dtor -Woverloaded-virtual
    -Wzero-as-null-pointer-constant)
# GCC's own: logical operators with equal operands, conditions and branches
# repeated in an if-else chain, shifts out of range, what makes a function
# need an executable stack, and vector operations done one element at a time.
set(launcher_gcc_only_warnings
    -Wlogical-op -Wduplicated-cond -Wduplicated-branches -Wshift-overflow=2
    -Wtrampolines -Wvector-operation-performance)
# Not -Wuseless-cast: the core and the tests are built for 32-bit Windows and
# 64-bit hosts, and a cast that one needs (size_t to UINT, say) is useless on
# the other.
set(launcher_gcc_only_cxx_warnings -Wnoexcept -Wsized-deallocation)
# clang's own (fmt's clang set): deprecated constructs, and classes whose
# virtual table every object file that uses them has to carry.
set(launcher_clang_only_cxx_warnings -Wdeprecated -Wweak-vtables)

set(launcher_werror OFF)
if(NOT "$ENV{CI}" STREQUAL "" OR NOT "$ENV{LAUNCHER_WERROR}" STREQUAL "")
    set(launcher_werror ON)
    list(APPEND launcher_common_warnings -Werror)
endif()

set(launcher_gcc_warnings ${launcher_common_warnings} ${launcher_cxx_warnings}
    ${launcher_gcc_only_warnings} ${launcher_gcc_only_cxx_warnings})

function(launcher_add_warnings target)
    get_target_property(type ${target} TYPE)
    if(NOT type MATCHES "^(EXECUTABLE|STATIC_LIBRARY|SHARED_LIBRARY|MODULE_LIBRARY|OBJECT_LIBRARY)$")
        return()
    endif()
    # Each language its own: the resource compiler takes none of them.
    set(c_flags ${launcher_common_warnings})
    set(cxx_flags ${launcher_common_warnings} ${launcher_cxx_warnings})
    if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
        list(APPEND c_flags ${launcher_gcc_only_warnings})
        list(APPEND cxx_flags ${launcher_gcc_only_warnings} ${launcher_gcc_only_cxx_warnings})
    elseif(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
        list(APPEND cxx_flags ${launcher_clang_only_cxx_warnings})
    endif()
    target_compile_options(${target} PRIVATE
        "$<$<COMPILE_LANGUAGE:C>:${c_flags}>" "$<$<COMPILE_LANGUAGE:CXX>:${cxx_flags}>")
endfunction()

# Every target defined in the project's folders. Boost and GoogleTest are
# added as SYSTEM subdirectories, and left out: a release unpacks Boost
# inside its checkout.
function(launcher_add_warnings_in directory)
    get_directory_property(targets DIRECTORY "${directory}" BUILDSYSTEM_TARGETS)
    foreach(target IN LISTS targets)
        launcher_add_warnings(${target})
    endforeach()
    get_directory_property(subdirectories DIRECTORY "${directory}" SUBDIRECTORIES)
    foreach(subdirectory IN LISTS subdirectories)
        get_directory_property(third_party DIRECTORY "${subdirectory}" SYSTEM)
        if(NOT third_party)
            launcher_add_warnings_in("${subdirectory}")
        endif()
    endforeach()
endfunction()

cmake_language(DEFER DIRECTORY "${PROJECT_SOURCE_DIR}" CALL launcher_add_warnings_in "${PROJECT_SOURCE_DIR}")
