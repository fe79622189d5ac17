# Fails unless the plug-in defines the frei0r functions a host looks up, and
# no other dynamic symbol (the host library and the C++ runtime stay inside).
execute_process(COMMAND nm -D --defined-only ${PLUGIN}
  OUTPUT_VARIABLE symbols RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "nm failed on ${PLUGIN}")
endif()
string(REGEX MATCHALL "[^\n]+" lines "${symbols}")
set(names "")
foreach(line IN LISTS lines)
  string(REGEX REPLACE "^.* " "" name "${line}")
  list(APPEND names ${name})
endforeach()
list(SORT names)
set(expected f0r_construct f0r_deinit f0r_destruct f0r_get_param_info f0r_get_param_value
    f0r_get_plugin_info f0r_init f0r_set_param_value f0r_update f0r_update2)
if(NOT names STREQUAL expected)
  message(FATAL_ERROR "plug-in exports [${names}], expected [${expected}]")
endif()
