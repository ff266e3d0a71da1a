# System libraries the library itself links: each layer that needs one links it, and zq, made of
# the layers' objects, links them all. The installed package finds the same ones
# (cmake/zqConfig.cmake.in, cmake/zq.pc.in).
target_link_libraries(zq PUBLIC Threads::Threads)
find_package(OpenSSL 3 REQUIRED)
target_link_libraries(zq_platform PUBLIC OpenSSL::SSL OpenSSL::Crypto)
target_link_libraries(zq PUBLIC OpenSSL::SSL OpenSSL::Crypto)
# Public suffixes for the cookie domain check (the list Debian ships in publicsuffix).
find_package(PkgConfig REQUIRED)
pkg_check_modules(LIBPSL REQUIRED IMPORTED_TARGET libpsl)
target_link_libraries(zq_http PUBLIC PkgConfig::LIBPSL)
target_link_libraries(zq PUBLIC PkgConfig::LIBPSL)
# MIT GSSAPI for the provider's Negotiate package.
pkg_check_modules(GSSAPI REQUIRED IMPORTED_TARGET krb5-gssapi)
target_link_libraries(zq_platform PUBLIC PkgConfig::GSSAPI)
target_link_libraries(zq PUBLIC PkgConfig::GSSAPI)
