# Every declaration of the installed headers that needs exporting carries ZQ_API; a shared libzq
# exports the public classes and none of the library's internals.
find_package(Python3 COMPONENTS Interpreter REQUIRED)
add_test(NAME exports_annotated COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/tools/annotate-exports.py --check)
if(BUILD_SHARED_LIBS)
  add_test(NAME library_exports COMMAND ${CMAKE_SOURCE_DIR}/tools/check-exports.sh $<TARGET_FILE:zq>)
endif()
