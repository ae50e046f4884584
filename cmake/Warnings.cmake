# Every target of ours links this: warnings are errors.
add_library(vorlanta_warnings INTERFACE)
target_compile_options(vorlanta_warnings INTERFACE
    -Wall -Wextra -Wpedantic -Werror
    -Wshadow=local -Wnon-virtual-dtor -Wcast-align -Wunused -Woverloaded-virtual
    -Wimplicit-fallthrough -Winvalid-pch)
