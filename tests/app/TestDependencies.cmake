# The window's tests link its units and Qt, whether or not the program itself is built.
include(${CMAKE_CURRENT_LIST_DIR}/../../app/ZqApp.cmake)
find_package(Qt6 REQUIRED COMPONENTS Test)
foreach(target IN ITEMS ${ZQ_UNIT_TEST} ${ZQ_INTEGRATION_TEST})
  target_link_libraries(${target} PRIVATE zq_app Qt6::Test)
endforeach()
