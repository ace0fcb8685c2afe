# mbed TLS for talagent.exe, as scripts/build-mbedtls builds it (static, mingw-w64) into
# build-win/mbedtls; LAUNCHER_MBEDTLS_DIR names another place. Defines MbedTLS::tls (with x509
# and crypto) when it is there; the agent is left out of a Windows build without it.
set(LAUNCHER_MBEDTLS_DIR "${CMAKE_BINARY_DIR}/mbedtls" CACHE PATH
    "Where scripts/build-mbedtls installed mbed TLS for Windows")
if(EXISTS "${LAUNCHER_MBEDTLS_DIR}/lib/libmbedtls.a" AND NOT TARGET MbedTLS::tls)
  foreach(part crypto x509 tls)
    add_library(MbedTLS::${part} STATIC IMPORTED)
    if(part STREQUAL "tls")
      set(file libmbedtls.a)
    else()
      set(file libmbed${part}.a)
    endif()
    set_target_properties(MbedTLS::${part} PROPERTIES
      IMPORTED_LOCATION "${LAUNCHER_MBEDTLS_DIR}/lib/${file}"
      INTERFACE_INCLUDE_DIRECTORIES "${LAUNCHER_MBEDTLS_DIR}/include")
  endforeach()
  # The random generator's entropy comes from CryptoAPI (advapi32), sockets from Winsock.
  set_target_properties(MbedTLS::crypto PROPERTIES INTERFACE_LINK_LIBRARIES advapi32)
  set_target_properties(MbedTLS::x509 PROPERTIES INTERFACE_LINK_LIBRARIES MbedTLS::crypto)
  set_target_properties(MbedTLS::tls PROPERTIES INTERFACE_LINK_LIBRARIES "MbedTLS::x509;ws2_32")
endif()
