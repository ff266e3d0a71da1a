# zlib is the reference the inflater benchmark compares against.
find_package(ZLIB REQUIRED)
target_link_libraries(zq_bench PRIVATE ZLIB::ZLIB)
# The peer scripts the benchmarks start servers with.
target_compile_definitions(zq_bench PRIVATE ZQ_PEERS_DIR="${PROJECT_SOURCE_DIR}/tests/peers")
