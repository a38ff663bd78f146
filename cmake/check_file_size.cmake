# Fails when a built file is larger than a limit (script mode, for ctest).
#   cmake -DFILE=path -DLIMIT=bytes -P check_file_size.cmake
if(NOT EXISTS "${FILE}")
  message(FATAL_ERROR "${FILE} does not exist")
endif()
file(SIZE "${FILE}" size)
math(EXPR kib "${size} / 1024")
if(size GREATER LIMIT)
  message(FATAL_ERROR "${FILE} is ${size} bytes (${kib} KiB), more than the limit of ${LIMIT} bytes")
endif()
message(STATUS "${FILE} is ${size} bytes (${kib} KiB), within the limit of ${LIMIT} bytes")
