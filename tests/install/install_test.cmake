# Driver of the install_consumer test, run as `cmake -P`: installs the build
# BUILD_DIR into WORK_DIR/prefix (WORK_DIR is emptied first), configures and
# builds the consumer project CONSUMER_DIR against that prefix only, and runs
# it. A failing step ends the script with the step's own output.
foreach(var BUILD_DIR CONFIG WORK_DIR CONSUMER_DIR GENERATOR CXX_COMPILER)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "install_test.cmake: -D${var}=... is missing")
  endif()
endforeach()

set(config_args "")
if(CONFIG)
  set(config_args --config ${CONFIG})
endif()
set(prefix ${WORK_DIR}/prefix)
set(consumer_build ${WORK_DIR}/consumer)
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})

# run_step(<name> <command>...): stdout and stderr interleaved, shown only
# when the command fails (or, for the consumer's run, always).
function(run_step name)
  execute_process(COMMAND ${ARGN}
    RESULT_VARIABLE status
    OUTPUT_VARIABLE output
    ERROR_VARIABLE output)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "install test: ${name} failed (${status}):\n${output}")
  endif()
  set(step_output "${output}" PARENT_SCOPE)
endfunction()

run_step("installing ${BUILD_DIR}"
  ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix} ${config_args})

run_step("configuring the consumer"
  ${CMAKE_COMMAND} -S ${CONSUMER_DIR} -B ${consumer_build} -G ${GENERATOR}
    -DCMAKE_BUILD_TYPE=${CONFIG}
    -DCMAKE_CXX_COMPILER=${CXX_COMPILER}
    -DCMAKE_PREFIX_PATH=${prefix}
    "-DCMAKE_CXX_FLAGS=${CXX_FLAGS}"
    "-DCMAKE_EXE_LINKER_FLAGS=${LINK_FLAGS}")
# Any other dticut on the machine (a system-wide install, the package
# registry) would make this a test of the wrong files.
file(STRINGS ${consumer_build}/CMakeCache.txt found REGEX "^dticut_DIR:")
string(REGEX REPLACE "^dticut_DIR:[A-Z]*=" "" found "${found}")
string(FIND "${found}" "${prefix}/" at)
if(NOT at EQUAL 0)
  message(FATAL_ERROR "install test: the consumer found dticut in '${found}', not under ${prefix}")
endif()

run_step("building the consumer" ${CMAKE_COMMAND} --build ${consumer_build} ${config_args})

set(exe ${consumer_build}/denoise)
if(NOT EXISTS ${exe})
  set(exe ${consumer_build}/${CONFIG}/denoise)  # multi-configuration generators
endif()
run_step("running the consumer" ${exe})
message(STATUS "${step_output}")
