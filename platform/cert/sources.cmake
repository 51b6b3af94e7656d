# The sources of vsk_platform_cert; the fuzz harness (fuzz/certificates) compiles the same list.
set(VSK_PLATFORM_CERT_SOURCES
  certKey.cpp
  chain.cpp
  chainPolicy.cpp
  chainViews.cpp
  context.cpp
  crl.cpp
  der.cpp
  encode.cpp
  names.cpp
  oidRegistration.cpp
  revocation.cpp
  serialized.cpp
  store.cpp
  systemStore.cpp
)
list(TRANSFORM VSK_PLATFORM_CERT_SOURCES PREPEND ${CMAKE_CURRENT_LIST_DIR}/src/)
