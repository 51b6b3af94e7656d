// The WinHTTP error for each way a libcurl transfer fails, as the callers tell them apart: the name
// (12007), the connection (12029), the TLS handshake (SEC_E_ILLEGAL_MESSAGE, which ends a proxy
// fall-back at once) against a certificate that does not verify (12175), a time-out (12002) and a
// connection lost (12030).
#include "winhttpImpl.h"

namespace vsk::http {

DWORD ErrorOfCurl(CURLcode code) {
    switch (code) {
        case CURLE_OK:
            return ERROR_SUCCESS;
        case CURLE_UNSUPPORTED_PROTOCOL:
            return ERROR_WINHTTP_UNRECOGNIZED_SCHEME;
        case CURLE_URL_MALFORMAT:
            return ERROR_WINHTTP_INVALID_URL;
        case CURLE_COULDNT_RESOLVE_PROXY:
        case CURLE_COULDNT_RESOLVE_HOST:
            return ERROR_WINHTTP_NAME_NOT_RESOLVED;
        case CURLE_COULDNT_CONNECT:
        case CURLE_PROXY:
            return ERROR_WINHTTP_CANNOT_CONNECT;
        case CURLE_WEIRD_SERVER_REPLY:
        case CURLE_BAD_CONTENT_ENCODING:
            return ERROR_WINHTTP_INVALID_SERVER_RESPONSE;
        case CURLE_OUT_OF_MEMORY:
        case CURLE_FILESIZE_EXCEEDED:
            return ERROR_NOT_ENOUGH_MEMORY;
        case CURLE_OPERATION_TIMEDOUT:
            return ERROR_WINHTTP_TIMEOUT;
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_SSL_CIPHER:
            return SEC_E_ILLEGAL_MESSAGE;
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_CERTPROBLEM:
        case CURLE_SSL_CACERT_BADFILE:
        case CURLE_SSL_CRL_BADFILE:
        case CURLE_SSL_ISSUER_ERROR:
        case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
        case CURLE_SSL_INVALIDCERTSTATUS:
        case CURLE_SSL_CLIENTCERT:
        case CURLE_SSL_ENGINE_NOTFOUND:
        case CURLE_SSL_ENGINE_SETFAILED:
        case CURLE_SSL_ENGINE_INITFAILED:
            return ERROR_WINHTTP_SECURE_FAILURE;
        case CURLE_TOO_MANY_REDIRECTS:
            return ERROR_WINHTTP_REDIRECT_FAILED;
        case CURLE_ABORTED_BY_CALLBACK:
            return ERROR_WINHTTP_OPERATION_CANCELLED;
        case CURLE_LOGIN_DENIED:
            return ERROR_WINHTTP_LOGIN_FAILURE;
        case CURLE_PARTIAL_FILE:
        case CURLE_WRITE_ERROR:
        case CURLE_GOT_NOTHING:
        case CURLE_SEND_ERROR:
        case CURLE_RECV_ERROR:
        case CURLE_SSL_SHUTDOWN_FAILED:
        case CURLE_HTTP2:
        case CURLE_HTTP2_STREAM:
        case CURLE_HTTP3:
        case CURLE_UNRECOVERABLE_POLL:
            return ERROR_WINHTTP_CONNECTION_ERROR;
        default:
            return ERROR_WINHTTP_INTERNAL_ERROR;
    }
}

}  // namespace vsk::http
