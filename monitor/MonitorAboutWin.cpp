// The About box and the component search.
#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "common/Log.h"
#include "common/Tool.h"
#include "monitor/MonitorAbout.h"
#include "monitor/MonitorState.h"
#include "monitor/MonitorText.h"
#include "monitor/MonitorTray.h"
#include "monitor/QuillmarkCheatCode.h"

namespace {

constexpr size_t kFileTextRoom = 512;
constexpr UINT kAboutStyle = MB_USERICON | MB_SETFOREGROUND;  // 0x10080
constexpr int kAboutIcon = 101;

// Only the main thread (start-up, menu, About box) touches the list.
std::wstring gComponentList;

using FreeText = std::unique_ptr<char, decltype(&std::free)>;

// The whole file cut to 511 bytes; "" when it cannot be read.
std::string readComponentFile(const std::wstring& path) {
    FreeText text(readTextFile(path.c_str()), &std::free);
    if (!text) {
        return std::string();
    }
    char buffer[kFileTextRoom] = {};
    safeCopyString(buffer, sizeof(buffer), text.get());
    SecureZeroMemory(text.get(), std::strlen(text.get()));
    return std::string(buffer);
}

std::wstring wideOf(unsigned codePage, const std::string& text) {
    if (text.empty()) {
        return std::wstring();
    }
    const int length =
        MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    if (length <= 0) {
        return std::wstring();
    }
    std::wstring wide(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), wide.data(),
                        length);
    return wide;
}

std::string utf8Of(const std::wstring& text) {
    FreeText narrow(bstrToUtf8(text.c_str()), &std::free);
    return narrow ? std::string(narrow.get()) : std::string();
}

std::wstring currentAboutText() {
    const int slot = monitorState().debugSwitchedOn.load() == 1 ? kSlotAboutLong : kSlotAboutShort;
    gComponentList.clear();
    std::unique_ptr<wchar_t, decltype(&std::free)> folder(getCopyPath("OqtQuillmark"), &std::free);
    if (folder) {
        monitorState().dataFolder = folder.get();
    }
    scanInstalledComponents(folder.get());
    return fillAboutText(slotText(slot), gComponentList);
}

}  // namespace

void scanInstalledComponents(const wchar_t* folder) {
    if (folder == nullptr) {
        qm::logNullParameter("dirn", "QuillmarkMonitor", 365);
        return;
    }
    if (!gComponentList.empty()) {
        return;
    }
    const std::wstring pattern = std::wstring(folder) + L"\\*";
    WIN32_FIND_DATAW entry{};
    HANDLE search = FindFirstFileW(pattern.c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE) {
        return;
    }
    do {
        const std::wstring name = entry.cFileName;
        if (name == L"." || name == L"..") {
            continue;
        }
        std::wstring path = std::wstring(folder) + L"\\" + name;
        if (path.size() > kFileTextRoom - 1) {
            path.resize(kFileTextRoom - 1);
        }
        if (isDisplayNameFile(utf8Of(path).c_str())) {
            appendComponentVersion(path.c_str());
        }
        if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            scanInstalledComponents(path.c_str());
        }
    } while (FindNextFileW(search, &entry));
    FindClose(search);
}

void appendComponentVersion(const wchar_t* displayNamePath) {
    if (displayNamePath == nullptr) {
        return;
    }
    const std::wstring namePath = displayNamePath;
    const std::wstring versionPath = replaceAllWide(namePath, L"DisplayName.txt", L"Version.txt");
    const std::wstring name = wideOf(kComponentCodePage, readComponentFile(namePath));
    const std::wstring version = wideOf(kComponentCodePage, readComponentFile(versionPath));
    const std::wstring line = componentLine(name, slotText(kSlotVersion), version);
    // A line cut in the middle would show a wrong version: only whole lines are listed.
    if (gComponentList.size() + line.size() <= kTextRoom - 1) {
        gComponentList += line;
    }
}

std::wstring componentListForTesting() {
    return gComponentList;
}

void clearComponentList() {
    gComponentList.clear();
}

std::wstring buildAboutTextForTesting() {
    return currentAboutText();
}

void ShowMonitorAbout() {
    MonitorState& shared = monitorState();
    uint8_t expected = 1;
    if (!shared.aboutClosed.compare_exchange_strong(expected, 0)) {
        return;
    }
    loadLanguageStrings();
    const std::wstring text = currentAboutText();
    setupCheatCodes();
    MSGBOXPARAMSW box{};
    box.cbSize = sizeof(box);
    box.hwndOwner = nullptr;
    box.hInstance = GetModuleHandleW(nullptr);
    box.lpszText = text.c_str();
    box.lpszCaption = kAboutCaption;
    box.dwStyle = kAboutStyle;
    box.lpszIcon = MAKEINTRESOURCEW(kAboutIcon);
    box.dwContextHelpId = 0;
    box.lpfnMsgBoxCallback = nullptr;
    box.dwLanguageId = LANG_NEUTRAL;
    MessageBoxIndirectW(&box);
    shared.aboutClosed.store(1);
}
