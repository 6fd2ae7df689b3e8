# Provides the Boost targets the launcher uses:
#   Boost::program_options, Boost::filesystem, launcher_boost_locale_headers.
#
# By default they are built from Boost 1.81 sources (BOOST_SOURCE_DIR, which
# scripts/setup unpacks into the user's cache). With LAUNCHER_FIND_BOOST=ON an
# installed Boost is used instead (vcpkg, MSYS2, a distribution package); the
# host builds use Debian's that way. BOOST_SOURCE_DIR is still set then, for
# the host programs that compile Boost's Windows splitter from its source.
option(LAUNCHER_FIND_BOOST "Use an installed Boost instead of its sources" OFF)

add_library(launcher_boost_locale_headers INTERFACE)

if(NOT BOOST_SOURCE_DIR)
    if(DEFINED ENV{XDG_CACHE_HOME} AND NOT "$ENV{XDG_CACHE_HOME}" STREQUAL "")
        set(cache_home "$ENV{XDG_CACHE_HOME}")
    else()
        set(cache_home "$ENV{HOME}/.cache")
    endif()
    set(BOOST_SOURCE_DIR "${cache_home}/quenby-launcher/boost-1.81.0"
        CACHE PATH "Unpacked Boost 1.81 sources")
endif()
if(LAUNCHER_FIND_BOOST)
    find_package(Boost 1.81 REQUIRED COMPONENTS program_options filesystem)
    target_link_libraries(launcher_boost_locale_headers INTERFACE Boost::boost)
    return()
endif()

if(NOT EXISTS "${BOOST_SOURCE_DIR}/CMakeLists.txt")
    message(FATAL_ERROR "No Boost sources at ${BOOST_SOURCE_DIR}: run scripts/setup, "
                        "set BOOST_SOURCE_DIR, or configure with -DLAUNCHER_FIND_BOOST=ON")
endif()

set(BOOST_INCLUDE_LIBRARIES program_options filesystem)
# Boost.Atomic would otherwise link libsynchronization.a, which imports an
# api-ms-win-* API set that Windows 7 does not have.
set(BOOST_ATOMIC_HAS_SYNCHRONIZATION_LIB OFF CACHE BOOL "" FORCE)
set(BUILD_SHARED_LIBS OFF)
add_compile_options("-ffile-prefix-map=${BOOST_SOURCE_DIR}=boost")
add_subdirectory("${BOOST_SOURCE_DIR}" "${CMAKE_BINARY_DIR}/boost" EXCLUDE_FROM_ALL SYSTEM)

# utf_to_utf is header-only: no compiled Boost.Locale needed, only its headers.
target_include_directories(launcher_boost_locale_headers SYSTEM INTERFACE
    "${BOOST_SOURCE_DIR}/libs/locale/include")
target_link_libraries(launcher_boost_locale_headers INTERFACE Boost::config Boost::assert)
