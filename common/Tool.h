// Tool: text, number and encoding helpers, folders, files, hidden commands, per-user named
// mutexes, the loopback port test and the single-key JSON lookup.
//
// Ownership, for every function below unless it says otherwise:
// - A returned char* / unsigned char* / wchar_t* / char** is a new heap block, zero-filled before
//   use, that the caller frees with free() (a char** array: free every piece, then the array).
// - A returned BSTR (wchar_t* from utf8ToBstr) is freed with SysFreeString.
// - Failure is a null result. Inputs are never freed, except by the *AndFree copies.
// - Null arguments are reported with the warning "Parameter %s is null at %s %d" where listed.
// - Allocation failures write the two "Memory allocate fail at ..." error lines.
//
// Threading: nothing here locks. The conversion status is one word per thread (a thread's test
// answers that thread's last reading); getJsonValue uses one process-wide parser and must not run
// on two threads at once; isPortInUse writes one fixed file.
#ifndef QM_COMMON_TOOL_H
#define QM_COMMON_TOOL_H

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#ifdef _WIN32
#include <memory>
#endif

// Conversion status values of stringToLong / hexStringToLong.
inline constexpr int32_t kConversionOk = 0;
inline constexpr int32_t kConversionNotNumber = 61003;
inline constexpr int32_t kConversionMissing = 61004;

// compareVersion results besides 0, 1, -1, 2 and 3.
inline constexpr int32_t kVersionEmptyPart = 61005;
inline constexpr int32_t kVersionMissing = 61001;

// ---- Bounded narrow copies -----------------------------------------------------------------

// Copies at most size-1 bytes of source into destination (a buffer of size bytes) and always
// sets destination[size-1] to NUL. A null source (or destination, or size 0) leaves it unchanged.
void safeCopyString(char* destination, size_t size, const char* source);

// As safeCopyString, then overwrites the source's characters with zeros and frees it with free().
void safeCopyStringAndFree(char* destination, size_t size, char* source);

// ---- Duplication and allocation -------------------------------------------------------------

// Copy of input; null input gives null without a message.
char* duplicateString(const char* input);

// Zeroed block of count bytes; 0 or more than 2147483647 gives null without a message.
void* allocZeroed(size_t count);
// Overwrites length bytes with zeros in a way the optimiser may not drop, although the block is
// freed right after: for secrets, whose wipes run over request-sized blocks.
void secureZero(void* memory, size_t length);

// ---- Numbers --------------------------------------------------------------------------------

// Decimal text to a signed 32-bit value. With digitsOnly, every character must be a digit except
// a leading "-". Leading blanks, one sign and trailing garbage are accepted by the conversion.
// Sets the calling thread's conversion status: 0, 61003 (not a number, out of range), 61004 (null).
// The value is 0 on failure: ask lastConversionFailed().
int32_t stringToLong(const char* input, bool digitsOnly);

// As stringToLong in base 16 (an optional 0x/0X), without the digits test; above 2147483647 is
// out of range.
int32_t hexStringToLong(const char* input);

// True when the calling thread's last conversion has status 61003 or 61004.
bool lastConversionFailed();

// The raw status word, for tests.
int32_t conversionStatusForTesting();

// ---- Texts ----------------------------------------------------------------------------------

// New text with every occurrence of needle replaced, left to right, without overlap. Null input
// gives null; a null needle or replacement counts as "". An empty needle replaces nothing (a copy).
char* replaceAll(const char* input, const char* needle, const char* replacement);

// True when input begins with prefix. A null prefix gives true; a null input gives the warning
// ("inputMainString") and false.
bool startsWith(const char* prefix, const char* input);

// Bytes [begin, end) of input plus a NUL, in a block of end-begin+1 bytes. begin == end gives "";
// end < begin gives null. Bytes beyond the end of input are left zero (never read).
char* substring(const char* input, size_t begin, size_t end);

// Copy with "A"-"Z" lowered; null gives the warning ("input") and null.
char* toLowerCopy(const char* input);

// Pieces between occurrences of delimiter; empty pieces count, a trailing delimiter gives one
// empty last piece. Null-terminated array of new texts; null/empty input or delimiter gives an
// array holding only the terminator. The array failing gives null; a piece failing leaves its
// slot null (which then also ends the array early for a caller that walks to the first null).
char** splitString(const char* input, const char* delimiter);

// The splitting step of splitString on library strings (appends the pieces to pieces).
void splitToVector(const std::string& input, const std::string& delimiter,
                   std::vector<std::string>& pieces);

// 16-character text: blanks, then input in the last strlen(input) positions. Null gives the
// warning ("MainText") and null. A longer text keeps its last 16 characters.
char* rightAlign16(const char* input);

// Copy with \r, \n, \t, \u000f, \u000e, \u001b and \" undone (plain replacements, in that order);
// null gives the warning ("inputData") and null.
char* unescapeJsonValue(const char* input);
// The same unescaping of length bytes of input (a NUL among them ends the text) written to
// output, which has room for length + 1 bytes; NUL-terminated. Returns the bytes written.
// Matches the replacements one after another: no escape can overlap another or be formed by one.
size_t unescapeJsonText(char* output, const char* input, size_t length);

// ---- Encodings ------------------------------------------------------------------------------

// Standard base64 with "=" padding, NUL-terminated, into output (room for (length+2)/3*4+1).
// Returns the characters written plus 1.
size_t base64Encode(char* output, const unsigned char* bytes, size_t length);

// Base64 of input's bytes up to its NUL; null gives the warning ("input") and null.
char* base64EncodeString(const char* input);

// Decodes the leading run of alphabet characters (the first other character ends the input) into
// output, writes a NUL behind the bytes and returns the byte count. For n counted characters the
// output must hold (n+3)/4*3+1 bytes.
size_t base64Decode(unsigned char* output, const char* input);

// Undoes "%2B", "%2F", "%3D" (upper case only), then decodes; the bytes plus a NUL. The count is
// not returned: callers treat the result as text. Null input gives null.
char* urlBase64Decode(const char* input);

// urlBase64Decode of a text that arrives in pieces: the bytes of the pieces fed so far, then
// finish, are byte for byte what urlBase64Decode gives for the whole text (its leading run only;
// an escape may be cut between two pieces).
struct UrlBase64Decoder {
    unsigned int group = 0;
    unsigned int inGroup = 0;
    char escape[3] = {};  // an escape begun at the end of a piece
    unsigned int escapeLength = 0;
    bool ended = false;  // the run has ended: the rest of the text is not read
};
// Most bytes that feeding size characters can write (finish included).
constexpr size_t urlBase64DecodedBound(size_t size) {
    return size / 4 * 3 + 3;
}
// Decodes a piece into output (room for urlBase64DecodedBound(size) bytes); returns the bytes
// written. No NUL is written.
size_t feedUrlBase64Decoder(UrlBase64Decoder& decoder, const char* data, size_t size,
                            unsigned char* output);
// Writes the last group's bytes (0 to 2) to output; returns them. The decoder is spent.
size_t finishUrlBase64Decoder(UrlBase64Decoder& decoder, unsigned char* output);

// strlen(input)/2 bytes (odd last digit ignored, non-hex digits count as 0) plus a NUL; null gives
// the warning ("input") and null.
unsigned char* hexToBytes(const char* input);

// ---- Versions, identifiers, random bytes, time ----------------------------------------------

// Compares dotted (or comma-separated) versions, blanks ignored: 0 equal, 1 A newer, -1 A older,
// 2 a non-numeric part differs, 3 part counts differ, 61005 an empty part, 61001 a null version
// or no memory.
int32_t compareVersion(const char* inputVersionA, const char* inputVersionB);

// Eight characters of "0-9A-Z" from random bytes, then "_SID" (12 characters). Without random
// bytes the eight characters are "0".
char* generateSessionId();

// Fills buffer with length bytes of the system's cryptographic random source; false when none
// could be had.
bool genRandom(void* buffer, size_t length);

// (year-2015) * yearLength + dayOfMonth*86400 + hour*3600 + minute*60 + second of the local time;
// 0 when the local time cannot be had. Stamps and checks every instruction between programs.
int64_t getTimeValue();

// The count of getTimeValue for a given broken-down local time (tm_year counts from 1900,
// tm_mday from 1); tm_mon does not enter it.
int64_t timeValueOf(const std::tm& localTime);

// ---- JSON -----------------------------------------------------------------------------------

// Value of key (compared without ASCII case) in a small flat JSON object, with \" undone; null
// when absent, when the text has fewer than 2 or more than 64 tokens, or when inputJSONObj is
// null (warning "inputJSONObj"). Uses one process-wide parser: one thread at a time.
char* getJsonValue(const char* inputJSONObj, const char* key);

// ---- Narrow (UTF-8) folder and file helpers, on every build ---------------------------------
// On Windows they convert the wide helpers below; on the host build they are stand-ins (the
// program's folder from /proc/self/exe, "/etc" for the Windows folder, $TMPDIR or /tmp with a
// trailing "/" for the temporary folder, and stat() for the exists test).

// Folder of the running program, without a trailing separator; null on failure.
char* getExecutePathUtf8();
// The Windows folder; null on failure.
char* getWindowsPathUtf8();
// The user's temporary folder (with its trailing separator, as the system gives it); null on
// failure.
char* getUserTempPathUtf8();
// isFileExist on a UTF-8 path.
bool isFileExistUtf8(const char* inputFileName);

#ifdef _WIN32
// ---- Wide texts and BSTRs (Windows only) ----------------------------------------------------

// A shared BSTR holder: the BSTR is freed with SysFreeString when the last holder lets go.
using SharedBstr = std::shared_ptr<wchar_t>;

// Bounded wide copy: at most size-1 units, destination[size-1] always NUL; null source: unchanged.
void safeCopyWString(wchar_t* destination, size_t size, const wchar_t* source);
// As safeCopyWString, then frees source with free() (without overwriting it).
void safeCopyWStringAndFree(wchar_t* destination, size_t size, wchar_t* source);
// Appends source behind the text in destination (size units, size > 0, neither null), cut so
// that the last unit stays NUL.
void appendBounded(wchar_t* destination, size_t size, const wchar_t* source);
// Appends source to the text in destination (a 512-unit buffer); unit 511 is always NUL.
void appendWString512(wchar_t* destination, const wchar_t* source);

// UTF-8 text as a wide string for a W call (invalid sequences become U+FFFD); null or "" gives
// "".
std::wstring utf8ToWide(const char* text);
// UTF-8 of a wide text (unpaired surrogates become U+FFFD); null, empty or nothing converted
// gives null.
char* bstrToUtf8(const wchar_t* input);
// bstrToUtf8 of the holder's BSTR, holding a reference meanwhile.
char* bstrToUtf8Ref(const SharedBstr& holder);
// New BSTR (SysFreeString) of byteCount bytes of UTF-8 (invalid sequences become U+FFFD); null
// input gives null, 0 bytes an empty BSTR, a failure null.
wchar_t* utf8ToBstr(const char* input, size_t byteCount);
// Holder of utf8ToBstr over the whole text; a null text gives an empty holder.
SharedBstr utf8ToBstrT(const char* input);
// Copy of a wide text (free()); null gives the warning ("input") and null.
wchar_t* duplicateWString(const wchar_t* input);
// Copy of fileName with every ".exe" (exact case) removed; null/empty gives null.
wchar_t* stripExeExtension(const wchar_t* fileName);

// ---- Folders and files (Windows only; new wide paths, free()) --------------------------------

// Folder of the running program (cut at its last "\"); null on failure.
wchar_t* getExecutePath();
// The Windows folder; null on failure.
wchar_t* getWindowsPath();
// The user's temporary folder; an empty path when the system cannot give it, null on no memory.
wchar_t* getUserTempPath();
// Account name of the calling thread's user (512 units); null on failure.
wchar_t* getCurrentUserName();
// Common application-data folder, "\" and folderName (UTF-8; null: the folder alone). Empty path
// after the "Get copy path: " error when the shell fails; null on no memory.
wchar_t* getCopyPath(const char* folderName);
// False for a missing file or folder (errors 2 and 3) and for one without the archive mark (0x20);
// true for every other error reading the attributes (for example access denied).
bool isFileExist(const wchar_t* inputFileName);
// Whole text file read in text mode (CR LF become LF); null when missing, unreadable or empty.
char* readTextFile(const wchar_t* inputPath);

// ---- Commands, mutexes, port test (Windows only) ----------------------------------------------

// The full path of a program of the system folder (program: "cmd.exe"), quoted when it holds a
// blank: system commands are never started by bare name, which would find a program of the same
// name in the caller's own or current folder first. "" (logged) when the folder can't be had.
std::wstring systemProgramPath(const wchar_t* program);

// runHiddenCommand's result when no process ran (no memory, a command line longer than the system
// takes, the process could not be created or its exit code not read): nonzero, so that a caller
// testing for 0 never takes it for success.
inline constexpr unsigned long kHiddenCommandNotRun = 0xFFFFFFFFUL;

// runHiddenCommand's result when the command did not end within its wait: the process was ended.
inline constexpr unsigned long kHiddenCommandTimedOut = 0xFFFFFFFEUL;
// A wait without limit (INFINITE).
inline constexpr unsigned long kWaitForever = 0xFFFFFFFFUL;

// How long a hidden command of the service may take: they delete or create a few files, and some
// run under the request lock.
inline constexpr unsigned long kHiddenCommandWaitMs = 5000;

// Runs "cmd /c <command>" without a window and waits for its exit code, at most waitMilliseconds
// (then ends it and every program it started: kHiddenCommandTimedOut). Null command: 1; no
// process ran: kHiddenCommandNotRun.
unsigned long runHiddenCommand(const wchar_t* command,
                               unsigned long waitMilliseconds = kHiddenCommandWaitMs);
// Starts "OqtQuillmarkWorker.exe -start" without a window and without waiting.
void hideNOWaitCommand();
// For the callers whose command must do its work (delete, empty, create): unless exitCode is 0,
// logs the warning "Hidden command failed: " with the command and "(exit code <n>)", "(timed
// out)" or "(not run)". Returns exitCode.
unsigned long warnHiddenCommandFailure(const wchar_t* command, unsigned long exitCode);

// The two ends of every hidden command here and in the tray program and the worker: commandLine
// (writable, as CreateProcessW wants it, and taken as is, without "cmd /c") runs without a
// window and with this process's start-up information. waitHiddenProcess waits for its exit
// code, at most waitMilliseconds (kHiddenCommandTimedOut, the process ended, when it runs longer;
// kHiddenCommandNotRun when it could not be created or its code not read); what it started is
// left running;
// startHiddenProcess closes its handles at once and does not wait (false when not created).
// Neither logs.
unsigned long waitHiddenProcess(wchar_t* commandLine,
                                unsigned long waitMilliseconds = kWaitForever);
bool startHiddenProcess(wchar_t* commandLine);

// Per-user named mutex "<user>_<inputMutexLock>", created with a null access list and an
// inheritable handle, then waited for waitMilliseconds (the service waits 0). Returns the owned
// mutex handle (a HANDLE: the caller releases it with ReleaseMutex and closes it), also when its
// last owner ended without releasing it (abandoned); null when it is held elsewhere or could not
// be created.
void* getMutexLock(const char* inputMutexLock, unsigned long waitMilliseconds = 0);

// The data folder used by isPortInUse ("<copyPath>\Tempfile\QuillmarkTemp"); the service sets it
// at start-up with what getCopyPath("OqtQuillmark") gave. Copied (at most 259 units); null clears.
void setCopyPath(const wchar_t* copyPath);

// True when a netstat line shows 127.0.0.1:<port> (or [::1]:<port>) as local or foreign address in
// state LISTENING or ESTABLISHED, and when the check does not end within kPortCheckWaitMs (a
// listener is then better left out than a start-up left hanging); false when not, and whenever
// the test fails on its way (also while no data folder is set).
inline constexpr unsigned long kPortCheckWaitMs = 5000;
bool isPortInUse(int port, bool ipv6);
// Replaces kPortCheckWaitMs (0: kPortCheckWaitMs again).
void setPortCheckWaitForTesting(unsigned long milliseconds);

// Switches the system random function off (the fallback source then serves) or on again.
void setPrimaryRandomEnabledForTesting(bool enabled);
#endif

#endif  // QM_COMMON_TOOL_H
