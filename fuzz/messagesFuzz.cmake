# The common build of the harnesses of the library's message readers (fuzz/signedData,
# fuzz/envelopedData): libFuzzer with clang over a g++ build of the libraries under them (VSK_BUILD_DIR).
# The message area of the library, the ASN.1 codec and the platform's message decoder are compiled into
# the harness with coverage, AddressSanitizer and UBSan; the rest of the library and the libraries under
# it come as they are. clang has no code page 1251 execution character set, so narrow texts stay UTF-8
# in these builds; only messages differ.
set(CMAKE_CXX_STANDARD 20)
set(CMAKE_CXX_STANDARD_REQUIRED ON)
set(top ${CMAKE_CURRENT_LIST_DIR}/..)
set(VSK_BUILD_DIR ${top}/build CACHE PATH "g++ build tree holding vsk_pki and the libraries under it")
set(prebuilt ${VSK_BUILD_DIR}/pki/libvsk_pki.a
  ${VSK_BUILD_DIR}/pkcs11/libvsk_pkcs11.a
  ${VSK_BUILD_DIR}/utils/libvsk_utils.a
  ${VSK_BUILD_DIR}/platform/cert/libvsk_platform_cert.a
  ${VSK_BUILD_DIR}/platform/crypt/libvsk_platform_crypt.a
  ${VSK_BUILD_DIR}/platform/http/libvsk_platform_http.a
  ${VSK_BUILD_DIR}/platform/registry/libvsk_platform_registry.a
  ${VSK_BUILD_DIR}/platform/kernel/libvsk_platform_kernel.a)
foreach(lib ${prebuilt})
  if(NOT EXISTS ${lib})
    message(FATAL_ERROR "${lib} is missing: build vsk_pki in ${VSK_BUILD_DIR} first")
  endif()
endforeach()
find_package(Threads REQUIRED)
find_package(ZLIB REQUIRED)
find_package(SQLite3 REQUIRED)
find_package(OpenSSL 3 REQUIRED COMPONENTS SSL Crypto)
find_package(CURL REQUIRED)
find_package(PkgConfig REQUIRED)
pkg_check_modules(MINIZIP REQUIRED minizip)

include(${top}/pki/messages/sources.cmake)
include(${top}/asn1/sources.cmake)
include(${top}/platform/msg/sources.cmake)
# A harness `name` of the fuzz entry in `source`.
function(vsk_messages_fuzzer name source)
  add_executable(${name} ${source} ${VSK_PKI_MESSAGES_SOURCES} ${VSK_ASN1_SOURCES}
    ${VSK_PLATFORM_MSG_SOURCES})
  target_include_directories(${name} PRIVATE ${top}/pki/messages/src ${top}/pki/include
    ${top}/asn1/src ${top}/asn1/include ${top}/utils/include ${top}/pkcs11/include /usr/include/p11-kit-1
    ${top}/platform/msg/src ${top}/platform/msg/include ${top}/platform/cert/src ${top}/platform/cert/include
    ${top}/platform/crypt/include ${top}/platform/http/include ${top}/platform/gui/include
    ${top}/platform/tsp/include ${top}/platform/kernel/include ${top}/platform/registry/include)
  set(flags -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined)
  target_compile_options(${name} PRIVATE ${flags} -finput-charset=UTF-8)
  target_link_options(${name} PRIVATE ${flags} "LINKER:--undefined=VskPkiOidResolversAtStart"
    "LINKER:--undefined=VskWinHttpStandIn")
  target_link_libraries(${name} PRIVATE -Wl,--start-group ${prebuilt} -Wl,--end-group
    OpenSSL::SSL OpenSSL::Crypto CURL::libcurl ${MINIZIP_LINK_LIBRARIES} ZLIB::ZLIB SQLite::SQLite3
    Threads::Threads ${CMAKE_DL_LIBS})
endfunction()
