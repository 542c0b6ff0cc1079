# Compares a shared library's exported symbols with the ZN_EXPORT
# declarations of the public headers, as the C preprocessor leaves them with
# the library's own definitions (a header may declare other functions for
# another build of the same library).
#   cmake -DNM=<nm> -DCC=<c compiler> -DLIB=<library> -DHEADERS=<h1;h2...>
#         [-DDEFINES=<NAME=value;...>] -P check_exports.cmake
set(cpp_defines "")
foreach(def IN LISTS DEFINES)
  list(APPEND cpp_defines "-D${def}")
endforeach()

# The lines of a header after preprocessing, without those of the headers it
# includes (told apart by the preprocessor's line markers), with the export
# attribute written ZN_EXPORT again.
function(preprocessed_lines header out)
  get_filename_component(dir "${header}" DIRECTORY)
  execute_process(COMMAND ${CC} -E -x c -I${dir} ${cpp_defines} ${header}
                  OUTPUT_VARIABLE cpp_out RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "the preprocessor failed on ${header}")
  endif()
  string(REPLACE ";" "\\;" cpp_out "${cpp_out}")
  string(REPLACE "\n" ";" lines "${cpp_out}")
  set(own "")
  set(in_header FALSE)
  foreach(line IN LISTS lines)
    if(line MATCHES "^# [0-9]+ \"([^\"]*)\"")
      if(CMAKE_MATCH_1 STREQUAL header)
        set(in_header TRUE)
      else()
        set(in_header FALSE)
      endif()
    elseif(in_header)
      string(APPEND own "${line}\n")
    endif()
  endforeach()
  string(REPLACE "__attribute__((visibility(\"default\")))" "ZN_EXPORT" own "${own}")
  set(${out} "${own}" PARENT_SCOPE)
endfunction()

set(declared "")
foreach(header IN LISTS HEADERS)
  preprocessed_lines("${header}" text)
  string(REGEX MATCHALL "ZN_EXPORT[^;{]*[;{]" decls "${text}")
  foreach(decl IN LISTS decls)
    string(REGEX REPLACE "[\r\n\t ]+" " " decl "${decl}")
    if(decl MATCHES "^ZN_EXPORT extern ")
      # Globals: every declarator of "extern type *a, b[3], *c;".
      string(REGEX REPLACE "\\[[^]]*\\]" "" decl "${decl}")
      string(REGEX REPLACE "[;{]$" "" decl "${decl}")
      string(REPLACE "," ";" parts "${decl}")
      foreach(part IN LISTS parts)
        string(REGEX MATCH "([A-Za-z_][A-Za-z0-9_]*) *$" _ "${part}")
        list(APPEND declared "${CMAKE_MATCH_1}")
      endforeach()
    else()
      # Functions: the identifier before the parameter list.
      string(REGEX MATCH "([A-Za-z_][A-Za-z0-9_]*) *\\(" _ "${decl}")
      list(APPEND declared "${CMAKE_MATCH_1}")
    endif()
  endforeach()
endforeach()

execute_process(COMMAND ${NM} -D --defined-only ${LIB} OUTPUT_VARIABLE nm_out RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "nm failed on ${LIB}")
endif()
string(REGEX MATCHALL "[0-9a-fA-F]+ [A-Za-z] [^\n]+" lines "${nm_out}")
set(exported "")
foreach(line IN LISTS lines)
  string(REGEX REPLACE "^[0-9a-fA-F]+ [A-Za-z] " "" sym "${line}")
  string(REGEX REPLACE "@.*$" "" sym "${sym}")
  if(NOT sym MATCHES "^__odr_asan") # AddressSanitizer's instrumentation
    list(APPEND exported "${sym}")
  endif()
endforeach()

list(REMOVE_DUPLICATES declared)
list(REMOVE_DUPLICATES exported)
set(missing ${declared})
list(REMOVE_ITEM missing ${exported})
set(extra ${exported})
list(REMOVE_ITEM extra ${declared})
if(missing OR extra)
  message(FATAL_ERROR "${LIB}\n  declared but not exported: ${missing}\n  exported but not declared: ${extra}")
endif()
list(LENGTH exported count)
message(STATUS "${LIB}: ${count} exported symbols, all declared")
