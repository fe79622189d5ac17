# Fails unless the shared library LIBRARY defines exactly the dynamic symbols
# listed in EXPECTED (separated by commas), and nothing else: no helper, runtime
# or template symbol leaks out of a plug-in.
execute_process(COMMAND nm -D --defined-only ${LIBRARY}
  OUTPUT_VARIABLE symbols RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "nm failed on ${LIBRARY}")
endif()
string(REGEX MATCHALL "[^\n]+" lines "${symbols}")
set(names "")
foreach(line IN LISTS lines)
  string(REGEX REPLACE "^.* " "" name "${line}")
  list(APPEND names ${name})
endforeach()
list(SORT names)
string(REPLACE "," ";" expected "${EXPECTED}")
list(SORT expected)
if(NOT names STREQUAL expected)
  message(FATAL_ERROR "${LIBRARY} exports [${names}], expected [${expected}]")
endif()
