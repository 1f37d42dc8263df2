# Compiler and linker settings for everything that goes into the Windows
# executables: harder to subvert, and the same bytes wherever and whenever
# they are built.
add_library(rolekit_hardening INTERFACE)
target_compile_definitions(rolekit_hardening INTERFACE _FORTIFY_SOURCE=2)
target_compile_options(rolekit_hardening INTERFACE
  -fstack-protector-strong
  -ffile-prefix-map=${PROJECT_SOURCE_DIR}/=
  -ffile-prefix-map=${PROJECT_BINARY_DIR}/=)
if(WIN32)
  # Each function and datum in a section of its own, so that the link can drop
  # whatever nothing refers to, in our code and in the runtime objects it takes.
  target_compile_options(rolekit_hardening INTERFACE -ffunction-sections -fdata-sections)
  target_link_options(rolekit_hardening INTERFACE
    LINKER:--gc-sections
    # The stack protector's runtime (libssp) comes in only through the link line.
    -fstack-protector-strong
    # ASLR with relocations kept and 64-bit entropy, DEP, terminal-server aware.
    LINKER:--dynamicbase,--high-entropy-va,--nxcompat,--tsaware
    # No link time in the header and no symbols: the file depends only on its sources.
    LINKER:--no-insert-timestamp
    -s
    # A second manifest in the image is only a warning to ld; warnings fail the link.
    LINKER:--fatal-warnings)
endif()
