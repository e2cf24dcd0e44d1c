# The posix thread model would pull in GetTickCount64 and vectored exception
# handlers, which Windows 2000 lacks; the -win32 compilers avoid both.
set(CMAKE_C_COMPILER ${ORVL_TRIPLE}-gcc-win32)
set(CMAKE_CXX_COMPILER ${ORVL_TRIPLE}-g++-win32)
set(CMAKE_RC_COMPILER ${ORVL_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${ORVL_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Tests run under Wine through a launcher that keeps one wineserver per build tree.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run)
