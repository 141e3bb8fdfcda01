// QuillmarkQueue: the adapter path table, the age tickets of the session slots, and the loading of
// a private copy of an adapter library for each session.
//
// A page names its adapter by a PathID or by a folder and library name; only the rows of the
// path table are ever loaded. Each new session copies the installed library into its own session
// folder and loads the copy, so two sessions on one adapter run separate instances of it.
//
// Threading: nothing here locks. The tickets and the loaded libraries belong to the session table,
// which the dispatcher uses under the request lock (QuillmarkSession.h).
#ifndef QM_SERVICE_QUILLMARKQUEUE_H
#define QM_SERVICE_QUILLMARKQUEUE_H

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "common/win/Handles.h"

struct JsonMap;

// The adapter's two entry points (cdecl, undecorated names). The returned text belongs to the
// adapter and stays valid until its next call. The map passed belongs to the service; the adapter
// neither changes nor frees it.
using CallMethodFunction = const char*(__cdecl*)(const char* jsonText);
using CallJsonMapMethodFunction = const char*(__cdecl*)(const JsonMap* map,
                                                        const char* functionName);

// Number of session slots (and of age tickets).
inline constexpr int kSessionSlotCount = 32;
// Room of a LibDir or ComName buffer (at most 63 characters).
inline constexpr std::size_t kAdapterNameSize = 64;

// The path table: a fixed PathID per adapter with its folder and library name.
inline constexpr const char* kGpkiPathId = "5D1C0E8A3F6B4E27A9C2D4F1E0B7A653";
inline constexpr const char* kHcaPathId = "8E2F4B91C7D3460AB5E1F9C27D8A3E14";
inline constexpr const char* kAdapterFolder = "Oqt";
inline constexpr const char* kGpkiAdapterName = "OqtTvqGPKICryptXrbAdapter";
inline constexpr const char* kHcaAdapterName = "OqtTvqHCAXrbAdapter";

// ---- Path table ---------------------------------------------------------------------------------

// When pathId equals a row's PathID (ignoring case), writes the row's LibDir and ComName into the
// two buffers (kAdapterNameSize bytes each) and returns true; otherwise leaves them and returns
// false. A null argument logs the null-parameter warning and returns false.
bool resolvePathID(const char* pathId, char* libDir, char* comName);

// True when the pair equals a row's pair, each compared ignoring case. Logs each row compared
// ("Path table compare: ", "Lib: ", "Component: ") up to the first that matches. A null argument
// logs the null-parameter warning and returns false.
bool checkPathTable(const char* libDir, const char* comName);

// ---- Age tickets --------------------------------------------------------------------------------

// Every ticket to -1 (no ticket) and the ticket counter to 0; the state at start-up.
void resetSessionTickets();
// Stamps slot index with the next ticket; false (nothing stamped) for an index outside 0-31.
bool enqueueSessionIndex(int index);
// The slot with the smallest ticket (as unsigned 64-bit numbers; on equal tickets the lower
// index), or -1 when no slot has one.
int getOldestSessionIndex();
// Takes slot index's ticket away (-1); an index outside 0-31 does nothing.
void clearSessionTicket(int index);

// ---- Loading ------------------------------------------------------------------------------------

// One loaded adapter library of a session.
struct AdapterLibrary {
    std::wstring path;         // the file that was loaded (at most 259 characters)
    std::wstring sessionCopy;  // the slot's session copy, loaded or not
    UniqueHmodule module;      // let go only by unloadAdapter
    CallMethodFunction callMethod = nullptr;
    CallJsonMapMethodFunction callJsonMapMethod = nullptr;
};

// Copies the installed "<executePath>\<libDir>\<comName>.dll" to the session copy
// "<copyPath>\Tempfile\Session_<slot>\<comName>.dll" (never over an existing file) and loads
// the copy; when the copy cannot be made or loaded, loads the installed file. Then binds both
// exports (either may be absent). Returns false, with the reason logged, when neither file could
// be loaded; library is then left empty.
// libDir and comName are UTF-8 texts of at most 63 characters.
bool loadAdapter(const std::wstring& executePath, const std::wstring& copyPath, int slot,
                 const char* libDir, const char* comName, AdapterLibrary& library);

// Frees the library and, when the session copy was the file loaded, deletes that copy (the
// installed library is never deleted). Returns true when the library was freed. A library that
// cannot be freed is left loaded and logged with its error code: its image is never unmapped,
// since the loader would keep pointing at it. The entry points are cleared in every case.
bool unloadAdapter(AdapterLibrary& library);

// ---- Test hooks ---------------------------------------------------------------------------------

using FreeLibraryFunction = BOOL(WINAPI*)(HMODULE module);
// Replaces the call that frees a library (null: FreeLibrary again).
void setFreeLibraryForTesting(FreeLibraryFunction function);
// The ticket of a slot (-1 for none or an index outside 0-31).
int64_t sessionTicketForTesting(int index);

#endif  // QM_SERVICE_QUILLMARKQUEUE_H
