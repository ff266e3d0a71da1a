# zlib and libdeflate are the references the inflater benchmark compares against.
find_package(ZLIB REQUIRED)
find_library(LIBDEFLATE_LIBRARY deflate REQUIRED)
target_link_libraries(zq_bench PRIVATE ZLIB::ZLIB ${LIBDEFLATE_LIBRARY})
