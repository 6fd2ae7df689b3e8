# Flags for everything built for Windows, Boost included.

# Everything linked in: the launcher must start with Windows' own DLLs only.
# Only a C++ program links libstdc++ (clang warns of the option unused in a
# C one's link, the tests' planted DLL).
add_link_options(-static -static-libgcc $<$<LINK_LANGUAGE:CXX>:-static-libstdc++>)

# Hardening. ASLR and DEP are binutils' defaults for PE since 2.36; asked for
# explicitly so an older linker cannot drop them. The stack protector's
# support library (libssp) comes in statically with -static.
add_compile_options(-fstack-protector-strong $<$<NOT:$<CONFIG:Debug>>:-D_FORTIFY_SOURCE=2>)
add_link_options(-fstack-protector-strong -Wl,--dynamicbase -Wl,--nxcompat)
# No structured-exception handler in the image (C++ exceptions here unwind
# by DWARF tables, not SEH): Windows then calls none in it, so an overwritten
# handler record on the stack cannot point into the launcher's code. And
# aware of Terminal Services, so Windows applies no compatibility shims for
# programs that are not.
add_link_options(-Wl,--no-seh -Wl,--tsaware)

# Reproducible: no time stamp in the PE header, no build folder in the
# binary, no symbols (which would also name the object files).
add_link_options(-Wl,--no-insert-timestamp $<$<NOT:$<CONFIG:Debug>>:-s>)

# Start-up: with sections aligned in the file as in memory, Wine maps the
# image straight from the file; with the default 512-byte alignment it reads
# and copies all of it at every start, a cost the launch-cost target leaves
# no room for (docs/testing.md, "Measured figures"). It takes more room on
# disk.
add_link_options(-Wl,--file-alignment=4096)

# Size: let the linker drop what nothing calls.
add_compile_options(-ffunction-sections -fdata-sections)
add_link_options(-Wl,--gc-sections)
add_compile_options(
    "-ffile-prefix-map=${CMAKE_SOURCE_DIR}=."
    "-ffile-prefix-map=${CMAKE_BINARY_DIR}=build")
