// QuillmarkHttps: listeners, the access handler and its completion step, the form-field
// collector, the reply and the preflight.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <microhttpd.h>

#include "service/QuillmarkHttps.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "common/Json.h"
#include "common/Log.h"
#include "common/Tool.h"
#include "service/QuillmarkSession.h"
#include "service/SecretText.h"
#include "service/ServiceLog.h"

namespace {

constexpr const char* kModuleName = "Quillmark";
constexpr std::size_t kPostBufferSize = 8192;
constexpr std::size_t kHostChars = 63;

constexpr int32_t kResultNoTlsInformation = 61001;
constexpr int32_t kResultNoOrigin = 61012;
constexpr int32_t kResultNotLocalhost = 61904;

static_assert(kIpv4ListenerFlags ==
              (MHD_USE_ERROR_LOG | MHD_USE_TLS | MHD_USE_INTERNAL_POLLING_THREAD));
static_assert(kIpv6ListenerFlags == (kIpv4ListenerFlags | MHD_USE_IPv6));

enum RequestKind : int32_t {
    kPostRequest = 1,
    kOtherRequest = 2,
};

// Bodies up to this size are not charged, so that a page's ordinary requests are never refused
// while large uploads hold the budget; the connection limit bounds what they can take together.
constexpr std::size_t kUnchargedBodyBytes = 64 * 1024;

std::size_t chargeable(std::size_t bytes) {
    return bytes > kUnchargedBodyBytes ? bytes : 0;
}

// libmicrohttpd's own connection limit on each listener stands this far above the service's,
// behind the accept policy: a connection closed to make room stays counted until its listener's
// next round.
constexpr unsigned int kConnectionLimitSlack = 8;

// Busy spells shorter than this (an echo takes a millisecond) are not counted: the listener reads
// all its connections between two of them, however many there are.
constexpr auto kLongBusySpell = std::chrono::milliseconds(100);

// Body bytes beyond this earn no more time: the credit stays far inside the clock's range.
constexpr uint64_t kMostCreditedBodyBytes = uint64_t{1} << 40;

using Clock = std::chrono::steady_clock;

// One listener and the time its thread has spent unable to read its connections: long spells
// inside a completion step, which waits for the request lock, decodes and dispatches (a component
// may wait for a PIN). The busy figures are written by the listener's thread under
// state.clocksMutex.
struct ListenerLoad {
    unsigned int idleTimeoutSeconds = kConnectionTimeoutSeconds;  // libmicrohttpd's, from start
    uint64_t accepted = 0;        // connections accepted so far (the listener's thread only)
    Clock::duration busyTotal{};  // finished long spells
    bool busy = false;
    Clock::time_point busySince;

    // The busy time up to now, the spell in progress included once it has become long.
    Clock::duration busyAt(Clock::time_point now) const {
        return busy && now - busySince >= kLongBusySpell ? busyTotal + (now - busySince)
                                                         : busyTotal;
    }
};

// What a connection is waiting for, and so which bound it has.
enum class Phase {
    kWaiting,  // its handshake, the headers of a request, or idle between requests: the deadline
    kBody,     // the headers are in and the body is arriving: the body allowance
    kServing,  // the request has arrived whole and is being served: no bound, and it stays at the
               // connection limit (a component may wait for a PIN as long as it takes)
};

// One accepted connection, kept in libmicrohttpd's per-socket context from its start to its close
// notification, which comes before the socket is closed.
struct ConnectionClock {
    MHD_Connection* connection = nullptr;
    MHD_socket socket = MHD_INVALID_SOCKET;
    ListenerLoad* listener = nullptr;
    uint64_t order = 0;  // accept order on its listener: the order of its rounds
    Phase phase = Phase::kWaiting;
    Clock::time_point since;         // start of the phase
    Clock::duration busyAtSince{};   // the listener's busy time at since
    Clock::duration longestSpell{};  // the listener's longest finished long spell in the phase
    uint64_t bodyBytes = 0;          // of the body, read so far
    // The last sign of the client: the start of the phase or a piece of body read. The
    // connection that has shown none for longest makes room at the connection limit.
    Clock::time_point progress;
    bool cut = false;  // shut down; its listener closes it on its next round
    // The listener's thread only: its busy time when libmicrohttpd last saw the connection active
    // (as far as the callbacks tell), and the seconds its idle timeout is lengthened by.
    Clock::duration busyAtActivity{};
    unsigned int idleExtension = 0;
};

void startPhase(ConnectionClock& clock, Phase phase, Clock::time_point now) {
    clock.phase = phase;
    clock.since = now;
    clock.progress = now;
    clock.busyAtSince = clock.listener->busyAt(now);
    clock.longestSpell = {};
    clock.bodyBytes = 0;
}

// The busy time of the connection's listener in its phase that the phase's bound does not count:
// all of it up to allowance, or more when a single spell was longer, since no connection of that
// listener could be read in it. Back-to-back spells thus never stop the clock for long.
Clock::duration excusedBusyTime(const ConnectionClock& clock, Clock::time_point now,
                                Clock::duration allowance) {
    const ListenerLoad& listener = *clock.listener;
    Clock::duration longest = clock.longestSpell;
    if (listener.busy && now - listener.busySince >= kLongBusySpell) {
        longest = std::max(longest, now - std::max(listener.busySince, clock.since));
    }
    return std::min(listener.busyAt(now) - clock.busyAtSince, std::max(longest, allowance));
}

struct Listener {
    MHD_Daemon* daemon = nullptr;
    std::unique_ptr<ListenerLoad> load;
};

struct FrontEndState {
    std::mutex daemonsMutex;
    std::vector<Listener> daemons;
    std::atomic<std::size_t> parameterLimit{kMaxParameterBytes};
    std::atomic<std::size_t> bodyBudget{kBodyBudgetBytes};
    std::atomic<std::size_t> bytesInFlight{0};
    std::atomic<unsigned int> headerDeadlineSeconds{kHeaderDeadlineSeconds};
    std::atomic<unsigned int> bodyAllowanceSeconds{kBodyAllowanceSeconds};
    std::atomic<unsigned int> connectionTimeoutSeconds{kConnectionTimeoutSeconds};
    std::atomic<unsigned int> connectionLimit{kConnectionLimit};

    // The open connections of every listener, with their clocks; guarded by clocksMutex.
    std::mutex clocksMutex;
    std::set<ConnectionClock*> clocks;
    std::size_t openConnections = 0;  // started and not yet closed, with or without a clock
    std::size_t cutConnections = 0;   // of those, shut down and not yet closed
};

FrontEndState state;

// Takes bytes from the process-wide budget; false (nothing taken) when they do not fit.
bool chargeBudget(std::size_t bytes) {
    const std::size_t budget = state.bodyBudget.load();
    std::size_t current = state.bytesInFlight.load();
    do {
        if (bytes > budget || current > budget - bytes) {
            return false;
        }
    } while (!state.bytesInFlight.compare_exchange_weak(current, current + bytes));
    return true;
}

void refundBudget(std::size_t bytes) {
    state.bytesInFlight.fetch_sub(bytes);
}

// Bytes charged to the budget, returned when the owner goes.
class BudgetCharge {
public:
    BudgetCharge() = default;
    BudgetCharge(const BudgetCharge&) = delete;
    BudgetCharge& operator=(const BudgetCharge&) = delete;
    ~BudgetCharge() { release(); }

    bool add(std::size_t bytes) {
        if (!chargeBudget(bytes)) {
            return false;
        }
        bytes_ += bytes;
        return true;
    }
    std::size_t held() const { return bytes_; }
    // Returns bytes of the charge (at most what it holds).
    void reduce(std::size_t bytes) {
        bytes = std::min(bytes, bytes_);
        refundBudget(bytes);
        bytes_ -= bytes;
    }
    void release() { reduce(bytes_); }

private:
    std::size_t bytes_ = 0;
};

// The "Parameter" field, decoded from its URL-escaped base64 as its pieces arrive, so that the
// request's text is ready when its body is in: the listener's thread then has only the parsing
// left to do while its other connections wait. The text is a heap block that the request map
// takes over.
struct DecodedField {
    char* text = nullptr;
    std::size_t size = 0;      // decoded bytes
    std::size_t capacity = 0;  // bytes of text
    std::size_t received = 0;  // characters of the field so far
    UrlBase64Decoder decoder;

    DecodedField() = default;
    DecodedField(const DecodedField&) = delete;
    DecodedField& operator=(const DecodedField&) = delete;
    ~DecodedField() { clear(); }

    void clear() {
        if (text != nullptr) {
            secureZero(text, size);
            std::free(text);
        }
        text = nullptr;
        size = 0;
        capacity = 0;
    }
    // Moves the bytes into a block of the given capacity; false on no memory.
    bool grow(std::size_t bytes) {
        auto* bigger = static_cast<char*>(std::malloc(bytes));
        if (bigger == nullptr) {
            return false;
        }
        if (size > 0) {
            std::memcpy(bigger, text, size);
        }
        const std::size_t kept = size;
        clear();
        text = bigger;
        size = kept;
        capacity = bytes;
        return true;
    }
    // The decoded text (empty when nothing was collected), NUL-terminated at its first NUL with
    // every byte behind it wiped, handed over (free()) with its length; null on no memory.
    char* release(std::size_t& length) {
        if (capacity < size + 3 && !grow(size + 3)) {
            return nullptr;
        }
        size += finishUrlBase64Decoder(decoder, reinterpret_cast<unsigned char*>(text) + size);
        text[size] = '\0';
        length = std::strlen(text);
        secureZero(text + length, size - length);
        char* taken = text;
        text = nullptr;
        size = 0;
        capacity = 0;
        return taken;
    }
};

// One HTTP request, kept in libmicrohttpd's per-request context pointer.
struct ConnectionState {
    int32_t kind = kOtherRequest;
    MHD_PostProcessor* postProcessor = nullptr;
    DecodedField field;          // the "Parameter" field collected so far, decoded
    std::size_t fieldBound = 0;  // the most the field can decode to, from the body's length
    BudgetCharge bodyCharge;     // the field's capacity; kept until its text has gone
    bool overLimit = false;      // the field grew past a limit; the request gets no reply
    bool collectFailed = false;
    // The request's map, freed once its answer has gone out: wiping and freeing a large one
    // would otherwise hold the answer back.
    JsonMapPtr servedMap;

    ~ConnectionState() {
        if (postProcessor != nullptr) {
            MHD_destroy_post_processor(postProcessor);
        }
    }

    // Drops the field at once: the request will get no reply.
    void dropBody() {
        field.clear();
        bodyCharge.release();
    }
};

// The values of the request being completed; they belong to it alone.
struct RequestValues {
    JsonMapPtr requestMap;
    std::optional<std::string> requestReferer;
    std::string requestOrigin;
    JsonMapPtr responseMap;
};

bool equalsIgnoreCase(const char* a, const char* b) {
    return a != nullptr && b != nullptr && compareJsonMapKeys(a, b) == 0;
}

// Request values are read from the headers only: a query argument, a cookie or a form field of
// the same name must never stand in for "Host", "Origin" or "Referer".
const char* requestHeader(MHD_Connection* connection, const char* name) {
    return MHD_lookup_connection_value(connection, MHD_HEADER_KIND, name);
}

MHD_Result sendHttpResponse(MHD_Connection* connection, bool preflight, RequestValues& values) {
    MHD_Response* response = nullptr;
    if (!preflight) {
        if (!values.responseMap) {
            return MHD_NO;
        }
        SecretText text(serializeJsonMap(values.responseMap.get()));
        values.responseMap.reset();
        if (!text) {
            qm::logAllocationFailure(kModuleName, __LINE__);
            return MHD_NO;
        }
        response = MHD_create_response_from_buffer(std::strlen(text.get()), text.get(),
                                                   MHD_RESPMEM_MUST_COPY);
    } else {
        response = MHD_create_response_from_buffer(0, nullptr, MHD_RESPMEM_PERSISTENT);
        const char* origin = requestHeader(connection, "origin");
        values.requestOrigin = origin != nullptr ? origin : "";
    }
    if (response == nullptr) {
        return MHD_NO;
    }
    if (startsWith("http", values.requestOrigin.c_str())) {
        MHD_add_response_header(response, "Access-Control-Allow-Origin",
                                values.requestOrigin.c_str());
    }
    if (equalsIgnoreCase(requestHeader(connection, "Connection"), "keep-alive")) {
        MHD_add_response_header(response, "Keep-Alive", "timeout=15, max=100");
    }
    if (!preflight) {
        MHD_add_response_header(response, "X-XSS-Protection", "1; mode=block");
    } else {
        values.requestOrigin.clear();
        MHD_add_response_header(response, "Access-Control-Allow-Methods", "POST");
        MHD_add_response_header(response, "Access-Control-Allow-Private-Network", "true");
        MHD_add_response_header(response, "Access-Control-Max-Age", "30");
    }
    MHD_Result queued =
        MHD_queue_response(connection, preflight ? MHD_HTTP_NO_CONTENT : MHD_HTTP_OK, response);
    MHD_destroy_response(response);
    return queued;
}

// Judges the TLS protocol of the connection: true to go on.
bool acceptProtocol(int protocol) {
    const char* name = nullptr;
    switch (protocol) {
        case 2:
            logWarning("Insecure connection: ", "TLS 1.0");
            return false;
        case 3:
            logWarning("Insecure connection: ", "TLS 1.1");
            return false;
        case 4:
            name = "TLS 1.2";
            break;
        case 5:
            name = "TLS 1.3";
            break;
        case 200:
            name = "DTLS 0.9";
            break;
        case 201:
            name = "DTLS 1.0";
            break;
        case 202:
            name = "DTLS 1.2";
            break;
        default:
            logWarning("Insecure connection: ", "Unknow connection protocol");
            logWarningInt("Insecure connection: ", protocol);
            return false;
    }
    logNormal("TLS version: ", name);
    return true;
}

// The origin of the page: the "Origin" header, or scheme://host:port rebuilt from the "Referer"
// header. False when neither gives one.
bool settleOrigin(MHD_Connection* connection, RequestValues& values) {
    const char* referer = requestHeader(connection, "referer");
    if (referer != nullptr) {
        values.requestReferer = referer;
    }
    logNormal("Referer: ", referer);
    const char* origin = requestHeader(connection, "origin");
    values.requestOrigin = origin != nullptr ? origin : "";
    logNormal("Origin: ", values.requestOrigin.c_str());
    if (!values.requestOrigin.empty() && values.requestOrigin != "null") {
        return true;
    }
    logWarning("Empty origin: ", values.requestOrigin.c_str());
    logWarning("Extract origin from referer: ", "Start");
    if (!values.requestReferer || values.requestReferer->empty() ||
        *values.requestReferer == "null") {
        logWarning("Empty Referer: ", referer);
        logWarning("Extract origin from referer: ", "Fail");
        return false;
    }
    char** pieces = splitString(values.requestReferer->c_str(), "/");
    if (pieces == nullptr) {
        qm::logAllocationFailure(kModuleName, __LINE__);
        return false;
    }
    std::vector<std::string> list;
    for (char** piece = pieces; *piece != nullptr; ++piece) {
        list.emplace_back(*piece);
        std::free(*piece);
    }
    std::free(static_cast<void*>(pieces));
    for (std::size_t i = 0; i < list.size(); ++i) {
        char message[32];
        std::snprintf(message, sizeof message, "UrlList[%d]: ", static_cast<int>(i));
        logNormal(message, list[i].c_str());
    }
    if (list.size() < 3) {
        logWarning("UrlList error: ", "");
        logWarning("Extract origin from referer: ", "Fail");
        return false;
    }
    values.requestOrigin = list[0] + "/" + list[1] + "/" + list[2];
    logNormal("New Origin: ", values.requestOrigin.c_str());
    return true;
}

void logParameterOverLimit() {
    logWarningInt("Parameter size over limit, no reply: ",
                  static_cast<int32_t>(state.parameterLimit.load()));
}

void logBudgetExhausted(std::size_t bytes) {
    logWarningInt("Request memory budget exhausted, no reply: ", static_cast<int32_t>(bytes));
}

ConnectionClock* connectionClock(MHD_Connection* connection) {
    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
    return info != nullptr ? static_cast<ConnectionClock*>(info->socket_context) : nullptr;
}

// Shuts the connection down; its listener then closes it as any whose peer left. Under
// state.clocksMutex, which the close notification takes before the socket is closed.
void cutConnection(ConnectionClock& clock) {
    shutdown(clock.socket, SD_BOTH);
    clock.cut = true;
    ++state.cutConnections;
}

// libmicrohttpd has just seen the connection active, so its idle timeout runs from now and needs
// no lengthening. On the connection's listener thread, the only writer of its busy figures.
void noteActivity(ConnectionClock& clock) {
    clock.busyAtActivity = clock.listener->busyTotal;
    if (clock.idleExtension != 0) {
        clock.idleExtension = 0;
        MHD_set_connection_option(clock.connection, MHD_CONNECTION_OPTION_TIMEOUT,
                                  clock.listener->idleTimeoutSeconds);
    }
}

// The request on the connection moves on to phase; Phase::kWaiting: it has ended.
void enterPhase(MHD_Connection* connection, Phase phase) {
    ConnectionClock* clock = connectionClock(connection);
    if (clock == nullptr) {
        return;
    }
    {
        std::lock_guard<std::mutex> guard(state.clocksMutex);
        startPhase(*clock, phase, Clock::now());
    }
    noteActivity(*clock);
}

void noteBodyPiece(MHD_Connection* connection, std::size_t bytes) {
    ConnectionClock* clock = connectionClock(connection);
    if (clock == nullptr) {
        return;
    }
    {
        std::lock_guard<std::mutex> guard(state.clocksMutex);
        clock->bodyBytes += bytes;
        clock->progress = Clock::now();
    }
    noteActivity(*clock);
}

// A spell in which the listener's thread reads none of its connections: a completion step, with
// its wait for the request lock and the dispatch. Once it is long, the bounds of the listener's
// other connections excuse it (excusedBusyTime), and their idle timeouts are lengthened by it.
class BusySpell {
public:
    BusySpell(ListenerLoad* listener, const ConnectionClock* served)
        : listener_(listener), served_(served) {
        if (listener_ != nullptr) {
            std::lock_guard<std::mutex> guard(state.clocksMutex);
            listener_->busy = true;
            listener_->busySince = Clock::now();
        }
    }
    BusySpell(const BusySpell&) = delete;
    BusySpell& operator=(const BusySpell&) = delete;
    ~BusySpell() {
        if (listener_ != nullptr) {
            end();
        }
    }

private:
    void end() {
        std::vector<std::pair<ConnectionClock*, unsigned int>> lengthened;
        {
            std::lock_guard<std::mutex> guard(state.clocksMutex);
            const Clock::time_point end = Clock::now();
            const Clock::duration spell = end - listener_->busySince;
            listener_->busy = false;
            if (spell < kLongBusySpell) {
                return;
            }
            listener_->busyTotal += spell;
            for (ConnectionClock* clock : state.clocks) {
                if (clock->listener != listener_ || clock->cut) {
                    continue;
                }
                clock->longestSpell = std::max(clock->longestSpell,
                                               end - std::max(listener_->busySince, clock->since));
                // libmicrohttpd goes on with this round with the readiness it found before the
                // spell: the connections it has still to reach (those accepted after the served
                // one) would be taken for idle when their requests came meanwhile. The others
                // were handled before the spell (some may be closed already, left for the end of
                // the round) and are read afresh on the next round.
                if (served_ == nullptr || clock->order <= served_->order) {
                    continue;
                }
                const auto owed = std::chrono::ceil<std::chrono::seconds>(listener_->busyTotal -
                                                                          clock->busyAtActivity);
                const auto seconds = static_cast<unsigned int>(owed.count());
                if (seconds > clock->idleExtension) {
                    clock->idleExtension = seconds;
                    lengthened.emplace_back(clock, seconds);
                }
            }
        }
        for (const auto& [clock, seconds] : lengthened) {
            MHD_set_connection_option(clock->connection, MHD_CONNECTION_OPTION_TIMEOUT,
                                      listener_->idleTimeoutSeconds + seconds);
        }
    }

    ListenerLoad* listener_;
    const ConnectionClock* served_;
};

void notifyConnection(void* context, MHD_Connection* connection, void** socketContext,
                      MHD_ConnectionNotificationCode code) {
    auto* listener = static_cast<ListenerLoad*>(context);
    if (code == MHD_CONNECTION_NOTIFY_STARTED) {
        const uint64_t order = ++listener->accepted;
        std::unique_ptr<ConnectionClock> clock(new (std::nothrow) ConnectionClock);
        const MHD_ConnectionInfo* info =
            MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
        std::lock_guard<std::mutex> guard(state.clocksMutex);
        ++state.openConnections;
        if (!clock || info == nullptr) {
            return;
        }
        clock->connection = connection;
        clock->socket = info->connect_fd;
        clock->listener = listener;
        clock->order = order;
        startPhase(*clock, Phase::kWaiting, Clock::now());
        clock->busyAtActivity = clock->busyAtSince;
        try {
            state.clocks.insert(clock.get());
        } catch (const std::bad_alloc&) {
            return;
        }
        *socketContext = clock.release();
        return;
    }
    auto* clock = static_cast<ConnectionClock*>(*socketContext);
    {
        std::lock_guard<std::mutex> guard(state.clocksMutex);
        --state.openConnections;
        if (clock != nullptr) {
            if (clock->cut) {
                --state.cutConnections;
            }
            state.clocks.erase(clock);
        }
    }
    delete clock;
    *socketContext = nullptr;
}

// Puts a code alone into the response (the request is then not dispatched).
void answerWithCode(RequestValues& values, int32_t code) {
    values.responseMap.reset(createJsonMap());
    if (values.responseMap) {
        setJsonMapResult(values.responseMap.get(), code);
    }
}

// Checks, decodes and parses the request on its own listener thread, then dispatches it (under the
// request lock, which the dispatcher takes). Leaves no response map in values for no reply.
void completeUnlocked(MHD_Connection* connection, ConnectionState& request, RequestValues& values) {
    logNormal("Release Mode", "");
    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_PROTOCOL);
    if (info == nullptr) {
        logWarning("Get connection information error", "");
        answerWithCode(values, kResultNoTlsInformation);
        return;
    }
    if (!acceptProtocol(info->protocol)) {
        return;
    }
    char host[kHostChars + 1] = {};
    safeCopyString(host, sizeof host, requestHeader(connection, "host"));
    logNormal("Host: ", host);
    if (!startsWith("localhost:", host) && !startsWith("127.0.0.1:", host)) {
        logWarning("This connection is NOT from localhost", "");
        answerWithCode(values, kResultNotLocalhost);
        return;
    }
    // The field's text becomes the map's text (still charged to the body); the map's values take
    // about as much again, and deciphering its encrypted values half as much again as their text.
    BudgetCharge completionCharge;
    const std::size_t textBytes = request.field.size;
    if (!completionCharge.add(chargeable(textBytes))) {
        logBudgetExhausted(textBytes);
        request.dropBody();
        return;
    }
    std::size_t length = 0;
    char* text = request.field.release(length);
    if (text == nullptr) {
        qm::logAllocationFailure(kModuleName, __LINE__);
        return;
    }
    values.requestMap.reset(parseJsonMapTakingText(text, length));
    if (!values.requestMap) {
        qm::logAllocationFailure(kModuleName, __LINE__);
        return;
    }
    const std::size_t encryptedBytes = encryptedJsonMapTextBytes(values.requestMap.get());
    if (!completionCharge.add(chargeable(encryptedBytes) / 2 * 3)) {
        logBudgetExhausted(encryptedBytes);
        values.requestMap.reset();
        return;
    }
    // Before the request lock: the component call must not wait for a page's ciphertext.
    decipherJsonMapValues(values.requestMap.get());
    if (!settleOrigin(connection, values)) {
        answerWithCode(values, kResultNoOrigin);
        return;
    }
    // The dispatcher takes the request lock itself, once it has decoded what it needs; once the
    // final function has released every session, it answers nothing.
    values.responseMap = dispatchRequest(values.requestMap.get(), values.requestOrigin.c_str());
}

// Completion of a POST whose body has arrived.
MHD_Result completeRequest(ListenerLoad* listener, MHD_Connection* connection,
                           ConnectionState& request) {
    // Let the post processor hand over whatever of the field it still holds.
    MHD_destroy_post_processor(request.postProcessor);
    request.postProcessor = nullptr;
    if (request.overLimit) {
        logParameterOverLimit();
        return MHD_NO;
    }
    if (request.collectFailed) {
        return MHD_NO;
    }
    enterPhase(connection, Phase::kServing);
    MHD_Result result = MHD_NO;
    {
        BusySpell spell(listener, connectionClock(connection));
        RequestValues values;
        completeUnlocked(connection, request, values);
        result = sendHttpResponse(connection, false, values);
        request.servedMap = std::move(values.requestMap);
    }
    logSeparatorLine();
    return result;
}

MHD_Result collectPostParameter(void* context, MHD_ValueKind /*kind*/, const char* key,
                                const char* /*filename*/, const char* /*contentType*/,
                                const char* /*transferEncoding*/, const char* data,
                                uint64_t /*offset*/, size_t size) {
    auto* request = static_cast<ConnectionState*>(context);
    if (key == nullptr || std::strcmp(key, "Parameter") != 0 || size == 0 || request->overLimit ||
        request->collectFailed) {
        return MHD_YES;
    }
    DecodedField& field = request->field;
    const std::size_t limit = state.parameterLimit.load();
    if (size > limit - field.received) {
        request->overLimit = true;
        request->dropBody();
        return MHD_YES;
    }
    field.received += size;
    if (field.decoder.ended) {
        // The text ended at a character outside the alphabet: the rest is counted, not kept.
        return MHD_YES;
    }
    // With the body's length known, the text takes at once the block that the whole field can
    // decode to: growing by doubling copied and wiped as many bytes again and touched twice the
    // fresh pages, which cost more than the decoding. Without a length it doubles, up to the
    // limit. Either block is charged before it is made, and an old one's charge returned once it
    // is gone.
    const std::size_t needed = field.size + urlBase64DecodedBound(size) + 1;
    if (needed > field.capacity) {
        const std::size_t most =
            urlBase64DecodedBound(request->fieldBound != 0 ? std::min(request->fieldBound, limit)
                                                           : limit) +
            1;
        const std::size_t grown =
            std::max(needed, request->fieldBound != 0
                                 ? most
                                 : std::min(std::max<std::size_t>(field.capacity * 2, 4096), most));
        const std::size_t previousCharge = request->bodyCharge.held();
        if (!request->bodyCharge.add(chargeable(grown))) {
            logBudgetExhausted(needed);
            request->collectFailed = true;
            request->dropBody();
            return MHD_YES;
        }
        if (!field.grow(grown)) {
            qm::logAllocationFailure(kModuleName, __LINE__);
            request->collectFailed = true;
            request->dropBody();
            return MHD_YES;
        }
        request->bodyCharge.reduce(previousCharge);
    }
    field.size += feedUrlBase64Decoder(field.decoder, data, size,
                                       reinterpret_cast<unsigned char*>(field.text) + field.size);
    return MHD_YES;
}

// The most characters the "Parameter" field of a body can have (0 when the body's length is not
// given): the body's length from its header.
std::size_t fieldBoundOf(MHD_Connection* connection) {
    const char* length = requestHeader(connection, MHD_HTTP_HEADER_CONTENT_LENGTH);
    if (length == nullptr) {
        return 0;
    }
    char* end = nullptr;
    const unsigned long long bytes = std::strtoull(length, &end, 10);
    if (end == length || *end != '\0' || bytes > SIZE_MAX) {
        return 0;
    }
    return static_cast<std::size_t>(bytes);
}

MHD_Result handleRequest(ListenerLoad* listener, MHD_Connection* connection, const char* method,
                         const char* uploadData, size_t* uploadDataSize, void** requestContext) {
    auto* request = static_cast<ConnectionState*>(*requestContext);
    if (request == nullptr) {
        enterPhase(connection, Phase::kBody);
        std::unique_ptr<ConnectionState> created(new (std::nothrow) ConnectionState);
        if (!created) {
            qm::logAllocationFailure(kModuleName, __LINE__);
            return MHD_NO;
        }
        if (std::strcmp(method, "POST") == 0) {
            created->postProcessor = MHD_create_post_processor(
                connection, kPostBufferSize, &collectPostParameter, created.get());
            if (created->postProcessor == nullptr) {
                return MHD_NO;
            }
            created->kind = kPostRequest;
            created->fieldBound = fieldBoundOf(connection);
        }
        *requestContext = created.release();
        return MHD_YES;
    }
    if (request->kind != kPostRequest) {
        enterPhase(connection, Phase::kServing);
        const char* requestMethod = requestHeader(connection, "Access-Control-Request-Method");
        const char* privateNetwork =
            requestHeader(connection, "Access-Control-Request-Private-Network");
        if (std::strcmp(method, "OPTIONS") == 0 && requestMethod != nullptr &&
            std::strcmp(requestMethod, "POST") == 0 && privateNetwork != nullptr &&
            std::strcmp(privateNetwork, "true") == 0) {
            RequestValues values;
            return sendHttpResponse(connection, true, values);
        }
        logError("Request method error: ", method);
        return MHD_NO;
    }
    if (*uploadDataSize != 0) {
        noteBodyPiece(connection, *uploadDataSize);
        if (!request->overLimit && !request->collectFailed) {
            MHD_post_process(request->postProcessor, uploadData, *uploadDataSize);
        }
        *uploadDataSize = 0;
        if (request->overLimit || request->collectFailed) {
            // No reason to take in the rest of the body: the request gets no reply.
            if (request->overLimit) {
                logParameterOverLimit();
            }
            return MHD_NO;
        }
        return MHD_YES;
    }
    return completeRequest(listener, connection, *request);
}

// The access handler: no exception may unwind into libmicrohttpd, whose frames are C.
MHD_Result handleHttpRequest(void* context, MHD_Connection* connection, const char* /*url*/,
                             const char* method, const char* /*version*/, const char* uploadData,
                             size_t* uploadDataSize, void** requestContext) {
    try {
        return handleRequest(static_cast<ListenerLoad*>(context), connection, method, uploadData,
                             uploadDataSize, requestContext);
    } catch (const std::bad_alloc&) {
        qm::logAllocationFailure(kModuleName, __LINE__);
    } catch (const std::exception& error) {
        logError("Request exception: ", error.what());
    }
    return MHD_NO;
}

void onRequestCompleted(void* /*context*/, MHD_Connection* connection, void** requestContext,
                        MHD_RequestTerminationCode code) {
    delete static_cast<ConnectionState*>(*requestContext);
    *requestContext = nullptr;
    // A kept-alive connection has the deadline again for its next request. (One that ends
    // otherwise is being closed and torn down by libmicrohttpd: it needs nothing more.)
    if (code == MHD_REQUEST_TERMINATED_COMPLETED_OK) {
        enterPhase(connection, Phase::kWaiting);
    }
}

void mhdLogger(void* /*context*/, const char* format, va_list arguments) {
    writeLogLineV(kLogLevelDebug, format, arguments);
}

MHD_Result acceptPeer(const sockaddr* address, socklen_t length) {
    if (address != nullptr && address->sa_family == AF_INET &&
        length >= static_cast<socklen_t>(sizeof(sockaddr_in))) {
        const auto* peer = reinterpret_cast<const sockaddr_in*>(address);
        if (peer->sin_addr.s_addr == htonl(INADDR_LOOPBACK)) {
            return MHD_YES;
        }
    }
    std::string bytes;
    if (address != nullptr) {
        for (std::size_t i = 0; i < sizeof address->sa_data; ++i) {
            if (i > 0) {
                bytes += '.';
            }
            bytes +=
                std::to_string(static_cast<int>(static_cast<signed char>(address->sa_data[i])));
        }
    }
    logWarning("Illegal connection ip: ", bytes.c_str());
    return MHD_NO;
}

// Whether bytes wait unread on the socket: its listener is about to read them (or is busy), so the
// connection is not idle although no request of it is in progress yet.
bool hasUnreadBytes(MHD_socket socket) {
    u_long pending = 0;
    return ioctlsocket(socket, FIONREAD, &pending) == 0 && pending > 0;
}

// Shuts down the connection that has waited longest for its client (idle between requests, in
// its handshake or headers, or with a body that has stopped arriving) and has no bytes unread.
// Its last sign of progress decides, not its age or the bytes it has sent: a large upload going
// on shows progress all the time, a trickle only now and then. False when there is none: every
// connection has a request being served. state.clocksMutex held.
bool makeRoom() {
    std::vector<ConnectionClock*> waiting;
    waiting.reserve(state.clocks.size());
    for (ConnectionClock* clock : state.clocks) {
        if (clock->phase != Phase::kServing && !clock->cut) {
            waiting.push_back(clock);
        }
    }
    std::sort(waiting.begin(), waiting.end(),
              [](const ConnectionClock* a, const ConnectionClock* b) {
                  return a->progress < b->progress;
              });
    for (ConnectionClock* clock : waiting) {
        if (!hasUnreadBytes(clock->socket)) {
            cutConnection(*clock);
            return true;
        }
    }
    return false;
}

// Whether the connection's phase has outlasted its bound; a request being served has none.
bool pastItsBound(const ConnectionClock& clock, Clock::time_point now) {
    Clock::duration allowance{};
    Clock::duration bound{};
    switch (clock.phase) {
        case Phase::kWaiting:
            allowance = std::chrono::seconds(state.headerDeadlineSeconds.load());
            bound = allowance;
            break;
        case Phase::kBody:
            allowance = std::chrono::seconds(state.bodyAllowanceSeconds.load());
            bound = allowance + std::chrono::milliseconds(static_cast<int64_t>(
                                    std::min(clock.bodyBytes, kMostCreditedBodyBytes) * 1000 /
                                    kBodyMinimumBytesPerSecond));
            break;
        case Phase::kServing:
            return false;
    }
    return now - clock.since - excusedBusyTime(clock, now, allowance) > bound;
}

// At the service's connection limit a new connection takes the place of the one that has waited
// longest, on whichever listener; when every one has a request being served, the new one is
// closed at once (left in the system's queue, as libmicrohttpd would leave it, it would wait for
// a free place without any answer).
MHD_Result acceptWithinLimit(void* context, const sockaddr* /*address*/, socklen_t /*length*/) {
    if (context == nullptr) {
        return MHD_YES;
    }
    const unsigned int limit = state.connectionLimit.load();
    bool room = true;
    try {
        std::lock_guard<std::mutex> guard(state.clocksMutex);
        if (state.openConnections - state.cutConnections < limit) {
            return MHD_YES;
        }
        room = makeRoom();
    } catch (const std::bad_alloc&) {
        qm::logAllocationFailure(kModuleName, __LINE__);
        room = false;
    }
    if (room) {
        logWarningInt("Connection limit reached, longest waiting connection closed: ",
                      static_cast<int32_t>(limit));
        return MHD_YES;
    }
    logWarningInt("Connection limit reached, connection closed: ", static_cast<int32_t>(limit));
    return MHD_NO;
}

// Accept policy of the IPv4 listeners.
MHD_Result acceptLocalClient(void* context, const sockaddr* address, socklen_t length) {
    try {
        if (acceptPeer(address, length) != MHD_YES) {
            return MHD_NO;
        }
    } catch (const std::bad_alloc&) {
        qm::logAllocationFailure(kModuleName, __LINE__);
        return MHD_NO;
    }
    return acceptWithinLimit(context, address, length);
}

}  // namespace

MHD_Daemon* startHttpsDaemon(unsigned int flags, const sockaddr* address, const char* certificate,
                             const char* key, const char* priorities) {
    if (address == nullptr) {
        qm::logNullParameter("address", kModuleName, __LINE__);
        return nullptr;
    }
    const bool ipv6 = address->sa_family == AF_INET6;
    if (address->sa_family != AF_INET && !ipv6) {
        logErrorInt("Unknow address family: ", address->sa_family);
        return nullptr;
    }
    const uint16_t port = ntohs(ipv6 ? reinterpret_cast<const sockaddr_in6*>(address)->sin6_port
                                     : reinterpret_cast<const sockaddr_in*>(address)->sin_port);
    char message[64];
    std::snprintf(message, sizeof message, "Detect port %u state: ", static_cast<unsigned>(port));
    if (isPortInUse(port, ipv6)) {
        logNormal(message, "In use, try next port");
        return nullptr;
    }
    logNormal(message, "Free");

    std::unique_ptr<ListenerLoad> load(new (std::nothrow) ListenerLoad);
    if (!load) {
        qm::logAllocationFailure(kModuleName, __LINE__);
        return nullptr;
    }
    load->idleTimeoutSeconds = state.connectionTimeoutSeconds.load();
    // The IPv6 listener is bound to [::1], so its policy only keeps the limit. One listener may
    // hold all the service's connections.
    MHD_Daemon* daemon = MHD_start_daemon(
        flags, port, ipv6 ? &acceptWithinLimit : &acceptLocalClient, load.get(), &handleHttpRequest,
        load.get(), MHD_OPTION_EXTERNAL_LOGGER, &mhdLogger, nullptr, MHD_OPTION_SOCK_ADDR, address,
        MHD_OPTION_HTTPS_MEM_CERT, certificate, MHD_OPTION_HTTPS_MEM_KEY, key,
        MHD_OPTION_HTTPS_PRIORITIES, priorities, MHD_OPTION_NOTIFY_COMPLETED, &onRequestCompleted,
        nullptr, MHD_OPTION_CONNECTION_LIMIT, kConnectionLimit + kConnectionLimitSlack,
        MHD_OPTION_CONNECTION_TIMEOUT, load->idleTimeoutSeconds, MHD_OPTION_NOTIFY_CONNECTION,
        &notifyConnection, load.get(), MHD_OPTION_END);

    std::snprintf(message, sizeof message, "OqtQuillmark at %s%u launch state: ",
                  ipv6 ? "[::1]:" : "127.0.0.1:", static_cast<unsigned>(port));
    if (daemon == nullptr) {
        logWarning(message, "Fail");
        return nullptr;
    }
    logNormal(message, "Success");
    std::lock_guard<std::mutex> guard(state.daemonsMutex);
    state.daemons.push_back(Listener{daemon, std::move(load)});
    return daemon;
}

bool startHttpsListener(bool ipv6, int port, const char* certificate, const char* key) {
    if (ipv6) {
        sockaddr_in6 address{};
        address.sin6_family = AF_INET6;
        address.sin6_port = htons(static_cast<uint16_t>(port));
        address.sin6_addr = in6addr_loopback;
        return startHttpsDaemon(kIpv6ListenerFlags, reinterpret_cast<const sockaddr*>(&address),
                                certificate, key, kTlsPriorities) != nullptr;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return startHttpsDaemon(kIpv4ListenerFlags, reinterpret_cast<const sockaddr*>(&address),
                            certificate, key, kTlsPriorities) != nullptr;
}

void stopAllHttpsDaemons() {
    std::vector<Listener> daemons;
    {
        std::lock_guard<std::mutex> guard(state.daemonsMutex);
        daemons.swap(state.daemons);
    }
    for (Listener& listener : daemons) {
        MHD_stop_daemon(listener.daemon);
    }
}

void cutLateConnections() {
    std::lock_guard<std::mutex> guard(state.clocksMutex);
    const Clock::time_point now = Clock::now();
    for (ConnectionClock* clock : state.clocks) {
        if (!clock->cut && pastItsBound(*clock, now)) {
            cutConnection(*clock);
        }
    }
}

std::size_t runningHttpsDaemonCount() {
    std::lock_guard<std::mutex> guard(state.daemonsMutex);
    return state.daemons.size();
}

bool acceptLocalClientForTesting(const sockaddr* address, int length) {
    return acceptLocalClient(nullptr, address, static_cast<socklen_t>(length)) == MHD_YES;
}

void setParameterLimitForTesting(std::size_t bytes) {
    state.parameterLimit = bytes != 0 ? bytes : kMaxParameterBytes;
}

void setBodyBudgetForTesting(std::size_t bytes) {
    state.bodyBudget = bytes != 0 ? bytes : kBodyBudgetBytes;
}

std::size_t bodyBytesInFlightForTesting() {
    return state.bytesInFlight.load();
}

void setHeaderDeadlineForTesting(unsigned int seconds) {
    state.headerDeadlineSeconds = seconds != 0 ? seconds : kHeaderDeadlineSeconds;
}

void setBodyAllowanceForTesting(unsigned int seconds) {
    state.bodyAllowanceSeconds = seconds != 0 ? seconds : kBodyAllowanceSeconds;
}

void setConnectionTimeoutForTesting(unsigned int seconds) {
    state.connectionTimeoutSeconds = seconds != 0 ? seconds : kConnectionTimeoutSeconds;
}

void setConnectionLimitForTesting(unsigned int connections) {
    state.connectionLimit = connections != 0 ? connections : kConnectionLimit;
}

ConnectionCounts connectionCountsForTesting() {
    std::lock_guard<std::mutex> guard(state.clocksMutex);
    ConnectionCounts counts;
    counts.open = state.openConnections;
    for (const ConnectionClock* clock : state.clocks) {
        counts.receiving += clock->phase == Phase::kBody ? 1 : 0;
        counts.inProgress += clock->phase == Phase::kServing ? 1 : 0;
    }
    return counts;
}
