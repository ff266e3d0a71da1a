# The helper programs' tests: their units, and the programs themselves for the tests that run them.
foreach(target IN ITEMS ${ZQ_UNIT_TEST} ${ZQ_INTEGRATION_TEST})
  target_link_libraries(${target} PRIVATE zq_formhandler_units zq_cli_units)
endforeach()
if(ZQ_INTEGRATION_TEST)
  add_dependencies(${ZQ_INTEGRATION_TEST} zq_formhandler zq_cli)
  target_compile_definitions(${ZQ_INTEGRATION_TEST} PRIVATE
    ZQ_CLI="$<TARGET_FILE:zq_cli>"
    ZQ_TLS_PKI_DIR="${CMAKE_CURRENT_BINARY_DIR}/tls-pki"
    ZQ_FORMHANDLER="$<TARGET_FILE:zq_formhandler>"
    ZQ_DEMO_CA_SCRIPT="${CMAKE_SOURCE_DIR}/tools/demo-ca.sh"
    ZQ_DEMO_CA_DIR="${CMAKE_BINARY_DIR}/tests/demo-ca")
endif()
# Includes go only down the library's layers; the checker's own test plants bad ones.
find_package(Python3 REQUIRED COMPONENTS Interpreter)
add_test(NAME layers COMMAND Python3::Interpreter ${PROJECT_SOURCE_DIR}/tools/check_layers.py ${PROJECT_SOURCE_DIR})
add_test(NAME layers_checker COMMAND Python3::Interpreter ${CMAKE_CURRENT_LIST_DIR}/check_layers_test.py)
# The sources keep the style of .clang-format (tools/format.sh applies it).
add_test(NAME format COMMAND bash ${PROJECT_SOURCE_DIR}/tools/format.sh --check)
