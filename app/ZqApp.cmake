# The window's units as one library, for the program and for its tests (which may be
# configured first).
if(NOT TARGET zq_app)
  find_package(Qt6 REQUIRED COMPONENTS Widgets)
  add_library(zq_app STATIC
    ${CMAKE_CURRENT_LIST_DIR}/DemoBaseFormUnit.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Main.cpp
    ${CMAKE_CURRENT_LIST_DIR}/zqFormPostOptions.cpp
    ${CMAKE_CURRENT_LIST_DIR}/zqQtMessagePump.cpp)
  target_link_libraries(zq_app PUBLIC zq Qt6::Widgets)
  zq_project_options(zq_app)
endif()
