# Every target of ours links this. The presets (and so CI) make warnings errors; a plain
# configure leaves them warnings, so a compiler newer than CI's does not stop a build.
option(VORLANTA_WARNINGS_AS_ERRORS "Treat compiler warnings as errors" OFF)
add_library(vorlanta_warnings INTERFACE)
target_compile_options(vorlanta_warnings INTERFACE
    -Wall -Wextra -Wpedantic
    -Wnon-virtual-dtor -Wcast-align -Wunused -Woverloaded-virtual
    -Wimplicit-fallthrough -Winvalid-pch
    # Shadowed locals; GCC can limit the warning to locals, clang cannot.
    $<$<CXX_COMPILER_ID:GNU>:-Wshadow=local>
    "$<$<CXX_COMPILER_ID:Clang,AppleClang>:-Wshadow;-Wshadow-uncaptured-local>"
    $<$<BOOL:${VORLANTA_WARNINGS_AS_ERRORS}>:-Werror>)
