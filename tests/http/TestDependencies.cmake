# The tunnel tests through squid reach a TLS server made with the test PKI of the TLS tests
# (the same directory, so both test programs share one).
if(ZQ_INTEGRATION_TEST)
  target_compile_definitions(${ZQ_INTEGRATION_TEST} PRIVATE ZQ_TLS_PKI_DIR="${CMAKE_CURRENT_BINARY_DIR}/tls-pki")
endif()
# zlib compresses the bodies the response reader's tests decode.
if(ZQ_UNIT_TEST)
  find_package(ZLIB REQUIRED)
  target_link_libraries(${ZQ_UNIT_TEST} PRIVATE ZLIB::ZLIB)
endif()
