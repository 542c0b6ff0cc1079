# Installs the build into a fresh prefix and builds two small applications
# against it (one in C, one in C++ through the C++ interface), with
# pkg-config and with find_package(zn), then runs them.
#   cmake -DBUILD_DIR= -DWORK_DIR= -DSOURCE_DIR= -DC_COMPILER= -DCXX_COMPILER=
#         -DEXTRA_FLAGS="..." [-DTOOLCHAIN=] -DPKG_CONFIG= -DUNIT_DIR= -P install_test.cmake
cmake_minimum_required(VERSION 3.16)
set(prefix ${WORK_DIR}/prefix)
separate_arguments(extra UNIX_COMMAND "${EXTRA_FLAGS}")

# Runs a command; fails the test with its output when it fails. The output
# is left in the variable named by OUT when given.
function(step)
  cmake_parse_arguments(ARG "" "OUT" "COMMAND" ${ARGN})
  execute_process(COMMAND ${ARG_COMMAND} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    string(REPLACE ";" " " shown "${ARG_COMMAND}")
    message(FATAL_ERROR "failed (${rc}): ${shown}\n${out}${err}")
  endif()
  if(ARG_OUT)
    string(STRIP "${out}" out)
    set(${ARG_OUT} "${out}" PARENT_SCOPE)
  endif()
endfunction()

# Runs an application of the test and checks what it printed.
function(expect_run program expected)
  step(COMMAND ${CMAKE_COMMAND} -E env LD_LIBRARY_PATH=${prefix}/lib ${program} OUT said)
  if(NOT said STREQUAL expected)
    message(FATAL_ERROR "${program} said \"${said}\", expected \"${expected}\"")
  endif()
endfunction()

file(REMOVE_RECURSE ${WORK_DIR})
step(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})

foreach(f include/typedefs.h include/znsched.h include/zncli.h include/zndb.h
          include/zn/common.hpp include/zn/sched.hpp include/zn/cli.hpp include/zn/db.hpp
          lib/libznsched.so.1 lib/libzncli.so.1 lib/libzndb.so.1 lib/zn-standalone/libzndb.so.1
          lib/libznsched.so lib/libzncli.so lib/libzndb.so lib/zn-standalone/libzndb.so
          lib/pkgconfig/znsched.pc lib/pkgconfig/zncli.pc lib/pkgconfig/zndb.pc
          lib/pkgconfig/zndb-standalone.pc lib/cmake/zn/zn-config.cmake
          bin/zndemo bin/znconsole bin/zndb
          share/man/man1/zndemo.1 share/man/man1/znconsole.1 share/man/man1/zndb.1)
  if(NOT EXISTS ${prefix}/${f})
    message(FATAL_ERROR "not installed: ${f}")
  endif()
endforeach()

# zndemo's units, when they go under the prefix: the service starts the
# installed program.
if(NOT IS_ABSOLUTE "${UNIT_DIR}")
  foreach(unit zndemo.service zndemo.socket)
    if(NOT EXISTS ${prefix}/${UNIT_DIR}/${unit})
      message(FATAL_ERROR "not installed: ${UNIT_DIR}/${unit}")
    endif()
  endforeach()
  file(STRINGS ${prefix}/${UNIT_DIR}/zndemo.service exec_start REGEX "^ExecStart=")
  # A prefix, not a pattern: build folders may hold "+" or "." in their names.
  string(FIND "${exec_start}" "ExecStart=${prefix}/bin/zndemo " at)
  if(NOT at EQUAL 0)
    message(FATAL_ERROR "zndemo.service starts something else: ${exec_start}")
  endif()
endif()

# The installed programs find their libraries by themselves.
foreach(program zndemo znconsole zndb)
  step(COMMAND ${prefix}/bin/${program} --help)
endforeach()

# pkg-config
set(ENV{PKG_CONFIG_PATH} ${prefix}/lib/pkgconfig)
step(COMMAND ${PKG_CONFIG} --cflags --libs znsched zncli zndb OUT integrated)
step(COMMAND ${PKG_CONFIG} --cflags --libs zncli zndb-standalone OUT standalone)
separate_arguments(integrated UNIX_COMMAND "${integrated}")
separate_arguments(standalone UNIX_COMMAND "${standalone}")
step(COMMAND ${C_COMPILER} ${extra} -std=c99 ${SOURCE_DIR}/tiny.c -o ${WORK_DIR}/tiny_c_pc ${integrated})
step(COMMAND ${CXX_COMPILER} ${extra} -std=c++20 ${SOURCE_DIR}/tiny.cpp -o ${WORK_DIR}/tiny_cpp_pc ${standalone})
expect_run(${WORK_DIR}/tiny_c_pc "tiny c: ok")
expect_run(${WORK_DIR}/tiny_cpp_pc "tiny c++: ok")

# find_package(zn)
set(configure ${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${WORK_DIR}/consumer -DCMAKE_PREFIX_PATH=${prefix}
    -DCMAKE_C_COMPILER=${C_COMPILER} -DCMAKE_CXX_COMPILER=${CXX_COMPILER}
    "-DCMAKE_C_FLAGS=${EXTRA_FLAGS}" "-DCMAKE_CXX_FLAGS=${EXTRA_FLAGS}")
if(TOOLCHAIN)
  list(APPEND configure -DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN})
endif()
step(COMMAND ${configure})
step(COMMAND ${CMAKE_COMMAND} --build ${WORK_DIR}/consumer)
expect_run(${WORK_DIR}/consumer/tiny_c "tiny c: ok")
expect_run(${WORK_DIR}/consumer/tiny_cpp "tiny c++: ok")
