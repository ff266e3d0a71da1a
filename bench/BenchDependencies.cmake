# zlib is the reference the inflater benchmark compares against.
find_package(ZLIB REQUIRED)
target_link_libraries(zq_bench PRIVATE ZLIB::ZLIB)
