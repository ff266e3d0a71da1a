# The window's tests link its units and Qt, whether or not the program itself is built.
include(${CMAKE_CURRENT_LIST_DIR}/../../app/ZqApp.cmake)
find_package(Qt6 REQUIRED COMPONENTS Test)
foreach(target IN ITEMS ${ZQ_UNIT_TEST} ${ZQ_INTEGRATION_TEST})
  target_link_libraries(${target} PRIVATE zq_app Qt6::Test)
endforeach()

# The window end to end on a real X server (Xvfb, which the test starts) against the demo form
# handler, as tools/run.sh puts them together.
file(GLOB display_sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/display/*.cpp)
if(display_sources)
  zq_test_program(itest_app_display integration ${display_sources})
  target_link_libraries(itest_app_display PRIVATE zq_app Qt6::Test)
  add_dependencies(itest_app_display zq_formhandler)
  target_compile_definitions(itest_app_display PRIVATE ZQ_APP_TEST_ON_DISPLAY
    ZQ_FORMHANDLER="$<TARGET_FILE:zq_formhandler>"
    ZQ_DEMO_CA_SCRIPT="${CMAKE_SOURCE_DIR}/tools/demo-ca.sh"
    ZQ_DEMO_CA_DIR="${CMAKE_BINARY_DIR}/tests/demo-ca"
    ZQ_SCREENSHOT_DIR="${CMAKE_BINARY_DIR}/screenshots")
endif()
