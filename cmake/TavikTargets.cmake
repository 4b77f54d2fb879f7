# Shared compile settings and helpers for every Tavik target.

add_library(tavik_settings INTERFACE)
target_include_directories(tavik_settings INTERFACE ${PROJECT_SOURCE_DIR})
target_compile_options(tavik_settings INTERFACE -Wall -Wextra -Wshadow=compatible-local -Wnon-virtual-dtor)
if(TAVIK_WERROR)
  target_compile_options(tavik_settings INTERFACE -Werror)
endif()
if(TAVIK_SANITIZE)
  target_compile_options(tavik_settings INTERFACE -fsanitize=${TAVIK_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  target_link_options(tavik_settings INTERFACE -fsanitize=${TAVIK_SANITIZE})
  # GCC 12 reports false "maybe uninitialized" inside the standard library
  # when sanitizer instrumentation is on.
  target_compile_options(tavik_settings INTERFACE -Wno-maybe-uninitialized)
endif()

# tavik_add_library(NAME SOURCES... [PUBLIC libs...] [PRIVATE libs...])
# PUBLIC: what the library's headers include, so every user needs it too;
# PRIVATE: what only its sources use (a static library still links it).
function(tavik_add_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;PUBLIC;PRIVATE" ${ARGN})
  if(ARG_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "tavik_add_library(${name}): unknown arguments ${ARG_UNPARSED_ARGUMENTS} "
      "(dependencies are listed after PUBLIC when the headers need them, else after PRIVATE)")
  endif()
  add_library(${name} STATIC ${ARG_SOURCES})
  target_link_libraries(${name} PUBLIC tavik_settings ${ARG_PUBLIC} PRIVATE ${ARG_PRIVATE})
endfunction()

# A test program that has the built disk image service run the built hdiutil
# stand-in (on a private session bus) over images made by scripts/make-dmg.
function(tavik_test_runs_disk_image_service name)
  target_compile_definitions(${name} PRIVATE
    TAVIK_MAKE_DMG="${PROJECT_SOURCE_DIR}/scripts/make-dmg"
    TAVIK_DUVRIN_XPC="$<TARGET_FILE:duvrin-xpc>"
    TAVIK_HDIUTIL_FOLDER="$<TARGET_FILE_DIR:tavik_hdiutil>")
  add_dependencies(${name} tavik_hdiutil duvrin-xpc)
endfunction()

# tavik_add_tests(NAME LABEL label SOURCES... [DEPS libs...])
# One GoogleTest executable; every test in it is registered with CTest and
# carries the label, so `ctest -L label` runs one subsystem's tests.
function(tavik_add_tests name)
  cmake_parse_arguments(ARG "" "LABEL;TIMEOUT" "SOURCES;DEPS" ${ARGN})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 120)
  endif()
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE tavik_settings ${ARG_DEPS} GTest::gtest GTest::gmock GTest::gtest_main)
  # GoogleTest's headers dominate the compile time of a test file.
  target_precompile_headers(${name} PRIVATE <gtest/gtest.h> <gmock/gmock.h>)
  include(GoogleTest)
  gtest_discover_tests(${name}
    PROPERTIES LABELS "${ARG_LABEL}" TIMEOUT ${ARG_TIMEOUT}
    DISCOVERY_TIMEOUT 60)
endfunction()
