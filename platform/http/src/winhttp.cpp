// WinHTTP's handles and requests on libcurl's multi interface.
//
// Handles are numbers in one table of shared objects: a call holds its object while it runs, so a
// handle closed meanwhile by another thread goes only when that call ends. A connection holds its
// session and a request its connection, so handles may be closed in any order.
//
// Each session owns one libcurl multi handle (its connection cache, so that the requests of one
// session reuse their connections) and one lock, held by every call that works on a request of the
// session. A request's transfer is one easy handle on that multi handle; it advances only while a
// call drives the multi handle, and each call drives until what it waits for has happened:
//   send      the request line and headers (not a proxy's CONNECT) and the body have gone out;
//   receive   the final response's header block is complete (a block that libcurl will follow, a
//             redirect or the first round of a multi-round authentication, is not final);
//   read      body bytes are waiting in the request's buffer, or the transfer has ended.
// The write callback pauses the transfer whenever no read is waiting, so the body comes off the
// network only as fast as the caller reads it, and not at all when nobody does.
//
// Time-outs: libcurl's connect time-out covers resolving, connecting, a proxy's CONNECT and the TLS
// handshake; the send and receive time-outs are ours: the time without progress while sending and
// while waiting for the answer or the body.
#include "winhttpImpl.h"

#include <vsk/platform/diagnostics.h>
#include <vsk/platform/kernel.h>
#include <vsk/platform/utf8.h>

#include <openssl/crypto.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <ctime>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <vector>

// The server certificate as a certificate context comes from the certificate area when the program
// links it; the HTTP area does not depend on it (the certificate area downloads CRLs over HTTP).
struct CERT_CONTEXT;
using PCCERT_CONTEXT = const CERT_CONTEXT*;
[[gnu::weak]] PCCERT_CONTEXT CertCreateCertificateContext(DWORD encoding, const BYTE* encoded,
                                                          DWORD encodedLen);

namespace vsk::http {
namespace {

using Clock = std::chrono::steady_clock;

// WinHTTP's default time-outs, in milliseconds (0: none).
constexpr int DefaultConnectTimeoutMs = 60000;
constexpr int DefaultSendTimeoutMs = 30000;
constexpr int DefaultReceiveTimeoutMs = 30000;
// libcurl has no connect time-out that never ends (0 is its default of 300 s): "none" is a day.
constexpr long NoConnectTimeoutMs = 24L * 60 * 60 * 1000;
// Redirects followed for one request, as WinHTTP.
constexpr long MaxRedirects = 10;
// Body bytes a request keeps in advance of the caller's reads before it pauses the transfer.
constexpr size_t ReadAhead = 64 * 1024;
// The longest single wait for the network inside a call, so that a closed handle is noticed.
constexpr int PollStepMs = 1000;
// X509_ASN_ENCODING | PKCS_7_ASN_ENCODING
constexpr DWORD CertificateEncoding = 0x00010001;

std::mutex g_testCaLock;
std::string g_testCaFile;

struct Timeouts {
    int resolve = 0;
    int connect = DefaultConnectTimeoutMs;
    int send = DefaultSendTimeoutMs;
    int receive = DefaultReceiveTimeoutMs;
};

enum class Kind { Session, Connection, Request };

struct Object {
    explicit Object(Kind k) : kind(k) {}
    virtual ~Object() = default;
    const Kind kind;
    Timeouts timeouts;
};

struct Session : Object {
    Session() : Object(Kind::Session), multi(curl_multi_init()) {}
    ~Session() override {
        if (multi) curl_multi_cleanup(multi);
    }
    std::string agent;
    std::string proxyList;  // WinHTTP's form; empty: no proxy
    std::string bypass;
    std::mutex lock;
    CURLM* multi;
};

struct Connection : Object {
    Connection() : Object(Kind::Connection) {}
    std::shared_ptr<Session> session;
    std::string host;  // without brackets
    INTERNET_PORT port = 0;
};

struct Credentials {
    DWORD scheme = 0;
    std::string user;
    std::string password;
    void wipe() {
        if (!password.empty()) OPENSSL_cleanse(password.data(), password.size());
        password.clear();
        user.clear();
        scheme = 0;
    }
    ~Credentials() { wipe(); }
};

struct Request : Object {
    Request() : Object(Kind::Request) {}
    ~Request() override;

    Session& session() const { return *connection->session; }

    // Set when it is opened.
    std::shared_ptr<Connection> connection;
    std::string verb;
    std::string path;  // escaped, with its query
    bool secure = false;
    bool refresh = false;
    long httpVersion = CURL_HTTP_VERSION_1_1;
    std::string referrer;
    std::optional<std::string> accept;  // nothing: no Accept header
    Credentials server, proxy;
    DWORD securityFlags = 0;

    // The current transfer (everything below under the session's lock).
    CURL* easy = nullptr;
    curl_slist* headerList = nullptr;
    std::string body;
    std::string url;       // without user information
    std::string proxyUrl;  // empty: direct
    char errorText[CURL_ERROR_SIZE] = {};
    bool sending = false;            // a send has started this transfer
    bool requestHeadersOut = false;  // the request's own header block went out (not a CONNECT)
    uint64_t dataOut = 0;
    bool finished = false;  // libcurl is done with it, or we ended it
    CURLcode result = CURLE_OK;
    DWORD failure = 0;  // our own reason for ending it, before libcurl's
    long connectCode = 0;
    bool paused = false;
    bool reading = false;
    bool bodyStarted = false;
    bool received = false;
    bool tooLarge = false;
    // The current response header block.
    int status = 0;
    std::string statusLine;
    std::vector<std::pair<std::string, std::string>> headers;
    bool blockComplete = false;
    // Body bytes taken from libcurl and not yet read.
    std::string buffer;
    size_t bufferOffset = 0;
    uint64_t bodyTotal = 0;
    // The server certificate, taken while the TLS connection was at hand.
    std::vector<unsigned char> certificate;
    int cipherBits = 0;
    Clock::time_point lastActivity;
    std::atomic<bool> cancelled{false};

    size_t available() const { return buffer.size() - bufferOffset; }
    void activity() { lastActivity = Clock::now(); }
    bool requestSent() const { return requestHeadersOut && (body.empty() || dataOut >= body.size()); }
    void detach();
    void resetResponse() {
        status = 0;
        statusLine.clear();
        headers.clear();
        blockComplete = false;
    }
};

// ---- Handle table ---------------------------------------------------------------------------------

struct Table {
    std::mutex lock;
    std::unordered_map<uintptr_t, std::shared_ptr<Object>> objects;
    uintptr_t next = 0x10000;
};

// Never destroyed: handles may still be closed while the process exits.
Table& table() {
    static Table* t = new Table;
    return *t;
}

HINTERNET addHandle(std::shared_ptr<Object> object) {
    Table& t = table();
    std::lock_guard guard(t.lock);
    t.next += 8;
    t.objects.emplace(t.next, std::move(object));
    return reinterpret_cast<HINTERNET>(t.next);
}

std::shared_ptr<Object> findObject(HINTERNET handle) {
    Table& t = table();
    std::lock_guard guard(t.lock);
    auto it = t.objects.find(reinterpret_cast<uintptr_t>(handle));
    if (it == t.objects.end()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return it->second;
}

template <class T>
std::shared_ptr<T> find(HINTERNET handle, Kind kind) {
    std::shared_ptr<Object> object = findObject(handle);
    if (!object) return nullptr;
    if (object->kind != kind) {
        SetLastError(ERROR_WINHTTP_INCORRECT_HANDLE_TYPE);
        return nullptr;
    }
    return std::static_pointer_cast<T>(object);
}

void globalInit() {
    static std::once_flag once;
    std::call_once(once, [] {
        curl_global_init(CURL_GLOBAL_DEFAULT);
        // A peer that goes away while TLS writes to it must give a write error, as on Windows, not
        // end the program: libcurl is told not to touch signals (the program has threads), so the
        // default action of SIGPIPE goes.
        struct sigaction current {};
        if (sigaction(SIGPIPE, nullptr, &current) == 0 && current.sa_handler == SIG_DFL)
            signal(SIGPIPE, SIG_IGN);
    });
}

BOOL fail(DWORD code) {
    SetLastError(code);
    return FALSE;
}

// ---- Texts ----------------------------------------------------------------------------------------

std::string lower(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

bool equalNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && lower(a) == lower(b);
}

std::string_view trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() &&
           (text.back() == ' ' || text.back() == '\t' || text.back() == '\r' || text.back() == '\n'))
        text.remove_suffix(1);
    return text;
}

// Header bytes as UTF-16: UTF-8 when they are, else one character per byte (ISO 8859-1).
std::u16string wideOfHeader(std::string_view bytes) {
    bool wellFormed = true;
    std::u16string wide = vsk::kernel::Utf8ToUtf16(bytes, &wellFormed);
    if (wellFormed) return wide;
    wide.clear();
    for (char c : bytes) wide += static_cast<char16_t>(static_cast<unsigned char>(c));
    return wide;
}

// Every occurrence of a secret in a text meant for the diagnostics becomes "***".
void mask(std::string& text, const std::string& secret) {
    if (secret.empty()) return;
    for (size_t at = text.find(secret); at != std::string::npos; at = text.find(secret, at + 3))
        text.replace(at, secret.size(), "***");
}

// A failed transfer, for the developer log: the URL (it never holds user information) and the
// proxy with its login and a masked password.
void reportFailure(const Request& r, const char* call, DWORD code) {
    std::string line = std::string("WinHTTP ") + call + ": " + r.verb + " " + r.url;
    if (!r.proxyUrl.empty()) {
        std::string proxy = r.proxyUrl;
        if (!r.proxy.user.empty()) proxy.insert(std::strlen("http://"), r.proxy.user + ":***@");
        line += " through proxy " + proxy;
    }
    line += " failed with " + std::to_string(code);
    if (r.failure == 0 && r.result != CURLE_OK) {
        line += " (libcurl " + std::to_string(static_cast<int>(r.result)) + ": ";
        line += r.errorText[0] ? r.errorText : curl_easy_strerror(r.result);
        line += ")";
    }
    mask(line, r.proxy.password);
    mask(line, r.server.password);
    ReportPlatformDiagnostic(line);
}

// ---- libcurl callbacks ----------------------------------------------------------------------------

void captureCertificate(Request& r) {
    if (!r.secure || !r.certificate.empty() || !r.easy) return;
    curl_tlssessioninfo* info = nullptr;
    if (curl_easy_getinfo(r.easy, CURLINFO_TLS_SSL_PTR, &info) != CURLE_OK || !info ||
        info->backend != CURLSSLBACKEND_OPENSSL || !info->internals)
        return;
    SSL* ssl = static_cast<SSL*>(info->internals);
    X509* peer = SSL_get1_peer_certificate(ssl);
    if (!peer) return;
    const int size = i2d_X509(peer, nullptr);
    if (size > 0) {
        r.certificate.resize(static_cast<size_t>(size));
        unsigned char* out = r.certificate.data();
        i2d_X509(peer, &out);
    }
    X509_free(peer);
    r.cipherBits = SSL_get_cipher_bits(ssl, nullptr);
}

size_t onHeader(char* data, size_t size, size_t count, void* user) {
    auto& r = *static_cast<Request*>(user);
    const size_t length = size * count;
    r.activity();
    // Trailers of a chunked body are not headers of the response.
    if (r.bodyStarted) return length;
    const std::string_view line = trim(std::string_view(data, length));
    if (line.rfind("HTTP/", 0) == 0) {
        r.resetResponse();
        r.statusLine = std::string(line);
        const size_t space = line.find(' ');
        if (space != std::string_view::npos)
            r.status = std::atoi(std::string(line.substr(space + 1, 3)).c_str());
    } else if (line.empty()) {
        r.blockComplete = true;
    } else if (!r.blockComplete) {
        if ((data[0] == ' ' || data[0] == '\t') && !r.headers.empty()) {
            r.headers.back().second += " " + std::string(line);
        } else if (const size_t colon = line.find(':'); colon != std::string_view::npos) {
            r.headers.emplace_back(std::string(trim(line.substr(0, colon))),
                                   std::string(trim(line.substr(colon + 1))));
        }
    }
    return length;
}

size_t onBody(char* data, size_t size, size_t count, void* user) {
    auto& r = *static_cast<Request*>(user);
    const size_t length = size * count;
    r.activity();
    r.bodyStarted = true;
    if (!r.reading || r.available() >= ReadAhead) {
        r.paused = true;
        return CURL_WRITEFUNC_PAUSE;
    }
    if (r.bodyTotal + length > WinHttpMaxResponseBody) {
        r.tooLarge = true;
        return 0;
    }
    if (r.bufferOffset == r.buffer.size()) {
        r.buffer.clear();
        r.bufferOffset = 0;
    }
    r.buffer.append(data, length);
    r.bodyTotal += length;
    return length;
}

int onDebug(CURL*, curl_infotype type, char* data, size_t size, void* user) {
    auto& r = *static_cast<Request*>(user);
    if (type == CURLINFO_TEXT) return 0;
    r.activity();
    if (type == CURLINFO_HEADER_OUT && std::string_view(data, size).rfind("CONNECT ", 0) != 0) {
        // Our request (again, for a redirect or an authentication round): the answer comes next.
        r.requestHeadersOut = true;
        r.dataOut = 0;
        r.resetResponse();
        // The client asks for the server certificate as soon as the request has gone out.
        captureCertificate(r);
    } else if (type == CURLINFO_DATA_OUT) {
        r.dataOut += size;
    }
    return 0;
}

// ---- Transfers ------------------------------------------------------------------------------------

void Request::detach() {
    if (easy) {
        curl_multi_remove_handle(session().multi, easy);
        curl_easy_cleanup(easy);
        easy = nullptr;
    }
    if (headerList) curl_slist_free_all(headerList);
    headerList = nullptr;
}

Request::~Request() {
    // A request refused by WinHttpOpenRequest never had a connection, nor a transfer.
    if (!connection) return;
    std::lock_guard guard(session().lock);
    detach();
}

// Ends a transfer for a reason of ours.
void stop(Request& r, DWORD reason) {
    r.detach();
    r.finished = true;
    r.failure = reason;
}

DWORD errorOf(const Request& r) {
    if (r.failure) return r.failure;
    if (r.tooLarge) return ERROR_NOT_ENOUGH_MEMORY;
    // A redirect to a scheme the request may not follow (https to http).
    if (r.result == CURLE_UNSUPPORTED_PROTOCOL && r.requestHeadersOut) return ERROR_WINHTTP_REDIRECT_FAILED;
    return ErrorOfCurl(r.result);
}

// Whether a transfer that libcurl ended with an error still brought an answer: a proxy that refused
// the CONNECT (its status and headers are the response, with no body).
bool proxyAnswered(const Request& r) {
    return r.finished && r.failure == 0 && r.result != CURLE_OK && !r.requestHeadersOut && r.blockComplete &&
           r.connectCode >= 300;
}

// Whether this libcurl has the scheme: one it lacks is kept and sent without (the server or proxy
// then names the schemes it takes, and the caller chooses another), as a scheme the other side does
// not offer would be.
bool curlHas(DWORD scheme) {
    const curl_version_info_data* curl = curl_version_info(CURLVERSION_NOW);
    if (scheme == WINHTTP_AUTH_SCHEME_NTLM) return (curl->features & CURL_VERSION_NTLM) != 0;
    if (scheme == WINHTTP_AUTH_SCHEME_NEGOTIATE) return (curl->features & CURL_VERSION_SPNEGO) != 0;
    return true;
}

DWORD curlAuth(DWORD scheme) {
    switch (scheme) {
        case WINHTTP_AUTH_SCHEME_BASIC:
            return CURLAUTH_BASIC;
        case WINHTTP_AUTH_SCHEME_NTLM:
            return CURLAUTH_NTLM;
        case WINHTTP_AUTH_SCHEME_DIGEST:
            return CURLAUTH_DIGEST;
        case WINHTTP_AUTH_SCHEME_NEGOTIATE:
            return CURLAUTH_NEGOTIATE;
        default:
            return CURLAUTH_NONE;
    }
}

// Whether libcurl will answer this block itself with another request: a redirect it follows, or
// the first round of an authentication that takes several.
bool followedByCurl(const Request& r) {
    if (r.status >= 300 && r.status < 400 && r.status != 304) {
        for (const auto& [name, value] : r.headers)
            if (equalNoCase(name, "Location")) return true;
        return false;
    }
    constexpr DWORD MultiRound =
        WINHTTP_AUTH_SCHEME_NTLM | WINHTTP_AUTH_SCHEME_DIGEST | WINHTTP_AUTH_SCHEME_NEGOTIATE;
    if (r.status == 401)
        return (r.server.scheme & MultiRound) && curlHas(r.server.scheme) && !r.server.user.empty();
    if (r.status == 407)
        return (r.proxy.scheme & MultiRound) && curlHas(r.proxy.scheme) && !r.proxy.user.empty() &&
               !r.proxyUrl.empty();
    return false;
}

bool headersFinal(const Request& r) {
    return r.bodyStarted || (r.requestHeadersOut && r.blockComplete && r.status >= 200 && !followedByCurl(r));
}

// Takes the finished transfers off the session's multi handle.
void collect(Session& s) {
    int left = 0;
    while (CURLMsg* message = curl_multi_info_read(s.multi, &left)) {
        if (message->msg != CURLMSG_DONE) continue;
        Request* r = nullptr;
        curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, reinterpret_cast<char**>(&r));
        if (!r) continue;
        r->finished = true;
        r->result = message->data.result;
        curl_easy_getinfo(message->easy_handle, CURLINFO_HTTP_CONNECTCODE, &r->connectCode);
        // Done: its connection goes back to the session's cache.
        curl_multi_remove_handle(s.multi, message->easy_handle);
    }
}

// Runs the session's transfers until `ready` holds or the request has finished (ended by libcurl,
// by its send or receive time-out, or by its handle being closed). Under the session's lock.
void drive(Request& r, const std::function<bool()>& ready) {
    Session& s = r.session();
    r.activity();
    while (!r.finished && !ready()) {
        if (r.cancelled.load()) {
            stop(r, ERROR_WINHTTP_OPERATION_CANCELLED);
            return;
        }
        int running = 0;
        if (curl_multi_perform(s.multi, &running) != CURLM_OK) {
            stop(r, ERROR_WINHTTP_INTERNAL_ERROR);
            return;
        }
        collect(s);
        if (r.finished || ready()) return;
        int idleMs = 0;
        if (r.requestSent() || r.blockComplete)
            idleMs = r.timeouts.receive;
        else if (r.requestHeadersOut)
            idleMs = r.timeouts.send;
        int waitMs = PollStepMs;
        if (idleMs > 0) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  r.lastActivity + std::chrono::milliseconds(idleMs) - Clock::now())
                                  .count();
            if (left <= 0) {
                stop(r, ERROR_WINHTTP_TIMEOUT);
                return;
            }
            waitMs = static_cast<int>(std::min<long long>(left, waitMs));
        }
        curl_multi_poll(s.multi, nullptr, 0, waitMs, nullptr);
    }
}

// A new transfer for the request; false (with the last error) when libcurl cannot make one.
bool start(Request& r, const std::vector<std::string>& extraHeaders) {
    Session& s = r.session();
    Connection& c = *r.connection;
    r.detach();
    r.sending = true;
    r.requestHeadersOut = r.finished = r.paused = r.reading = r.bodyStarted = r.received = r.tooLarge = false;
    r.dataOut = r.bodyTotal = 0;
    r.result = CURLE_OK;
    r.failure = 0;
    r.connectCode = 0;
    r.errorText[0] = 0;
    r.buffer.clear();
    r.bufferOffset = 0;
    r.certificate.clear();
    r.resetResponse();

    const INTERNET_PORT port = c.port != INTERNET_DEFAULT_PORT ? c.port
                               : r.secure                      ? INTERNET_DEFAULT_HTTPS_PORT
                                                               : INTERNET_DEFAULT_HTTP_PORT;
    const std::string host = c.host.find(':') != std::string::npos ? "[" + c.host + "]" : c.host;
    r.url = std::string(r.secure ? "https://" : "http://") + host + ":" + std::to_string(port) + r.path;
    r.proxyUrl = s.proxyList.empty() || BypassMatches(s.bypass, c.host, port)
                     ? std::string()
                     : ProxyFromList(s.proxyList, r.secure);

    CURL* e = curl_easy_init();
    if (!e || !s.multi) {
        if (e) curl_easy_cleanup(e);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    r.easy = e;
    curl_easy_setopt(e, CURLOPT_PRIVATE, &r);
    curl_easy_setopt(e, CURLOPT_URL, r.url.c_str());
    curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(e, CURLOPT_REDIR_PROTOCOLS_STR, r.secure ? "https" : "http,https");
    curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(e, CURLOPT_MAXREDIRS, MaxRedirects);
    curl_easy_setopt(e, CURLOPT_HTTP_VERSION, r.httpVersion);
    curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(e, CURLOPT_ERRORBUFFER, r.errorText);
    curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, &onHeader);
    curl_easy_setopt(e, CURLOPT_HEADERDATA, &r);
    curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, &onBody);
    curl_easy_setopt(e, CURLOPT_WRITEDATA, &r);
    // The debug callback tells when the request went out; it never writes anything anywhere (its
    // data holds the credentials).
    curl_easy_setopt(e, CURLOPT_DEBUGFUNCTION, &onDebug);
    curl_easy_setopt(e, CURLOPT_DEBUGDATA, &r);
    curl_easy_setopt(e, CURLOPT_VERBOSE, 1L);
    if (!s.agent.empty()) curl_easy_setopt(e, CURLOPT_USERAGENT, s.agent.c_str());
    if (!r.referrer.empty()) curl_easy_setopt(e, CURLOPT_REFERER, r.referrer.c_str());
    // Resolving the name counts into the connect time-out: libcurl has no time-out of its own for it.
    const long connectMs = r.timeouts.connect > 0 ? long{r.timeouts.connect} + std::max(r.timeouts.resolve, 0)
                                                  : NoConnectTimeoutMs;
    curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS, connectMs);

    // The proxy is always ours: an empty one keeps libcurl from taking one from the environment, and
    // an empty exception list keeps it from reading no_proxy (the bypass list was applied above).
    curl_easy_setopt(e, CURLOPT_PROXY, r.proxyUrl.c_str());
    curl_easy_setopt(e, CURLOPT_NOPROXY, "");
    curl_easy_setopt(e, CURLOPT_PROXYTYPE, static_cast<long>(CURLPROXY_HTTP));
    if (!r.proxyUrl.empty() && r.proxy.scheme && curlHas(r.proxy.scheme)) {
        curl_easy_setopt(e, CURLOPT_PROXYAUTH, static_cast<unsigned long>(curlAuth(r.proxy.scheme)));
        curl_easy_setopt(e, CURLOPT_PROXYUSERNAME, r.proxy.user.c_str());
        curl_easy_setopt(e, CURLOPT_PROXYPASSWORD, r.proxy.password.c_str());
    }
    if (r.server.scheme && curlHas(r.server.scheme)) {
        curl_easy_setopt(e, CURLOPT_HTTPAUTH, static_cast<unsigned long>(curlAuth(r.server.scheme)));
        curl_easy_setopt(e, CURLOPT_USERNAME, r.server.user.c_str());
        curl_easy_setopt(e, CURLOPT_PASSWORD, r.server.password.c_str());
    }

    // Server certificates and names are verified, whatever security flags the caller set.
    curl_easy_setopt(e, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(e, CURLOPT_SSL_VERIFYHOST, 2L);
    if (const std::string ca = TestCaFile(); !ca.empty()) {
        curl_easy_setopt(e, CURLOPT_CAINFO, ca.c_str());
        curl_easy_setopt(e, CURLOPT_CAPATH, nullptr);
    }

    const auto add = [&](const std::string& line) {
        if (curl_slist* list = curl_slist_append(r.headerList, line.c_str())) r.headerList = list;
    };
    if (!r.accept)
        add("Accept:");
    else
        add("Accept: " + *r.accept);
    if (r.refresh) {
        add("Pragma: no-cache");
        add("Cache-Control: no-cache");
    }
    // No waiting for "100 Continue" before a body.
    add("Expect:");
    for (const std::string& line : extraHeaders) add(line);
    curl_easy_setopt(e, CURLOPT_HTTPHEADER, r.headerList);

    // The body goes out as given; POST and PUT without one still say "Content-Length: 0".
    const bool carriesBody = !r.body.empty() || r.verb == "POST" || r.verb == "PUT";
    if (r.verb == "HEAD") {
        curl_easy_setopt(e, CURLOPT_NOBODY, 1L);
    } else if (carriesBody) {
        curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(r.body.size()));
        curl_easy_setopt(e, CURLOPT_POSTFIELDS, r.body.data());
        if (r.verb != "POST") curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST, r.verb.c_str());
    } else {
        curl_easy_setopt(e, CURLOPT_HTTPGET, 1L);
        if (r.verb != "GET") curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST, r.verb.c_str());
    }
    if (curl_multi_add_handle(s.multi, e) != CURLM_OK) {
        r.detach();
        SetLastError(ERROR_WINHTTP_INTERNAL_ERROR);
        return false;
    }
    return true;
}

// Body bytes into the request's buffer, or the end of the body. False with the last error.
bool fill(Request& r, const char* call) {
    if (!r.received) return fail(ERROR_WINHTTP_INCORRECT_HANDLE_STATE);
    if (r.tooLarge) {
        if (!r.finished) stop(r, ERROR_NOT_ENOUGH_MEMORY);
        return fail(ERROR_NOT_ENOUGH_MEMORY);
    }
    if (r.available() == 0 && !r.finished) {
        r.reading = true;
        if (r.paused && r.easy) {
            r.paused = false;
            // libcurl hands over what it kept back from within this call.
            curl_easy_pause(r.easy, CURLPAUSE_CONT);
        }
        drive(r, [&] { return r.available() > 0 || r.tooLarge; });
        r.reading = false;
        if (r.tooLarge && !r.finished) stop(r, ERROR_NOT_ENOUGH_MEMORY);
    }
    if (r.available() > 0) return true;
    if (r.finished && (r.failure || r.tooLarge || (r.result != CURLE_OK && !proxyAnswered(r)))) {
        const DWORD code = errorOf(r);
        reportFailure(r, call, code);
        return fail(code);
    }
    return true;
}

// ---- Header values --------------------------------------------------------------------------------

const char* headerName(DWORD query) {
    switch (query) {
        case WINHTTP_QUERY_CONTENT_TYPE:
            return "Content-Type";
        case WINHTTP_QUERY_CONTENT_LENGTH:
            return "Content-Length";
        case WINHTTP_QUERY_DATE:
            return "Date";
        case WINHTTP_QUERY_EXPIRES:
            return "Expires";
        case WINHTTP_QUERY_LAST_MODIFIED:
            return "Last-Modified";
        case WINHTTP_QUERY_LOCATION:
            return "Location";
        case WINHTTP_QUERY_WWW_AUTHENTICATE:
            return "WWW-Authenticate";
        case WINHTTP_QUERY_PROXY_AUTHENTICATE:
            return "Proxy-Authenticate";
        default:
            return nullptr;
    }
}

// The value asked for, or nothing (the last error set).
std::optional<std::string> headerValue(const Request& r, DWORD query, LPCWSTR name, DWORD index) {
    switch (query) {
        case WINHTTP_QUERY_STATUS_CODE:
            if (index == 0) return std::to_string(r.status);
            break;
        case WINHTTP_QUERY_STATUS_TEXT:
        case WINHTTP_QUERY_VERSION: {
            const size_t first = r.statusLine.find(' ');
            if (index != 0 || first == std::string::npos) break;
            if (query == WINHTTP_QUERY_VERSION) return r.statusLine.substr(0, first);
            const size_t second = r.statusLine.find(' ', first + 1);
            return second == std::string::npos ? std::string() : r.statusLine.substr(second + 1);
        }
        case WINHTTP_QUERY_RAW_HEADERS_CRLF: {
            if (index != 0) break;
            std::string raw = r.statusLine + "\r\n";
            for (const auto& [key, value] : r.headers) raw += key + ": " + value + "\r\n";
            return raw + "\r\n";
        }
        default: {
            const std::string wanted = query == WINHTTP_QUERY_CUSTOM
                                           ? Utf8Of(name)
                                           : std::string(headerName(query) ? headerName(query) : "");
            if (wanted.empty()) {
                SetLastError(query == WINHTTP_QUERY_CUSTOM ? ERROR_INVALID_PARAMETER
                                                           : ERROR_WINHTTP_HEADER_NOT_FOUND);
                return std::nullopt;
            }
            DWORD seen = 0;
            for (const auto& [key, value] : r.headers)
                if (equalNoCase(key, wanted) && seen++ == index) return value;
        }
    }
    SetLastError(ERROR_WINHTTP_HEADER_NOT_FOUND);
    return std::nullopt;
}

bool toNumber(std::string_view text, uint64_t& out) {
    text = trim(text);
    if (text.empty() || text.size() > 20) return false;
    out = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        const uint64_t next = out * 10 + static_cast<uint64_t>(c - '0');
        if (next < out) return false;
        out = next;
    }
    return true;
}

FILETIME fileTimeOf(time_t t) {
    const uint64_t ticks = (static_cast<uint64_t>(t) + 11644473600ULL) * 10000000ULL;
    return FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}

FILETIME fileTimeOf(const ASN1_TIME* time) {
    std::tm tm{};
    if (!time || ASN1_TIME_to_tm(time, &tm) != 1) return FILETIME{0, 0};
    return fileTimeOf(timegm(&tm));
}

// A name's attribute values in their order, one a line.
LPWSTR nameText(const X509_NAME* name) {
    std::u16string text;
    for (int i = 0; i < X509_NAME_entry_count(name); ++i) {
        unsigned char* utf8 = nullptr;
        const int length = ASN1_STRING_to_UTF8(&utf8, X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, i)));
        if (length < 0) continue;
        if (!text.empty()) text += u"\r\n";
        text += vsk::kernel::Utf8ToUtf16(
            std::string_view(reinterpret_cast<char*>(utf8), static_cast<size_t>(length)));
        OPENSSL_free(utf8);
    }
    auto* out = static_cast<LPWSTR>(LocalAlloc(LMEM_FIXED, (text.size() + 1) * sizeof(WCHAR)));
    if (!out) return nullptr;
    std::memcpy(out, text.data(), text.size() * sizeof(WCHAR));
    out[text.size()] = 0;
    return out;
}

BOOL putDword(LPVOID buffer, DWORD* length, DWORD value) {
    if (!length) return fail(ERROR_INVALID_PARAMETER);
    if (!buffer || *length < sizeof(DWORD)) {
        *length = sizeof(DWORD);
        return fail(ERROR_INSUFFICIENT_BUFFER);
    }
    std::memcpy(buffer, &value, sizeof(value));
    *length = sizeof(DWORD);
    return TRUE;
}

int* timeoutOf(Object& o, DWORD option) {
    switch (option) {
        case WINHTTP_OPTION_RESOLVE_TIMEOUT:
            return &o.timeouts.resolve;
        case WINHTTP_OPTION_CONNECT_TIMEOUT:
            return &o.timeouts.connect;
        case WINHTTP_OPTION_SEND_TIMEOUT:
            return &o.timeouts.send;
        case WINHTTP_OPTION_RECEIVE_TIMEOUT:
            return &o.timeouts.receive;
        default:
            return nullptr;
    }
}

// The lock of the session a handle belongs to.
std::mutex& lockOf(Object& o) {
    switch (o.kind) {
        case Kind::Session:
            return static_cast<Session&>(o).lock;
        case Kind::Connection:
            return static_cast<Connection&>(o).session->lock;
        case Kind::Request:
        default:
            return static_cast<Request&>(o).session().lock;
    }
}

}  // namespace

void SetTestCaFile(std::string pemFile) {
    std::lock_guard guard(g_testCaLock);
    g_testCaFile = std::move(pemFile);
}

std::string TestCaFile() {
    std::lock_guard guard(g_testCaLock);
    return g_testCaFile;
}

}  // namespace vsk::http

using namespace vsk::http;

// ---- Sessions, connections, requests ----------------------------------------------------------------

HINTERNET WinHttpOpen(LPCWSTR agent, DWORD accessType, LPCWSTR proxy, LPCWSTR proxyBypass, DWORD flags) {
    if (flags & WINHTTP_FLAG_ASYNC) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    globalInit();
    auto session = std::make_shared<Session>();
    if (!session->multi) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    session->agent = Utf8Of(agent);
    switch (accessType) {
        case WINHTTP_ACCESS_TYPE_DEFAULT_PROXY: {
            const DefaultProxy machine = DefaultProxyFromEnvironment();
            session->proxyList = machine.proxy;
            session->bypass = machine.bypass;
            break;
        }
        case WINHTTP_ACCESS_TYPE_NO_PROXY:
            break;
        case WINHTTP_ACCESS_TYPE_NAMED_PROXY:
            session->proxyList = Utf8Of(proxy);
            session->bypass = Utf8Of(proxyBypass);
            if (session->proxyList.empty()) {
                SetLastError(ERROR_INVALID_PARAMETER);
                return nullptr;
            }
            break;
        default:
            SetLastError(ERROR_INVALID_PARAMETER);
            return nullptr;
    }
    return addHandle(std::move(session));
}

HINTERNET WinHttpConnect(HINTERNET sessionHandle, LPCWSTR serverName, INTERNET_PORT port,
                         DWORD /*reserved*/) {
    auto session = find<Session>(sessionHandle, Kind::Session);
    if (!session) return nullptr;
    std::string host = Utf8Of(serverName);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    if (host.empty() || host.find_first_of(" \t\r\n/") != std::string::npos) {
        SetLastError(host.empty() ? ERROR_INVALID_PARAMETER : ERROR_WINHTTP_INVALID_URL);
        return nullptr;
    }
    auto connection = std::make_shared<Connection>();
    connection->timeouts = session->timeouts;
    connection->session = std::move(session);
    connection->host = std::move(host);
    connection->port = port;
    return addHandle(std::move(connection));
}

HINTERNET WinHttpOpenRequest(HINTERNET connectionHandle, LPCWSTR verb, LPCWSTR objectName, LPCWSTR version,
                             LPCWSTR referrer, LPCWSTR* acceptTypes, DWORD flags) {
    auto connection = find<Connection>(connectionHandle, Kind::Connection);
    if (!connection) return nullptr;
    auto request = std::make_shared<Request>();
    request->verb = verb && *verb ? Utf8Of(verb) : "GET";
    if (request->verb.find_first_of(" \t\r\n") != std::string::npos) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    request->path = EscapePath(Utf8Of(objectName));
    const std::string versionText = Utf8Of(version);
    if (versionText.empty() || equalNoCase(versionText, "HTTP/1.1"))
        request->httpVersion = CURL_HTTP_VERSION_1_1;
    else if (equalNoCase(versionText, "HTTP/1.0"))
        request->httpVersion = CURL_HTTP_VERSION_1_0;
    else {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    request->referrer = Utf8Of(referrer);
    if (acceptTypes) {
        std::string accept;
        for (LPCWSTR* type = acceptTypes; *type; ++type)
            accept += (accept.empty() ? "" : ", ") + Utf8Of(*type);
        if (!accept.empty()) request->accept = accept;
    }
    request->secure = (flags & WINHTTP_FLAG_SECURE) != 0;
    request->refresh = (flags & WINHTTP_FLAG_REFRESH) != 0;
    request->timeouts = connection->timeouts;
    request->connection = std::move(connection);
    return addHandle(std::move(request));
}

BOOL WinHttpCloseHandle(HINTERNET handle) {
    std::shared_ptr<Object> object;
    {
        Table& t = table();
        std::lock_guard guard(t.lock);
        auto it = t.objects.find(reinterpret_cast<uintptr_t>(handle));
        if (it == t.objects.end()) return fail(ERROR_INVALID_HANDLE);
        object = std::move(it->second);
        t.objects.erase(it);
    }
    // A call still working on the request (another thread) ends at its next step.
    if (object->kind == Kind::Request) {
        auto& r = static_cast<Request&>(*object);
        r.cancelled = true;
        if (r.session().multi) curl_multi_wakeup(r.session().multi);
    }
    return TRUE;
}

BOOL WinHttpSetCredentials(HINTERNET requestHandle, DWORD authTargets, DWORD authScheme, LPCWSTR userName,
                           LPCWSTR password, LPVOID /*authParams*/) {
    auto r = find<Request>(requestHandle, Kind::Request);
    if (!r) return FALSE;
    if ((authTargets != WINHTTP_AUTH_TARGET_SERVER && authTargets != WINHTTP_AUTH_TARGET_PROXY) ||
        curlAuth(authScheme) == CURLAUTH_NONE)
        return fail(ERROR_INVALID_PARAMETER);
    std::lock_guard guard(r->session().lock);
    Credentials& target = authTargets == WINHTTP_AUTH_TARGET_PROXY ? r->proxy : r->server;
    target.wipe();
    target.scheme = authScheme;
    target.user = Utf8Of(userName);
    target.password = Utf8Of(password);
    return TRUE;
}

BOOL WinHttpSendRequest(HINTERNET requestHandle, LPCWSTR headers, DWORD headersLength, LPVOID optional,
                        DWORD optionalLength, DWORD totalLength, DWORD_PTR /*context*/) {
    auto r = find<Request>(requestHandle, Kind::Request);
    if (!r) return FALSE;
    if (totalLength != optionalLength || (!optional && optionalLength)) return fail(ERROR_INVALID_PARAMETER);
    std::vector<std::string> extra;
    if (headers) {
        const std::string text = Utf8Of(
            headers, headersLength == static_cast<DWORD>(-1) ? static_cast<size_t>(-1) : headersLength);
        size_t start = 0;
        while (start < text.size()) {
            const size_t end = text.find('\n', start);
            const std::string_view line =
                trim(std::string_view(text).substr(start, end == std::string::npos ? end : end - start));
            if (!line.empty()) extra.emplace_back(line);
            if (end == std::string::npos) break;
            start = end + 1;
        }
    }
    std::lock_guard guard(r->session().lock);
    if (r->cancelled) return fail(ERROR_WINHTTP_OPERATION_CANCELLED);
    r->body.assign(static_cast<const char*>(optional), optional ? optionalLength : 0);
    if (!start(*r, extra)) return FALSE;
    drive(*r, [&] { return r->requestSent() || r->bodyStarted; });
    // Failures before the request went out belong to the send; later ones to the answer.
    if (r->finished && !r->requestSent() && !r->bodyStarted && !proxyAnswered(*r)) {
        const DWORD code = errorOf(*r);
        reportFailure(*r, "WinHttpSendRequest", code);
        r->sending = false;
        return fail(code);
    }
    return TRUE;
}

BOOL WinHttpReceiveResponse(HINTERNET requestHandle, LPVOID /*reserved*/) {
    auto r = find<Request>(requestHandle, Kind::Request);
    if (!r) return FALSE;
    std::lock_guard guard(r->session().lock);
    if (!r->sending) return fail(ERROR_WINHTTP_INCORRECT_HANDLE_STATE);
    if (!r->received) {
        drive(*r, [&] { return headersFinal(*r); });
        const bool answered = headersFinal(*r) || proxyAnswered(*r) ||
                              (r->finished && r->failure == 0 && r->result == CURLE_OK && r->status >= 200);
        if (!answered) {
            const DWORD code = r->finished    ? errorOf(*r)
                               : r->cancelled ? ERROR_WINHTTP_OPERATION_CANCELLED
                                              : ERROR_WINHTTP_INVALID_SERVER_RESPONSE;
            reportFailure(*r, "WinHttpReceiveResponse", code);
            return fail(code);
        }
        r->received = true;
        // A body announced beyond the limit is refused at once, before any of it is read.
        for (const auto& [name, value] : r->headers) {
            uint64_t length = 0;
            if (equalNoCase(name, "Content-Length") && toNumber(value, length) &&
                length > WinHttpMaxResponseBody)
                r->tooLarge = true;
        }
    }
    return TRUE;
}

BOOL WinHttpQueryHeaders(HINTERNET requestHandle, DWORD infoLevel, LPCWSTR name, LPVOID buffer,
                         DWORD* bufferLength, DWORD* index) {
    auto r = find<Request>(requestHandle, Kind::Request);
    if (!r) return FALSE;
    if (!bufferLength) return fail(ERROR_INVALID_PARAMETER);
    std::lock_guard guard(r->session().lock);
    if (!r->received) return fail(ERROR_WINHTTP_INCORRECT_HANDLE_STATE);
    if (infoLevel & WINHTTP_QUERY_FLAG_REQUEST_HEADERS) return fail(ERROR_WINHTTP_HEADER_NOT_FOUND);
    const DWORD query = infoLevel & 0xFFFF;
    const DWORD form =
        infoLevel & (WINHTTP_QUERY_FLAG_NUMBER | WINHTTP_QUERY_FLAG_NUMBER64 | WINHTTP_QUERY_FLAG_SYSTEMTIME);
    const std::optional<std::string> value = headerValue(*r, query, name, index ? *index : 0);
    if (!value) return FALSE;

    if (form == WINHTTP_QUERY_FLAG_NUMBER || form == WINHTTP_QUERY_FLAG_NUMBER64) {
        uint64_t number = 0;
        const size_t size = form == WINHTTP_QUERY_FLAG_NUMBER ? sizeof(DWORD) : sizeof(uint64_t);
        if (!toNumber(*value, number) || (size == sizeof(DWORD) && number > 0xFFFFFFFFu))
            return fail(ERROR_WINHTTP_HEADER_NOT_FOUND);
        if (!buffer || *bufferLength < size) {
            *bufferLength = static_cast<DWORD>(size);
            return fail(ERROR_INSUFFICIENT_BUFFER);
        }
        if (size == sizeof(DWORD)) {
            const auto small = static_cast<DWORD>(number);
            std::memcpy(buffer, &small, size);
        } else {
            std::memcpy(buffer, &number, size);
        }
        *bufferLength = static_cast<DWORD>(size);
    } else if (form == WINHTTP_QUERY_FLAG_SYSTEMTIME) {
        const time_t when = curl_getdate(value->c_str(), nullptr);
        std::tm tm{};
        if (when == -1 || !gmtime_r(&when, &tm)) return fail(ERROR_WINHTTP_HEADER_NOT_FOUND);
        if (!buffer || *bufferLength < sizeof(SYSTEMTIME)) {
            *bufferLength = sizeof(SYSTEMTIME);
            return fail(ERROR_INSUFFICIENT_BUFFER);
        }
        SYSTEMTIME time{};
        time.wYear = static_cast<WORD>(tm.tm_year + 1900);
        time.wMonth = static_cast<WORD>(tm.tm_mon + 1);
        time.wDayOfWeek = static_cast<WORD>(tm.tm_wday);
        time.wDay = static_cast<WORD>(tm.tm_mday);
        time.wHour = static_cast<WORD>(tm.tm_hour);
        time.wMinute = static_cast<WORD>(tm.tm_min);
        time.wSecond = static_cast<WORD>(tm.tm_sec);
        std::memcpy(buffer, &time, sizeof(time));
        *bufferLength = sizeof(SYSTEMTIME);
    } else if (form == 0) {
        const std::u16string text = wideOfHeader(*value);
        const size_t bytes = (text.size() + 1) * sizeof(WCHAR);
        if (!buffer || *bufferLength < bytes) {
            *bufferLength = static_cast<DWORD>(bytes);
            return fail(ERROR_INSUFFICIENT_BUFFER);
        }
        std::memcpy(buffer, text.c_str(), bytes);
        *bufferLength = static_cast<DWORD>(text.size() * sizeof(WCHAR));
    } else {
        return fail(ERROR_INVALID_PARAMETER);
    }
    if (index) ++*index;
    return TRUE;
}

BOOL WinHttpQueryAuthSchemes(HINTERNET requestHandle, DWORD* supportedSchemes, DWORD* firstScheme,
                             DWORD* authTarget) {
    auto r = find<Request>(requestHandle, Kind::Request);
    if (!r) return FALSE;
    if (!supportedSchemes || !firstScheme || !authTarget) return fail(ERROR_INVALID_PARAMETER);
    std::lock_guard guard(r->session().lock);
    if (!r->received) return fail(ERROR_WINHTTP_INCORRECT_HANDLE_STATE);
    const bool proxy = r->status == 407;
    if (!proxy && r->status != 401) return fail(ERROR_INVALID_OPERATION);
    static const std::pair<const char*, DWORD> schemes[] = {{"basic", WINHTTP_AUTH_SCHEME_BASIC},
                                                            {"ntlm", WINHTTP_AUTH_SCHEME_NTLM},
                                                            {"passport1.4", WINHTTP_AUTH_SCHEME_PASSPORT},
                                                            {"digest", WINHTTP_AUTH_SCHEME_DIGEST},
                                                            {"negotiate", WINHTTP_AUTH_SCHEME_NEGOTIATE}};
    DWORD supported = 0, first = 0;
    for (const auto& [key, value] : r->headers) {
        if (!equalNoCase(key, proxy ? "Proxy-Authenticate" : "WWW-Authenticate")) continue;
        // A header may hold several challenges: "Basic realm="a", Digest realm="b", nonce=..."; a
        // scheme is a token that is not followed by '='.
        size_t at = 0;
        while (at < value.size()) {
            while (at < value.size() && (value[at] == ' ' || value[at] == ',')) ++at;
            size_t end = at;
            while (end < value.size() && value[end] != ' ' && value[end] != ',' && value[end] != '=') ++end;
            const std::string token = lower(std::string_view(value).substr(at, end - at));
            const bool parameter = end < value.size() && value[end] == '=';
            if (!parameter)
                for (const auto& [schemeName, bit] : schemes)
                    if (token == schemeName) {
                        if (!first) first = bit;
                        supported |= bit;
                    }
            // Skip to the next ',' outside quotes.
            bool quoted = false;
            for (at = end; at < value.size(); ++at) {
                if (value[at] == '"') quoted = !quoted;
                if (!quoted && value[at] == ',') break;
                if (!quoted && !parameter && value[at] == ' ') break;
            }
        }
    }
    if (!supported) return fail(ERROR_INVALID_OPERATION);
    *supportedSchemes = supported;
    *firstScheme = first;
    *authTarget = proxy ? WINHTTP_AUTH_TARGET_PROXY : WINHTTP_AUTH_TARGET_SERVER;
    return TRUE;
}

BOOL WinHttpQueryDataAvailable(HINTERNET requestHandle, DWORD* bytesAvailable) {
    auto r = find<Request>(requestHandle, Kind::Request);
    if (!r) return FALSE;
    std::lock_guard guard(r->session().lock);
    if (!fill(*r, "WinHttpQueryDataAvailable")) return FALSE;
    if (bytesAvailable) *bytesAvailable = static_cast<DWORD>(std::min<size_t>(r->available(), 0xFFFFFFFFu));
    return TRUE;
}

BOOL WinHttpReadData(HINTERNET requestHandle, LPVOID buffer, DWORD bytesToRead, DWORD* bytesRead) {
    auto r = find<Request>(requestHandle, Kind::Request);
    if (!r) return FALSE;
    if (!bytesRead || (!buffer && bytesToRead)) return fail(ERROR_INVALID_PARAMETER);
    *bytesRead = 0;
    std::lock_guard guard(r->session().lock);
    if (bytesToRead == 0) return r->received ? TRUE : fail(ERROR_WINHTTP_INCORRECT_HANDLE_STATE);
    if (!fill(*r, "WinHttpReadData")) return FALSE;
    const size_t n = std::min<size_t>(bytesToRead, r->available());
    std::memcpy(buffer, r->buffer.data() + r->bufferOffset, n);
    r->bufferOffset += n;
    *bytesRead = static_cast<DWORD>(n);
    return TRUE;
}

// ---- Options ----------------------------------------------------------------------------------------

BOOL WinHttpSetTimeouts(HINTERNET handle, int resolveTimeout, int connectTimeout, int sendTimeout,
                        int receiveTimeout) {
    auto object = findObject(handle);
    if (!object) return FALSE;
    if (resolveTimeout < -1 || connectTimeout < -1 || sendTimeout < -1 || receiveTimeout < -1)
        return fail(ERROR_INVALID_PARAMETER);
    std::lock_guard guard(lockOf(*object));
    object->timeouts = Timeouts{std::max(resolveTimeout, 0), std::max(connectTimeout, 0),
                                std::max(sendTimeout, 0), std::max(receiveTimeout, 0)};
    return TRUE;
}

BOOL WinHttpSetOption(HINTERNET handle, DWORD option, LPVOID buffer, DWORD bufferLength) {
    auto object = findObject(handle);
    if (!object) return FALSE;
    if (!buffer || bufferLength != sizeof(DWORD)) return fail(ERROR_INVALID_PARAMETER);
    DWORD value = 0;
    std::memcpy(&value, buffer, sizeof(value));
    std::lock_guard guard(lockOf(*object));
    if (int* timeout = timeoutOf(*object, option)) {
        const auto signedValue = static_cast<int>(value);
        if (signedValue < -1) return fail(ERROR_INVALID_PARAMETER);
        *timeout = std::max(signedValue, 0);
        return TRUE;
    }
    if (option == WINHTTP_OPTION_SECURITY_FLAGS) {
        if (object->kind != Kind::Request) return fail(ERROR_WINHTTP_INCORRECT_HANDLE_TYPE);
        // Kept for WinHttpQueryOption only: certificates are verified whatever the flags say.
        static_cast<Request&>(*object).securityFlags = value;
        return TRUE;
    }
    return fail(ERROR_WINHTTP_INVALID_OPTION);
}

BOOL WinHttpQueryOption(HINTERNET handle, DWORD option, LPVOID buffer, DWORD* bufferLength) {
    auto object = findObject(handle);
    if (!object) return FALSE;
    if (!bufferLength) return fail(ERROR_INVALID_PARAMETER);
    std::lock_guard guard(lockOf(*object));
    if (int* timeout = timeoutOf(*object, option))
        return putDword(buffer, bufferLength, static_cast<DWORD>(*timeout));
    if (option != WINHTTP_OPTION_SECURITY_FLAGS && option != WINHTTP_OPTION_SECURITY_CERTIFICATE_STRUCT &&
        option != WINHTTP_OPTION_SERVER_CERT_CONTEXT)
        return fail(ERROR_WINHTTP_INVALID_OPTION);
    if (object->kind != Kind::Request) return fail(ERROR_WINHTTP_INCORRECT_HANDLE_TYPE);
    auto& r = static_cast<Request&>(*object);
    if (option == WINHTTP_OPTION_SECURITY_FLAGS) return putDword(buffer, bufferLength, r.securityFlags);

    const size_t size = option == WINHTTP_OPTION_SERVER_CERT_CONTEXT ? sizeof(PCCERT_CONTEXT)
                                                                     : sizeof(WINHTTP_CERTIFICATE_INFO);
    if (!buffer || *bufferLength < size) {
        *bufferLength = static_cast<DWORD>(size);
        return fail(ERROR_INSUFFICIENT_BUFFER);
    }
    if (r.certificate.empty()) return fail(ERROR_WINHTTP_INCORRECT_HANDLE_STATE);
    if (option == WINHTTP_OPTION_SERVER_CERT_CONTEXT) {
        if (!CertCreateCertificateContext) return fail(ERROR_NOT_SUPPORTED);
        PCCERT_CONTEXT context = CertCreateCertificateContext(CertificateEncoding, r.certificate.data(),
                                                              static_cast<DWORD>(r.certificate.size()));
        if (!context) return FALSE;
        std::memcpy(buffer, &context, sizeof(context));
        *bufferLength = sizeof(context);
        return TRUE;
    }
    const unsigned char* der = r.certificate.data();
    X509* certificate = d2i_X509(nullptr, &der, static_cast<long>(r.certificate.size()));
    if (!certificate) return fail(ERROR_WINHTTP_INTERNAL_ERROR);
    WINHTTP_CERTIFICATE_INFO info{};
    info.ftExpiry = fileTimeOf(X509_get0_notAfter(certificate));
    info.ftStart = fileTimeOf(X509_get0_notBefore(certificate));
    info.lpszSubjectInfo = nameText(X509_get_subject_name(certificate));
    info.lpszIssuerInfo = nameText(X509_get_issuer_name(certificate));
    info.dwKeySize = static_cast<DWORD>(std::max(r.cipherBits, 0));
    X509_free(certificate);
    std::memcpy(buffer, &info, sizeof(info));
    *bufferLength = sizeof(info);
    return TRUE;
}

BOOL WinHttpGetProxyForUrl(HINTERNET sessionHandle, LPCWSTR url, WINHTTP_AUTOPROXY_OPTIONS* options,
                           WINHTTP_PROXY_INFO* info) {
    auto session = find<Session>(sessionHandle, Kind::Session);
    if (!session) return FALSE;
    if (!url || !*url || !options || !info) return fail(ERROR_INVALID_PARAMETER);
    // No proxy script engine and no discovery: both fail at once, without asking the network.
    if (options->dwFlags & WINHTTP_AUTOPROXY_CONFIG_URL) return fail(ERROR_WINHTTP_UNABLE_TO_DOWNLOAD_SCRIPT);
    if (options->dwFlags & WINHTTP_AUTOPROXY_AUTO_DETECT) return fail(ERROR_WINHTTP_AUTODETECTION_FAILED);
    return fail(ERROR_INVALID_PARAMETER);
}
