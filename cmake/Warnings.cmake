# tokenenrol_warnings(<target>): the project's warning set, applied per target.
add_library(tokenenrol_warnings INTERFACE)
add_library(tokenenrol::warnings ALIAS tokenenrol_warnings)
target_compile_options(tokenenrol_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wno-sign-conversion
  -Wformat=2 -Wnull-dereference -Wimplicit-fallthrough
  $<$<COMPILE_LANGUAGE:CXX>:-Wnon-virtual-dtor -Wold-style-cast -Woverloaded-virtual>)
if(DEFINED ENV{CI})
  set(_werror_default ON)
else()
  set(_werror_default OFF)
endif()
option(TOKENENROL_WERROR "Treat warnings as errors (on by default in CI)" ${_werror_default})
if(TOKENENROL_WERROR)
  target_compile_options(tokenenrol_warnings INTERFACE -Werror)
endif()

# Fuzz targets: add_fuzz_target(<name> <sources...> LIBS <libs...>)
function(tokenenrol_add_fuzzer name)
  cmake_parse_arguments(F "" "" "SOURCES;LIBS" ${ARGN})
  if(NOT TOKENENROL_FUZZ)
    return()
  endif()
  add_executable(${name} ${F_SOURCES})
  target_compile_options(${name} PRIVATE -fsanitize=fuzzer)
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  target_link_libraries(${name} PRIVATE ${F_LIBS})
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/fuzz)
endfunction()
