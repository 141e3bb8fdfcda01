#include "support/HttpsClient.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <gnutls/gnutls.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace qmtest {
namespace {

void initOnce() {
    static std::once_flag once;
    std::call_once(once, [] {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
        gnutls_global_init();
    });
}

bool equalsIgnoreCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i];
        char y = b[i];
        if (x >= 'A' && x <= 'Z') {
            x = static_cast<char>(x - 'A' + 'a');
        }
        if (y >= 'A' && y <= 'Z') {
            y = static_cast<char>(y - 'A' + 'a');
        }
        if (x != y) {
            return false;
        }
    }
    return true;
}

constexpr const char* kAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int alphabetValue(char c) {
    const char* at = std::strchr(kAlphabet, c);
    if (c == '\0' || at == nullptr) {
        return -1;
    }
    return static_cast<int>(at - kAlphabet);
}

}  // namespace

std::optional<std::string> HttpResponse::header(const std::string& name) const {
    for (const auto& [key, value] : headers) {
        if (equalsIgnoreCase(key, name)) {
            return value;
        }
    }
    return std::nullopt;
}

struct HttpsClient::Impl {
    SOCKET socket = INVALID_SOCKET;
    gnutls_session_t session = nullptr;
    gnutls_certificate_credentials_t credentials = nullptr;
    std::string pending;  // bytes received but not yet consumed
    bool closed = false;
    bool timedOut = false;

    ~Impl() {
        if (session != nullptr) {
            gnutls_deinit(session);
        }
        if (credentials != nullptr) {
            gnutls_certificate_free_credentials(credentials);
        }
        if (socket != INVALID_SOCKET) {
            closesocket(socket);
        }
    }

    void setErrno(int wsaError) {
        int value = ECONNRESET;
        if (wsaError == WSAEWOULDBLOCK) {
            value = EAGAIN;
        } else if (wsaError == WSAEINTR) {
            value = EINTR;
        } else if (wsaError == WSAETIMEDOUT) {
            timedOut = true;
        }
        gnutls_transport_set_errno(session, value);
    }

    static ssize_t push(gnutls_transport_ptr_t pointer, const void* data, size_t size) {
        auto* self = static_cast<Impl*>(pointer);
        int sent = ::send(self->socket, static_cast<const char*>(data), static_cast<int>(size), 0);
        if (sent == SOCKET_ERROR) {
            self->setErrno(WSAGetLastError());
            return -1;
        }
        return sent;
    }

    static ssize_t pull(gnutls_transport_ptr_t pointer, void* data, size_t size) {
        auto* self = static_cast<Impl*>(pointer);
        int received = ::recv(self->socket, static_cast<char*>(data), static_cast<int>(size), 0);
        if (received == SOCKET_ERROR) {
            self->setErrno(WSAGetLastError());
            return -1;
        }
        return received;
    }

    static int pullTimeout(gnutls_transport_ptr_t pointer, unsigned int ms) {
        auto* self = static_cast<Impl*>(pointer);
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(self->socket, &readable);
        timeval wait{};
        wait.tv_sec = static_cast<long>(ms / 1000);
        wait.tv_usec = static_cast<long>((ms % 1000) * 1000);
        int ready = select(0, &readable, nullptr, nullptr,
                           ms == GNUTLS_INDEFINITE_TIMEOUT ? nullptr : &wait);
        if (ready == SOCKET_ERROR) {
            self->setErrno(WSAGetLastError());
            return -1;
        }
        return ready;
    }

    // Receives more bytes into pending. False on close, failure or time-out.
    bool receiveMore() {
        if (closed) {
            return false;
        }
        char buffer[16384];
        for (;;) {
            ssize_t got = gnutls_record_recv(session, buffer, sizeof buffer);
            if (got > 0) {
                pending.append(buffer, static_cast<size_t>(got));
                return true;
            }
            if (got == GNUTLS_E_AGAIN || got == GNUTLS_E_INTERRUPTED) {
                continue;
            }
            closed = true;
            return false;
        }
    }

    // Takes exactly count bytes from the stream.
    bool take(size_t count, std::string& out) {
        while (pending.size() < count) {
            if (!receiveMore()) {
                return false;
            }
        }
        out.append(pending, 0, count);
        pending.erase(0, count);
        return true;
    }

    // Takes one line ending in CRLF (without the CRLF).
    bool takeLine(std::string& line) {
        for (;;) {
            size_t end = pending.find("\r\n");
            if (end != std::string::npos) {
                line = pending.substr(0, end);
                pending.erase(0, end + 2);
                return true;
            }
            if (!receiveMore()) {
                return false;
            }
        }
    }
};

HttpsClient::HttpsClient(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

HttpsClient::~HttpsClient() = default;

std::unique_ptr<HttpsClient> HttpsClient::connect(const std::string& host, int port,
                                                  const std::string& priority, std::string* error,
                                                  int timeoutMs) {
    initOnce();
    auto fail = [error](const std::string& why) -> std::unique_ptr<HttpsClient> {
        if (error != nullptr) {
            *error = why;
        }
        return nullptr;
    };

    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0 ||
        found == nullptr) {
        return fail("address " + host);
    }
    auto impl = std::make_unique<Impl>();
    impl->socket = ::socket(found->ai_family, SOCK_STREAM, IPPROTO_TCP);
    if (impl->socket == INVALID_SOCKET) {
        freeaddrinfo(found);
        return fail("socket");
    }
    DWORD wait = static_cast<DWORD>(timeoutMs);
    setsockopt(impl->socket, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&wait),
               sizeof wait);
    setsockopt(impl->socket, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&wait),
               sizeof wait);
    int connected = ::connect(impl->socket, found->ai_addr, static_cast<int>(found->ai_addrlen));
    freeaddrinfo(found);
    if (connected != 0) {
        return fail("connect " + std::to_string(WSAGetLastError()));
    }

    gnutls_certificate_allocate_credentials(&impl->credentials);
    gnutls_init(&impl->session, GNUTLS_CLIENT);
    const char* where = nullptr;
    if (gnutls_priority_set_direct(impl->session, priority.c_str(), &where) < 0) {
        return fail(std::string("priority at ") + (where != nullptr ? where : "?"));
    }
    gnutls_credentials_set(impl->session, GNUTLS_CRD_CERTIFICATE, impl->credentials);
    gnutls_server_name_set(impl->session, GNUTLS_NAME_DNS, "localhost", 9);
    gnutls_transport_set_ptr(impl->session, impl.get());
    gnutls_transport_set_push_function(impl->session, &Impl::push);
    gnutls_transport_set_pull_function(impl->session, &Impl::pull);
    gnutls_transport_set_pull_timeout_function(impl->session, &Impl::pullTimeout);
    gnutls_handshake_set_timeout(impl->session, static_cast<unsigned>(timeoutMs));

    int result;
    do {
        result = gnutls_handshake(impl->session);
    } while (result < 0 && gnutls_error_is_fatal(result) == 0);
    if (result < 0) {
        return fail(std::string("handshake: ") + gnutls_strerror(result));
    }
    return std::unique_ptr<HttpsClient>(new HttpsClient(std::move(impl)));
}

int HttpsClient::protocol() const {
    return static_cast<int>(gnutls_protocol_get_version(impl_->session));
}

std::string HttpsClient::peerCertificateDer() const {
    unsigned int count = 0;
    const gnutls_datum_t* list = gnutls_certificate_get_peers(impl_->session, &count);
    if (list == nullptr || count == 0) {
        return {};
    }
    return std::string(reinterpret_cast<const char*>(list[0].data), list[0].size);
}

bool HttpsClient::send(const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t sent = gnutls_record_send(impl_->session, bytes.data() + done, bytes.size() - done);
        if (sent == GNUTLS_E_AGAIN || sent == GNUTLS_E_INTERRUPTED) {
            continue;
        }
        if (sent <= 0) {
            impl_->closed = true;
            return false;
        }
        done += static_cast<size_t>(sent);
    }
    return true;
}

std::optional<HttpResponse> HttpsClient::readResponse() {
    Impl& io = *impl_;
    HttpResponse response;
    std::string line;
    if (!io.takeLine(line)) {
        return std::nullopt;
    }
    // "HTTP/1.1 200 OK"
    size_t first = line.find(' ');
    if (first == std::string::npos || line.compare(0, 5, "HTTP/") != 0) {
        return std::nullopt;
    }
    response.status = std::atoi(line.c_str() + first + 1);
    size_t second = line.find(' ', first + 1);
    if (second != std::string::npos) {
        response.reason = line.substr(second + 1);
    }
    for (;;) {
        if (!io.takeLine(line)) {
            return std::nullopt;
        }
        if (line.empty()) {
            break;
        }
        size_t colon = line.find(':');
        if (colon == std::string::npos) {
            return std::nullopt;
        }
        std::string value = line.substr(colon + 1);
        size_t start = value.find_first_not_of(" \t");
        value = start == std::string::npos ? std::string() : value.substr(start);
        response.headers.emplace_back(line.substr(0, colon), value);
    }
    if (response.status == 204 || response.status == 304 || response.status / 100 == 1) {
        return response;
    }
    auto encoding = response.header("Transfer-Encoding");
    if (encoding && equalsIgnoreCase(*encoding, "chunked")) {
        for (;;) {
            if (!io.takeLine(line)) {
                return std::nullopt;
            }
            size_t size = std::strtoul(line.c_str(), nullptr, 16);
            if (size == 0) {
                // Trailer lines up to the empty one.
                do {
                    if (!io.takeLine(line)) {
                        return std::nullopt;
                    }
                } while (!line.empty());
                return response;
            }
            if (!io.take(size, response.body) || !io.takeLine(line) || !line.empty()) {
                return std::nullopt;
            }
        }
    }
    auto length = response.header("Content-Length");
    if (length) {
        if (!io.take(std::strtoul(length->c_str(), nullptr, 10), response.body)) {
            return std::nullopt;
        }
        return response;
    }
    while (io.receiveMore()) {
    }
    response.body = io.pending;
    io.pending.clear();
    return response;
}

bool HttpsClient::waitForClose() {
    Impl& io = *impl_;
    if (!io.pending.empty()) {
        return false;
    }
    io.timedOut = false;
    if (io.receiveMore()) {
        return false;
    }
    return !io.timedOut;
}

std::string base64Encode(const std::string& bytes) {
    std::string out;
    size_t i = 0;
    auto at = [&bytes](size_t index) { return static_cast<unsigned char>(bytes[index]); };
    for (; i + 2 < bytes.size(); i += 3) {
        unsigned value = (at(i) << 16) | (at(i + 1) << 8) | at(i + 2);
        out += kAlphabet[(value >> 18) & 63];
        out += kAlphabet[(value >> 12) & 63];
        out += kAlphabet[(value >> 6) & 63];
        out += kAlphabet[value & 63];
    }
    if (bytes.size() - i == 1) {
        unsigned value = at(i) << 16;
        out += kAlphabet[(value >> 18) & 63];
        out += kAlphabet[(value >> 12) & 63];
        out += "==";
    } else if (bytes.size() - i == 2) {
        unsigned value = (at(i) << 16) | (at(i + 1) << 8);
        out += kAlphabet[(value >> 18) & 63];
        out += kAlphabet[(value >> 12) & 63];
        out += kAlphabet[(value >> 6) & 63];
        out += '=';
    }
    return out;
}

std::optional<std::string> base64Decode(const std::string& text) {
    if (text.size() % 4 != 0) {
        return std::nullopt;
    }
    std::string out;
    for (size_t i = 0; i < text.size(); i += 4) {
        int values[4];
        int padding = 0;
        for (int k = 0; k < 4; ++k) {
            char c = text[i + static_cast<size_t>(k)];
            bool last = i + 4 == text.size();
            if (c == '=' && last && k >= 2) {
                values[k] = 0;
                ++padding;
                continue;
            }
            if (padding > 0) {
                return std::nullopt;
            }
            values[k] = alphabetValue(c);
            if (values[k] < 0) {
                return std::nullopt;
            }
        }
        unsigned value = (static_cast<unsigned>(values[0]) << 18) |
                         (static_cast<unsigned>(values[1]) << 12) |
                         (static_cast<unsigned>(values[2]) << 6) | static_cast<unsigned>(values[3]);
        out += static_cast<char>((value >> 16) & 0xFF);
        if (padding < 2) {
            out += static_cast<char>((value >> 8) & 0xFF);
        }
        if (padding < 1) {
            out += static_cast<char>(value & 0xFF);
        }
    }
    return out;
}

std::string parameterField(const std::string& json) {
    std::string out = "Parameter=";
    for (char c : base64Encode(json)) {
        if (c == '+') {
            out += "%2B";
        } else if (c == '/') {
            out += "%2F";
        } else if (c == '=') {
            out += "%3D";
        } else {
            out += c;
        }
    }
    return out;
}

namespace {

std::string requestHead(const std::string& method, const std::string& target,
                        const HeaderList& headers) {
    std::string out = method + " " + target + " HTTP/1.1\r\n";
    for (const auto& [name, value] : headers) {
        out += name + ": " + value + "\r\n";
    }
    return out;
}

}  // namespace

std::string buildPost(const std::string& target, const HeaderList& headers,
                      const std::string& body) {
    return requestHead("POST", target, headers) + "Content-Length: " + std::to_string(body.size()) +
           "\r\n\r\n" + body;
}

std::string buildChunkedPost(const std::string& target, const HeaderList& headers,
                             const std::vector<std::string>& chunks) {
    std::string out = requestHead("POST", target, headers) + "Transfer-Encoding: chunked\r\n\r\n";
    char size[16];
    for (const std::string& chunk : chunks) {
        if (chunk.empty()) {
            continue;
        }
        std::snprintf(size, sizeof size, "%zx", chunk.size());
        out += std::string(size) + "\r\n" + chunk + "\r\n";
    }
    return out + "0\r\n\r\n";
}

std::string buildRequest(const std::string& method, const std::string& target,
                         const HeaderList& headers) {
    return requestHead(method, target, headers) + "\r\n";
}

std::optional<std::vector<std::pair<std::string, std::string>>> decodeReply(
    const std::string& body) {
    std::vector<std::pair<std::string, std::string>> entries;
    if (body == "{}") {
        return entries;
    }
    if (body.size() < 2 || body.front() != '{' || body.back() != '}') {
        return std::nullopt;
    }
    size_t at = 1;
    const size_t end = body.size() - 1;
    for (;;) {
        // "key": "value"
        if (at >= end || body[at] != '"') {
            return std::nullopt;
        }
        size_t keyEnd = body.find('"', at + 1);
        if (keyEnd == std::string::npos || keyEnd >= end) {
            return std::nullopt;
        }
        std::string key = body.substr(at + 1, keyEnd - at - 1);
        at = keyEnd + 1;
        if (body.compare(at, 3, ": \"") != 0) {
            return std::nullopt;
        }
        at += 3;
        size_t valueEnd = body.find('"', at);
        if (valueEnd == std::string::npos || valueEnd >= end) {
            return std::nullopt;
        }
        auto value = base64Decode(body.substr(at, valueEnd - at));
        if (!value) {
            return std::nullopt;
        }
        entries.emplace_back(key, *value);
        at = valueEnd + 1;
        if (at == end) {
            return entries;
        }
        if (body.compare(at, 2, ", ") != 0) {
            return std::nullopt;
        }
        at += 2;
    }
}

}  // namespace qmtest
