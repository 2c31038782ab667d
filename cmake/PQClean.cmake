# ML-DSA-87 and ML-KEM-768 from PQClean, taken from the npm package that ships its C sources.
# The tarball is fetched once into the build folder with `npm pack`, checked against the sha512
# integrity the registry publishes for this exact version, and only the two "clean" schemes plus
# the shared Keccak code are compiled. Nothing of PQClean is kept in the source tree.
#
# PQCLEAN_randombytes is not compiled from PQClean: CorvelKit supplies it (security/RandomBytes.cpp)
# so that keys can be rebuilt from their seeds.

set(PQCLEAN_NPM_VERSION "0.8.1")
# `npm view pqclean@0.8.1 dist.integrity`
set(PQCLEAN_NPM_INTEGRITY
    "sha512-+5FtknAJdiNtVBiyLiKW3OnanhcqSWy44KCaZz1tELhalp5HfuIcxNsX9uS0t7ne2tEWc7NBd4GpiQBTGTIJBA==")

set(_pqclean_cache ${CMAKE_BINARY_DIR}/_deps/pqclean)
set(_pqclean_tarball ${_pqclean_cache}/pqclean-${PQCLEAN_NPM_VERSION}.tgz)
set(_pqclean_root ${_pqclean_cache}/src/package/deps/PQClean)

# Turns the Base64 digest of an npm integrity string into lower-case hexadecimal, which is what
# file(SHA512) produces.
function(_pqclean_integrity_to_hex integrity out)
  if(NOT integrity MATCHES "^sha512-([A-Za-z0-9+/]+=*)$")
    message(FATAL_ERROR "PQClean: unsupported integrity string '${integrity}'")
  endif()
  string(REGEX REPLACE "=+$" "" b64 "${CMAKE_MATCH_1}")
  set(alphabet "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/")
  set(digits "0123456789abcdef")
  string(LENGTH "${b64}" n)
  math(EXPR last "${n} - 1")
  set(acc 0)
  set(nbits 0)
  set(hex "")
  foreach(i RANGE ${last})
    string(SUBSTRING "${b64}" ${i} 1 c)
    string(FIND "${alphabet}" "${c}" v)
    math(EXPR acc "((${acc} << 6) | ${v}) & 4095")
    math(EXPR nbits "${nbits} + 6")
    if(nbits GREATER_EQUAL 8)
      math(EXPR nbits "${nbits} - 8")
      math(EXPR hi "(${acc} >> (${nbits} + 4)) & 15")
      math(EXPR lo "(${acc} >> ${nbits}) & 15")
      string(SUBSTRING "${digits}" ${hi} 1 h)
      string(SUBSTRING "${digits}" ${lo} 1 l)
      string(APPEND hex "${h}${l}")
    endif()
  endforeach()
  set(${out} "${hex}" PARENT_SCOPE)
endfunction()

_pqclean_integrity_to_hex("${PQCLEAN_NPM_INTEGRITY}" _pqclean_sha512)

function(_pqclean_tarball_ok result)
  set(${result} FALSE PARENT_SCOPE)
  if(EXISTS ${_pqclean_tarball})
    file(SHA512 ${_pqclean_tarball} actual)
    if(actual STREQUAL _pqclean_sha512)
      set(${result} TRUE PARENT_SCOPE)
    endif()
  endif()
endfunction()

_pqclean_tarball_ok(_pqclean_ok)
if(NOT _pqclean_ok)
  find_program(NPM_EXECUTABLE npm REQUIRED)
  file(REMOVE_RECURSE ${_pqclean_cache})
  file(MAKE_DIRECTORY ${_pqclean_cache})
  message(STATUS "PQClean: fetching pqclean@${PQCLEAN_NPM_VERSION} with npm pack")
  execute_process(
    COMMAND ${NPM_EXECUTABLE} pack pqclean@${PQCLEAN_NPM_VERSION} --silent
            --pack-destination ${_pqclean_cache}
    WORKING_DIRECTORY ${_pqclean_cache}
    RESULT_VARIABLE npm_result
    OUTPUT_QUIET)
  if(NOT npm_result EQUAL 0)
    message(FATAL_ERROR "PQClean: `npm pack pqclean@${PQCLEAN_NPM_VERSION}` failed (${npm_result})")
  endif()
  _pqclean_tarball_ok(_pqclean_ok)
  if(NOT _pqclean_ok)
    file(REMOVE ${_pqclean_tarball})
    message(FATAL_ERROR "PQClean: the downloaded tarball does not match ${PQCLEAN_NPM_INTEGRITY}")
  endif()
endif()

set(_pqclean_stamp ${_pqclean_cache}/src/.extracted-${_pqclean_sha512})
if(NOT EXISTS ${_pqclean_stamp})
  file(REMOVE_RECURSE ${_pqclean_cache}/src)
  file(ARCHIVE_EXTRACT INPUT ${_pqclean_tarball} DESTINATION ${_pqclean_cache}/src
       PATTERNS package/deps/PQClean/common package/deps/PQClean/crypto_sign/ml-dsa-87/clean
                package/deps/PQClean/crypto_kem/ml-kem-768/clean)
  file(TOUCH ${_pqclean_stamp})
endif()

file(GLOB _pqclean_mldsa_sources ${_pqclean_root}/crypto_sign/ml-dsa-87/clean/*.c)
file(GLOB _pqclean_mlkem_sources ${_pqclean_root}/crypto_kem/ml-kem-768/clean/*.c)
if(NOT _pqclean_mldsa_sources OR NOT _pqclean_mlkem_sources)
  message(FATAL_ERROR "PQClean: sources missing under ${_pqclean_root}")
endif()

add_library(pqclean STATIC
  ${_pqclean_mldsa_sources}
  ${_pqclean_mlkem_sources}
  ${_pqclean_root}/common/fips202.c)
set_target_properties(pqclean PROPERTIES C_STANDARD 99 C_EXTENSIONS OFF)
target_include_directories(pqclean
  PRIVATE ${_pqclean_root}/common
  # Callers include "crypto_sign/ml-dsa-87/clean/api.h" and "crypto_kem/ml-kem-768/clean/api.h".
  INTERFACE ${_pqclean_root})
# Third-party code: none of the project's warning flags, and no warnings of its own in our output.
target_compile_options(pqclean PRIVATE -w)
