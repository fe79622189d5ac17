# Fails unless this build's cross-check writer (WRITER, run under EMULATOR when
# that is set) writes the same bytes as another build's (REFERENCE): the same
# clip through both builds' modules at the same settings. The reference runs
# at the best level its processor has whatever KALMIX_CPU says, so a capped run
# of this build is held to the other build's fastest path.
foreach(variable WRITER REFERENCE WORK_DIR)
  if(NOT ${variable})
    message(FATAL_ERROR "crosscheck_matches.cmake needs -D${variable}=...")
  endif()
endforeach()
if(NOT EXISTS "${REFERENCE}")
  message(FATAL_ERROR "no reference writer at ${REFERENCE}: build that build's kalmix_crosscheck_writer first")
endif()

file(REMOVE_RECURSE "${WORK_DIR}")
file(MAKE_DIRECTORY "${WORK_DIR}/reference-windir" "${WORK_DIR}/this-windir")
# Each module keeps its state file in its own Windows directory.
execute_process(
  COMMAND ${CMAKE_COMMAND} -E env --unset=KALMIX_CPU "WINDIR=${WORK_DIR}/reference-windir"
          "${REFERENCE}" "${WORK_DIR}/reference.bin"
  RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "the reference writer ${REFERENCE} failed: ${status}")
endif()
execute_process(
  COMMAND ${CMAKE_COMMAND} -E env "WINDIR=${WORK_DIR}/this-windir"
          ${EMULATOR} "${WRITER}" "${WORK_DIR}/this.bin"
  RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "this build's writer failed: ${status}")
endif()

file(SIZE "${WORK_DIR}/reference.bin" reference_size)
file(SIZE "${WORK_DIR}/this.bin" this_size)
execute_process(COMMAND cmp "${WORK_DIR}/reference.bin" "${WORK_DIR}/this.bin"
  OUTPUT_VARIABLE difference ERROR_VARIABLE difference RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "the frames differ from the reference build's "
    "(${this_size} bytes against ${reference_size}): ${difference}")
endif()
file(SHA256 "${WORK_DIR}/this.bin" digest)
message(STATUS "${this_size} bytes equal to the reference build's, sha256 ${digest}")
file(REMOVE_RECURSE "${WORK_DIR}")
