# What both MinGW-w64 toolchain files share; QUENNET_MINGW_TRIPLET names the target.
set(CMAKE_C_COMPILER ${QUENNET_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QUENNET_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${QUENNET_MINGW_TRIPLET}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${QUENNET_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Static C, C++ and threads runtime: the programs and DLLs import only
# system DLLs, so nothing of MinGW's has to be shipped beside them.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")

# Windows programs run here under Wine; the wrapper keeps one wineserver
# for the whole CTest run (see cmake/wine-run).
find_program(QUENNET_WINE NAMES wine wine64 wine-stable)
if(QUENNET_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run)
endif()
