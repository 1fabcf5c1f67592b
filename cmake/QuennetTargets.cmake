# Warnings as errors everywhere, and the helpers every folder uses.

function(quennet_warnings target)
  if(MSVC)
    target_compile_options(${target} PRIVATE /W4 /WX)
  else()
    target_compile_options(${target} PRIVATE -Wall -Wextra -Werror -Wno-unused-parameter)
    # GCC 12 takes std::string concatenation for an overlapping memcpy when
    # it inlines deeply (MinGW builds): a known false positive.
    if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
      target_compile_options(${target} PRIVATE -Wno-restrict)
    endif()
  endif()
endfunction()

# Code that goes into a monitor DLL. On Windows it is built without C++
# exceptions and type information: the monitors use neither, and without
# them the static runtime brings no exception or threads support into the
# DLLs, whose imports then stay within what the NT 4.0 spooler's system has.
function(quennet_monitor_code target)
  if(WIN32 AND NOT MSVC)
    target_compile_options(${target} PRIVATE -fno-exceptions -fno-rtti)
  endif()
endfunction()

# The version header of programs that print the version (QUENNET_VERSION).
configure_file(${CMAKE_CURRENT_LIST_DIR}/version.h.in ${CMAKE_BINARY_DIR}/generated/quennet_version.h
               @ONLY)
add_library(quennet_version INTERFACE)
target_include_directories(quennet_version INTERFACE ${CMAKE_BINARY_DIR}/generated)

# A VERSIONINFO resource for a shipped Windows file: FILE is its name as
# shipped ("Quennet.dll"), DESCRIPTION what Explorer shows as its
# description. Elsewhere nothing.
function(quennet_version_resource target file description)
  if(NOT WIN32)
    return()
  endif()
  set(QUENNET_FILE_NAME ${file})
  set(QUENNET_FILE_DESCRIPTION ${description})
  if(file MATCHES "\\.[eE][xX][eE]$")
    set(QUENNET_FILE_TYPE VFT_APP)
  else()
    set(QUENNET_FILE_TYPE VFT_DLL)
  endif()
  set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/version.rc.in ${rc} @ONLY)
  target_sources(${target} PRIVATE ${rc})
endfunction()

# Code of a Windows test program: its calls of what the test hooks steer
# reach them (platform/windows/steer.h). Never used for what ships.
function(quennet_steered target)
  if(WIN32)
    target_compile_options(${target} PRIVATE -include ${PROJECT_SOURCE_DIR}/platform/windows/steer.h)
  endif()
endfunction()

# The copy of monitor code that Windows test programs link: the same sources
# as `target`, built as `kind` with the calls steered, linking `base`. The
# monitors' DLLs are built from `target` itself.
function(quennet_steered_copy target kind base)
  if(WIN32 AND QUENNET_TESTS)
    get_target_property(sources ${target} SOURCES)
    add_library(${target}_steered ${kind} ${sources})
    target_include_directories(${target}_steered PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
    target_link_libraries(${target}_steered PUBLIC ${base})
    quennet_warnings(${target}_steered)
    quennet_monitor_code(${target}_steered)
    quennet_steered(${target}_steered)
  endif()
endfunction()

# A library the spooler (or a monitor) loads by its DLL name: on Windows
# NAME.dll, elsewhere libname.so (the platform loader maps "NAME.DLL" to it).
# DEF names the .def file that keeps the exports undecorated on Windows;
# DESCRIPTION gives a shipped DLL its version resource.
function(quennet_dll target dllname)
  cmake_parse_arguments(ARG "" "DEF;FOLDER;DESCRIPTION" "" ${ARGN})
  string(TOLOWER ${dllname} lower)
  if(WIN32)
    # The file name exactly as the monitors load it: "RAVODIR.DLL", "Quennet.dll".
    string(TOUPPER ${dllname} upper)
    if(dllname STREQUAL upper)
      set(suffix ".DLL")
    else()
      set(suffix ".dll")
    endif()
    set_target_properties(${target} PROPERTIES PREFIX "" OUTPUT_NAME ${dllname} SUFFIX ${suffix})
    if(ARG_DESCRIPTION)
      quennet_version_resource(${target} ${dllname}${suffix} ${ARG_DESCRIPTION})
    endif()
    if(ARG_DEF)
      target_sources(${target} PRIVATE ${ARG_DEF})
      # The .def names the undecorated export; on 32-bit Windows the linker
      # resolves it to the __stdcall symbol (InitializePrintMonitor@4).
      if(CMAKE_SIZEOF_VOID_P EQUAL 4 AND NOT MSVC)
        target_link_options(${target} PRIVATE -Wl,--enable-stdcall-fixup)
      endif()
    elseif(CMAKE_SIZEOF_VOID_P EQUAL 4 AND NOT MSVC)
      # Without a .def, the exports lose their __stdcall decoration here:
      # GetProcAddress asks for "Name", never for "Name@n".
      target_link_options(${target} PRIVATE -Wl,--kill-at)
    endif()
  else()
    set_target_properties(${target} PROPERTIES PREFIX "lib" OUTPUT_NAME ${lower})
    # Bind the library's own symbols to itself, never to another module's.
    target_link_options(${target} PRIVATE -Wl,-Bsymbolic -Wl,--no-undefined)
    # GCC marks some template statics of the standard library as unique
    # symbols, and glibc then never unmaps the library: a freed DLL would
    # stay loaded, keep its state and still be found by name. Without them
    # the last FreeLibrary really unloads it, as on Windows.
    if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
      target_compile_options(${target} PRIVATE -fno-gnu-unique)
    endif()
  endif()
  if(ARG_FOLDER)
    set_target_properties(${target} PROPERTIES
      LIBRARY_OUTPUT_DIRECTORY ${ARG_FOLDER}
      RUNTIME_OUTPUT_DIRECTORY ${ARG_FOLDER})
  endif()
  quennet_warnings(${target})
endfunction()

# What ships beside the monitors and links the whole static C++ and threads
# runtime (monitorctl.exe, the reference libraries): on Windows the runtime's
# one import newer than Windows XP, GetTickCount64, is answered from within
# (cmake/tickcount64.cpp), so that they start on Windows XP, as the
# administrator's guide says.
function(quennet_xp_runtime target)
  if(WIN32)
    target_sources(${target} PRIVATE ${PROJECT_SOURCE_DIR}/cmake/tickcount64.cpp)
  endif()
endfunction()
