# Builds first_view.c with the C compiler against the SDK as installed (`cmake --install
# --component sdk` into a fresh prefix) and runs it against the host and the sample package; or,
# with PROGRAM, runs that program (built in the tree) the same way.
# Variables: BUILD_DIR SOURCE_DIR WORK_DIR C_COMPILER C_FLAGS HOST PACK [PROGRAM]
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})
function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc TIMEOUT 120)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "failed (${rc}): ${ARGN}")
  endif()
endfunction()
if(NOT PROGRAM)
run(${CMAKE_COMMAND} --install ${BUILD_DIR} --component sdk --prefix ${WORK_DIR}/prefix)
if(NOT EXISTS ${WORK_DIR}/prefix/include/vyo_overlay.h)
  message(FATAL_ERROR "the install has no include/vyo_overlay.h")
endif()
separate_arguments(flags UNIX_COMMAND "${C_FLAGS}")
run(${C_COMPILER} ${flags} -std=c11 -Wall -Wextra -Wno-missing-field-initializers -Werror ${SOURCE_DIR}/tests/sdk/first_view.c
    -I${WORK_DIR}/prefix/include -L${WORK_DIR}/prefix/lib -lvyo_overlay -Wl,-rpath,${WORK_DIR}/prefix/lib
    -o ${WORK_DIR}/first_view)
set(PROGRAM ${WORK_DIR}/first_view)
endif()
run(${PACK} pack --keys ${SOURCE_DIR}/keys/dev ${SOURCE_DIR}/examples/overlay-ui ${WORK_DIR}/overlay-ui.pkg)
execute_process(COMMAND ${PROGRAM} ${HOST} vyopkg:${WORK_DIR}/overlay-ui.pkg
                RESULT_VARIABLE rc TIMEOUT 120)
if(rc EQUAL 77)
  message("SKIPPED: no browser on this machine")
elseif(NOT rc EQUAL 0)
  message(FATAL_ERROR "${PROGRAM} failed (${rc})")
endif()
