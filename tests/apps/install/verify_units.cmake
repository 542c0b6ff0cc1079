# The service manager's own check of zndemo's installed units: they parse
# without a complaint, ExecStart names an installed executable, and the
# socket finds its service next to it.
#   cmake -DSYSTEMD_ANALYZE= -DUNITS="<dir>" -P verify_units.cmake
cmake_minimum_required(VERSION 3.16)
execute_process(COMMAND ${SYSTEMD_ANALYZE} verify --man=no ${UNITS}/zndemo.socket ${UNITS}/zndemo.service
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
# Remarks about the units name them; anything else is the host's business.
if(NOT rc EQUAL 0 OR "${out}${err}" MATCHES "zndemo")
  message(FATAL_ERROR "systemd-analyze verify (${rc}):\n${out}${err}")
endif()
