// QuillmarkWorker: the command-line helper OqtQuillmarkWorker.exe. One job per start, chosen by
// the argument text: start, stop, restart or reset the tray program and the service, watch the
// tray program (watchdog), clean up after an uninstall, delete a file or folder once the
// uninstaller has ended, import the service's two root certificates into the machine's trusted
// root store, and turn a key file into a byte-array declaration.
//
// Texts are UTF-8 inside; paths become wide only at the system calls. Ownership: nothing returned
// here needs freeing (library strings and vectors).
//
// Threading: every mode runs on the calling thread; the watchdog adds a debug-log thread and the
// instruction receivers of its channel.
#ifndef QM_WORKER_QUILLMARKWORKER_H
#define QM_WORKER_QUILLMARKWORKER_H

#include <cstdint>
#include <string>
#include <vector>

// Exit code of -uninstalldetect with other than two arguments.
inline constexpr int kWorkerParameterError = 61005;

// The per-user mutexes of the worker's control modes and of the watchdog.
inline constexpr char kWorkerMutexName[] = "QuillmarkWorker";
inline constexpr char kWatchdogMutexName[] = "OqtQuillmarkWatchdog";

// The uninstaller's processes (its temporary copies), waited for before any clean-up.
inline constexpr char kUninstallerProcessA[] = "Au_.exe";
inline constexpr char kUninstallerProcessB[] = "Un_A.exe";

// Room of the texts a run keeps (session name, build time, the prefix modes' argument text).
inline constexpr size_t kWorkerTextSize = 512;

enum class WorkerMode {
    None,
    Stop,
    AllStop,
    Start,
    Restart,
    MonitorStart,
    Reset,
    UninstallDetect,
    Delete,
    KeyToByte,
    Watchdog,
    ImportRootCACert,
};

// The mode an argument text selects: the whole-text options compared without ASCII case, the
// prefix options ("-uninstalldetect", "-delete", "-KeyToByte") with case. None for an empty,
// null or unknown text.
WorkerMode workerModeOf(const char* argumentText);

// True for the six control modes that take the worker mutex.
bool workerModeTakesMutex(WorkerMode mode);

// The whole run: start-up (own folder, session name, log, "Compile time: ", "Command: "), the
// selected mode, the end steps (worker mutex released, self-deletion after -uninstalldetect and
// -delete). Returns 0, or kWorkerParameterError when -uninstalldetect has wrong arguments (then
// without the end steps and without self-deletion).
int workerMain(const char* argumentText);

// The argument text of a process command line: what follows the program name (quoted or not) and
// the blanks after it, as UTF-8. "" for null.
std::string argumentTextOf(const wchar_t* commandLine);

// ---- Prefix modes' pieces (exposed for tests) -------------------------------------------------

// The arguments of a prefix mode: the text after the first blank, at most 511 bytes; "" without
// a blank.
std::string prefixModeArguments(const char* argumentText);

// -uninstalldetect's arguments: the text split at blanks (runs of blanks count as one), then
// regrouped so that a path with blanks stays one argument: a group runs from a piece up to and
// including the next piece that contains ".exe" (in any letter case), its pieces joined again
// with one blank; pieces after the last such piece form one last group. More than 16 pieces gives
// no arguments (a parameter error for the caller). pieceCount receives the number of pieces.
std::vector<std::string> regroupUninstallArguments(const std::string& arguments,
                                                   size_t& pieceCount);

// Lists the paths (folder "\" name) of the entries matching pattern under folder, descending into
// matching folders, folders themselves not listed. False (with its error line) when a folder
// cannot be searched or a search ends with another error than "no more files"; list is emptied
// first.
bool listFilesRecursive(const std::wstring& folder, const std::wstring& pattern,
                        std::vector<std::wstring>& list);

// How -delete treats a path: Folder when a "\" or "/" comes after the last ".", File when a "."
// comes after the last separator, Bare (a file, without the "File mode" line) with neither.
enum class DeletePathKind { Folder, File, Bare };
DeletePathKind deletePathKindOf(const std::wstring& path);

// The declaration -KeyToByte appends: "byte RSAKey[] = { 0x.." when fileName contains "_RSA."
// (with case), else "byte ECKey[] = { 0x..", ", 0x.." for every further byte (upper-case hex
// without leading zeros), then "};". No bytes: "};" alone.
std::string keyToByteText(const std::string& bytes, const std::string& fileName);

// Adds one PEM certificate (zero-terminated) to the local machine's "ROOT" store; an identical
// certificate already there counts as added. 1 on success, 0 on failure (logged with the step and
// the system error code).
int importRootCACert(const char* pem);

// The two roots the worker carries (PEM texts).
const char* rootEccCertificatePem();
const char* rootRsaCertificatePem();

#endif  // QM_WORKER_QUILLMARKWORKER_H
