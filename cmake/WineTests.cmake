# Tests of the Windows build run under Wine (CMAKE_CROSSCOMPILING_EMULATOR,
# cmake/wine-run). One prefix and one wineserver serve the whole run: the
# "wine" fixture prepares them before the first test and stops the server
# after the last, also when only some tests are selected.
if(WIN32 AND CMAKE_CROSSCOMPILING AND CMAKE_CROSSCOMPILING_EMULATOR AND NOT TARGET quennet_wine_fixture)
  add_custom_target(quennet_wine_fixture)
  add_test(NAME wine_start COMMAND ${CMAKE_CROSSCOMPILING_EMULATOR} --start)
  add_test(NAME wine_stop COMMAND ${CMAKE_CROSSCOMPILING_EMULATOR} --stop)
  set_tests_properties(wine_start PROPERTIES FIXTURES_SETUP wine TIMEOUT 300
    ENVIRONMENT "WINEPREFIX=${CMAKE_BINARY_DIR}/wine")
  set_tests_properties(wine_stop PROPERTIES FIXTURES_CLEANUP wine TIMEOUT 60
    ENVIRONMENT "WINEPREFIX=${CMAKE_BINARY_DIR}/wine")
endif()

# Makes test `name` one that runs under Wine (a no-op in native builds).
function(quennet_wine_test name)
  if(TARGET quennet_wine_fixture)
    set_property(TEST ${name} APPEND PROPERTY FIXTURES_REQUIRED wine)
    set_property(TEST ${name} APPEND PROPERTY ENVIRONMENT "WINEPREFIX=${CMAKE_BINARY_DIR}/wine")
  endif()
endfunction()
