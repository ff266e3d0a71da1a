# The API reference of the installed headers (target zq_reference, into <build>/reference/html),
# and a test that builds it and fails while a public member of the central classes is undocumented.
set(ZQ_REFERENCE_DIR ${CMAKE_BINARY_DIR}/reference)
set(ZQ_REFERENCE_INPUT)
foreach(dir IN LISTS ZQ_LIBRARY_DIRS)
  string(APPEND ZQ_REFERENCE_INPUT " \"${CMAKE_SOURCE_DIR}/${dir}\"")
endforeach()
string(APPEND ZQ_REFERENCE_INPUT " \"${CMAKE_SOURCE_DIR}/docs/guide.md\"")
configure_file(${CMAKE_SOURCE_DIR}/docs/Doxyfile.in ${ZQ_REFERENCE_DIR}/Doxyfile @ONLY)

find_program(ZQ_DOXYGEN doxygen)
if(ZQ_DOXYGEN)
  add_custom_target(zq_reference COMMAND ${ZQ_DOXYGEN} Doxyfile WORKING_DIRECTORY ${ZQ_REFERENCE_DIR}
                    COMMENT "API reference in ${ZQ_REFERENCE_DIR}/html")
endif()
add_test(NAME reference_documented
         COMMAND ${CMAKE_SOURCE_DIR}/tools/check-reference.sh ${ZQ_REFERENCE_DIR}/Doxyfile
                 ${ZQ_REFERENCE_DIR}/warnings.log TzqHttp TzqHttpRequest TzqCookieManager TzqTcpClientTls)
set_tests_properties(reference_documented PROPERTIES TIMEOUT 300)
