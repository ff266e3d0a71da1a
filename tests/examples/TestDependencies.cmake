# The guide's programs, run against the local peers (examples/CMakeLists.txt builds them).
if(ZQ_EXAMPLES)
  add_test(NAME examples COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/run.sh ${PROJECT_SOURCE_DIR}
           ${PROJECT_BINARY_DIR}/examples)
  set_tests_properties(examples PROPERTIES LABELS integration TIMEOUT 300)
endif()
