# Third-party code comes from the system's packages; nothing is copied into this repository.

# BLAKE3: the reference C library, built from the sources Debian ships with its Rust crate.
file(GLOB PELTO_BLAKE3_DIRS LIST_DIRECTORIES true "/usr/share/cargo/registry/blake3-*/c")
list(SORT PELTO_BLAKE3_DIRS COMPARE NATURAL ORDER DESCENDING)
list(GET PELTO_BLAKE3_DIRS 0 PELTO_BLAKE3_DIR)
if(NOT EXISTS "${PELTO_BLAKE3_DIR}/blake3.h")
  message(FATAL_ERROR "BLAKE3 C sources not found: install the Debian package librust-blake3-dev")
endif()
if(WIN32)
  set(blake3_asm_suffix x86-64_windows_gnu.S)
else()
  set(blake3_asm_suffix x86-64_unix.S)
endif()
add_library(blake3 STATIC
  "${PELTO_BLAKE3_DIR}/blake3.c"
  "${PELTO_BLAKE3_DIR}/blake3_dispatch.c"
  "${PELTO_BLAKE3_DIR}/blake3_portable.c"
  "${PELTO_BLAKE3_DIR}/blake3_sse2_${blake3_asm_suffix}"
  "${PELTO_BLAKE3_DIR}/blake3_sse41_${blake3_asm_suffix}"
  "${PELTO_BLAKE3_DIR}/blake3_avx2_${blake3_asm_suffix}"
  "${PELTO_BLAKE3_DIR}/blake3_avx512_${blake3_asm_suffix}")
target_include_directories(blake3 SYSTEM PUBLIC "${PELTO_BLAKE3_DIR}")
set_target_properties(blake3 PROPERTIES POSITION_INDEPENDENT_CODE ON)
target_compile_options(blake3 PRIVATE -w)

# JSON: header-only nlohmann. The cross build must not see /usr/include as a whole, so it gets a
# directory that holds only a link to the nlohmann headers.
if(NOT EXISTS /usr/include/nlohmann/json.hpp)
  message(FATAL_ERROR "nlohmann JSON not found: install the Debian package nlohmann-json3-dev")
endif()
set(json_dir "${CMAKE_BINARY_DIR}/third_party/json")
file(MAKE_DIRECTORY "${json_dir}")
if(NOT EXISTS "${json_dir}/nlohmann")
  file(CREATE_LINK /usr/include/nlohmann "${json_dir}/nlohmann" SYMBOLIC)
endif()
add_library(nlohmann_json_headers INTERFACE)
target_include_directories(nlohmann_json_headers SYSTEM INTERFACE "${json_dir}")

if(NOT WIN32)
  find_package(OpenSSL 3 REQUIRED)
  find_package(Threads REQUIRED)
endif()
