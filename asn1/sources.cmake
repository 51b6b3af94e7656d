# The sources of vsk_asn1; the fuzz harness (fuzz/asn1) compiles the same list.
set(VSK_ASN1_SOURCES
  asn1.cpp
  asn1Types.cpp
  asn1Text.cpp
)
list(TRANSFORM VSK_ASN1_SOURCES PREPEND ${CMAKE_CURRENT_LIST_DIR}/src/)
