// A bare libmicrohttpd + GnuTLS HTTPS server for scripts/bench.sh: the same dependency builds,
// listener flags, TLS priorities and certificate as the service, answering every POST with a
// fixed reply of the service's size. It shows what the stack itself costs under Wine.
//
//   qm_bare_https_server <certificate.pem> <key.pem> <port>
//
// Runs until it is ended from outside.
#include <winsock2.h>
// (kept apart so that include sorting leaves the order alone)
#include <windows.h>

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

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: qm_bare_https_server <cert.pem> <key.pem> <port>\n");
        return 2;
    }
    std::string certificate = readFile(argv[1]);
    std::string key = readFile(argv[2]);
    int port = std::atoi(argv[3]);
    MHD_Daemon* daemon =
        MHD_start_daemon(MHD_USE_ERROR_LOG | MHD_USE_TLS | MHD_USE_INTERNAL_POLLING_THREAD,
                         static_cast<uint16_t>(port), nullptr, nullptr, answer, nullptr,
                         MHD_OPTION_HTTPS_MEM_CERT, certificate.c_str(), MHD_OPTION_HTTPS_MEM_KEY,
                         key.c_str(), MHD_OPTION_HTTPS_PRIORITIES, kPriorities, MHD_OPTION_END);
    if (daemon == nullptr) {
        std::fprintf(stderr, "the daemon did not start\n");
        return 1;
    }
    for (;;) {
        Sleep(INFINITE);
    }
}
