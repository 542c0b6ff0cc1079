# Symbols of an object compiled from the C++ interface headers.
#   cmake -DREADELF=<readelf> -DOBJECT=<object> [-DEMPTY=1] [-DUSES=<c functions>] -P check_symbols.cmake
# Nothing of the headers may be visible outside the object (every zn::
# symbol it defines is hidden or local), and nothing of them may be left for
# a library to supply (no undefined zn:: symbol). With EMPTY the object
# defines no visible symbol at all; USES names C functions it must call,
# showing that the object does use the headers.
cmake_minimum_required(VERSION 3.25)
execute_process(COMMAND ${READELF} -sW -C ${OBJECT} OUTPUT_VARIABLE table RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "readelf failed on ${OBJECT}")
endif()
string(REPLACE ";" "," table "${table}") # names with semicolons stay whole
string(REGEX MATCHALL "[^\n]+" rows "${table}")
set(problems "")
set(undefined "")
foreach(row IN LISTS rows)
  # Num: Value Size Type Bind Vis Ndx Name
  if(NOT row MATCHES "^ *[0-9]+: +[0-9a-fA-F]+ +[0-9]+ +[A-Z_]+ +([A-Z_]+) +([A-Z_]+) +([A-Z0-9_]+) +(.+)$")
    continue()
  endif()
  set(bind ${CMAKE_MATCH_1})
  set(vis ${CMAKE_MATCH_2})
  set(ndx ${CMAKE_MATCH_3})
  set(name "${CMAKE_MATCH_4}")
  if(ndx STREQUAL "UND")
    list(APPEND undefined "${name}")
    if(name MATCHES "zn::")
      list(APPEND problems "needs ${name}")
    endif()
  elseif(NOT bind STREQUAL "LOCAL" AND NOT vis STREQUAL "HIDDEN" AND NOT vis STREQUAL "INTERNAL")
    if(EMPTY OR name MATCHES "zn::")
      list(APPEND problems "exports ${name}")
    endif()
  endif()
endforeach()
foreach(fn IN LISTS USES)
  if(NOT fn IN_LIST undefined)
    list(APPEND problems "does not call ${fn}")
  endif()
endforeach()
if(problems)
  list(JOIN problems "\n  " text)
  message(FATAL_ERROR "${OBJECT}:\n  ${text}")
endif()
list(LENGTH rows count)
message(STATUS "${OBJECT}: ${count} symbol table lines, none of the headers visible or missing")
