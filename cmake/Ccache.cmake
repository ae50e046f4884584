# ccache in front of the compiler; the sloppiness lets it cache precompiled headers.
find_program(VORLANTA_CCACHE ccache)
if(VORLANTA_CCACHE AND NOT CMAKE_CXX_COMPILER_LAUNCHER)
    set(CMAKE_CXX_COMPILER_LAUNCHER
        "${CMAKE_COMMAND};-E;env;CCACHE_SLOPPINESS=pch_defines,time_macros,include_file_mtime,include_file_ctime;CCACHE_BASEDIR=${CMAKE_SOURCE_DIR};${VORLANTA_CCACHE}")
endif()
