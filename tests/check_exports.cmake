# Compares the defined dynamic symbols of the plug-in with the names the
# version script exports.
execute_process(COMMAND ${NM} -D --defined-only ${LIB} OUTPUT_VARIABLE out RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "nm failed on ${LIB}")
endif()
string(REGEX MATCHALL "[^\n]+" lines "${out}")
set(actual "")
foreach(line IN LISTS lines)
  string(REGEX REPLACE "^.* " "" name "${line}")
  string(REGEX REPLACE "@.*$" "" name "${name}")
  list(APPEND actual ${name})
endforeach()
list(SORT actual)

file(READ ${MAP} map)
string(REGEX MATCH "global:([^}]*)local:" _ "${map}")
string(REGEX MATCHALL "[A-Za-z_][A-Za-z_0-9]*" expected "${CMAKE_MATCH_1}")
list(SORT expected)

if(NOT actual STREQUAL expected)
  message(FATAL_ERROR "exported symbols differ\n  expected: ${expected}\n  actual:   ${actual}")
endif()
message(STATUS "exports: ${actual}")
