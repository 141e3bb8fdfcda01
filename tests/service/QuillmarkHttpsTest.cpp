// The front end through real TLS: listeners started as the service starts them, a GnuTLS client
// that speaks TLS 1.2 and 1.3 (and tries 1.1), and replies read back to the byte.
#include <winsock2.h>
#include <ws2tcpip.h>

#include "service/QuillmarkHttps.h"

#include <windows.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/Tool.h"
#include "service/AdapterInstallation.h"
#include "service/Key.h"
#include "service/QuillmarkQueue.h"
#include "service/QuillmarkSession.h"
#include "support/HttpsClient.h"
#include "support/LogCapture.h"

namespace fs = std::filesystem;
using qmtest::HeaderList;
using qmtest::HttpResponse;
using qmtest::HttpsClient;

namespace {

constexpr const char* kOrigin = "https://page.example";
constexpr const char* kFormType = "application/x-www-form-urlencoded";

// A plain TCP connection to a loopback listener that sends nothing: it never begins its TLS
// handshake.
class RawConnection {
public:
    explicit RawConnection(int port) : socket_(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<u_short>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = ::connect(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~RawConnection() { closesocket(socket_); }
    RawConnection(const RawConnection&) = delete;
    RawConnection& operator=(const RawConnection&) = delete;

    // True when the listener closes the connection within milliseconds.
    bool closedByPeerWithin(int milliseconds) {
        if (!connected_) {
            return false;
        }
        DWORD timeout = static_cast<DWORD>(milliseconds);
        setsockopt(socket_, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout),
                   sizeof timeout);
        char byte = 0;
        const int received = recv(socket_, &byte, 1, 0);
        const int error = WSAGetLastError();
        return received == 0 || (received < 0 && error != WSAETIMEDOUT);
    }

private:
    SOCKET socket_;
    bool connected_ = false;
};

// Waits until condition holds, 10 s at most; its last answer.
template <class Condition>
bool eventually(Condition condition) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!condition() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return condition();
}

// The service's idle loop, which cuts late connections between its sleeps.
class IdleLoop {
public:
    IdleLoop()
        : thread_([this] {
              while (running_) {
                  std::this_thread::sleep_for(std::chrono::milliseconds(100));
                  cutLateConnections();
              }
          }) {}
    ~IdleLoop() {
        running_ = false;
        thread_.join();
    }
    IdleLoop(const IdleLoop&) = delete;
    IdleLoop& operator=(const IdleLoop&) = delete;

private:
    std::atomic<bool> running_{true};
    std::thread thread_;
};

// A port nobody listens on now (the system's choice for an ephemeral bind).
int freePort() {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    SOCKET probe = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address);
    int length = sizeof address;
    getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length);
    closesocket(probe);
    return ntohs(address.sin_port);
}

std::string escapeJson(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
        }
        out += c;
    }
    return out;
}

std::string echoJson(const std::string& extra = "") {
    return std::string("{\"PathID\":\"") + kGpkiPathId +
           "\",\"minServerVersion\":\"1.0.22.0303\",\"FunctionName\":\"QuillmarkEcho\"" + extra +
           "}";
}

std::string callJson(const std::string& sessionId, const std::string& function) {
    return "{\"SessionId\":\"" + escapeJson(sessionId) + "\",\"FunctionName\":\"" + function +
           "\"}";
}

// The PEM body of a certificate as DER bytes.
std::string pemToDer(const char* pem) {
    std::string text(pem);
    const std::string begin = "-----BEGIN CERTIFICATE-----";
    std::size_t start = text.find(begin) + begin.size();
    std::size_t end = text.find("-----END CERTIFICATE-----");
    std::string base64;
    for (std::size_t i = start; i < end; ++i) {
        if (text[i] != '\n' && text[i] != '\r') {
            base64 += text[i];
        }
    }
    return qmtest::base64Decode(base64).value_or("");
}

using Reply = std::map<std::string, std::string>;

// The reply body decoded to key -> value; the test fails when the body is not of the exact form.
Reply decoded(const HttpResponse& response) {
    auto entries = qmtest::decodeReply(response.body);
    EXPECT_TRUE(entries.has_value()) << response.body;
    Reply reply;
    if (entries) {
        for (const auto& [key, value] : *entries) {
            reply[key] = value;
        }
    }
    return reply;
}

// A request of which only a part has been sent; the rest goes by finish() or trickles in.
struct HalfSentRequest {
    std::unique_ptr<HttpsClient> client;
    std::string rest;

    bool finish() const { return client->send(rest); }
};

// Sends the rest of each request a byte every 200 ms until the listener closes the connection,
// 10 s at most. True when every one was closed; *seconds: how long that took.
bool trickleUntilClosed(std::vector<HalfSentRequest>& requests, double* seconds) {
    const auto begin = std::chrono::steady_clock::now();
    std::vector<bool> closed(requests.size(), false);
    for (std::size_t sent = 0; std::chrono::steady_clock::now() - begin < std::chrono::seconds(10);
         ++sent) {
        bool all = true;
        for (std::size_t i = 0; i < requests.size(); ++i) {
            if (!closed[i] && sent < requests[i].rest.size()) {
                closed[i] = !requests[i].client->send(requests[i].rest.substr(sent, 1));
            }
            all = all && closed[i];
        }
        if (all) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    *seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    bool all = true;
    for (std::size_t i = 0; i < requests.size(); ++i) {
        all = all && (closed[i] || requests[i].client->waitForClose());
    }
    return all;
}

class HttpsTest : public ::testing::Test {
protected:
    static inline AdapterInstallation* installation = nullptr;
    static inline int ecdsaPort = 0;
    static inline int rsaPort = 0;
    static inline bool ipv6 = false;
    static inline bool started = false;

    static void SetUpTestSuite() {
        installation = new AdapterInstallation();
        setCopyPath(installation->dataFolder().wstring().c_str());
        // Parallel test programs draw ports too: draw again when one was taken meanwhile.
        for (int attempt = 0; attempt < 5 && !started; ++attempt) {
            stopAllHttpsDaemons();
            ecdsaPort = freePort();
            rsaPort = freePort();
            started =
                ecdsaPort != rsaPort &&
                startHttpsListener(false, ecdsaPort,
                                   serverCertificateTextForTesting(ServerCertificateKind::kEcdsa),
                                   serverPrivateKeyTextForTesting(ServerCertificateKind::kEcdsa)) &&
                startHttpsListener(false, rsaPort,
                                   serverCertificateTextForTesting(ServerCertificateKind::kRsa),
                                   serverPrivateKeyTextForTesting(ServerCertificateKind::kRsa));
        }
        ipv6 = startHttpsListener(true, ecdsaPort,
                                  serverCertificateTextForTesting(ServerCertificateKind::kEcdsa),
                                  serverPrivateKeyTextForTesting(ServerCertificateKind::kEcdsa));
    }

    static void TearDownTestSuite() {
        stopAllHttpsDaemons();
        started = false;
        setParameterLimitForTesting(0);
        delete installation;
        installation = nullptr;
        setCopyPath(nullptr);
    }

    void SetUp() override { ASSERT_TRUE(started); }
    void TearDown() override {
        setBodyBudgetForTesting(0);
        setHeaderDeadlineForTesting(0);
        setBodyAllowanceForTesting(0);
        setConnectionLimitForTesting(0);
        resumeServingForTesting();
    }

    static std::string host(int port) { return "127.0.0.1:" + std::to_string(port); }

    static HeaderList formHeaders(int port, const HeaderList& more = {}) {
        HeaderList headers = {
            {"Host", host(port)}, {"Origin", kOrigin}, {"Content-Type", kFormType}};
        headers.insert(headers.end(), more.begin(), more.end());
        return headers;
    }

    static std::unique_ptr<HttpsClient> connect(int port,
                                                const char* priority = qmtest::kClientTls13,
                                                const char* address = "127.0.0.1") {
        std::string error;
        auto client = HttpsClient::connect(address, port, priority, &error);
        EXPECT_NE(client, nullptr) << error;
        return client;
    }

    // Sends one request on a new connection; nullopt when it was closed without a reply.
    static std::optional<HttpResponse> exchange(const std::string& request, int port = ecdsaPort) {
        auto client = connect(port);
        if (!client || !client->send(request)) {
            return std::nullopt;
        }
        return client->readResponse();
    }

    static std::optional<HttpResponse> post(const std::string& json, int port = ecdsaPort,
                                            const HeaderList& more = {}) {
        return exchange(
            qmtest::buildPost("/", formHeaders(port, more), qmtest::parameterField(json)), port);
    }

    // Four pages that call the component on session id over port, one call after another, until
    // the object goes: they keep that listener busy (QM_PROBE_SLEEP_MS sets each call's length).
    class CallingPages {
    public:
        CallingPages(int port, const std::string& id) {
            for (int i = 0; i < 4; ++i) {
                pages_.emplace_back([this, port, id] {
                    auto page = connect(port);
                    const std::string call =
                        qmtest::buildPost("/", formHeaders(port, {{"Connection", "keep-alive"}}),
                                          qmtest::parameterField(callJson(id, "SignData")));
                    while (calling_ && page && page->send(call) && page->readResponse()) {
                    }
                });
            }
        }
        ~CallingPages() {
            calling_ = false;
            for (std::thread& page : pages_) {
                page.join();
            }
        }
        CallingPages(const CallingPages&) = delete;
        CallingPages& operator=(const CallingPages&) = delete;

    private:
        std::atomic<bool> calling_{true};
        std::vector<std::thread> pages_;
    };
};

// ---- Protocols and certificates ----------------------------------------------------------------

struct TlsCase {
    const char* name;
    const char* priority;
    int protocol;
    ServerCertificateKind certificate;
};

void PrintTo(const TlsCase& c, std::ostream* out) {
    *out << c.name;
}

class TlsTest : public HttpsTest, public ::testing::WithParamInterface<TlsCase> {};

TEST_P(TlsTest, ServesTheEchoOverTls12And13) {
    const TlsCase& c = GetParam();
    const int port = c.certificate == ServerCertificateKind::kRsa ? rsaPort : ecdsaPort;
    auto client = connect(port, c.priority);
    ASSERT_NE(client, nullptr);
    EXPECT_EQ(client->protocol(), c.protocol);
    EXPECT_EQ(client->peerCertificateDer(),
              pemToDer(serverCertificateTextForTesting(c.certificate)));

    ASSERT_TRUE(client->send(
        qmtest::buildPost("/", formHeaders(port), qmtest::parameterField(echoJson()))));
    std::optional<HttpResponse> response = client->readResponse();
    ASSERT_TRUE(response);
    EXPECT_EQ(response->status, 200);
    Reply reply = decoded(*response);
    const std::string id = reply["SessionID"];
    EXPECT_EQ(id.size(), 12u);
    EXPECT_EQ(reply, (Reply{{"SessionID", id},
                            {"ServerVersion", "1.0.22.0303"},
                            {"LibVersion", "1.0.0.1"},
                            {"result", "0"}}));
    // The serialised form itself: keys in map order, one blank after each colon and comma.
    EXPECT_EQ(response->body, "{\"LibVersion\": \"" + qmtest::base64Encode("1.0.0.1") +
                                  "\", \"result\": \"MA==\", \"ServerVersion\": \"" +
                                  qmtest::base64Encode("1.0.22.0303") + "\", \"SessionID\": \"" +
                                  qmtest::base64Encode(id) + "\"}");
    EXPECT_EQ(response->header("X-XSS-Protection"), "1; mode=block");
    EXPECT_EQ(response->header("Access-Control-Allow-Origin"), kOrigin);
    EXPECT_EQ(response->header("Content-Type"), std::nullopt);
    EXPECT_EQ(response->header("Keep-Alive"), std::nullopt);
}

INSTANTIATE_TEST_SUITE_P(
    Versions, TlsTest,
    ::testing::Values(TlsCase{"tls12_ecdsa", qmtest::kClientTls12, qmtest::kProtocolTls12,
                              ServerCertificateKind::kEcdsa},
                      TlsCase{"tls13_ecdsa", qmtest::kClientTls13, qmtest::kProtocolTls13,
                              ServerCertificateKind::kEcdsa},
                      TlsCase{"tls12_rsa", qmtest::kClientTls12, qmtest::kProtocolTls12,
                              ServerCertificateKind::kRsa},
                      TlsCase{"tls13_rsa", qmtest::kClientTls13, qmtest::kProtocolTls13,
                              ServerCertificateKind::kRsa}),
    [](const ::testing::TestParamInfo<TlsCase>& param) { return std::string(param.param.name); });

TEST_F(HttpsTest, Tls11IsRefusedAtTheHandshake) {
    for (int port : {ecdsaPort, rsaPort}) {
        std::string error;
        EXPECT_EQ(HttpsClient::connect("127.0.0.1", port, qmtest::kClientTls11, &error), nullptr);
        EXPECT_THAT(error, ::testing::HasSubstr("handshake"));
    }
}

TEST_F(HttpsTest, TheIpv6ListenerServesLocalhost) {
    if (!ipv6) {
        GTEST_SKIP() << "no IPv6 loopback here";
    }
    auto client = connect(ecdsaPort, qmtest::kClientTls13, "::1");
    ASSERT_NE(client, nullptr);
    ASSERT_TRUE(client->send(
        qmtest::buildPost("/", formHeaders(ecdsaPort, {}), qmtest::parameterField(echoJson()))));
    std::optional<HttpResponse> response = client->readResponse();
    ASSERT_TRUE(response);
    EXPECT_EQ(decoded(*response)["result"], "0");
}

// ---- Requests and their replies -----------------------------------------------------------------

enum class Body { kForm, kChunked, kMultipart, kNone };

struct RequestCase {
    const char* name;
    std::string method;
    std::string target;
    HeaderList headers;  // "{host}" stands for 127.0.0.1:<port>
    Body body;
    std::string formPrefix;             // form fields sent before "Parameter"
    int status;                         // 0: closed without a reply
    std::optional<std::string> result;  // the reply's "result"; nullopt: not checked
    std::map<std::string, std::optional<std::string>> replyHeaders;  // nullopt: must be absent
    std::optional<std::string> originSeen;  // the "url" the adapter's unlock got
};

void PrintTo(const RequestCase& c, std::ostream* out) {
    *out << c.name;
}

const HeaderList kFormRequest = {
    {"Host", "{host}"}, {"Origin", kOrigin}, {"Content-Type", kFormType}};

HeaderList form(const HeaderList& changes, const std::vector<std::string>& removed = {}) {
    HeaderList headers;
    for (const auto& header : kFormRequest) {
        bool drop = false;
        for (const auto& name : removed) {
            drop = drop || header.first == name;
        }
        for (const auto& change : changes) {
            drop = drop || header.first == change.first;
        }
        if (!drop) {
            headers.push_back(header);
        }
    }
    headers.insert(headers.end(), changes.begin(), changes.end());
    return headers;
}

const std::map<std::string, std::optional<std::string>> kNormalHeaders = {
    {"X-XSS-Protection", "1; mode=block"},
    {"Access-Control-Allow-Origin", kOrigin},
    {"Keep-Alive", std::nullopt},
    {"Content-Type", std::nullopt}};

const HeaderList kPreflight = {{"Host", "{host}"},
                               {"Origin", kOrigin},
                               {"Access-Control-Request-Method", "POST"},
                               {"Access-Control-Request-Private-Network", "true"}};

const RequestCase kRequestCases[] = {
    {"form_post", "POST", "/", kFormRequest, Body::kForm, "", 200, "0", kNormalHeaders, kOrigin},
    {"any_path", "POST", "/some/path?x=1", kFormRequest, Body::kForm, "", 200, "0", {}, kOrigin},
    {"localhost_host",
     "POST",
     "/",
     form({{"Host", "localhost:1"}}),
     Body::kForm,
     "",
     200,
     "0",
     {},
     kOrigin},
    {"chunked_body", "POST", "/", kFormRequest, Body::kChunked, "", 200, "0", kNormalHeaders,
     kOrigin},
    {"multipart_body",
     "POST",
     "/",
     form({{"Content-Type", "multipart/form-data; boundary=qm-boundary"}}),
     Body::kMultipart,
     "",
     200,
     "0",
     {},
     kOrigin},
    {"other_fields_first",
     "POST",
     "/",
     kFormRequest,
     Body::kForm,
     "a=1&b=2&",
     200,
     "0",
     {},
     kOrigin},
    {"keep_alive_asked",
     "POST",
     "/",
     form({{"Connection", "keep-alive"}}),
     Body::kForm,
     "",
     200,
     "0",
     {{"Keep-Alive", "timeout=15, max=100"}},
     kOrigin},
    {"keep_alive_other_case",
     "POST",
     "/",
     form({{"Connection", "Keep-Alive"}}),
     Body::kForm,
     "",
     200,
     "0",
     {{"Keep-Alive", "timeout=15, max=100"}},
     kOrigin},
    {"no_content_type",
     "POST",
     "/",
     form({}, {"Content-Type"}),
     Body::kForm,
     "",
     0,
     std::nullopt,
     {},
     std::nullopt},
    {"no_parameter_field",
     "POST",
     "/",
     kFormRequest,
     Body::kNone,
     "other=1",
     0,
     std::nullopt,
     {},
     std::nullopt},
    {"host_without_port",
     "POST",
     "/",
     form({{"Host", "localhost"}}),
     Body::kForm,
     "",
     200,
     "61904",
     {{"Access-Control-Allow-Origin", std::nullopt}},
     std::nullopt},
    {"host_ipv6_loopback",
     "POST",
     "/",
     form({{"Host", "[::1]:56362"}}),
     Body::kForm,
     "",
     200,
     "61904",
     {},
     std::nullopt},
    {"host_other_site",
     "POST",
     "/",
     form({{"Host", "page.example:443"}}),
     Body::kForm,
     "",
     200,
     "61904",
     {},
     std::nullopt},
    {"host_forged_in_query",
     "POST",
     "/?host=localhost:1&Host=127.0.0.1:1",
     form({{"Host", "page.example:1"}}),
     Body::kForm,
     "",
     200,
     "61904",
     {},
     std::nullopt},
    {"origin_null_rebuilt_from_referer",
     "POST",
     "/",
     form({{"Origin", "null"}, {"Referer", "https://page.example:8443/app/index.html"}}),
     Body::kForm,
     "",
     200,
     "0",
     {{"Access-Control-Allow-Origin", "https://page.example:8443"}},
     "https://page.example:8443"},
    {"origin_absent_referer_scheme_and_host",
     "POST",
     "/",
     form({{"Referer", "http://127.0.0.1:8080"}}, {"Origin"}),
     Body::kForm,
     "",
     200,
     "0",
     {{"Access-Control-Allow-Origin", "http://127.0.0.1:8080"}},
     "http://127.0.0.1:8080"},
    {"referer_without_slash",
     "POST",
     "/",
     form({{"Referer", "page.example"}}, {"Origin"}),
     Body::kForm,
     "",
     200,
     "61012",
     {},
     std::nullopt},
    {"referer_null",
     "POST",
     "/",
     form({{"Origin", "null"}, {"Referer", "null"}}),
     Body::kForm,
     "",
     200,
     "61012",
     {},
     std::nullopt},
    {"no_origin_no_referer",
     "POST",
     "/",
     form({}, {"Origin"}),
     Body::kForm,
     "",
     200,
     "61012",
     {},
     std::nullopt},
    {"origin_forged_in_query",
     "POST",
     "/?origin=https%3A%2F%2Fevil.example&referer=https%3A%2F%2Fevil.example%2Fx",
     form({}, {"Origin"}),
     Body::kForm,
     "",
     200,
     "61012",
     {},
     std::nullopt},
    {"origin_forged_in_form",
     "POST",
     "/",
     form({}, {"Origin"}),
     Body::kForm,
     "origin=https%3A%2F%2Fevil.example&referer=https%3A%2F%2Fevil.example%2Fx&",
     200,
     "61012",
     {},
     std::nullopt},
    {"origin_forged_in_cookie",
     "POST",
     "/",
     form({{"Cookie", "origin=https://evil.example; referer=https://evil.example/x"}}, {"Origin"}),
     Body::kForm,
     "",
     200,
     "61012",
     {},
     std::nullopt},
    {"extension_origin",
     "POST",
     "/",
     form({{"Origin", "chrome-extension://abcdef"}}),
     Body::kForm,
     "",
     200,
     "0",
     {{"Access-Control-Allow-Origin", std::nullopt}},
     "chrome-extension://abcdef"},
    {"get",
     "GET",
     "/",
     {{"Host", "{host}"}, {"Origin", kOrigin}},
     Body::kNone,
     "",
     0,
     std::nullopt,
     {},
     std::nullopt},
    {"preflight",
     "OPTIONS",
     "/",
     kPreflight,
     Body::kNone,
     "",
     204,
     std::nullopt,
     {{"Access-Control-Allow-Origin", kOrigin},
      {"Access-Control-Allow-Methods", "POST"},
      {"Access-Control-Allow-Private-Network", "true"},
      {"Access-Control-Max-Age", "30"},
      {"X-XSS-Protection", std::nullopt},
      {"Keep-Alive", std::nullopt}},
     std::nullopt},
    {"preflight_keep_alive",
     "OPTIONS",
     "/",
     [] {
         HeaderList headers = kPreflight;
         headers.emplace_back("Connection", "keep-alive");
         return headers;
     }(),
     Body::kNone,
     "",
     204,
     std::nullopt,
     {{"Keep-Alive", "timeout=15, max=100"}},
     std::nullopt},
    {"preflight_from_an_extension",
     "OPTIONS",
     "/",
     [] {
         HeaderList headers = kPreflight;
         headers[1].second = "chrome-extension://abcdef";
         return headers;
     }(),
     Body::kNone,
     "",
     204,
     std::nullopt,
     {{"Access-Control-Allow-Origin", std::nullopt}},
     std::nullopt},
    {"preflight_without_private_network",
     "OPTIONS",
     "/",
     {{"Host", "{host}"}, {"Origin", kOrigin}, {"Access-Control-Request-Method", "POST"}},
     Body::kNone,
     "",
     0,
     std::nullopt,
     {},
     std::nullopt},
    {"preflight_private_network_false",
     "OPTIONS",
     "/",
     [] {
         HeaderList headers = kPreflight;
         headers[3].second = "false";
         return headers;
     }(),
     Body::kNone,
     "",
     0,
     std::nullopt,
     {},
     std::nullopt},
    {"preflight_for_get",
     "OPTIONS",
     "/",
     [] {
         HeaderList headers = kPreflight;
         headers[2].second = "GET";
         return headers;
     }(),
     Body::kNone,
     "",
     0,
     std::nullopt,
     {},
     std::nullopt},
};

class RequestTest : public HttpsTest, public ::testing::WithParamInterface<RequestCase> {};

TEST_P(RequestTest, RepliesAsTheWireProtocolSays) {
    const RequestCase& c = GetParam();
    HeaderList headers;
    for (auto [name, value] : c.headers) {
        if (value == "{host}") {
            value = host(ecdsaPort);
        }
        headers.emplace_back(name, value);
    }
    const std::string field = qmtest::parameterField(echoJson());
    std::string request;
    switch (c.body) {
        case Body::kForm:
            request = qmtest::buildPost(c.target, headers, c.formPrefix + field);
            break;
        case Body::kChunked: {
            const std::string body = c.formPrefix + field;
            request = qmtest::buildChunkedPost(
                c.target, headers,
                {body.substr(0, 5), body.substr(5, 17), body.substr(22, 1), body.substr(23)});
            break;
        }
        case Body::kMultipart:
            request = qmtest::buildPost(
                c.target, headers,
                "--qm-boundary\r\nContent-Disposition: form-data; name=\"Parameter\"\r\n\r\n" +
                    qmtest::base64Encode(echoJson()) + "\r\n--qm-boundary--\r\n");
            break;
        case Body::kNone:
            request = c.method == "POST" ? qmtest::buildPost(c.target, headers, c.formPrefix)
                                         : qmtest::buildRequest(c.method, c.target, headers);
            break;
    }
    installation->forget();

    auto client = connect(ecdsaPort);
    ASSERT_NE(client, nullptr);
    ASSERT_TRUE(client->send(request));
    std::optional<HttpResponse> response = client->readResponse();
    if (c.status == 0) {
        EXPECT_FALSE(response) << response->status << " " << response->body;
        EXPECT_TRUE(installation->journal().empty());
        return;
    }
    ASSERT_TRUE(response);
    EXPECT_EQ(response->status, c.status);
    if (c.status == 204) {
        EXPECT_EQ(response->body, "");
    }
    if (c.result) {
        Reply reply = decoded(*response);
        EXPECT_EQ(reply["result"], *c.result);
        if (*c.result != "0") {
            EXPECT_EQ(reply.size(), 1u) << "a code comes alone";
        }
    }
    for (const auto& [name, value] : c.replyHeaders) {
        EXPECT_EQ(response->header(name), value) << name;
    }
    if (c.originSeen) {
        std::vector<qmtest::ProbeCall> calls = installation->journal();
        ASSERT_FALSE(calls.empty());
        EXPECT_EQ(calls[0].function, "Quillmark_Unlock");
        EXPECT_EQ(calls[0].url, *c.originSeen);
    } else {
        EXPECT_TRUE(installation->journal().empty()) << "the request must not be dispatched";
    }
}

INSTANTIATE_TEST_SUITE_P(Wire, RequestTest, ::testing::ValuesIn(kRequestCases),
                         [](const ::testing::TestParamInfo<RequestCase>& param) {
                             return std::string(param.param.name);
                         });

TEST_F(HttpsTest, ABodyThatIsNotAJsonObjectGetsNoReply) {
    // (Bare words are tokens of their own to the lenient tokenizer, so they would make pairs.)
    for (const std::string& field : {qmtest::parameterField("x"), qmtest::parameterField("{}"),
                                     std::string("Parameter=!!!!"), std::string("Parameter=")}) {
        auto response = exchange(qmtest::buildPost("/", formHeaders(ecdsaPort), field));
        EXPECT_FALSE(response) << field;
    }
}

TEST_F(HttpsTest, OneConnectionCarriesSeveralRequestsEachWithItsOwnBody) {
    auto client = connect(ecdsaPort, qmtest::kClientTls12);
    ASSERT_NE(client, nullptr);
    const HeaderList headers = formHeaders(ecdsaPort, {{"Connection", "keep-alive"}});
    ASSERT_TRUE(client->send(qmtest::buildPost("/", headers, qmtest::parameterField(echoJson()))));
    std::optional<HttpResponse> first = client->readResponse();
    ASSERT_TRUE(first);
    const std::string id = decoded(*first)["SessionID"];

    // An adapter answer with line breaks comes back byte for byte.
    qmtest::ScopedProbeSetting answer("QM_PROBE_ANSWER", std::string("line 1\nline 2\r\n\t"));
    ASSERT_TRUE(client->send(
        qmtest::buildPost("/", headers, qmtest::parameterField(callJson(id, "SignData")))));
    std::optional<HttpResponse> second = client->readResponse();
    ASSERT_TRUE(second);
    EXPECT_EQ(decoded(*second), (Reply{{"result", "line 1\nline 2\r\n\t"}}));

    // A preflight keeps the connection too.
    ASSERT_TRUE(
        client->send(qmtest::buildRequest("OPTIONS", "/",
                                          {{"Host", host(ecdsaPort)},
                                           {"Origin", kOrigin},
                                           {"Access-Control-Request-Method", "POST"},
                                           {"Access-Control-Request-Private-Network", "true"}})));
    std::optional<HttpResponse> preflight = client->readResponse();
    ASSERT_TRUE(preflight);
    EXPECT_EQ(preflight->status, 204);
    EXPECT_NE(preflight->header("Connection"), "close");

    // A request without the field finds no body left over from the one before.
    ASSERT_TRUE(client->send(qmtest::buildPost("/", headers, "other=1")));
    EXPECT_FALSE(client->readResponse());
}

TEST_F(HttpsTest, AParameterOverTheLimitGetsNoReply) {
    LogCapture log;
    const std::string json = echoJson(",\"pad\":\"" + std::string(3000, ' ') + "\"");
    const std::size_t fieldLength = qmtest::base64Encode(json).size();
    setParameterLimitForTesting(fieldLength);
    std::optional<HttpResponse> fits = post(json);
    ASSERT_TRUE(fits);
    EXPECT_EQ(decoded(*fits)["result"], "0");

    setParameterLimitForTesting(fieldLength - 1);
    EXPECT_FALSE(post(json));
    setParameterLimitForTesting(0);
    EXPECT_TRUE(log.contains("Parameter size over limit, no reply: "));
}

TEST_F(HttpsTest, AParameterOf64MiBAndMoreGetsNoReply) {
    LogCapture log;
    // A valid request whose field is 4 bytes over the limit.
    const std::string head = echoJson(",\"pad\":\"");
    const std::size_t total = kMaxParameterBytes / 4 * 3 + 3;
    std::string json = head + std::string(total - head.size() - 2, ' ') + "\"}";
    const std::string field = qmtest::parameterField(json);
    json.clear();
    ASSERT_EQ(qmtest::base64Encode(std::string(total, ' ')).size(), kMaxParameterBytes + 4);
    auto client = connect(ecdsaPort);
    ASSERT_NE(client, nullptr);
    // The listener may close the connection while the body is still being sent.
    if (client->send(qmtest::buildPost("/", formHeaders(ecdsaPort), field))) {
        EXPECT_FALSE(client->readResponse());
    }
    EXPECT_TRUE(log.contains("Parameter size over limit, no reply: "));
}

// A preflight on one listener while a POST on another is inside its adapter call: the POST keeps
// its own origin, and a second POST waits for the first to complete.
TEST_F(HttpsTest, RequestsOnOtherListenersNeitherTouchNorOvertakeARequestInProgress) {
    std::optional<HttpResponse> opened = post(echoJson());
    ASSERT_TRUE(opened);
    const std::string id = decoded(*opened)["SessionID"];

    qmtest::ScopedProbeSetting sleep("QM_PROBE_SLEEP_MS", std::string("1500"));
    std::atomic<int> order{0};
    int slowDone = 0;
    std::optional<HttpResponse> slow;
    std::thread slowCall([&] {
        slow = exchange(qmtest::buildPost("/", formHeaders(ecdsaPort, {}),
                                          qmtest::parameterField(callJson(id, "SignData"))));
        slowDone = ++order;
    });
    // Wait until the slow call is inside the adapter (the probe journals a call before it sleeps).
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    auto inTheAdapter = [] {
        const std::vector<std::string> calls = installation->journalFunctions();
        return !calls.empty() && calls.back() == "SignData";
    };
    while (!inTheAdapter() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(inTheAdapter()) << "the slow call never reached the adapter";

    HeaderList preflight = {{"Host", host(rsaPort)},
                            {"Origin", "https://other.example"},
                            {"Access-Control-Request-Method", "POST"},
                            {"Access-Control-Request-Private-Network", "true"}};
    std::optional<HttpResponse> answered =
        exchange(qmtest::buildRequest("OPTIONS", "/", preflight), rsaPort);
    ASSERT_TRUE(answered);
    EXPECT_EQ(answered->status, 204);
    EXPECT_EQ(answered->header("Access-Control-Allow-Origin"), "https://other.example");

    std::optional<HttpResponse> second = post(echoJson(), rsaPort);
    const int secondDone = ++order;
    slowCall.join();
    ASSERT_TRUE(second);
    ASSERT_TRUE(slow);
    EXPECT_EQ(slowDone, 1) << "the second POST completed while the first was in its call";
    EXPECT_EQ(secondDone, 2);
    EXPECT_EQ(decoded(*slow), (Reply{{"result", "SignData#1"}}));
    EXPECT_EQ(slow->header("Access-Control-Allow-Origin"), kOrigin);
}

// ---- Stopping -----------------------------------------------------------------------------------

// The final function's stop while a page's call is inside the component (a PIN prompt, say): the
// library is released only after the call has returned, and afterwards no request opens a session.
TEST_F(HttpsTest, AStopWaitsForTheCallInProgressAndThenOpensNothing) {
    std::optional<HttpResponse> opened = post(echoJson());
    ASSERT_TRUE(opened);
    const std::string id = decoded(*opened)["SessionID"];
    installation->forget();

    qmtest::ScopedProbeSetting sleep("QM_PROBE_SLEEP_MS", std::string("1500"));
    qmtest::ScopedProbeSetting returns("QM_PROBE_JOURNAL_RETURNS", std::string("1"));
    std::optional<HttpResponse> slow;
    std::thread slowCall([&] {
        slow = exchange(qmtest::buildPost("/", formHeaders(ecdsaPort, {}),
                                          qmtest::parameterField(callJson(id, "SignData"))));
    });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    auto inTheAdapter = [] { return !installation->journal().empty(); };
    while (!inTheAdapter() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(inTheAdapter()) << "the slow call never reached the adapter";
    stopAllSessions();
    slowCall.join();

    ASSERT_TRUE(slow);
    EXPECT_EQ(decoded(*slow), (Reply{{"result", "SignData#1"}}));
    std::vector<std::string> order;
    for (const qmtest::ProbeCall& call : installation->journal()) {
        order.push_back(call.entryPoint + " " + call.function);
    }
    // Sessions of earlier tests are released too, each after the call has returned.
    ASSERT_GE(order.size(), 3u);
    EXPECT_EQ(order[0], "callJsonMapMethod SignData");
    EXPECT_EQ(order[1], "returned SignData");
    for (std::size_t i = 2; i < order.size(); ++i) {
        EXPECT_EQ(order[i], "callJsonMapMethod Quillmark_Release") << i;
    }

    installation->forget();
    EXPECT_FALSE(post(echoJson()));
    EXPECT_TRUE(installation->journal().empty());
    resumeServingForTesting();
}

// ---- Bounds -------------------------------------------------------------------------------------

// One budget for every request of the process: a body that does not fit beside the others gets no
// reply, and the bytes of a cut connection come back.
TEST_F(HttpsTest, TheBodyBudgetIsSharedByAllRequests) {
    LogCapture log;
    const std::string field =
        qmtest::parameterField(echoJson(",\"pad\":\"" + std::string(220000, 'p') + "\""));
    // A page that sends two thirds of its body and then waits.
    auto holder = connect(ecdsaPort);
    ASSERT_NE(holder, nullptr);
    const std::string request = qmtest::buildPost("/", formHeaders(ecdsaPort), field);
    ASSERT_TRUE(holder->send(request.substr(0, request.size() - field.size() / 3)));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (bodyBytesInFlightForTesting() < field.size() / 2 &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_GE(bodyBytesInFlightForTesting(), field.size() / 2);
    // The first page holds the whole budget now.
    setBodyBudgetForTesting(bodyBytesInFlightForTesting());

    // The same body whole on another listener gets no reply; an ordinary request still does.
    EXPECT_FALSE(exchange(request.substr(0, request.size() - field.size()) + field, rsaPort));
    EXPECT_TRUE(log.contains("Request memory budget exhausted, no reply: "));
    std::optional<HttpResponse> ordinary = post(echoJson(), rsaPort);
    ASSERT_TRUE(ordinary);
    EXPECT_EQ(decoded(*ordinary)["result"], "0");

    holder.reset();
    while (bodyBytesInFlightForTesting() != 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(bodyBytesInFlightForTesting(), 0u);
    setBodyBudgetForTesting(0);
    std::optional<HttpResponse> served = post(echoJson());
    ASSERT_TRUE(served);
    EXPECT_EQ(decoded(*served)["result"], "0");
}

// ---- Connections at the limit ------------------------------------------------------------------

class ConnectionLimitTest : public HttpsTest {
protected:
    void SetUp() override {
        HttpsTest::SetUp();
        // The session of the echoes below; its connection, as those of earlier tests, has to be
        // gone before the limit counts.
        std::optional<HttpResponse> opened = post(echoJson());
        ASSERT_TRUE(opened);
        sessionId_ = decoded(*opened)["SessionID"];
        ASSERT_TRUE(eventually([] { return connectionCountsForTesting().open == 0; }));
    }

    static HeaderList keepAlive(int port) {
        return formHeaders(port, {{"Connection", "keep-alive"}});
    }

    // An echo on the session over client; true when it was answered.
    bool echoes(HttpsClient& client, int port) const {
        if (!client.send(
                qmtest::buildPost("/", keepAlive(port),
                                  qmtest::parameterField(callJson(sessionId_, "QuillmarkEcho"))))) {
            return false;
        }
        std::optional<HttpResponse> response = client.readResponse();
        return response && decoded(*response)["result"] == "0";
    }

    // An echo on the session with all but held bytes of its body sent.
    HalfSentRequest halfSent(int port, std::size_t held = 10) const {
        HalfSentRequest request{connect(port), ""};
        const std::string whole =
            qmtest::buildPost("/", keepAlive(port),
                              qmtest::parameterField(callJson(sessionId_, "QuillmarkEcho")) +
                                  "&pad=" + std::string(held, 'p'));
        const std::size_t half = whole.size() - held;
        EXPECT_TRUE(request.client && request.client->send(whole.substr(0, half)));
        request.rest = whole.substr(half);
        return request;
    }

    // Open connections, of them with a body arriving, and with a request being served.
    static bool openAre(std::size_t open, std::size_t receiving = 0, std::size_t inProgress = 0) {
        return eventually([=] {
            const ConnectionCounts counts = connectionCountsForTesting();
            return counts.open == open && counts.receiving == receiving &&
                   counts.inProgress == inProgress;
        });
    }

    std::string sessionId_;
};

// The limit holds for all listeners together. A new connection takes the place of the one that has
// waited longest for its client: one that never began its handshake, one that finished it and
// sent nothing, one whose body stopped arriving, idle ones in the order of their last requests.
TEST_F(ConnectionLimitTest, TheConnectionThatWaitedLongestMakesRoom) {
    setConnectionLimitForTesting(3);
    RawConnection neverBegan(rsaPort);
    ASSERT_TRUE(openAre(1));
    auto handshakeOnly = connect(ecdsaPort);
    ASSERT_NE(handshakeOnly, nullptr);
    ASSERT_TRUE(openAre(2));
    HalfSentRequest stopped = halfSent(ecdsaPort);
    ASSERT_TRUE(openAre(3, 1));

    auto first = connect(ecdsaPort);
    ASSERT_NE(first, nullptr);
    EXPECT_TRUE(neverBegan.closedByPeerWithin(5000));
    EXPECT_TRUE(echoes(*first, ecdsaPort));

    auto second = connect(rsaPort, qmtest::kClientTls12);
    ASSERT_NE(second, nullptr);
    EXPECT_TRUE(handshakeOnly->waitForClose());
    EXPECT_TRUE(echoes(*second, rsaPort));

    auto third = connect(ecdsaPort);
    ASSERT_NE(third, nullptr);
    EXPECT_TRUE(stopped.client->waitForClose()) << "the stopped body was kept";
    EXPECT_TRUE(echoes(*third, ecdsaPort));

    auto fourth = connect(rsaPort);
    ASSERT_NE(fourth, nullptr);
    EXPECT_TRUE(first->waitForClose());
    EXPECT_TRUE(echoes(*second, rsaPort));
    EXPECT_TRUE(echoes(*third, ecdsaPort));
    EXPECT_TRUE(echoes(*fourth, rsaPort));
}

// Bodies that trickle in hold neither the connection limit nor their connections for long: at
// the limit a new connection takes the place of one, and the other is closed soon after its
// allowance, though each sends a byte well within the idle timeout.
TEST_F(ConnectionLimitTest, TricklingBodiesMakeRoomAndAreClosedAfterTheirAllowance) {
    setConnectionLimitForTesting(2);
    setBodyAllowanceForTesting(2);
    IdleLoop idleLoop;
    std::vector<HalfSentRequest> trickling;
    trickling.push_back(halfSent(ecdsaPort, 200));
    trickling.push_back(halfSent(rsaPort, 200));
    ASSERT_TRUE(openAre(2, 2));

    auto newcomer = connect(ecdsaPort);
    ASSERT_NE(newcomer, nullptr) << "the trickling bodies held the limit";
    EXPECT_TRUE(echoes(*newcomer, ecdsaPort));

    double seconds = 0;
    EXPECT_TRUE(trickleUntilClosed(trickling, &seconds));
    EXPECT_LT(seconds, 8.0);
    EXPECT_TRUE(echoes(*newcomer, ecdsaPort));
}

// A connection whose request has come but is not read yet, because its listener is inside a
// long call, is not idle: another one makes room.
TEST_F(ConnectionLimitTest, AConnectionWhoseRequestWaitsUnreadStays) {
    setConnectionLimitForTesting(3);
    auto waiting = connect(ecdsaPort);
    ASSERT_NE(waiting, nullptr);
    ASSERT_TRUE(echoes(*waiting, ecdsaPort));
    auto idle = connect(rsaPort, qmtest::kClientTls12);
    ASSERT_NE(idle, nullptr);
    ASSERT_TRUE(openAre(2));

    qmtest::ScopedProbeSetting sleep("QM_PROBE_SLEEP_MS", std::string("2500"));
    installation->forget();
    auto calling = connect(ecdsaPort);
    ASSERT_NE(calling, nullptr);
    ASSERT_TRUE(calling->send(qmtest::buildPost(
        "/", formHeaders(ecdsaPort), qmtest::parameterField(callJson(sessionId_, "SignData")))));
    ASSERT_TRUE(eventually([] { return !installation->journal().empty(); }))
        << "the slow call never reached the adapter";
    ASSERT_TRUE(waiting->send(qmtest::buildPost(
        "/", keepAlive(ecdsaPort), qmtest::parameterField(callJson(sessionId_, "QuillmarkEcho")))));

    auto newcomer = connect(rsaPort, qmtest::kClientTls12);
    ASSERT_NE(newcomer, nullptr);
    EXPECT_TRUE(idle->waitForClose());
    std::optional<HttpResponse> called = calling->readResponse();
    ASSERT_TRUE(called);
    EXPECT_EQ(decoded(*called)["result"].rfind("SignData#", 0), 0u);
    std::optional<HttpResponse> echoed = waiting->readResponse();
    ASSERT_TRUE(echoed) << "the waiting request was cut";
    EXPECT_EQ(decoded(*echoed)["result"], "0");
    EXPECT_TRUE(echoes(*newcomer, rsaPort));
}

// When every connection has a request that has arrived and is being served (one in a long call,
// one waiting for it), a new one is closed at once, not left waiting in the system's queue; once
// a request has been answered its connection makes room again. The new one comes to a third
// listener: the two serving ones accept nothing until the call is over.
TEST_F(ConnectionLimitTest, WithEveryRequestInProgressANewConnectionIsClosedAtOnce) {
    int sparePort = 0;
    for (int attempt = 0; attempt < 5 && sparePort == 0; ++attempt) {
        const int port = freePort();
        if (startHttpsListener(false, port,
                               serverCertificateTextForTesting(ServerCertificateKind::kEcdsa),
                               serverPrivateKeyTextForTesting(ServerCertificateKind::kEcdsa))) {
            sparePort = port;
        }
    }
    ASSERT_NE(sparePort, 0);
    setConnectionLimitForTesting(2);
    qmtest::ScopedProbeSetting sleep("QM_PROBE_SLEEP_MS", std::string("4000"));
    installation->forget();
    auto calling = connect(ecdsaPort);
    ASSERT_NE(calling, nullptr);
    ASSERT_TRUE(calling->send(qmtest::buildPost(
        "/", keepAlive(ecdsaPort), qmtest::parameterField(callJson(sessionId_, "SignData")))));
    ASSERT_TRUE(eventually([] { return !installation->journal().empty(); }))
        << "the slow call never reached the adapter";
    auto waiting = connect(rsaPort, qmtest::kClientTls12);
    ASSERT_NE(waiting, nullptr);
    ASSERT_TRUE(waiting->send(qmtest::buildPost(
        "/", keepAlive(rsaPort), qmtest::parameterField(callJson(sessionId_, "QuillmarkEcho")))));
    ASSERT_TRUE(openAre(2, 0, 2));

    const auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(HttpsClient::connect("127.0.0.1", sparePort, qmtest::kClientTls13, nullptr, 10000),
              nullptr);
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(2));

    std::optional<HttpResponse> called = calling->readResponse();
    ASSERT_TRUE(called);
    EXPECT_EQ(decoded(*called)["result"].rfind("SignData#", 0), 0u);
    std::optional<HttpResponse> echoed = waiting->readResponse();
    ASSERT_TRUE(echoed);
    EXPECT_EQ(decoded(*echoed)["result"], "0");
    auto newcomer = connect(sparePort);
    ASSERT_NE(newcomer, nullptr);
    EXPECT_TRUE(echoes(*newcomer, sparePort));
}

// Thousands of connections each taking the place of an older one (on one listener, which accepts
// them in order): every one is closed in turn and the count comes back to nothing, so the limit
// keeps its meaning.
TEST_F(ConnectionLimitTest, ThousandsOfConnectionsMakingRoomLeaveTheCountRight) {
    constexpr unsigned int kLimit = 4;
    setConnectionLimitForTesting(kLimit);
    std::deque<std::unique_ptr<RawConnection>> held;
    for (int i = 0; i < 2000; ++i) {
        held.push_back(std::make_unique<RawConnection>(ecdsaPort));
        if (held.size() > kLimit) {
            ASSERT_TRUE(held.front()->closedByPeerWithin(5000)) << i;
            held.pop_front();
        }
    }
    held.clear();
    EXPECT_TRUE(openAre(0));
    std::vector<std::unique_ptr<HttpsClient>> idle;
    for (unsigned int i = 0; i < kLimit; ++i) {
        idle.push_back(connect(ecdsaPort));
        ASSERT_TRUE(idle.back() && echoes(*idle.back(), ecdsaPort)) << i;
    }
    for (auto& client : idle) {
        EXPECT_TRUE(echoes(*client, ecdsaPort)) << "closed below the limit";
    }
}

// ---- Deadlines ----------------------------------------------------------------------------------

// A page that trickles its headers in is cut at the deadline, however busy it keeps the
// connection, and however busy other pages keep its listener with short calls (the listener reads
// its connections between two of them); a request that has arrived keeps its connection
// through a long adapter call, and the connection then has the deadline again for its next
// request.
TEST_F(HttpsTest, TheHeaderDeadlineCutsTricklingClientsButNotALongCall) {
    std::optional<HttpResponse> opened = post(echoJson());
    ASSERT_TRUE(opened);
    const std::string id = decoded(*opened)["SessionID"];
    setHeaderDeadlineForTesting(1);
    IdleLoop idleLoop;

    {
        // Other pages keep the listener busy with calls of 50 ms, one after another.
        qmtest::ScopedProbeSetting sleep("QM_PROBE_SLEEP_MS", std::string("50"));
        CallingPages pages(ecdsaPort, id);

        std::vector<HalfSentRequest> trickling;
        trickling.push_back(
            {connect(ecdsaPort), "POST / HTTP/1.1\r\nHost: " + host(ecdsaPort) + "\r\n"});
        ASSERT_NE(trickling[0].client, nullptr);
        double seconds = 0;
        EXPECT_TRUE(trickleUntilClosed(trickling, &seconds));
        EXPECT_LT(seconds, 8.0);
    }

    // A connection that never begins its TLS handshake.
    EXPECT_TRUE(RawConnection(ecdsaPort).closedByPeerWithin(8000));

    qmtest::ScopedProbeSetting sleep("QM_PROBE_SLEEP_MS", std::string("2500"));
    auto calling = connect(ecdsaPort);
    ASSERT_NE(calling, nullptr);
    ASSERT_TRUE(
        calling->send(qmtest::buildPost("/", formHeaders(ecdsaPort, {{"Connection", "keep-alive"}}),
                                        qmtest::parameterField(callJson(id, "SignData")))));
    std::optional<HttpResponse> answered = calling->readResponse();
    ASSERT_TRUE(answered);
    EXPECT_EQ(decoded(*answered)["result"].rfind("SignData#", 0), 0u);
    EXPECT_TRUE(calling->waitForClose());
    setHeaderDeadlineForTesting(0);
}

// A body that arrives steadily, if slowly, is served however far past the allowance it takes.
TEST_F(HttpsTest, ABodyArrivingSteadilyOutlastsItsAllowance) {
    setBodyAllowanceForTesting(1);
    IdleLoop idleLoop;
    const std::string field =
        qmtest::parameterField(echoJson(",\"pad\":\"" + std::string(24 * 1024, 'p') + "\""));
    const std::string request = qmtest::buildPost("/", formHeaders(ecdsaPort), field);
    auto page = connect(ecdsaPort);
    ASSERT_NE(page, nullptr);
    constexpr std::size_t kPiece = 2048;
    std::size_t at = request.size() - field.size();
    ASSERT_TRUE(page->send(request.substr(0, at)));
    const auto begin = std::chrono::steady_clock::now();
    for (; at < request.size(); at += kPiece) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        ASSERT_TRUE(page->send(request.substr(at, kPiece))) << "cut after " << at << " bytes";
    }
    EXPECT_GT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(1));
    std::optional<HttpResponse> answered = page->readResponse();
    ASSERT_TRUE(answered) << "cut at the end of its body";
    EXPECT_EQ(decoded(*answered)["result"], "0");
}

// Listeners whose idle timeout and header deadline are short, for the tests of a busy listener.
class BusyListenerTest : public HttpsTest {
protected:
    static constexpr unsigned int kShortSeconds = 2;

    static void SetUpTestSuite() {
        setConnectionTimeoutForTesting(kShortSeconds);
        HttpsTest::SetUpTestSuite();
    }
    static void TearDownTestSuite() {
        HttpsTest::TearDownTestSuite();
        setConnectionTimeoutForTesting(0);
    }
    void SetUp() override {
        HttpsTest::SetUp();
        setHeaderDeadlineForTesting(kShortSeconds);
    }
};

// Requests that came at once while their listeners could not read them (one inside a long call,
// one waiting for the request lock behind it) wait for the call and are answered: the deadlines
// count only the time in which a listener could have read its connections. Pages on the call's
// listener are accepted before and after the call's connection, since the listener handles its
// connections in that order.
TEST_F(BusyListenerTest, RequestsThatCameWhileTheListenerWasBusyAreAnswered) {
    std::optional<HttpResponse> opened = post(echoJson());
    ASSERT_TRUE(opened);
    const std::string id = decoded(*opened)["SessionID"];
    ASSERT_TRUE(eventually([] { return connectionCountsForTesting().open == 0; }));
    IdleLoop idleLoop;

    struct Page {
        const char* name;
        int port;
        std::unique_ptr<HttpsClient> client;
    };
    std::vector<Page> pages;
    pages.push_back({"before the call, same listener", ecdsaPort, connect(ecdsaPort)});
    auto calling = connect(ecdsaPort);
    pages.push_back({"after the call, same listener", ecdsaPort, connect(ecdsaPort)});
    pages.push_back({"read first, other listener", rsaPort, connect(rsaPort)});
    pages.push_back({"read second, other listener", rsaPort, connect(rsaPort)});
    ASSERT_NE(calling, nullptr);
    ASSERT_TRUE(eventually([] { return connectionCountsForTesting().open == 5; }));

    // Longer than the idle timeout and the deadline together.
    qmtest::ScopedProbeSetting sleep("QM_PROBE_SLEEP_MS",
                                     std::to_string((2 * kShortSeconds + 1) * 1000));
    installation->forget();
    ASSERT_TRUE(calling->send(qmtest::buildPost("/", formHeaders(ecdsaPort),
                                                qmtest::parameterField(callJson(id, "SignData")))));
    ASSERT_TRUE(eventually([] { return !installation->journal().empty(); }))
        << "the slow call never reached the adapter";
    for (Page& page : pages) {
        ASSERT_NE(page.client, nullptr) << page.name;
        ASSERT_TRUE(page.client->send(
            qmtest::buildPost("/", formHeaders(page.port, {{"Connection", "keep-alive"}}),
                              qmtest::parameterField(callJson(id, "QuillmarkEcho")))))
            << page.name;
    }

    std::optional<HttpResponse> called = calling->readResponse();
    ASSERT_TRUE(called);
    EXPECT_EQ(decoded(*called)["result"].rfind("SignData#", 0), 0u);
    for (Page& page : pages) {
        std::optional<HttpResponse> answered = page.client->readResponse();
        ASSERT_TRUE(answered) << page.name << " was cut";
        EXPECT_EQ(decoded(*answered)["result"], "0") << page.name;
    }
}

// A listener kept busy by long calls, one after another, excuses a trickling header no longer
// than its deadline once more: the spells do not stop its clock.
TEST_F(BusyListenerTest, AHeaderTrickleIsCutThoughItsListenerIsKeptBusy) {
    std::optional<HttpResponse> opened = post(echoJson());
    ASSERT_TRUE(opened);
    const std::string id = decoded(*opened)["SessionID"];
    IdleLoop idleLoop;
    qmtest::ScopedProbeSetting sleep("QM_PROBE_SLEEP_MS", std::string("300"));
    installation->forget();
    CallingPages pages(ecdsaPort, id);
    ASSERT_TRUE(eventually([] { return installation->journal().size() >= 2; }))
        << "the calls never reached the adapter";
    // A header line that never ends, a byte every 200 ms: well within the idle timeout.
    std::vector<HalfSentRequest> trickling;
    trickling.push_back(
        {connect(ecdsaPort), "POST / HTTP/1.1\r\nX-Trickle: " + std::string(200, 't')});
    ASSERT_NE(trickling[0].client, nullptr);
    double seconds = 0;
    EXPECT_TRUE(trickleUntilClosed(trickling, &seconds));
    // The deadline, as much again for the busy spells, and the idle loop's step.
    EXPECT_LT(seconds, 2 * kShortSeconds + 3.0);
    EXPECT_GE(installation->journal().size(), 8u) << "the listener was not kept busy";
}

// ---- Listeners ----------------------------------------------------------------------------------

struct PeerCase {
    const char* name;
    const char* address;
    uint16_t port;
    bool accepted;
    const char* logged;
};

void PrintTo(const PeerCase& c, std::ostream* out) {
    *out << c.name;
}

class PeerTest : public ::testing::TestWithParam<PeerCase> {};

TEST_P(PeerTest, OnlyTheIpv4LoopbackAddressIsAccepted) {
    const PeerCase& c = GetParam();
    LogCapture log;
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(c.port);
    inet_pton(AF_INET, c.address, &peer.sin_addr);
    EXPECT_EQ(acceptLocalClientForTesting(reinterpret_cast<const sockaddr*>(&peer), sizeof peer),
              c.accepted);
    if (c.logged != nullptr) {
        EXPECT_TRUE(log.contains(std::string("Illegal connection ip: ") + c.logged));
    } else {
        EXPECT_FALSE(log.contains("Illegal connection ip: "));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Peers, PeerTest,
    ::testing::Values(
        PeerCase{"loopback", "127.0.0.1", 50000, true, nullptr},
        PeerCase{"other_loopback", "127.0.0.2", 80, false, "0.80.127.0.0.2.0.0.0.0.0.0.0.0"},
        PeerCase{"private_network", "10.1.2.3", 65535, false, "-1.-1.10.1.2.3.0.0.0.0.0.0.0.0"},
        PeerCase{"high_bytes", "192.168.200.1", 443, false, "1.-69.-64.-88.-56.1.0.0.0.0.0.0.0.0"}),
    [](const ::testing::TestParamInfo<PeerCase>& param) { return std::string(param.param.name); });

TEST_F(HttpsTest, AListenerThatCannotStartIsReportedAndLeftOut) {
    LogCapture log;
    sockaddr unknown{};
    unknown.sa_family = AF_UNSPEC;
    EXPECT_EQ(startHttpsDaemon(kIpv4ListenerFlags, &unknown, "", "", kTlsPriorities), nullptr);
    EXPECT_TRUE(log.contains("Unknow address family: 0"));

    const std::size_t running = runningHttpsDaemonCount();
    EXPECT_FALSE(startHttpsListener(false, ecdsaPort,
                                    serverCertificateTextForTesting(ServerCertificateKind::kEcdsa),
                                    serverPrivateKeyTextForTesting(ServerCertificateKind::kEcdsa)));
    EXPECT_TRUE(log.contains("OqtQuillmark at 127.0.0.1:" + std::to_string(ecdsaPort) +
                             " launch state: Fail"));
    EXPECT_EQ(runningHttpsDaemonCount(), running);
}

TEST(HttpsStopTest, StoppingAllListenersClosesTheirPorts) {
    AdapterInstallation installation;
    setCopyPath(installation.dataFolder().wstring().c_str());
    int port = 0;
    bool started = false;
    for (int attempt = 0; attempt < 5 && !started; ++attempt) {
        port = freePort();
        started = startHttpsListener(false, port,
                                     serverCertificateTextForTesting(ServerCertificateKind::kEcdsa),
                                     serverPrivateKeyTextForTesting(ServerCertificateKind::kEcdsa));
    }
    ASSERT_TRUE(started);
    EXPECT_EQ(runningHttpsDaemonCount(), 1u);
    EXPECT_NE(HttpsClient::connect("127.0.0.1", port, qmtest::kClientTls13), nullptr);
    stopAllHttpsDaemons();
    EXPECT_EQ(runningHttpsDaemonCount(), 0u);
    EXPECT_EQ(HttpsClient::connect("127.0.0.1", port, qmtest::kClientTls13), nullptr);
    setCopyPath(nullptr);
}

}  // namespace
