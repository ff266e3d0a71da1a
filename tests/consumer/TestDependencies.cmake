# The installed library used from outside the tree. Sanitized objects would need the
# sanitizer runtime in the consumer too, so only normal builds run it.
if(NOT ZQ_SANITIZE)
  add_test(NAME consumer COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/run.sh ${CMAKE_BINARY_DIR})
  set_tests_properties(consumer PROPERTIES LABELS integration TIMEOUT 300)
endif()
