// QuillmarkSession: session selection, the handshake and gates of a new session, the reserved
// functions of a known one, adapter calls and releases.
#include "service/QuillmarkSession.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <optional>

#include "common/Log.h"
#include "common/Tool.h"
#include "service/QuillmarkQueue.h"
#include "service/QuillmarkValue.h"
#include "service/SecretText.h"
#include "service/ServiceLog.h"
#include "service/TopMost.h"

namespace {

constexpr const char* kModuleName = "QuillmarkSession";
constexpr std::size_t kMaxPathChars = 259;
constexpr std::size_t kShortTextChars = 63;
constexpr std::size_t kLongTextChars = 511;
// A fresh id collides with a slot's only when the random source gives nothing; a few draws
// then settle that no id can be had, rather than looping for ever.
constexpr int kMaxSessionIdDraws = 8;
constexpr const char* kDefaultMinLibVersion = "0.0.0.0";

struct SessionSlot {
    std::string sessionId;  // empty: the slot is free
    std::string comName;
    std::string libVersion;
    std::optional<std::string> installerVersion;
    AdapterLibrary library;
    int32_t browserMode = 0;
    int64_t initTime = 0;
};

struct SessionState {
    std::mutex requestMutex;
    SessionSlot slots[kSessionSlotCount];
    std::wstring copyPath;
    std::wstring executePath;
    uint32_t ownProcessId = 0;
    SessionIdSource idSource = &generateSessionId;
    bool stopping = false;  // set once by stopAllSessions, under the request lock
};

SessionState state;

bool equalsIgnoreCase(const std::string& a, const char* b) {
    return compareJsonMapKeys(a.c_str(), b) == 0;
}

bool isOneOf(const std::string& name, std::initializer_list<const char*> names) {
    for (const char* candidate : names) {
        if (equalsIgnoreCase(name, candidate)) {
            return true;
        }
    }
    return false;
}

// The decoded value of key cut to maxChars bytes; nullopt when the key is absent.
std::optional<std::string> takeValue(const JsonMap* map, const char* key, std::size_t maxChars) {
    SecretText value(getJsonMapValue(map, key));
    if (!value) {
        return std::nullopt;
    }
    return std::string(value.get(), strnlen(value.get(), maxChars));
}

std::string takeText(const JsonMap* map, const char* key, std::size_t maxChars) {
    return takeValue(map, key, maxChars).value_or(std::string());
}

// The request keys the dispatcher reads, decoded from the page's map before the request lock is
// taken: a value flagged encrypted is deciphered from hexadecimal text of any length, and the
// lock must not be held while it is. Absent keys give "" (false, 0).
struct RequestKeys {
    std::string sessionId;
    std::string functionName;
    std::string pathId;
    std::string libDir;
    std::string comName;
    std::string installerName;
    std::optional<std::string> minServerVersion;
    std::string minLibVersion;
    int32_t mode = 0;
    bool topUiDetect = false;
    bool topUiAllDetect = false;
    bool hideResult = false;
    // The value store's keys, read only for its two function names.
    SecretText channel;
    SecretText domainList;
    SecretText value;
    int32_t timeout = 0;
};

RequestKeys readRequestKeys(const JsonMap* requestMap) {
    RequestKeys keys;
    keys.sessionId = takeText(requestMap, "SessionId", kShortTextChars);
    keys.functionName = takeText(requestMap, "FunctionName", kLongTextChars);
    keys.pathId = takeText(requestMap, "PathID", kLongTextChars);
    keys.libDir = takeText(requestMap, "LibDir", kShortTextChars);
    keys.comName = takeText(requestMap, "ComName", kShortTextChars);
    keys.installerName = takeText(requestMap, "InstallerName", kLongTextChars);
    keys.minServerVersion = takeValue(requestMap, "minServerVersion", kShortTextChars);
    keys.minLibVersion = takeText(requestMap, "minLibVersion", kShortTextChars);
    keys.mode = getJsonMapMode(requestMap);
    keys.topUiDetect = getJsonMapBool(requestMap, "topuidetect");
    keys.topUiAllDetect = getJsonMapBool(requestMap, "topuialldetect");
    keys.hideResult = getJsonMapBool(requestMap, "hide_result");
    const bool storing = equalsIgnoreCase(keys.functionName, "setQuillmarkValue");
    if (storing || equalsIgnoreCase(keys.functionName, "getQuillmarkValue")) {
        keys.channel.reset(getJsonMapValue(requestMap, "channel"));
    }
    if (storing) {
        keys.domainList.reset(getJsonMapValue(requestMap, "domain_list"));
        keys.value.reset(getJsonMapValue(requestMap, "value"));
        keys.timeout = getJsonMapTimeout(requestMap);
    }
    return keys;
}

int64_t secondsSince1970() {
    return static_cast<int64_t>(_time64(nullptr));
}

// The form of the ids the service hands out: eight of "0-9A-Z", then "_SID".
bool hasGeneratedForm(const std::string& id) {
    if (id.size() != 12 || id.compare(8, 4, "_SID") != 0) {
        return false;
    }
    for (std::size_t i = 0; i < 8; ++i) {
        char c = id[i];
        if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z'))) {
            return false;
        }
    }
    return true;
}

int slotWithId(const std::string& id) {
    for (int i = 0; i < kSessionSlotCount; ++i) {
        if (!state.slots[i].sessionId.empty() && state.slots[i].sessionId == id) {
            return i;
        }
    }
    return -1;
}

// An exact match first, so that no shorter id held by another slot can capture the request;
// then the first slot whose id occurs in the given one.
int findSession(const std::string& givenId) {
    int exact = slotWithId(givenId);
    if (exact >= 0) {
        return exact;
    }
    for (int i = 0; i < kSessionSlotCount; ++i) {
        const std::string& id = state.slots[i].sessionId;
        if (!id.empty() && givenId.find(id) != std::string::npos) {
            return i;
        }
    }
    return -1;
}

// A new id that no slot holds; "" when none could be drawn.
std::string drawSessionId() {
    for (int draw = 0; draw < kMaxSessionIdDraws; ++draw) {
        SecretText drawn(state.idSource());
        if (!drawn) {
            qm::logAllocationFailure(kModuleName, __LINE__);
            return {};
        }
        std::string id(drawn.get());
        int collision = slotWithId(id);
        if (collision < 0) {
            return id;
        }
        logNormalInt("Session id collision index: ", collision);
    }
    logWarning("Generate new session id: ", "Fail");
    return {};
}

int firstFreeSlot() {
    for (int i = 0; i < kSessionSlotCount; ++i) {
        if (state.slots[i].sessionId.empty()) {
            return i;
        }
    }
    return -1;
}

// Throws the response away and answers with a code alone.
JsonMapPtr replyWithCode(int line, int32_t code) {
    logNormal("reset Quillmark Json at file: ", kModuleName);
    logNormalInt("reset Quillmark Json at line: ", line);
    JsonMapPtr reply(createJsonMap());
    if (reply) {
        setJsonMapResult(reply.get(), code);
    }
    return reply;
}

// The same with a text as "result" (the text is copied into the map, which wipes it when freed).
JsonMapPtr replyWithText(int line, const char* text) {
    logNormal("reset Quillmark Json at file: ", kModuleName);
    logNormalInt("reset Quillmark Json at line: ", line);
    JsonMapPtr reply(createJsonMap());
    if (reply) {
        setJsonMapValue(reply.get(), "result", text);
    }
    return reply;
}

// A map of one of the system functions the service sends to an adapter.
JsonMapPtr systemFunctionMap(const char* functionName, const char* index, const char* url) {
    JsonMapPtr map(createJsonMap());
    if (!map) {
        return map;
    }
    setJsonMapValue(map.get(), "functionname", functionName);
    if (url != nullptr) {
        setJsonMapValue(map.get(), "url", url);
    }
    setJsonMapValue(map.get(), "AdapterJsonKeyCheck", "true");
    setJsonMapValue(map.get(), "QuillmarkFunctionIndex", index);
    return map;
}

// Sends a map built by the service. An adapter with only the text export gets the map's source
// text, which a built map does not have. The answer is copied at once, since it is the adapter's
// and changes with its next call; an adapter that answers nothing gives "".
std::string callWithServiceMap(SessionSlot& slot, JsonMap* map, const char* functionName) {
    const char* answer = nullptr;
    if (slot.library.callJsonMapMethod != nullptr) {
        answer = slot.library.callJsonMapMethod(map, functionName);
    } else if (slot.library.callMethod != nullptr) {
        answer = slot.library.callMethod(map->sourceText);
    }
    return answer != nullptr ? std::string(answer) : std::string();
}

void releaseSlot(int index) {
    logNormalInt("Release session index: ", index);
    releaseSession(index);
    clearSessionTicket(index);
}

// The installer name is put into a path under the data folder: nothing that could leave it.
bool isPlainFileName(const std::string& name) {
    return name.find_first_of("\\/:") == std::string::npos && name.find("..") == std::string::npos;
}

JsonMapPtr callAdapter(int index, JsonMap* requestMap, const RequestKeys& keys,
                       JsonMapPtr response) {
    SessionSlot& slot = state.slots[index];
    const std::string& functionName = keys.functionName;
    bool watching = false;
    if (keys.topUiDetect) {
        logNormal("Set top component UI: ", "Enable");
        watching = startTopMostWatch(state.ownProcessId, false);
    } else if (keys.topUiAllDetect) {
        logNormal("Set top all system UI: ", "Enable");
        watching = startTopMostWatch(state.ownProcessId, true);
    }
    const char* answer = nullptr;
    bool called = true;
    if (slot.library.callJsonMapMethod != nullptr) {
        answer = slot.library.callJsonMapMethod(requestMap, functionName.c_str());
    } else if (slot.library.callMethod != nullptr) {
        answer = slot.library.callMethod(requestMap->sourceText);
    } else {
        called = false;
    }
    if (watching) {
        stopTopMostWatch();
    }
    if (!called) {
        releaseSlot(index);
        return replyWithCode(__LINE__, kResultNoEntryPoint);
    }
    const std::string text = answer != nullptr ? std::string(answer) : std::string();
    const bool multiLine = text.find('\n') != std::string::npos;
    logRaw(multiLine ? " Component result:\n" : " Component result: ",
           boundedLogText(text, keys.hideResult).c_str());
    setJsonMapValue(response.get(), "result", text.c_str());
    return response;
}

JsonMapPtr openSession(const std::string& id, JsonMap* requestMap, const char* requestOrigin,
                       const RequestKeys& keys, JsonMapPtr response) {
    const std::string& functionName = keys.functionName;
    if (isOneOf(functionName, {"QuillmarkClose", "QuillmarkForceRelease", "QuillmarkRelease"})) {
        logNormal("No specific adapter to release", "");
        return response;
    }

    const std::string& pathId = keys.pathId;
    char libDir[kAdapterNameSize] = {};
    char comName[kAdapterNameSize] = {};
    safeCopyString(libDir, sizeof libDir, keys.libDir.c_str());
    safeCopyString(comName, sizeof comName, keys.comName.c_str());
    logNormal("Adapter folder: ", libDir);
    logNormal("Adapter name: ", comName);

    bool located;
    if (!pathId.empty()) {
        logNormal("Path id mode: ", "Active");
        located = resolvePathID(pathId.c_str(), libDir, comName) || checkPathTable(libDir, comName);
    } else {
        logNormal("Path id check location mode: ", "Active");
        located = checkPathTable(libDir, comName);
    }
    if (!located) {
        logNormal("Out of path table connection: ", "Reject");
        return replyWithCode(__LINE__, kResultOutOfPathTable);
    }
    if (libDir[0] == '\0' || comName[0] == '\0') {
        logNormal("No path information connection: ", "Reject");
        return replyWithCode(__LINE__, kResultOutOfPathTable);
    }

    int index = firstFreeSlot();
    if (index < 0) {
        logWarning("Quillmark slot is full, release the oldest one", "");
        index = getOldestSessionIndex();
        if (index < 0) {
            logWarning("Get the oldest SessionIndex fail", "");
            return response;
        }
        releaseSlot(index);
    }
    SessionSlot& slot = state.slots[index];
    enqueueSessionIndex(index);
    logNormalInt("Session index: ", index);
    slot.sessionId = id;
    slot.initTime = secondsSince1970();
    logNormalInt("Init time: ", static_cast<int32_t>(static_cast<uint32_t>(slot.initTime)));

    if (!loadAdapter(state.executePath, state.copyPath, index, libDir, comName, slot.library)) {
        releaseSlot(index);
        return replyWithCode(__LINE__, kResultLoadFailed);
    }
    slot.comName = comName;
    if (slot.library.callMethod == nullptr && slot.library.callJsonMapMethod == nullptr) {
        logWarning("All callMethod load fail", "");
        releaseSlot(index);
        return replyWithCode(__LINE__, kResultNoEntryPoint);
    }
    if (slot.library.callJsonMapMethod != nullptr) {
        logNormal("Json map init: ", "Active");
    } else {
        logNormal("Json string init: ", "Active");
    }

    // Handshake: unlock with the page's origin, then the adapter's version.
    JsonMapPtr unlockMap = systemFunctionMap("Quillmark_Unlock", "-2", requestOrigin);
    if (!unlockMap) {
        releaseSlot(index);
        return response;
    }
    const std::string unlockAnswer = callWithServiceMap(slot, unlockMap.get(), "Quillmark_Unlock");
    unlockMap.reset();
    if (!equalsIgnoreCase(unlockAnswer, "0")) {
        logWarning("Unlock result: ", unlockAnswer.c_str());
        JsonMapPtr reply = replyWithText(__LINE__, unlockAnswer.c_str());
        releaseSlot(index);
        return reply;
    }
    logNormal("Unlock: ", "Success");

    JsonMapPtr versionMap = systemFunctionMap("Quillmark_GetVersion", "-1", nullptr);
    if (!versionMap) {
        releaseSlot(index);
        return response;
    }
    std::string version = callWithServiceMap(slot, versionMap.get(), "Quillmark_GetVersion");
    versionMap.reset();
    version.resize(strnlen(version.c_str(), kShortTextChars));
    if (version.empty()) {
        logWarning("Init adapter: ", "Fail");
        releaseSlot(index);
        return response;
    }
    slot.libVersion = version;
    const int32_t versionNumber = stringToLong(version.c_str(), false);
    if (!lastConversionFailed() && versionNumber >= 61000 && versionNumber <= 61999) {
        logWarningInt("Parse component version error: ", versionNumber);
        releaseSlot(index);
        return replyWithCode(__LINE__, versionNumber);
    }
    logNormal("Extract component version: ", "Success");

    // The page's gates: a gate passes when the page's minimum is equal to or older than ours.
    const std::string& installerName = keys.installerName;
    const std::optional<std::string>& minServerVersion = keys.minServerVersion;
    std::string minLibVersion = keys.minLibVersion;
    if (minLibVersion.empty()) {
        minLibVersion = kDefaultMinLibVersion;
    }
    setJsonMapValue(response.get(), "ServerVersion", kServerVersion);
    setJsonMapValue(response.get(), "LibVersion", version.c_str());
    logWarning("Mini server version: ", minServerVersion ? minServerVersion->c_str() : nullptr);
    logWarning("Real server version: ", kServerVersion);
    int32_t gate =
        compareVersion(minServerVersion ? minServerVersion->c_str() : nullptr, kServerVersion);
    if (gate != 0 && gate != -1) {
        logWarning("Verify server version: ", "Fail");
        releaseSlot(index);
        return replyWithCode(__LINE__, kResultServerVersion);
    }
    logNormal("Verify server version: ", "Pass");
    logWarning("Mini adapter version: ", minLibVersion.c_str());
    logWarning("Real adapter version: ", version.c_str());
    gate = compareVersion(minLibVersion.c_str(), version.c_str());
    if (gate != 0 && gate != -1) {
        logWarning("Verify adapter version: ", "Fail");
        releaseSlot(index);
        return replyWithCode(__LINE__, kResultAdapterVersion);
    }
    logNormal("Verify adapter version: ", "Pass");

    if (!installerName.empty()) {
        logNormal("InstallerName: ", installerName.c_str());
        if (!isPlainFileName(installerName)) {
            logWarning("InstallerName: ", "Reject");
        } else {
            std::wstring path =
                state.copyPath + L"\\" + utf8ToWide(installerName.c_str()) + L"Version.txt";
            std::unique_ptr<wchar_t, decltype(&std::free)> stripped(stripExeExtension(path.c_str()),
                                                                    &std::free);
            if (!stripped) {
                qm::logAllocationFailure(kModuleName, __LINE__);
            } else {
                logNormalWString("InstallerVersionFile: ", stripped.get());
                // A missing file gives no version: the reply then has no "InstallerVersion" at
                // all, and neither have the echoes of this session.
                SecretText text(readTextFile(stripped.get()));
                std::optional<std::string> installerVersion;
                if (text) {
                    installerVersion.emplace(text.get(), strnlen(text.get(), kShortTextChars));
                }
                const char* versionText = installerVersion ? installerVersion->c_str() : nullptr;
                logNormal("InstallerVersion: ", versionText);
                setJsonMapValue(response.get(), "InstallerVersion", versionText);
                slot.installerVersion = std::move(installerVersion);
            }
        }
    }

    if (isOneOf(functionName, {"QuillmarkEcho", "Echo"})) {
        slot.browserMode = keys.mode == 1 ? 1 : 0;
        setJsonMapResult(response.get(), kResultOk);
        return response;
    }
    return callAdapter(index, requestMap, keys, std::move(response));
}

JsonMapPtr serveSession(int index, JsonMap* requestMap, const char* requestOrigin,
                        const RequestKeys& keys, JsonMapPtr response) {
    SessionSlot& slot = state.slots[index];
    const std::string& functionName = keys.functionName;
    logNormal("Find the loaded adapter", "");
    if (equalsIgnoreCase(functionName, "QuillmarkForceRelease")) {
        logNormal("Force release: ", "Active");
        releaseSlot(index);
        return response;
    }
    if (isOneOf(functionName, {"QuillmarkClose", "QuillmarkRelease"})) {
        if (slot.browserMode == 0) {
            releaseSlot(index);
            return response;
        }
        logNormal("[Browser mode] Skip release process", "");
        return response;
    }
    if (equalsIgnoreCase(functionName, "setQuillmarkValue")) {
        if (!keys.channel || !keys.domainList || !keys.value) {
            return replyWithCode(__LINE__, kResultMissingArgument);
        }
        setJsonMapResult(response.get(),
                         setQuillmarkValue(keys.channel.get(), keys.domainList.get(), keys.timeout,
                                           keys.value.get()));
        return response;
    }
    if (equalsIgnoreCase(functionName, "getQuillmarkValue")) {
        if (!keys.channel) {
            return replyWithCode(__LINE__, kResultMissingArgument);
        }
        SecretText value(getQuillmarkValue(keys.channel.get(), requestOrigin));
        if (!value) {
            return replyWithCode(__LINE__, kResultNoValue);
        }
        return replyWithText(__LINE__, value.get());
    }
    if (isOneOf(functionName, {"QuillmarkEcho", "Echo"})) {
        logNormal("Browser mode: ", "Active");
        setJsonMapValue(response.get(), "ServerVersion", kServerVersion);
        setJsonMapValue(response.get(), "LibVersion", slot.libVersion.c_str());
        setJsonMapValue(response.get(), "InstallerVersion",
                        slot.installerVersion ? slot.installerVersion->c_str() : nullptr);
        setJsonMapResult(response.get(), kResultOk);
        return response;
    }
    return callAdapter(index, requestMap, keys, std::move(response));
}

// The file commands of start-up and stop: one that fails or times out leaves files behind (or a
// version file unwritten), so it is logged rather than taken as done.
void runCheckedCommand(const std::wstring& command) {
    warnHiddenCommandFailure(command.c_str(), runHiddenCommand(command.c_str()));
}

}  // namespace

std::unique_lock<std::mutex> lockRequests() {
    return std::unique_lock<std::mutex>(state.requestMutex);
}

bool initSessionEnvironment(const std::wstring& copyPath, const std::wstring& executePath,
                            uint32_t ownProcessId) {
    std::unique_lock<std::mutex> lock = lockRequests();
    setLog(kModuleName);
    for (SessionSlot& slot : state.slots) {
        slot = SessionSlot();
    }
    resetSessionTickets();
    state.copyPath = copyPath.substr(0, kMaxPathChars);
    state.executePath = executePath.substr(0, kMaxPathChars);
    state.ownProcessId = ownProcessId;
    if (state.copyPath.empty() || state.executePath.empty()) {
        logError("Session environment: ", "Fail");
        return false;
    }
    CreateDirectoryW(state.copyPath.c_str(), nullptr);

    // The value store's key and IV are drawn at every start and never written anywhere.
    uint8_t valueKey[kValueKeySize];
    uint8_t valueIV[kValueKeySize];
    if (genRandom(valueKey, sizeof valueKey) && genRandom(valueIV, sizeof valueIV)) {
        initValueStore(valueKey, valueIV);
    } else {
        logError("Generate value store key: ", "Fail");
        initValueStore(nullptr, nullptr);
    }
    SecureZeroMemory(valueKey, sizeof valueKey);
    SecureZeroMemory(valueIV, sizeof valueIV);

    const std::wstring versionFile = state.copyPath + L"\\OqtQuillmarkMainVersion";
    if (!isFileExist(versionFile.c_str())) {
        runCheckedCommand(L"break>\"" + versionFile + L"\"");
    }
    FILE* file = _wfopen(versionFile.c_str(), L"w");
    if (file == nullptr) {
        logWarning("Write Quillmark version: ", "Fail");
    } else {
        std::fputs("Quillmark version=", file);
        std::fputs(kServerVersion, file);
        std::fclose(file);
    }

    // No library copy survives a restart.
    const std::wstring tempFolder = state.copyPath + L"\\Tempfile";
    runCheckedCommand(L"rmdir \"" + tempFolder + L"\" /s /q");
    CreateDirectoryW(tempFolder.c_str(), nullptr);
    bool ready = true;
    for (int i = 0; i < kSessionSlotCount; ++i) {
        const std::wstring folder = tempFolder + L"\\Session_" + std::to_wstring(i);
        if (!CreateDirectoryW(folder.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
            ready = false;
        }
    }
    if (!ready) {
        logError("Create session folders: ", "Fail");
    }
    return ready;
}

JsonMapPtr dispatchRequest(JsonMap* requestMap, const char* requestOrigin) {
    if (requestMap == nullptr) {
        qm::logNullParameter("JsonMap", kModuleName, __LINE__);
        return nullptr;
    }
    if (requestOrigin == nullptr) {
        qm::logNullParameter("Origin", kModuleName, __LINE__);
        return nullptr;
    }
    // Everything that grows with the page's text (the display, the decoding) is done here, before
    // the lock: other pages wait only for the dispatch itself.
    displayJsonMap(requestMap);
    const RequestKeys keys = readRequestKeys(requestMap);

    std::unique_lock<std::mutex> lock = lockRequests();
    if (state.stopping) {
        logWarning("Quillmark is stopping, request: ", "Reject");
        return nullptr;
    }
    JsonMapPtr response(createJsonMap());
    if (!response) {
        return nullptr;
    }

    const std::string& givenId = keys.sessionId;
    int index = -1;
    std::string id;
    if (givenId.empty()) {
        logNormal("Generate new session id", "");
        id = drawSessionId();
        if (id.empty()) {
            return replyWithCode(__LINE__, kResultNoValue);
        }
        setJsonMapValue(response.get(), "SessionID", id.c_str());
    } else {
        index = findSession(givenId);
        id = givenId;
        if (index < 0 && !hasGeneratedForm(givenId)) {
            // Only an id of the service's own form may name a new session: a short id chosen by
            // a page would later capture every request whose id contains it.
            logWarning("Session id not generated by Quillmark: ", givenId.c_str());
            id = drawSessionId();
            if (id.empty()) {
                return replyWithCode(__LINE__, kResultNoValue);
            }
            setJsonMapValue(response.get(), "SessionID", id.c_str());
        }
    }
    logNormal("Session id: ", id.c_str());

    if (index < 0) {
        return openSession(id, requestMap, requestOrigin, keys, std::move(response));
    }
    return serveSession(index, requestMap, requestOrigin, keys, std::move(response));
}

void releaseSession(int index) {
    if (index < 0 || index >= kSessionSlotCount || state.slots[index].sessionId.empty()) {
        return;
    }
    SessionSlot& slot = state.slots[index];
    slot.browserMode = 0;
    logNormal("Release Session id: ", slot.sessionId.c_str());
    logNormal("Release AdapterName: ", slot.comName.c_str());
    logNormal("Release Adapter Version: ", slot.libVersion.c_str());
    logNormal("Release Installer Version: ",
              slot.installerVersion ? slot.installerVersion->c_str() : nullptr);
    slot.sessionId.clear();
    slot.comName.clear();
    slot.libVersion.clear();
    slot.installerVersion.reset();

    JsonMapPtr releaseMap = systemFunctionMap("Quillmark_Release", "-3", nullptr);
    if (releaseMap) {
        callWithServiceMap(slot, releaseMap.get(), "Quillmark_Release");
    }
    slot.initTime = 0;
    unloadAdapter(slot.library);
}

void releaseAllAdapters() {
    logNormal("[QuillmarkFinal] ", "Start release all adapters");
    for (int index = getOldestSessionIndex(); index >= 0; index = getOldestSessionIndex()) {
        releaseSlot(index);
    }
    if (state.copyPath.empty()) {
        return;
    }
    runCheckedCommand(L"del /Q \"" + state.copyPath + L"\\*.dll\"");
    runCheckedCommand(L"del /A:H /Q \"" + state.copyPath + L"\\*.dll\"");
}

void stopAllSessions() {
    std::unique_lock<std::mutex> lock = lockRequests();
    releaseAllAdapters();
    state.stopping = true;
}

void setSessionIdSourceForTesting(SessionIdSource source) {
    state.idSource = source != nullptr ? source : &generateSessionId;
}

std::string sessionIdForTesting(int index) {
    if (index < 0 || index >= kSessionSlotCount) {
        return {};
    }
    return state.slots[index].sessionId;
}

bool isServingRequestsForTesting() {
    return !state.stopping;
}

void resumeServingForTesting() {
    std::unique_lock<std::mutex> lock = lockRequests();
    state.stopping = false;
}
