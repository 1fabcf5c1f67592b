# Tests of the Windows build run under Wine (CMAKE_CROSSCOMPILING_EMULATOR,
# cmake/wine-run). One prefix and one wineserver serve the whole run: the
# "wine" fixture prepares them before the first test and stops the server
# after the last, also when only some tests are selected. Each build has its
# own prefix; QUENNET_WINE_WIDTH tells wine-run that the 32-bit build needs
# one that runs 32-bit programs.
if(WIN32 AND CMAKE_CROSSCOMPILING AND CMAKE_CROSSCOMPILING_EMULATOR AND NOT TARGET quennet_wine_fixture)
  add_custom_target(quennet_wine_fixture)
  add_test(NAME wine_start COMMAND ${CMAKE_CROSSCOMPILING_EMULATOR} --start)
  add_test(NAME wine_stop COMMAND ${CMAKE_CROSSCOMPILING_EMULATOR} --stop)
  math(EXPR bits "${CMAKE_SIZEOF_VOID_P} * 8")
  set(QUENNET_WINE_ENVIRONMENT "WINEPREFIX=${CMAKE_BINARY_DIR}/wine;QUENNET_WINE_WIDTH=${bits}"
      CACHE INTERNAL "Environment of the tests run under Wine")
  set_tests_properties(wine_start PROPERTIES FIXTURES_SETUP wine TIMEOUT 300
    ENVIRONMENT "${QUENNET_WINE_ENVIRONMENT}")
  set_tests_properties(wine_stop PROPERTIES FIXTURES_CLEANUP wine TIMEOUT 60
    ENVIRONMENT "${QUENNET_WINE_ENVIRONMENT}")
endif()

# Makes test `name` one that runs under Wine (a no-op in native builds).
# REGISTRY: the test resets or writes the product's keys (PlatRegistryOpen("")
# removes them): the prefix has one registry for all, where POSIX gives each
# program its own, so such tests run one at a time.
function(quennet_wine_test name)
  cmake_parse_arguments(ARG "REGISTRY" "" "" ${ARGN})
  if(TARGET quennet_wine_fixture)
    set_property(TEST ${name} APPEND PROPERTY FIXTURES_REQUIRED wine)
    set_property(TEST ${name} APPEND PROPERTY ENVIRONMENT ${QUENNET_WINE_ENVIRONMENT})
    if(ARG_REGISTRY)
      set_property(TEST ${name} APPEND PROPERTY RESOURCE_LOCK wine_registry)
    endif()
  endif()
endfunction()
