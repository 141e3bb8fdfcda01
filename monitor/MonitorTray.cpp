// Tray icon, balloons, menu and interface texts of the tray program.
#include "monitor/MonitorTray.h"

#include <clocale>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>

#include "common/Log.h"
#include "common/Tool.h"
#include "monitor/MonitorState.h"
#include "monitor/MonitorText.h"

// The icon record the shell expects: the full Vista-and-later record of each target.
#if defined(__i386__)
static_assert(sizeof(NOTIFYICONDATAW) == 956);
#elif defined(__x86_64__)
static_assert(sizeof(NOTIFYICONDATAW) == 976);
#else
#error "the tray program is built for 32-bit x86 or x86_64 Windows"
#endif

namespace {

constexpr wchar_t kTrayTip[] = L"OqtQuillmark";
constexpr UINT kAddFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP | NIF_STATE | NIF_INFO;  // 0x1F
constexpr UINT kBalloonFlags = NIF_ICON | NIF_TIP | NIF_INFO;                        // 0x16
constexpr int kSweepStep = 5;

struct TrayState {
    std::mutex lock;  // the record, the slots and the balloon record
    NOTIFYICONDATAW data{};
    std::wstring slots[kSlotCount + 1];
    std::wstring lastBalloon;
    int balloonCount = 0;
    void (*menuHook)(HMENU menu) = nullptr;
};

TrayState& tray() {
    static TrayState state;
    return state;
}

HICON loadTrayIcon(int resource) {
    return static_cast<HICON>(LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(resource),
                                         IMAGE_ICON, GetSystemMetrics(SM_CXSMICON),
                                         GetSystemMetrics(SM_CYSMICON), 0));
}

void clearRecord(NOTIFYICONDATAW& data) {
    data = NOTIFYICONDATAW{};
    data.cbSize = sizeof(NOTIFYICONDATAW);
}

// Swaps the record's image; the old one is destroyed only once the shell has the new one.
void setTrayImage(int resource) {
    TrayState& state = tray();
    HICON old = nullptr;
    NOTIFYICONDATAW copy{};
    {
        std::lock_guard<std::mutex> guard(state.lock);
        old = state.data.hIcon;
        state.data.hIcon = loadTrayIcon(resource);
        copy = state.data;
    }
    // The shell is another process: no lock is held while it answers.
    Shell_NotifyIconW(NIM_MODIFY, &copy);
    if (old != nullptr) {
        DestroyIcon(old);
    }
}

NOTIFYICONDATAW recordCopy() {
    TrayState& state = tray();
    std::lock_guard<std::mutex> guard(state.lock);
    return state.data;
}

std::wstring stateBalloon(int slot) {
    return std::wstring(L"OqtQuillmark ") + slotText(slot);
}

BOOL CALLBACK sweepTrayArea(HWND child, LPARAM) {
    if (child == nullptr) {
        logWarningInt("NULL Handle, Error: ", static_cast<int32_t>(GetLastError()));
        return TRUE;
    }
    RECT area{};
    GetClientRect(child, &area);
    for (LONG x = 0; x < area.right; x += kSweepStep) {
        for (LONG y = 0; y < area.bottom; y += kSweepStep) {
            // The taskbar is another process: a hung shell must not hold the keeper.
            DWORD_PTR ignored = 0;
            SendMessageTimeoutW(child, WM_MOUSEMOVE, 0, MAKELPARAM(x, y), SMTO_ABORTIFHUNG, 100,
                                &ignored);
        }
    }
    return TRUE;
}

}  // namespace

int32_t detectLanguage() {
    const char* locale = std::setlocale(LC_ALL, "");
    char name[kTextRoom] = {};
    safeCopyString(name, sizeof(name), locale != nullptr ? locale : "");
    std::unique_ptr<char, decltype(&std::free)> lower(toLowerCopy(name), &std::free);
    const char* lowerName = lower ? lower.get() : "";
    logNormal("Detect language: ", lowerName);
    const LanguageChoice choice = chooseLanguage(lowerName);
    logNormal(choice.label, choice.name);
    return choice.language;
}

void loadLanguageStrings() {
    const int32_t language = monitorState().currentLanguage.load();
    if (!isKnownLanguage(language)) {
        return;
    }
    TrayState& state = tray();
    std::lock_guard<std::mutex> guard(state.lock);
    for (int slot = 1; slot <= kSlotCount; ++slot) {
        const wchar_t* text = languageText(language, slot);
        std::wstring value = text != nullptr ? text : L"";
        if (value.size() > kTextRoom - 1) {
            value.resize(kTextRoom - 1);
        }
        state.slots[slot] = std::move(value);
    }
}

std::wstring slotText(int slot) {
    if (slot < 1 || slot > kSlotCount) {
        return L"";
    }
    TrayState& state = tray();
    std::lock_guard<std::mutex> guard(state.lock);
    return state.slots[slot];
}

void switchLanguage(int32_t language, int nameSlot) {
    monitorState().currentLanguage.store(language);
    loadLanguageStrings();
    showTrayBalloon(slotText(kSlotSwitchTo) + slotText(nameSlot));
}

bool addTrayIcon(HWND window) {
    TrayState& state = tray();
    NOTIFYICONDATAW copy{};
    {
        std::lock_guard<std::mutex> guard(state.lock);
        if (state.data.hIcon != nullptr) {
            DestroyIcon(state.data.hIcon);
        }
        clearRecord(state.data);
        state.data.hWnd = window;
        state.data.uID = 0;
        state.data.uCallbackMessage = kTrayCallbackMessage;
        state.data.hIcon = loadTrayIcon(kIconStartup);
        safeCopyWString(state.data.szTip, sizeof(state.data.szTip) / sizeof(wchar_t), kTrayTip);
        state.data.uFlags = kAddFlags;
        copy = state.data;
    }
    return Shell_NotifyIconW(NIM_ADD, &copy) != FALSE;
}

void readdTrayIcon() {
    NOTIFYICONDATAW copy = recordCopy();
    if (Shell_NotifyIconW(NIM_ADD, &copy) == FALSE) {
        logNormal("Add icon: ", "fail");
    }
}

void deleteTrayIcon() {
    TrayState& state = tray();
    NOTIFYICONDATAW copy{};
    {
        std::lock_guard<std::mutex> guard(state.lock);
        copy = state.data;
        clearRecord(state.data);
    }
    if (copy.hWnd != nullptr) {
        Shell_NotifyIconW(NIM_DELETE, &copy);
    }
    if (copy.hIcon != nullptr) {
        DestroyIcon(copy.hIcon);
    }
}

void showTrayBalloon(const std::wstring& text) {
    TrayState& state = tray();
    NOTIFYICONDATAW copy{};
    {
        std::lock_guard<std::mutex> guard(state.lock);
        copy = state.data;
        copy.uFlags = kBalloonFlags;
        safeCopyWString(copy.szInfo, sizeof(copy.szInfo) / sizeof(wchar_t), text.c_str());
        state.lastBalloon = copy.szInfo;
        ++state.balloonCount;
    }
    Shell_NotifyIconW(NIM_MODIFY, &copy);
}

void showRunningTrayState() {
    MonitorState& shared = monitorState();
    shared.mainRunning.store(1);
    setTrayImage(kIconRunning);
    if (shared.silentmode.load()) {
        return;
    }
    const bool restarted = shared.restartFlag.exchange(0) != 0;
    showTrayBalloon(stateBalloon(restarted ? kSlotRestarted : kSlotTurnedOn));
}

void showStoppedTrayState() {
    MonitorState& shared = monitorState();
    shared.mainRunning.store(0);
    setTrayImage(kIconStopped);
    if (!shared.silentmode.load() && shared.restartFlag.load() == 0) {
        showTrayBalloon(stateBalloon(kSlotTurnedOff));
    }
}

void cleanTrayIcons() {
    HWND pager = FindWindowW(L"Shell_TrayWnd", nullptr);
    if (pager != nullptr) {
        pager = FindWindowExW(pager, nullptr, L"TrayNotifyWnd", nullptr);
    }
    if (pager != nullptr) {
        pager = FindWindowExW(pager, nullptr, L"SysPager", nullptr);
    }
    if (pager != nullptr) {
        EnumChildWindows(pager, sweepTrayArea, 0);
    } else {
        logErrorInt("Get SysPager Error: ", static_cast<int32_t>(GetLastError()));
    }
    HWND overflow = FindWindowW(L"NotifyIconOverflowWindow", nullptr);
    if (overflow != nullptr) {
        EnumChildWindows(overflow, sweepTrayArea, 0);
    } else {
        logErrorInt("Get NotifyIconOverflowWindow Error: ", static_cast<int32_t>(GetLastError()));
    }
}

void showTrayMenu(HWND window) {
    const MonitorState& shared = monitorState();
    const std::vector<MenuEntry> entries =
        trayMenuEntries(shared.mainRunning.load() != 0, shared.currentLanguage.load(),
                        shared.debugMode.load() != 0, shared.silentmode.load());
    HMENU menu = CreatePopupMenu();
    HMENU languageMenu = CreatePopupMenu();
    HMENU logMenu = CreatePopupMenu();
    if (menu == nullptr || languageMenu == nullptr || logMenu == nullptr) {
        logErrorInt("Create menu fail: ", static_cast<int32_t>(GetLastError()));
        for (HMENU each : {menu, languageMenu, logMenu}) {
            if (each != nullptr) {
                DestroyMenu(each);
            }
        }
        return;
    }
    for (const MenuEntry& entry : entries) {
        const std::wstring text = slotText(entry.slot);
        const UINT flags = MF_STRING | (entry.checked ? MF_CHECKED : MF_UNCHECKED);
        switch (entry.place) {
            case MenuPlace::Main:
                AppendMenuW(menu, flags, entry.command, text.c_str());
                break;
            case MenuPlace::LanguageItem:
                AppendMenuW(languageMenu, flags, entry.command, text.c_str());
                break;
            case MenuPlace::LogItem:
                AppendMenuW(logMenu, flags, entry.command, text.c_str());
                break;
            case MenuPlace::LanguagePopup:
                AppendMenuW(menu, MF_POPUP, reinterpret_cast<UINT_PTR>(languageMenu), text.c_str());
                break;
            case MenuPlace::LogPopup:
                AppendMenuW(menu, MF_POPUP, reinterpret_cast<UINT_PTR>(logMenu), text.c_str());
                break;
        }
    }
    void (*hook)(HMENU) = nullptr;
    {
        TrayState& state = tray();
        std::lock_guard<std::mutex> guard(state.lock);
        hook = state.menuHook;
    }
    if (hook != nullptr) {
        hook(menu);
    }
    POINT cursor{};
    GetCursorPos(&cursor);
    SetForegroundWindow(window);
    TrackPopupMenu(menu, TPM_RIGHTALIGN, cursor.x, cursor.y, 0, window, nullptr);
    // Lets the menu close properly when the user clicks elsewhere.
    PostMessageW(window, WM_NULL, 0, 0);
    DestroyMenu(menu);  // the submenus with it
}

NOTIFYICONDATAW trayIconDataForTesting() {
    return recordCopy();
}

std::wstring lastBalloonForTesting() {
    TrayState& state = tray();
    std::lock_guard<std::mutex> guard(state.lock);
    return state.lastBalloon;
}

int balloonCountForTesting() {
    TrayState& state = tray();
    std::lock_guard<std::mutex> guard(state.lock);
    return state.balloonCount;
}

void resetBalloonsForTesting() {
    TrayState& state = tray();
    std::lock_guard<std::mutex> guard(state.lock);
    state.lastBalloon.clear();
    state.balloonCount = 0;
}

void setTrayMenuHookForTesting(void (*hook)(HMENU menu)) {
    TrayState& state = tray();
    std::lock_guard<std::mutex> guard(state.lock);
    state.menuHook = hook;
}
