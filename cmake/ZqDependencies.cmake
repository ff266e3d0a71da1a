# System libraries the library itself links. Each area that needs one adds it here.
find_package(OpenSSL 3 REQUIRED)
target_link_libraries(zq PUBLIC OpenSSL::SSL OpenSSL::Crypto)
