# The sources of the message area of vsk_pki; the fuzz harness (fuzz/signedData) compiles the same list.
set(VSK_PKI_MESSAGES_SOURCES
  ExtSigned.cpp
  Pkcs7Signed.cpp
  SignedData.cpp
  SignedDataRead.cpp
  TokenSigned.cpp
  Signature.cpp
  TimeStamp.cpp
  EncryptedData.cpp
  EncryptedDataDecrypt.cpp
  EncryptedDataLog.cpp
  ExtEncrypted.cpp
  Pkcs7Encrypted.cpp
  TokenEncrypted.cpp
  SessionKey.cpp
  TimeStampClient.cpp
  TokenSignature.cpp
)
list(TRANSFORM VSK_PKI_MESSAGES_SOURCES PREPEND ${CMAKE_CURRENT_LIST_DIR}/src/)
