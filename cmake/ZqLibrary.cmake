# One static library per folder (zq_core, zq_platform, ...), each linked only to the layers
# below it (cmake/ZqLayers.txt), and zq: the one library users link, made of their objects
# (static unless BUILD_SHARED_LIBS).
file(STRINGS ${CMAKE_CURRENT_LIST_DIR}/ZqLayers.txt layer_lines REGEX "^[a-z]+:")
set(ZQ_LIBRARY_DIRS)
set(zq_objects)
foreach(line IN LISTS layer_lines)
  string(REGEX MATCH "^([a-z]+):(.*)$" _ "${line}")
  set(dir ${CMAKE_MATCH_1})
  separate_arguments(below UNIX_COMMAND "${CMAKE_MATCH_2}")
  file(GLOB dir_sources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/${dir}/*.cpp)
  add_library(zq_${dir} STATIC ${dir_sources})
  target_include_directories(zq_${dir} PUBLIC $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}>)
  # Their objects also make up a shared zq, which exports only what the headers mark ZQ_API
  # (core/zqApi.h); static builds get the same flags, so both compile the same code.
  set_target_properties(zq_${dir} PROPERTIES POSITION_INDEPENDENT_CODE ${BUILD_SHARED_LIBS}
    CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
  zq_project_options(zq_${dir})
  foreach(lower IN LISTS below)
    target_link_libraries(zq_${dir} PUBLIC zq_${lower})
  endforeach()
  list(APPEND ZQ_LIBRARY_DIRS ${dir})
  list(APPEND zq_objects $<TARGET_OBJECTS:zq_${dir}>)
  # Every object of the layer linked with only the layers below it: a call into a layer above
  # fails the build. Fuzzing objects need the fuzzer's runtime, so those builds skip it.
  if(NOT ZQ_FUZZ)
    add_executable(zq_${dir}_link_check ${PROJECT_SOURCE_DIR}/tools/check_layer_link.cpp)
    target_link_libraries(zq_${dir}_link_check PRIVATE $<LINK_LIBRARY:WHOLE_ARCHIVE,zq_${dir}>)
    zq_project_options(zq_${dir}_link_check)
  endif()
endforeach()

add_library(zq ${zq_objects})
add_library(zq::zq ALIAS zq)
# Installed, the headers sit in include/zq/<folder>/, so "http/zqHttp.h" resolves from include/zq.
target_include_directories(zq PUBLIC $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}> $<INSTALL_INTERFACE:include/zq>)
# 0.x promises no stable ABI: each minor version is a soname of its own.
set_target_properties(zq PROPERTIES LINKER_LANGUAGE CXX VERSION ${PROJECT_VERSION}
  SOVERSION ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR})
zq_project_options(zq)
