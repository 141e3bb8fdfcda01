// QuillmarkHttps: the HTTPS front end. Each listener is a libmicrohttpd daemon with TLS and its
// own polling thread on one loopback address; it turns one POST into one dispatch of the session
// dispatcher and the dispatcher's map into the reply, and answers the browser's CORS preflight.
//
// Wire protocol: a POST with a form field "Parameter" holding the URL-escaped base64 ("%2B",
// "%2F", "%3D") of a flat JSON object; the reply is a JSON object whose values are base64 text,
// sent with status 200. An OPTIONS request with "Access-Control-Request-Method: POST" and
// "Access-Control-Request-Private-Network: true" gets 204 with the CORS headers. Every other
// request, and every refused one, is closed without a reply.
//
// Threading: up to six listener threads run these callbacks at once. Each request's values (body,
// maps, origin, referer) belong to that request, and are checked, decoded and parsed by its own
// listener thread. Only the dispatch runs under the request lock of QuillmarkSession.h, so one
// dispatch (and adapter call) runs at a time in the whole process, while a large body being
// decoded holds no other page up.
//
// Bounds: one connection limit and one budget of body bytes for the whole process, an idle
// timeout, a deadline for the request headers and an allowance for the body. An allocation
// failure inside a callback ends that request without a reply; it never leaves the callback.
#ifndef QM_SERVICE_QUILLMARKHTTPS_H
#define QM_SERVICE_QUILLMARKHTTPS_H

#include <cstddef>

// Kept free of the socket and libmicrohttpd headers, which must come before <windows.h> in any
// file that includes them.
struct MHD_Daemon;
struct sockaddr;

// The TLS priority text of every listener: TLS 1.2 and 1.3 only, no SHA-1.
inline constexpr const char* kTlsPriorities =
    "NORMAL:!VERS-TLS-ALL:!SHA1:+VERS-TLS1.2:+VERS-TLS1.3";

// Flag words of the two kinds of listener: error log, TLS, an internal polling thread (11), and
// the same for an IPv6 address (27).
inline constexpr unsigned int kIpv4ListenerFlags = 11;
inline constexpr unsigned int kIpv6ListenerFlags = 27;

// The "Parameter" field is collected up to this many bytes; a longer one gets no reply.
inline constexpr std::size_t kMaxParameterBytes = 64u * 1024u * 1024u;

// The bytes that all requests together may hold at once: the fields being collected, and a
// charge of three times the field while a request is decoded, parsed and dispatched. A request
// that would pass it gets no reply, and its field is freed at once. Fields of up to 64 KiB are
// not charged: ordinary requests are never refused for it, and the connection limit bounds them.
inline constexpr std::size_t kBodyBudgetBytes = 384u * 1024u * 1024u;

// Connections the service keeps at once, over all six listeners, any of which may hold them all.
// One browser alone never fills it: a page reaches the loopback under many host names
// (localhost, 127.0.0.1, [::1], every *.localhost name), each with its own per-host limit, but a
// browser opens at most 900 connections in all. When a new connection would pass it, the one that
// has waited longest for its client (idle between requests, still in its handshake or headers,
// or with a body that has stopped arriving: the one whose last sign of progress is oldest) and
// has no bytes unread is closed to make room. One whose request has arrived whole and is being
// served never is, and when every one is, the new connection is closed as soon as it is accepted.
// An idle connection costs about 35 KiB.
inline constexpr unsigned int kConnectionLimit = 1024;
// Seconds a connection may stay idle before the listener closes it: the "timeout=15" that
// replies announce in "Keep-Alive".
inline constexpr unsigned int kConnectionTimeoutSeconds = 15;
// Seconds a connection has, from its accept or from the end of its previous request, to send the
// headers of a request (the TLS handshake included); one that trickles them in is closed then.
inline constexpr unsigned int kHeaderDeadlineSeconds = 30;
// A body has this many seconds from the end of its headers, and one second more for every
// kBodyMinimumBytesPerSecond bytes that have come: pages upload over loopback at hundreds of
// times that rate even 48 at once on a loaded machine, while one that trickles its body in is
// closed soon after the allowance.
inline constexpr unsigned int kBodyAllowanceSeconds = 30;
inline constexpr unsigned int kBodyMinimumBytesPerSecond = 1024;
// A request that has arrived whole has no deadline: a component may wait for a PIN. The header
// and body bounds excuse the spells of 100 ms and more in which the connection's listener could
// not read it (its thread waits for the request lock or serves another request), up to the
// phase's own deadline or allowance once more, or one longer spell in full: a listener kept busy
// can neither have a connection cut for its own delay nor keep a trickling one open for long.

// Starts one listener with libmicrohttpd's flag word on address (IPv4 or IPv6, port set), serving
// the PEM certificate and key with the GnuTLS priority text. The port is probed first
// (isPortInUse); a busy port, or a daemon that does not start, gives null (both logged). The
// certificate and key are read during the call: the caller may wipe and free them right after.
// A started daemon is also kept in the front end's list for stopAllHttpsDaemons; the caller must
// not stop it itself.
MHD_Daemon* startHttpsDaemon(unsigned int flags, const sockaddr* address, const char* certificate,
                             const char* key, const char* priorities);

// startHttpsDaemon for 127.0.0.1 (kIpv4ListenerFlags) or [::1] (kIpv6ListenerFlags) and port,
// with kTlsPriorities. True when the listener started.
bool startHttpsListener(bool ipv6, int port, const char* certificate, const char* key);

// Stops every listener started so far (each waits for the request it is completing) and empties
// the list. Must not be called with the request lock held, since a listener may be waiting for it.
void stopAllHttpsDaemons();

// Number of listeners started and not yet stopped.
std::size_t runningHttpsDaemonCount();

// Shuts down every connection that is past its header deadline or its body allowance; the
// listener then closes it. The service's idle loop calls this between its sleeps, so that the
// bounds cost no thread of its own.
void cutLateConnections();

// ---- Test hooks ---------------------------------------------------------------------------------

// The accept policy of the IPv4 listeners: true for exactly the peer 127.0.0.1; any other peer
// is logged ("Illegal connection ip: " and the 14 data bytes of the address) and refused.
bool acceptLocalClientForTesting(const sockaddr* address, int length);

// Replaces the size limit of the "Parameter" field (0: kMaxParameterBytes again).
void setParameterLimitForTesting(std::size_t bytes);

// Replaces the budget of bytes in flight (0: kBodyBudgetBytes again), and reads what is charged
// to it now.
void setBodyBudgetForTesting(std::size_t bytes);
std::size_t bodyBytesInFlightForTesting();

// Replaces kHeaderDeadlineSeconds (0: kHeaderDeadlineSeconds again).
void setHeaderDeadlineForTesting(unsigned int seconds);

// Replaces kBodyAllowanceSeconds (0: kBodyAllowanceSeconds again).
void setBodyAllowanceForTesting(unsigned int seconds);

// Replaces kConnectionTimeoutSeconds for the listeners started afterwards (0: the constant again).
void setConnectionTimeoutForTesting(unsigned int seconds);

// Replaces kConnectionLimit (0: kConnectionLimit again).
void setConnectionLimitForTesting(unsigned int connections);

// The connections of every listener: open (accepted and not yet closed), and of those the ones
// whose body is arriving and the ones with a request in progress (arrived whole, being served).
struct ConnectionCounts {
    std::size_t open = 0;
    std::size_t receiving = 0;
    std::size_t inProgress = 0;
};
ConnectionCounts connectionCountsForTesting();

#endif  // QM_SERVICE_QUILLMARKHTTPS_H
