# The test PKI is generated once per build tree and shared by the TLS test processes.
foreach(target IN ITEMS ${ZQ_UNIT_TEST} ${ZQ_INTEGRATION_TEST})
  target_compile_definitions(${target} PRIVATE ZQ_TLS_PKI_DIR="${CMAKE_CURRENT_BINARY_DIR}/tls-pki")
endforeach()
