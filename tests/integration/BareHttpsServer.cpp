// A bare libmicrohttpd + GnuTLS HTTPS server for scripts/bench.sh: the same dependency builds,
// listener set, listener flags, TLS priorities and certificate as the service, answering every
// POST with a fixed reply of the service's size. It shows what the stack itself costs under Wine.
//
//   qm_bare_https_server <certificate.pem> <key.pem> <port>
//
// Listens as the service does, on three ports (port, port + 20, port + 40), each on 127.0.0.1
// and on [::1], every listener with its own polling thread. Runs until it is ended from outside.
#include <winsock2.h>
// (kept apart so that include sorting leaves the order alone)
#include <windows.h>
#include <ws2tcpip.h>

#include <microhttpd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr char kReply[] = "{\"result\": \"MA==\", \"ServerVersion\": \"MS4wLjIyLjAzMDM=\"}";
constexpr const char* kPriorities = "NORMAL:!VERS-TLS-ALL:!SHA1:+VERS-TLS1.2:+VERS-TLS1.3";

std::string readFile(const char* path) {
    std::string text;
    FILE* file = std::fopen(path, "rb");
    if (file == nullptr) {
        return text;
    }
    char buffer[4096];
    size_t count;
    while ((count = std::fread(buffer, 1, sizeof(buffer), file)) > 0) {
        text.append(buffer, count);
    }
    std::fclose(file);
    return text;
}

int gMarker;

// Answers on the last call of a request, after the body: a reply queued on the first call would
// be sent with "Connection: close" and cost every request a new handshake.
MHD_Result answer(void* /*context*/, MHD_Connection* connection, const char* /*url*/,
                  const char* /*method*/, const char* /*version*/, const char* /*data*/,
                  size_t* dataSize, void** state) {
    if (*state == nullptr) {
        *state = &gMarker;
        return MHD_YES;
    }
    if (*dataSize != 0) {
        *dataSize = 0;
        return MHD_YES;
    }
    MHD_Response* response = MHD_create_response_from_buffer(
        std::strlen(kReply), const_cast<char*>(kReply), MHD_RESPMEM_PERSISTENT);
    MHD_add_response_header(response, "Access-Control-Allow-Origin", "http://localhost:8080");
    MHD_add_response_header(response, "X-XSS-Protection", "1; mode=block");
    MHD_Result result = MHD_queue_response(connection, MHD_HTTP_OK, response);
    MHD_destroy_response(response);
    return result;
}

bool startListener(unsigned int ipv6Flag, const sockaddr* address, const std::string& certificate,
                   const std::string& key) {
    return MHD_start_daemon(
               MHD_USE_ERROR_LOG | MHD_USE_TLS | MHD_USE_INTERNAL_POLLING_THREAD | ipv6Flag, 0,
               nullptr, nullptr, answer, nullptr, MHD_OPTION_SOCK_ADDR, address,
               MHD_OPTION_HTTPS_MEM_CERT, certificate.c_str(), MHD_OPTION_HTTPS_MEM_KEY,
               key.c_str(), MHD_OPTION_HTTPS_PRIORITIES, kPriorities, MHD_OPTION_END) != nullptr;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: qm_bare_https_server <cert.pem> <key.pem> <port>\n");
        return 2;
    }
    std::string certificate = readFile(argv[1]);
    std::string key = readFile(argv[2]);
    const int firstPort = std::atoi(argv[3]);
    for (int port = firstPort; port <= firstPort + 40; port += 20) {
        sockaddr_in ipv4{};
        ipv4.sin_family = AF_INET;
        ipv4.sin_port = htons(static_cast<u_short>(port));
        ipv4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        sockaddr_in6 ipv6{};
        ipv6.sin6_family = AF_INET6;
        ipv6.sin6_port = htons(static_cast<u_short>(port));
        ipv6.sin6_addr = in6addr_loopback;
        if (!startListener(0, reinterpret_cast<const sockaddr*>(&ipv4), certificate, key) ||
            !startListener(MHD_USE_IPv6, reinterpret_cast<const sockaddr*>(&ipv6), certificate,
                           key)) {
            std::fprintf(stderr, "a listener on port %d did not start\n", port);
            return 1;
        }
    }
    for (;;) {
        Sleep(INFINITE);
    }
}
