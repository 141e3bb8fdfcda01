// A test-only HTTPS client over GnuTLS: one TCP connection to a loopback listener, a TLS
// handshake with a chosen priority text (so a test can insist on TLS 1.2, 1.3 or 1.1), raw
// HTTP/1.1 requests written as the test builds them, and replies read back with their status,
// headers and body. Several requests may go over one connection (keep-alive).
//
// Also the two codecs that tests need to speak the service's wire protocol, written here on
// their own so that a fault in the service's codecs is not mirrored: the URL-escaped base64 form
// field, and the reply object of base64 values read back strictly.
#ifndef QM_TESTS_SUPPORT_HTTPSCLIENT_H
#define QM_TESTS_SUPPORT_HTTPSCLIENT_H

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace qmtest {

// Priority texts for the client side.
inline constexpr const char* kClientTls12 = "NORMAL:-VERS-ALL:+VERS-TLS1.2";
inline constexpr const char* kClientTls13 = "NORMAL:-VERS-ALL:+VERS-TLS1.3";
inline constexpr const char* kClientTls11 = "NORMAL:-VERS-ALL:+VERS-TLS1.1";

// GnuTLS protocol numbers (gnutls_protocol_t) as the client reports them.
inline constexpr int kProtocolTls12 = 4;
inline constexpr int kProtocolTls13 = 5;

using HeaderList = std::vector<std::pair<std::string, std::string>>;

struct HttpResponse {
    int status = 0;
    std::string reason;
    HeaderList headers;  // in wire order, names as sent
    std::string body;    // de-chunked when the reply was chunked

    // Value of the first header whose name equals name ignoring ASCII case; nullopt if absent.
    std::optional<std::string> header(const std::string& name) const;
};

class HttpsClient {
public:
    // Connects to host ("127.0.0.1" or "::1") and port and runs the TLS handshake with the
    // client priority text. Null when the connection or the handshake fails; *error then says
    // which (and holds the GnuTLS error text of a failed handshake).
    static std::unique_ptr<HttpsClient> connect(const std::string& host, int port,
                                                const std::string& priority,
                                                std::string* error = nullptr,
                                                int timeoutMs = 10000);
    ~HttpsClient();
    HttpsClient(const HttpsClient&) = delete;
    HttpsClient& operator=(const HttpsClient&) = delete;

    // The negotiated protocol (gnutls_protocol_t numbering: 4 = TLS 1.2, 5 = TLS 1.3).
    int protocol() const;
    // DER bytes of the certificate the server presented (empty when none).
    std::string peerCertificateDer() const;

    // Sends bytes as they are. False when the connection failed or was closed.
    bool send(const std::string& bytes);
    // Reads one reply. nullopt when the server closed the connection (or it failed, or timed out)
    // before a whole reply arrived. A reply to a HEAD-less request whose status is 204 or 304
    // has no body.
    std::optional<HttpResponse> readResponse();
    // True when the server closes the connection without sending anything more (within the
    // timeout); false when bytes arrive or the wait times out.
    bool waitForClose();

private:
    struct Impl;
    explicit HttpsClient(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

// ---- Building requests ------------------------------------------------------------------------

// base64 (standard alphabet, "=" padding) and its decoding; decoding refuses anything that is
// not whole base64 (nullopt).
std::string base64Encode(const std::string& bytes);
std::optional<std::string> base64Decode(const std::string& text);

// The form field of a request: "Parameter=" and the base64 of json with "+", "/" and "=" escaped
// as "%2B", "%2F" and "%3D".
std::string parameterField(const std::string& json);

// A POST request with a Content-Length body. headers are written in order after the request line;
// Content-Length is added. The caller gives Host, Content-Type and any other header it wants.
std::string buildPost(const std::string& target, const HeaderList& headers,
                      const std::string& body);
// The same with the body sent as the given chunks (Transfer-Encoding: chunked).
std::string buildChunkedPost(const std::string& target, const HeaderList& headers,
                             const std::vector<std::string>& chunks);
// Any other request without a body (OPTIONS, GET).
std::string buildRequest(const std::string& method, const std::string& target,
                         const HeaderList& headers);

// ---- Reading replies --------------------------------------------------------------------------

// Reads the service's reply body: exactly {"k": "b64", "k2": "b64"} (one blank after each colon,
// a comma and one blank between entries, no other white space) or {}; each value is
// base64-decoded. nullopt when the text is not of that exact form.
std::optional<std::vector<std::pair<std::string, std::string>>> decodeReply(
    const std::string& body);

}  // namespace qmtest

#endif  // QM_TESTS_SUPPORT_HTTPSCLIENT_H
