// Local HTTP servers for the tests, on 127.0.0.1 only, each on a port of its own chosen by the system:
//  - an origin server, plain HTTP or HTTPS, with answers configured per path (or by a handler), and
//    counts of the requests, connections and body bytes it wrote;
//  - a forward proxy that can ask for Basic authentication (407) and that forwards plain requests
//    and CONNECT tunnels, to loopback addresses only;
//  - a silent server that accepts connections, reads what comes and never answers.
// HttpTestCa makes the certificates of the HTTPS servers once per test process with the openssl
// command: a test CA, a server certificate it signed for "localhost" and 127.0.0.1, one it signed for
// another host name, and a self-signed one.
//
// Header-only; the test executable links OpenSSL's SSL library. Every thread of a server ends when
// the server object goes (stop()).
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace VskTest {

// One answer of the origin server.
struct HttpTestResponse {
    int status = 200;
    std::string reason;  // empty: the usual phrase of the status
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    // The body is `body` written this many times (large bodies without holding them in memory).
    size_t repeat = 1;
    // Content-Length is added unless one of `headers` has that name or the body is chunked.
    bool chunked = false;
    // A wait before the status line.
    std::chrono::milliseconds delay{0};
    // The connection is closed instead of an answer.
    bool closeWithoutAnswer = false;
    // Only the headers and this many body bytes are written; then the server waits without writing
    // until the client goes (a body that stalls).
    std::optional<size_t> stallAfter;
};

// One request as the server (or proxy) read it.
struct HttpTestRequest {
    std::string method;
    std::string target;  // as on the request line: "/path?query", "http://host:port/path" or "host:port"
    std::string version;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;

    // The first header of that name (without regard to case); empty when absent.
    std::string header(std::string_view name) const {
        for (const auto& [key, value] : headers)
            if (equalNoCase(key, name)) return value;
        return {};
    }
    bool hasHeader(std::string_view name) const {
        for (const auto& header : headers)
            if (equalNoCase(header.first, name)) return true;
        return false;
    }
    // The target without its query.
    std::string path() const { return target.substr(0, target.find('?')); }

    static bool equalNoCase(std::string_view a, std::string_view b) {
        return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
                   return std::tolower(static_cast<unsigned char>(x)) ==
                          std::tolower(static_cast<unsigned char>(y));
               });
    }
};

inline std::string HttpTestBase64(std::string_view bytes) {
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        const uint32_t v = (static_cast<uint8_t>(bytes[i]) << 16) |
                           (static_cast<uint8_t>(bytes[i + 1]) << 8) | static_cast<uint8_t>(bytes[i + 2]);
        out += alphabet[v >> 18];
        out += alphabet[(v >> 12) & 63];
        out += alphabet[(v >> 6) & 63];
        out += alphabet[v & 63];
    }
    if (i < bytes.size()) {
        uint32_t v = static_cast<uint8_t>(bytes[i]) << 16;
        if (i + 1 < bytes.size()) v |= static_cast<uint8_t>(bytes[i + 1]) << 8;
        out += alphabet[v >> 18];
        out += alphabet[(v >> 12) & 63];
        out += i + 1 < bytes.size() ? alphabet[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

// The certificates of the HTTPS test servers, made once per process under $TMPDIR with openssl
// (EC P-256 keys: quick to make). Throws std::runtime_error when openssl fails.
class HttpTestCa {
public:
    struct Pair {
        std::string cert;  // PEM file
        std::string key;   // PEM file
    };

    static const HttpTestCa& get() {
        static std::mutex lock;
        static std::unique_ptr<HttpTestCa> made;
        std::lock_guard guard(lock);
        if (!made) made.reset(new HttpTestCa());
        return *made;
    }

    // The CA certificate (PEM): the file a client trusts for these servers.
    const std::string& caFile() const { return m_ca.cert; }
    // Signed by the CA for DNS:localhost and IP:127.0.0.1.
    const Pair& server() const { return m_server; }
    // Signed by the CA for another host name only (DNS:other.invalid).
    const Pair& wrongHost() const { return m_wrongHost; }
    // Self-signed, for localhost and 127.0.0.1: trusted by nobody.
    const Pair& selfSigned() const { return m_selfSigned; }
    const std::string& folder() const { return m_folder; }

private:
    HttpTestCa() {
        const char* tmp = std::getenv("TMPDIR");
        m_folder = std::string(tmp && *tmp ? tmp : "/tmp") + "/http-test-ca-" + std::to_string(getpid());
        std::filesystem::create_directories(m_folder);
        const std::string ec = " -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";
        m_ca = pair("ca");
        run("openssl req -x509 -days 3" + ec + " -keyout " + m_ca.key + " -out " + m_ca.cert +
            " -subj '/CN=Kestrovan HTTP Test CA' -addext basicConstraints=critical,CA:TRUE"
            " -addext keyUsage=critical,keyCertSign,cRLSign");
        m_server = signedPair("server", "/CN=localhost", "DNS:localhost,IP:127.0.0.1");
        m_wrongHost = signedPair("wronghost", "/CN=other.invalid", "DNS:other.invalid");
        m_selfSigned = pair("selfsigned");
        run("openssl req -x509 -days 3" + ec + " -keyout " + m_selfSigned.key + " -out " + m_selfSigned.cert +
            " -subj '/CN=localhost' -addext subjectAltName=DNS:localhost,IP:127.0.0.1");
    }

    Pair pair(const std::string& name) const {
        return {m_folder + "/" + name + ".pem", m_folder + "/" + name + ".key"};
    }

    Pair signedPair(const std::string& name, const std::string& subject, const std::string& altNames) const {
        const Pair p = pair(name);
        const std::string csr = m_folder + "/" + name + ".csr";
        const std::string ext = m_folder + "/" + name + ".ext";
        if (FILE* f = std::fopen(ext.c_str(), "w")) {
            std::fprintf(f,
                         "basicConstraints=CA:FALSE\nkeyUsage=digitalSignature\nextendedKeyUsage=serverAuth\n"
                         "subjectAltName=%s\n",
                         altNames.c_str());
            std::fclose(f);
        }
        run("openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout " + p.key +
            " -out " + csr + " -subj '" + subject + "'");
        run("openssl x509 -req -days 3 -in " + csr + " -CA " + m_ca.cert + " -CAkey " + m_ca.key +
            " -set_serial 0x" + std::to_string(100 + name.size()) + std::to_string(std::rand() % 1000) +
            " -extfile " + ext + " -out " + p.cert);
        return p;
    }

    static void run(const std::string& command) {
        if (std::system((command + " >/dev/null 2>&1").c_str()) != 0)
            throw std::runtime_error("openssl failed: " + command);
    }

    std::string m_folder;
    Pair m_ca, m_server, m_wrongHost, m_selfSigned;
};

class HttpTestServer {
public:
    enum class Mode { Plain, Tls, Proxy, Silent };
    using Handler = std::function<HttpTestResponse(const HttpTestRequest&)>;

    // An origin server over plain HTTP.
    static std::unique_ptr<HttpTestServer> plain() {
        return std::unique_ptr<HttpTestServer>(new HttpTestServer(Mode::Plain));
    }
    // An origin server over TLS with the given certificate (chain) and key files.
    static std::unique_ptr<HttpTestServer> tls(const HttpTestCa::Pair& identity) {
        auto server = std::unique_ptr<HttpTestServer>(new HttpTestServer(Mode::Tls, identity));
        return server;
    }
    // A forward proxy; with a user it answers 407 (Basic, realm "kestrovan-test") to every request
    // without exactly these credentials.
    static std::unique_ptr<HttpTestServer> proxy(std::string user = {}, std::string password = {}) {
        auto server = std::unique_ptr<HttpTestServer>(new HttpTestServer(Mode::Proxy));
        server->m_proxyUser = std::move(user);
        server->m_proxyPassword = std::move(password);
        return server;
    }
    // Accepts connections and never answers.
    static std::unique_ptr<HttpTestServer> silent() {
        return std::unique_ptr<HttpTestServer>(new HttpTestServer(Mode::Silent));
    }

    ~HttpTestServer() { stop(); }
    HttpTestServer(const HttpTestServer&) = delete;
    HttpTestServer& operator=(const HttpTestServer&) = delete;

    uint16_t port() const { return m_port; }
    // "127.0.0.1:port"
    std::string address() const { return "127.0.0.1:" + std::to_string(m_port); }
    // The URL of `path` on this server ("http://127.0.0.1:port/path", https for a TLS server).
    std::string url(std::string_view path = "/") const {
        return std::string(m_mode == Mode::Tls ? "https://" : "http://") + address() + std::string(path);
    }

    // The answer for requests whose path (target without query) is `path`; replaces an earlier one.
    void setResponse(const std::string& path, HttpTestResponse response) {
        std::lock_guard guard(m_lock);
        m_responses[path] = std::move(response);
    }
    // A handler asked for every request (after the per-path answers found nothing).
    void setHandler(Handler handler) {
        std::lock_guard guard(m_lock);
        m_handler = std::move(handler);
    }

    // What came in: every request read (the proxy counts CONNECT requests and the requests it
    // forwards, its 407 answers included), accepted connections, and the body bytes written.
    size_t requestCount() const {
        std::lock_guard guard(m_lock);
        return m_requests.size();
    }
    size_t requestCount(std::string_view path) const {
        std::lock_guard guard(m_lock);
        return static_cast<size_t>(std::count_if(m_requests.begin(), m_requests.end(),
                                                 [&](const HttpTestRequest& r) { return r.path() == path; }));
    }
    std::vector<HttpTestRequest> requests() const {
        std::lock_guard guard(m_lock);
        return m_requests;
    }
    size_t connectionCount() const { return m_connections.load(); }
    uint64_t bodyBytesWritten() const { return m_bodyBytes.load(); }
    // Connections whose handling has ended (closed by either side).
    size_t closedConnectionCount() const { return m_closedConnections.load(); }
    void resetCounts() {
        std::lock_guard guard(m_lock);
        m_requests.clear();
        m_connections = 0;
        m_bodyBytes = 0;
        m_closedConnections = 0;
    }

    // Ends every connection and the listener; waits for their threads.
    void stop() {
        if (m_stopping.exchange(true)) return;
        if (m_acceptThread.joinable()) m_acceptThread.join();
        std::list<Worker> workers;
        {
            std::lock_guard guard(m_lock);
            for (Worker& w : m_workers) ::shutdown(w.fd->load(), SHUT_RDWR);
            workers.splice(workers.end(), m_workers);
        }
        for (Worker& w : workers)
            if (w.thread.joinable()) w.thread.join();
        if (m_listen >= 0) ::close(m_listen);
        m_listen = -1;
        if (m_ctx) SSL_CTX_free(m_ctx);
        m_ctx = nullptr;
    }

private:
    struct Worker {
        std::thread thread;
        std::shared_ptr<std::atomic<int>> fd;
        std::shared_ptr<std::atomic<bool>> done;
    };

    // One side of a connection: a socket, with TLS on it for a TLS server.
    struct Stream {
        int fd = -1;
        SSL* ssl = nullptr;
        const std::atomic<bool>* stopping = nullptr;

        // Waits (in short steps, so that stop() is noticed) until data can be read; false at the end.
        bool waitReadable() const {
            if (ssl && SSL_pending(ssl) > 0) return true;
            while (!stopping->load()) {
                pollfd p{fd, POLLIN, 0};
                const int n = ::poll(&p, 1, 100);
                if (n > 0) return true;
                if (n < 0 && errno != EINTR) return false;
            }
            return false;
        }
        // Some bytes, or 0 at the end of the stream or on an error.
        size_t readSome(char* buffer, size_t size) const {
            if (!waitReadable()) return 0;
            if (ssl) {
                const int n = SSL_read(ssl, buffer, static_cast<int>(size));
                return n > 0 ? static_cast<size_t>(n) : 0;
            }
            ssize_t n;
            do n = ::recv(fd, buffer, size, 0);
            while (n < 0 && errno == EINTR);
            return n > 0 ? static_cast<size_t>(n) : 0;
        }
        bool writeAll(std::string_view data) const {
            while (!data.empty()) {
                if (stopping->load()) return false;
                ssize_t n;
                if (ssl) {
                    n = SSL_write(ssl, data.data(), static_cast<int>(std::min<size_t>(data.size(), 1 << 20)));
                } else {
                    do n = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
                    while (n < 0 && errno == EINTR);
                }
                if (n <= 0) return false;
                data.remove_prefix(static_cast<size_t>(n));
            }
            return true;
        }
    };

    explicit HttpTestServer(Mode mode, const HttpTestCa::Pair& identity = {}) : m_mode(mode) {
        // TLS writes to a closed peer must fail, not end the test process.
        signal(SIGPIPE, SIG_IGN);
        if (mode == Mode::Tls) {
            m_ctx = SSL_CTX_new(TLS_server_method());
            if (!m_ctx || SSL_CTX_use_certificate_chain_file(m_ctx, identity.cert.c_str()) != 1 ||
                SSL_CTX_use_PrivateKey_file(m_ctx, identity.key.c_str(), SSL_FILETYPE_PEM) != 1)
                throw std::runtime_error("TLS test server: cannot load " + identity.cert);
            SSL_CTX_set_min_proto_version(m_ctx, TLS1_2_VERSION);
        }
        m_listen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof(address);
        if (m_listen < 0 || ::bind(m_listen, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
            ::listen(m_listen, 64) != 0 ||
            ::getsockname(m_listen, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            throw std::runtime_error("test server: cannot listen on 127.0.0.1");
        m_port = ntohs(address.sin_port);
        m_acceptThread = std::thread([this] { acceptLoop(); });
    }

    void acceptLoop() {
        while (!m_stopping.load()) {
            pollfd p{m_listen, POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0) continue;
            const int fd = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) continue;
            const int one = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
            ++m_connections;
            std::lock_guard guard(m_lock);
            // Threads of ended connections are joined here, so that a long test keeps few of them.
            for (auto it = m_workers.begin(); it != m_workers.end();) {
                if (it->done->load()) {
                    it->thread.join();
                    it = m_workers.erase(it);
                } else {
                    ++it;
                }
            }
            Worker w{{}, std::make_shared<std::atomic<int>>(fd), std::make_shared<std::atomic<bool>>(false)};
            w.thread = std::thread([this, fd, done = w.done] {
                serve(fd);
                ::close(fd);
                ++m_closedConnections;
                done->store(true);
            });
            m_workers.push_back(std::move(w));
        }
    }

    void serve(int fd) {
        Stream stream{fd, nullptr, &m_stopping};
        if (m_mode == Mode::Tls) {
            stream.ssl = SSL_new(m_ctx);
            SSL_set_fd(stream.ssl, fd);
            // A client that refuses the certificate ends the handshake here.
            if (SSL_accept(stream.ssl) != 1) {
                ERR_clear_error();
                SSL_free(stream.ssl);
                return;
            }
        }
        if (m_mode == Mode::Silent) {
            char buffer[4096];
            while (stream.readSome(buffer, sizeof(buffer)) > 0) {
            }
        } else if (m_mode == Mode::Proxy) {
            serveProxy(stream);
        } else {
            serveOrigin(stream);
        }
        if (stream.ssl) {
            SSL_shutdown(stream.ssl);
            SSL_free(stream.ssl);
        }
        ERR_clear_error();
    }

    // Reads one request (headers and a Content-Length body) from `stream`, with what was read past it
    // kept in `pending`. False at the end of the stream or for a request it cannot read.
    static bool readRequest(const Stream& stream, std::string& pending, HttpTestRequest& request) {
        constexpr size_t MaxHeaderBytes = 64 * 1024;
        char buffer[16384];
        size_t end;
        while ((end = pending.find("\r\n\r\n")) == std::string::npos) {
            if (pending.size() > MaxHeaderBytes) return false;
            const size_t n = stream.readSome(buffer, sizeof(buffer));
            if (n == 0) return false;
            pending.append(buffer, n);
        }
        const std::string head = pending.substr(0, end);
        pending.erase(0, end + 4);
        size_t lineEnd = head.find("\r\n");
        const std::string requestLine = head.substr(0, lineEnd);
        const size_t sp1 = requestLine.find(' ');
        const size_t sp2 = requestLine.rfind(' ');
        if (sp1 == std::string::npos || sp2 == sp1) return false;
        request = HttpTestRequest{};
        request.method = requestLine.substr(0, sp1);
        request.target = requestLine.substr(sp1 + 1, sp2 - sp1 - 1);
        request.version = requestLine.substr(sp2 + 1);
        while (lineEnd != std::string::npos) {
            const size_t start = lineEnd + 2;
            lineEnd = head.find("\r\n", start);
            const std::string line =
                head.substr(start, lineEnd == std::string::npos ? std::string::npos : lineEnd - start);
            const size_t colon = line.find(':');
            if (colon == std::string::npos) continue;
            size_t valueStart = colon + 1;
            while (valueStart < line.size() && line[valueStart] == ' ') ++valueStart;
            request.headers.emplace_back(line.substr(0, colon), line.substr(valueStart));
        }
        const std::string length = request.header("Content-Length");
        const size_t bodySize = length.empty() ? 0 : std::stoul(length);
        while (pending.size() < bodySize) {
            const size_t n = stream.readSome(buffer, sizeof(buffer));
            if (n == 0) return false;
            pending.append(buffer, n);
        }
        request.body = pending.substr(0, bodySize);
        pending.erase(0, bodySize);
        return true;
    }

    static std::string reasonOf(int status) {
        switch (status) {
            case 200:
                return "OK";
            case 204:
                return "No Content";
            case 301:
                return "Moved Permanently";
            case 302:
                return "Found";
            case 304:
                return "Not Modified";
            case 401:
                return "Unauthorized";
            case 403:
                return "Forbidden";
            case 404:
                return "Not Found";
            case 407:
                return "Proxy Authentication Required";
            case 500:
                return "Internal Server Error";
            case 502:
                return "Bad Gateway";
            default:
                return "Status";
        }
    }

    HttpTestResponse answerFor(const HttpTestRequest& request) {
        Handler handler;
        {
            std::lock_guard guard(m_lock);
            m_requests.push_back(request);
            if (auto it = m_responses.find(request.path()); it != m_responses.end()) return it->second;
            handler = m_handler;
        }
        // Outside the lock: a handler may ask for the counts.
        if (handler) return handler(request);
        HttpTestResponse notFound;
        notFound.status = 404;
        notFound.body = "not found";
        return notFound;
    }

    // Writes one answer; false when the connection is to end.
    bool writeResponse(const Stream& stream, const HttpTestRequest& request,
                       const HttpTestResponse& response) {
        if (response.delay.count() > 0) {
            const auto until = std::chrono::steady_clock::now() + response.delay;
            while (std::chrono::steady_clock::now() < until && !m_stopping.load())
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        if (response.closeWithoutAnswer) return false;
        const bool head = request.method == "HEAD";
        const uint64_t bodySize = static_cast<uint64_t>(response.body.size()) * response.repeat;
        std::string out = "HTTP/1.1 " + std::to_string(response.status) + " " +
                          (response.reason.empty() ? reasonOf(response.status) : response.reason) + "\r\n";
        bool hasLength = false;
        for (const auto& [name, value] : response.headers) {
            hasLength |= HttpTestRequest::equalNoCase(name, "Content-Length");
            out += name + ": " + value + "\r\n";
        }
        if (response.chunked)
            out += "Transfer-Encoding: chunked\r\n";
        else if (!hasLength)
            out += "Content-Length: " + std::to_string(bodySize) + "\r\n";
        out += "\r\n";
        if (!stream.writeAll(out)) return false;
        if (head || response.status == 204 || response.status == 304) return true;
        uint64_t written = 0;
        const uint64_t limit =
            response.stallAfter ? std::min<uint64_t>(*response.stallAfter, bodySize) : bodySize;
        for (size_t i = 0; i < response.repeat && written < limit; ++i) {
            std::string_view part(response.body);
            part = part.substr(0, static_cast<size_t>(std::min<uint64_t>(part.size(), limit - written)));
            // Large bodies go out in pieces, so that the count follows what the client took.
            while (!part.empty()) {
                const std::string_view piece = part.substr(0, 65536);
                std::string framed = response.chunked
                                         ? hex(piece.size()) + "\r\n" + std::string(piece) + "\r\n"
                                         : std::string(piece);
                if (!stream.writeAll(framed)) return false;
                m_bodyBytes += piece.size();
                written += piece.size();
                part.remove_prefix(piece.size());
            }
        }
        if (response.stallAfter) {
            char buffer[4096];
            while (stream.readSome(buffer, sizeof(buffer)) > 0) {
            }
            return false;
        }
        if (response.chunked && !stream.writeAll("0\r\n\r\n")) return false;
        return true;
    }

    static std::string hex(size_t value) {
        char text[32];
        std::snprintf(text, sizeof(text), "%zx", value);
        return text;
    }

    static bool wantsClose(const HttpTestRequest& request) {
        return HttpTestRequest::equalNoCase(request.header("Connection"), "close") ||
               request.version == "HTTP/1.0";
    }

    void serveOrigin(const Stream& stream) {
        std::string pending;
        HttpTestRequest request;
        while (!m_stopping.load() && readRequest(stream, pending, request)) {
            const HttpTestResponse response = answerFor(request);
            if (!writeResponse(stream, request, response) || wantsClose(request)) return;
        }
    }

    // Host and port of a proxy target ("host:port" or "http://host:port/..."); only loopback hosts.
    static bool loopbackTarget(std::string authority, std::string& host, uint16_t& port,
                               uint16_t defaultPort) {
        if (authority.rfind('@') != std::string::npos) authority.erase(0, authority.rfind('@') + 1);
        std::string portText;
        if (!authority.empty() && authority[0] == '[') {
            const size_t close = authority.find(']');
            if (close == std::string::npos) return false;
            host = authority.substr(1, close - 1);
            if (close + 1 < authority.size() && authority[close + 1] == ':')
                portText = authority.substr(close + 2);
        } else {
            const size_t colon = authority.find(':');
            host = authority.substr(0, colon);
            if (colon != std::string::npos) portText = authority.substr(colon + 1);
        }
        port = portText.empty() ? defaultPort : static_cast<uint16_t>(std::atoi(portText.c_str()));
        return host == "127.0.0.1" || host == "localhost";
    }

    static int connectLoopback(uint16_t port) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(port);
        if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0) return fd;
        if (fd >= 0) ::close(fd);
        return -1;
    }

    // Copies bytes both ways until either side ends.
    void relay(int a, int b, std::string firstToB = {}) {
        if (!firstToB.empty() && ::send(b, firstToB.data(), firstToB.size(), MSG_NOSIGNAL) < 0) return;
        char buffer[65536];
        while (!m_stopping.load()) {
            pollfd p[2] = {{a, POLLIN, 0}, {b, POLLIN, 0}};
            if (::poll(p, 2, 100) <= 0) continue;
            for (int i = 0; i < 2; ++i) {
                if (!(p[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
                const ssize_t n = ::recv(p[i].fd, buffer, sizeof(buffer), 0);
                if (n <= 0) return;
                if (::send(p[1 - i].fd, buffer, static_cast<size_t>(n), MSG_NOSIGNAL) != n) return;
            }
        }
    }

    void serveProxy(const Stream& stream) {
        std::string pending;
        HttpTestRequest request;
        while (!m_stopping.load() && readRequest(stream, pending, request)) {
            {
                std::lock_guard guard(m_lock);
                m_requests.push_back(request);
            }
            if (!m_proxyUser.empty() && request.header("Proxy-Authorization") !=
                                            "Basic " + HttpTestBase64(m_proxyUser + ":" + m_proxyPassword)) {
                const std::string body = "proxy authentication required";
                const std::string answer =
                    "HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: Basic "
                    "realm=\"kestrovan-test\"\r\n"
                    "Content-Length: " +
                    std::to_string(body.size()) + "\r\n\r\n" + body;
                if (!stream.writeAll(answer) || wantsClose(request)) return;
                continue;
            }
            std::string host;
            uint16_t port = 0;
            if (request.method == "CONNECT") {
                const int upstream =
                    loopbackTarget(request.target, host, port, 443) ? connectLoopback(port) : -1;
                if (upstream < 0) {
                    stream.writeAll("HTTP/1.1 502 Bad Gateway\r\nContent-Length: 0\r\n\r\n");
                    return;
                }
                if (stream.writeAll("HTTP/1.1 200 Connection established\r\n\r\n"))
                    relay(stream.fd, upstream, pending);
                ::close(upstream);
                return;
            }
            const std::string prefix = "http://";
            if (request.target.rfind(prefix, 0) != 0) {
                stream.writeAll("HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n");
                return;
            }
            const size_t slash = request.target.find('/', prefix.size());
            const std::string authority = request.target.substr(prefix.size(), slash - prefix.size());
            const int upstream = loopbackTarget(authority, host, port, 80) ? connectLoopback(port) : -1;
            if (upstream < 0) {
                stream.writeAll("HTTP/1.1 502 Bad Gateway\r\nContent-Length: 0\r\n\r\n");
                return;
            }
            std::string forwarded = request.method + " " +
                                    (slash == std::string::npos ? "/" : request.target.substr(slash)) + " " +
                                    request.version + "\r\n";
            for (const auto& [name, value] : request.headers)
                if (!HttpTestRequest::equalNoCase(name, "Proxy-Authorization") &&
                    !HttpTestRequest::equalNoCase(name, "Proxy-Connection") &&
                    !HttpTestRequest::equalNoCase(name, "Connection"))
                    forwarded += name + ": " + value + "\r\n";
            forwarded += "Connection: close\r\n\r\n" + request.body;
            relay(stream.fd, upstream, forwarded);
            ::close(upstream);
            return;
        }
    }

    const Mode m_mode;
    uint16_t m_port = 0;
    int m_listen = -1;
    SSL_CTX* m_ctx = nullptr;
    std::string m_proxyUser;
    std::string m_proxyPassword;
    std::atomic<bool> m_stopping{false};
    std::atomic<size_t> m_connections{0};
    std::atomic<size_t> m_closedConnections{0};
    std::atomic<uint64_t> m_bodyBytes{0};
    mutable std::mutex m_lock;
    std::map<std::string, HttpTestResponse> m_responses;
    Handler m_handler;
    std::vector<HttpTestRequest> m_requests;
    std::list<Worker> m_workers;
    std::thread m_acceptThread;
};

}  // namespace VskTest
