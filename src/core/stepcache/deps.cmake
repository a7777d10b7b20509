# The step cache hashes with XXH3-128 from Debian's libxxhash-dev, used
# header-only so nothing extra is needed at run time.
find_path(PLEXARO_XXHASH_INCLUDE_DIR xxhash.h)
if (NOT PLEXARO_XXHASH_INCLUDE_DIR)
  message(FATAL_ERROR "xxhash.h not found: the step cache needs the xxHash headers "
                      "(Debian: apt-get install libxxhash-dev; scripts/install does this)")
endif()
target_include_directories(${PLEXARO_CORE_TARGET} SYSTEM PRIVATE ${PLEXARO_XXHASH_INCLUDE_DIR})
# Copies and directory walks come from the sandbox's file-system layer.
target_link_libraries(${PLEXARO_CORE_TARGET} PUBLIC plexaro_core_sandbox)
set_source_files_properties(${CMAKE_CURRENT_LIST_DIR}/xxh3.cpp
  PROPERTIES COMPILE_OPTIONS "-O3")
