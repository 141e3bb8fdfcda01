// Quillmark: start-up and shutdown of the service program OqtQuillmark.exe.
//
// serviceMain prepares the log, the data and program folders, the instruction receivers of the
// channel "OqtQuillmark.exe" and the session table, chooses the server certificate by the Windows
// edition, starts up to six HTTPS listeners (ports 56362, 56382 and 56402 on 127.0.0.1 and
// [::1]) and idles until QuillmarkFinal asks it to stop. A debug thread flips the log on and off
// each time the tray program pulses the event "OqtQuillmark_DEBUG_MODE".
//
// Threading: QuillmarkFinal runs on an instruction receiver's thread; the stop flag it sets is
// read by the main thread's idle loop.
#ifndef QM_SERVICE_QUILLMARK_H
#define QM_SERVICE_QUILLMARK_H

#include <cstdint>

// The service's log tag and its log INI name stem.
inline constexpr const char* kServiceLogTag = "OqtQuillmark";
// The data folder's name under the common application-data folder.
inline constexpr const char* kServiceDataFolder = "OqtQuillmark";
// The listening ports, read from this text with "port=%d %d %d".
inline constexpr const char* kServicePortText = "port=56362 56382 56402";

// The service's entry: commandLine is the text after the program name, the attempt number given
// by the tray program's keeper ("0" or empty on a first start; anything else is logged as a
// crash note). Returns 0 on every path: after a Suicide instruction or a locked session has
// stopped it, and when it cannot start (no data or program folder, no certificate or key, no
// listener).
int serviceMain(const char* commandLine);

// The final function of the instruction receivers: releases every session under the request lock
// (no adapter is unloaded during a call), then sets the stop flag and waits, at most a few
// seconds, until the main thread has stopped the listeners, so that a receiver that ends the
// process right after this returns does not cut a listener off in mid-request. Runs once; a
// second call waits for the first one and then returns.
void QuillmarkFinal();

// Thread body: waits on the debug-mode event forever and flips the log at each signal (on: the
// log set up again from its INI file, recorded as on only when that succeeded; off: "Log state:
// Disable", then the writer switched off).
void* debugStatusUpdateThread(void* unused);

#endif  // QM_SERVICE_QUILLMARK_H
