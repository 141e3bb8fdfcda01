// QuillmarkSession: the session dispatcher. Up to 32 sessions, each bound to its own loaded copy
// of an adapter library; one parsed request in, one reply map out.
//
// A request without a known session opens one: the adapter is located in the path table, copied,
// loaded and bound (QuillmarkQueue), its handshake runs (Quillmark_Unlock with the page's origin,
// then Quillmark_GetVersion), the page's version gates are applied and the installer version is
// read. A known session serves the reserved functions (release, echo, value store) itself and
// hands every other function name to its adapter.
//
// Threading: the session table, the age tickets, the value store and the top-most watch are
// shared by the listener threads and by the service's final function. Every call below must be
// made with the request lock held, except lockRequests, initSessionEnvironment, dispatchRequest
// and stopAllSessions, which take it themselves.
#ifndef QM_SERVICE_QUILLMARKSESSION_H
#define QM_SERVICE_QUILLMARKSESSION_H

#include <cstdint>
#include <mutex>
#include <string>

#include "common/Json.h"

// The service's own version: the reply's "ServerVersion" and the right side of the server gate.
inline constexpr const char* kServerVersion = "1.0.22.0303";

// Result codes of the dispatcher.
inline constexpr int32_t kResultOk = 0;
inline constexpr int32_t kResultNoValue = 61001;
inline constexpr int32_t kResultMissingArgument = 61005;
inline constexpr int32_t kResultOutOfPathTable = 61009;
inline constexpr int32_t kResultServerVersion = 61203;
inline constexpr int32_t kResultAdapterVersion = 61204;
inline constexpr int32_t kResultLoadFailed = 61902;
inline constexpr int32_t kResultNoEntryPoint = 61906;

// The process-wide request lock. The front end holds it over each completion of a request, from
// the TLS check to the queued reply; the service's final function holds it while it releases the
// sessions, so no adapter is unloaded during a call. Not recursive.
std::unique_lock<std::mutex> lockRequests();

// Start-up: sets the log up with the tag "QuillmarkSession" (a no-op while logging is on), clears
// the slots and tickets, keeps copies of the data folder (copyPath, created if missing) and of the
// program's folder (executePath, where "<LibDir>\<ComName>.dll" is looked for), prepares the
// value store, writes the version file "<copyPath>\OqtQuillmarkMainVersion" and makes the 32 empty
// session folders "<copyPath>\Tempfile\Session_<n>" anew. ownProcessId is the process whose
// windows the top-most watch raises. False when a path is empty or the session folders cannot
// be made (logged); the dispatcher then loads nothing. Takes the request lock itself: the
// instruction receivers already run at start-up, and a stop must not meet a half-made table.
bool initSessionEnvironment(const std::wstring& copyPath, const std::wstring& executePath,
                            uint32_t ownProcessId);

// One request: requestMap parsed from the page's JSON text, requestOrigin the page's origin (from
// the "Origin" header or rebuilt from the "Referer" header). Shows the map in the log and reads and
// decodes the keys it needs first, then takes the request lock for the dispatch itself (so it must
// be called without the lock held). Returns the map to send, owned by the caller, or null for no
// reply (a null argument, no memory, or the service stopping; logged).
JsonMapPtr dispatchRequest(JsonMap* requestMap, const char* requestOrigin);

// Releases the session of slot index: sends Quillmark_Release to its adapter, frees the library
// and deletes the session copy. Nothing for -1, an index out of range or a free slot. The slot's
// age ticket is left to the caller.
void releaseSession(int index);

// Releases every session, oldest first (tickets cleared), then deletes stray libraries left in
// the data folder.
void releaseAllAdapters();

// The stop of the service's final function: under one hold of the request lock, waits for the
// request in progress (its adapter call included), releases every session (releaseAllAdapters)
// and closes the dispatcher, so that no request completed afterwards opens a session that nobody
// would release. Must be called without the request lock held.
void stopAllSessions();

// ---- Test hooks ---------------------------------------------------------------------------------

// Replaces the source of new session ids (null: generateSessionId again). The function returns a
// new text that the dispatcher frees with free(), or null.
using SessionIdSource = char* (*)();
void setSessionIdSourceForTesting(SessionIdSource source);
// The id held by slot index ("" for a free slot).
std::string sessionIdForTesting(int index);
// False once stopAllSessions has run: dispatchRequest then answers nothing.
bool isServingRequestsForTesting();
// Opens the dispatcher again after stopAllSessions.
void resumeServingForTesting();

#endif  // QM_SERVICE_QUILLMARKSESSION_H
