# The tunnel tests through squid reach a TLS server made with the test PKI of the TLS tests
# (the same directory, so both test programs share one).
if(ZQ_INTEGRATION_TEST)
  target_compile_definitions(${ZQ_INTEGRATION_TEST} PRIVATE ZQ_TLS_PKI_DIR="${CMAKE_CURRENT_BINARY_DIR}/tls-pki")
endif()
# zlib compresses the bodies the response reader and exchange tests decode.
find_package(ZLIB REQUIRED)
foreach(target IN ITEMS ${ZQ_UNIT_TEST} ${ZQ_INTEGRATION_TEST})
  target_link_libraries(${target} PRIVATE ZLIB::ZLIB)
endforeach()
