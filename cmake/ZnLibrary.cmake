# zn_shared_library(<target> OUTPUT_NAME <name> SOURCES <src>... [DEFINES <def>...])
#
# A zn shared library: C++20 behind a C API, hidden visibility except for
# ZN_EXPORT declarations and no C++ name exported in any build type, the C++
# runtime linked in statically and hidden, so that the dynamic section needs
# the C library only. Symbols of the other zn libraries stay undefined and
# are resolved when an application loads them.
function(zn_shared_library target)
  cmake_parse_arguments(ARG "" "OUTPUT_NAME;OUTPUT_DIRECTORY" "SOURCES;DEFINES" ${ARGN})
  add_library(${target} SHARED ${ARG_SOURCES})
  target_include_directories(${target}
    PUBLIC $<BUILD_INTERFACE:${ZN_INCLUDE_DIR}> $<INSTALL_INTERFACE:include>)
  target_link_libraries(${target} PRIVATE zn_common)
  target_compile_definitions(${target} PRIVATE ${ARG_DEFINES})
  target_compile_options(${target} PRIVATE -fno-exceptions -fno-rtti)
  set(map ${CMAKE_SOURCE_DIR}/cmake/c_api_only.map)
  target_link_options(${target} PRIVATE
    -static-libstdc++ -static-libgcc -Wl,--exclude-libs,ALL -Wl,--as-needed -Wl,--version-script=${map})
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${map})
  set_target_properties(${target} PROPERTIES
    OUTPUT_NAME ${ARG_OUTPUT_NAME}
    VERSION ${PROJECT_VERSION}
    SOVERSION ${PROJECT_VERSION_MAJOR})
  if(ARG_OUTPUT_DIRECTORY)
    set_target_properties(${target} PROPERTIES LIBRARY_OUTPUT_DIRECTORY ${ARG_OUTPUT_DIRECTORY})
  endif()
endfunction()
