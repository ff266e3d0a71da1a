# zlib compresses the reference data of the inflater tests; the library itself never links it.
if(ZQ_UNIT_TEST)
  find_package(ZLIB REQUIRED)
  target_link_libraries(${ZQ_UNIT_TEST} PRIVATE ZLIB::ZLIB)
endif()
