// Message: signed instructions between the programs of the system.
//
// An instruction travels two ways at once: as the JSON text of a QuillmarkMessage in a
// WM_COPYDATA message to a hidden window whose class and title are the receiver's channel name,
// and as a per-user named mutex "<channel><instruction>" that the sender holds for about 200 ms
// while the receiver's lock-mode thread polls it.
//
// A message is valid when its time stamp lies 0 to 2 seconds before the receiver's time count
// and its HashValue is the upper-case SHA-512 of From, To, the time text, a fixed salt shared by
// every program, Instruction and Message. Sender and receiver stamp and hash with the same
// functions of this module (getTimeValue of Tool for the time).
//
// Ownership: every char* and QuillmarkMessage* returned here is a new heap block that the caller
// frees (texts with free(), records with freeIpcMessage). Failure is a null result.
//
// The record, its JSON text and the hash are portable; the receivers, the lock-mode probe and
// the debug-mode event are Windows only (MessageWin.cpp).
#ifndef QM_COMMON_MESSAGE_H
#define QM_COMMON_MESSAGE_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

#ifdef _WIN32
#include <windows.h>
#endif

// The service's channel: its receiver window's class and title, and its mutex name prefix.
inline constexpr char kServiceChannel[] = "OqtQuillmark.exe";

// Instruction names, compared exactly (with case, whole text).
inline constexpr char kInstructionSuicide[] = "QuillmarkInstruction_Suicide";
inline constexpr char kInstructionStart[] = "QuillmarkInstruction_Start";
inline constexpr char kInstructionStop[] = "QuillmarkInstruction_Stop";
inline constexpr char kInstructionRestart[] = "QuillmarkInstruction_Restart";
inline constexpr char kInstructionMonitorStart[] = "QuillmarkInstruction_MonitorStart";

// The named event the tray program pulses to switch debug logging.
inline constexpr char kDebugModeEventName[] = "OqtQuillmark_DEBUG_MODE";

// Length of the salt that every hash takes (no zero byte in it).
inline constexpr size_t kMessageSaltLength = 71;

// How long a sender holds an instruction's mutex (lock mode). A receiver's round and its
// confirmation take about 70 ms, so a receiver thread that a busy machine schedules late still
// finds the hold.
inline constexpr unsigned kLockModeHoldMs = 200;

// Accepted age of a message in seconds: a message stamped 0, 1 or 2 seconds before the
// receiver's count passes.
inline constexpr uint64_t kMessageMaxAge = 2;

// One instruction. Every field is a heap text (free()), null when absent.
struct QuillmarkMessage {
    char* From;           // sender's name, not checked by receivers
    char* To;             // target's name, not checked by receivers
    char* Instruction;    // one of the kInstruction* names
    char* Message;        // free text; every sender sends ""
    char* timePieces[4];  // characters 0-2, 3-6, 7-10 and 11-15 of the TimeValue text
    char* HashValue;      // 128 upper-case hexadecimal digits
};

// Reads "From", "To", "Instruction", "Message", "TimeValue" and "HashValue" from a JSON text
// (top-level keys, found without regard to case; getJsonValue, so one thread at a time). A key
// that is missing, or a text that is not JSON, leaves its fields null. The TimeValue text is cut
// to 19 characters and split into the four pieces. Null only when memory runs out (or json is
// null, with the warning "inputJSONObj").
QuillmarkMessage* parseIpcMessage(const char* json);

// True when every field is present, the receiver's time count now is known (not 0), the message
// time t satisfies t <= now <= t + 2, and HashValue equals computeMessageHash (byte for byte, so
// a lower-case digest fails). A failed time check logs the "Replay attack" warnings; while
// logging is on the outcome is logged as "QuillmarkMessage verify state: ".
bool verifyIpcMessage(const QuillmarkMessage* message);

// verifyIpcMessage against a given receiver time count (verifyIpcMessage passes getTimeValue()).
bool verifyIpcMessageAt(const QuillmarkMessage* message, int64_t now);

// The message time that verification reads from the four pieces: the joined pieces right-aligned
// in 16 characters and read as hexadecimal in cuts of 3, 4, 4 and 5 characters (a cut without
// digits reads 0). 0 for a null message or a missing piece.
int64_t ipcMessageTime(const QuillmarkMessage* message);

// Upper-case hexadecimal SHA-512 of From + To + the four pieces + salt + Instruction + Message.
// HashValue itself is not read. Null when a hashed field is missing or memory runs out.
char* computeMessageHash(const QuillmarkMessage* message);

// Frees every text of the record and the record; null does nothing.
void freeIpcMessage(QuillmarkMessage* message);

// ---- Sender side -----------------------------------------------------------------------------

// The time count as lower-case hexadecimal without leading zeros ("%llx").
char* formatTimeValue(int64_t timeValue);

// A complete record: the given texts (copied), Message "" when message is null, the pieces of
// formatTimeValue(timeValue) and the hash. Null when from, to or instruction is null, or memory
// runs out.
QuillmarkMessage* buildIpcMessage(const char* from, const char* to, const char* instruction,
                                  const char* message, int64_t timeValue);

// The JSON text of a record, exactly
//   {"From":"%s", "To":"%s", "Instruction":"%s", "Message":"%s", "TimeValue":"%s",
//   "HashValue":"%s"}
// with the texts inserted without escaping and the pieces joined as TimeValue. Null when the
// record or any field is missing, or memory runs out.
char* formatMessageJson(const QuillmarkMessage* message);

// The salt, NUL-terminated (kMessageSaltLength bytes before the NUL).
const char* messageSaltForTesting();

struct IpcMessageDeleter {
    void operator()(QuillmarkMessage* message) const { freeIpcMessage(message); }
};
using UniqueIpcMessage = std::unique_ptr<QuillmarkMessage, IpcMessageDeleter>;

// ---- Receivers -------------------------------------------------------------------------------

// The handlers a program registers before it starts its receivers, all optional. The receiver
// window runs them on its own thread; the lock-mode receiver runs them one at a time on a
// short-lived thread of its own (Suicide's final function on the lock-mode thread). Nothing here
// keeps the two receivers' handlers apart: a program whose handlers must not overlap locks them.
struct IpcCallbacks {
    void (*startFunction)() = nullptr;
    void (*stopFunction)() = nullptr;
    void (*restartFunction)() = nullptr;
    // Suicide, and a locked or disconnected session when no switched-out byte is registered.
    // Without one, those end the process with exit code 0.
    void (*finalFunction)() = nullptr;
    // Set to 1 when the session is locked or disconnected, to 0 when it comes back.
    std::atomic<uint8_t>* switchedOutFlag = nullptr;
};

#ifdef _WIN32

// Registers the handlers (each field is stored on its own, so a running receiver sees either the
// old or the new value of a field).
void setIpcCallbacks(const IpcCallbacks& callbacks);

// True once the receiver window has taken a Suicide instruction; it ends the lock-mode thread.
bool ipcSuicideReceived();

// Starts the receiver window thread and the lock-mode thread on a channel (the service's by
// default), each with its own copy of the name; logs the IPC mode and, except on Windows XP,
// sleeps 500 ms. False when no thread could be started.
bool startIpcMessage(const char* channel = kServiceChannel);

// Thread body of the receiver window: registers the window class named after the channel (a
// heap text the thread takes over and frees), creates the hidden window, runs its message loop.
// A channel that another window already owns logs the catastrophic-failure warning and ends.
void* ipcMessageReceiverThread(void* channel);

// The body of every receiver window thread: the window class named after the channel (UTF-8)
// with the given window procedure, the hidden window and its message loop. Returns when the loop
// ends or the window cannot be made (another window owns the channel), after the
// catastrophic-failure warning. The tray program's receivers pass their own procedure.
void runIpcReceiverWindow(const char* channel, WNDPROC procedure);

// The receiver window's procedure: WM_COPYDATA instructions and WM_WTSSESSION_CHANGE.
LRESULT CALLBACK ipcWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Thread body of the lock-mode receiver: polls the channel's five instruction mutexes (a heap
// text the thread takes over and frees) until the receiver window has taken a Suicide. A mutex
// found held past a short confirmation wait, or left abandoned by a sender that ended while
// holding it, is one instruction; a held one is watched until that hold ends (at most 2 s), so
// that it is acted on once and a hold that begins after it counts again. Instructions found
// while a handler runs are acted on after it, in the order found.
void* ipcLockModeThread(void* inputChannel);

// How many rounds the lock-mode receivers of this process have ended with nothing held, waiting
// or running (a test's sign that a receiver is idle).
uint64_t ipcLockModeIdleRoundsForTesting();

// What a zero-wait probe of an instruction mutex found.
enum class MutexProbe {
    Free,        // obtained: nobody holds it, no instruction
    Held,        // held (or left abandoned) by another process: the instruction was sent
    Unavailable  // could not be created or opened: no instruction
};

// Probes the per-user mutex "<user>_<name>" (the naming and security of Tool's getMutexLock),
// releasing and closing it at once when obtained.
MutexProbe probeInstructionMutex(const char* name);

// Opens the existing event "OqtQuillmark_DEBUG_MODE" (wait and set rights, not inheritable)
// unless it is open already. True when it was opened by this call; false when it was already
// open or does not exist.
bool openDebugModeEvent();

// The handle kept by openDebugModeEvent, or null.
HANDLE debugModeEvent();

// Ends the process at once with the given exit code, without running the runtime's exit
// handlers, so listener and receiver threads that still run cannot touch torn-down state.
[[noreturn]] void endProcess(unsigned exitCode);

#endif  // _WIN32

#endif  // QM_COMMON_MESSAGE_H
