# Output descriptions decompress the first bytes of gzip/BGZF, bzip2 and xz
# files with the system's zlib, libbz2 and liblzma.
find_package(ZLIB)
find_package(BZip2)
find_package(LibLZMA)
set(_vantum_missing "")
if (NOT ZLIB_FOUND)
  list(APPEND _vantum_missing "zlib (Debian: zlib1g-dev)")
endif()
if (NOT BZIP2_FOUND)
  list(APPEND _vantum_missing "libbz2 (Debian: libbz2-dev)")
endif()
if (NOT LIBLZMA_FOUND)
  list(APPEND _vantum_missing "liblzma (Debian: liblzma-dev)")
endif()
if (_vantum_missing)
  list(JOIN _vantum_missing ", " _vantum_missing)
  message(FATAL_ERROR
    "The vantum module needs the development files of: ${_vantum_missing}. "
    "Run scripts/install (or: apt-get install zlib1g-dev libbz2-dev liblzma-dev).")
endif()
target_link_libraries(${PLEXARO_CORE_TARGET} PRIVATE ZLIB::ZLIB BZip2::BZip2 LibLZMA::LibLZMA)
