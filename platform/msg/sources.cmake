# The sources of vsk_platform_msg; the fuzz harness (fuzz/messages) compiles the same list.
set(VSK_PLATFORM_MSG_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/src/msgApi.cpp
  ${CMAKE_CURRENT_LIST_DIR}/src/msgDecoder.cpp
  ${CMAKE_CURRENT_LIST_DIR}/src/msgEncoder.cpp
  ${CMAKE_CURRENT_LIST_DIR}/src/msgSigner.cpp
  ${CMAKE_CURRENT_LIST_DIR}/src/msgReader.cpp
  ${CMAKE_CURRENT_LIST_DIR}/src/msgEnvEncoder.cpp
  ${CMAKE_CURRENT_LIST_DIR}/src/msgEnvDecoder.cpp
  ${CMAKE_CURRENT_LIST_DIR}/src/envelopeKeys.cpp
)
