// The language table, the menu layout and the About text of the tray program.
#include "monitor/MonitorText.h"

#include <cstring>

#include "common/Log.h"

namespace {

// Columns: traditional Chinese, English, Japanese, simplified Chinese. Row 0 and the unused
// slot 25 are empty.
struct TextRow {
    const wchar_t* texts[4];
};

constexpr TextRow kTexts[kSlotCount + 1] = {
    {{nullptr, nullptr, nullptr, nullptr}},
    // 1: the About box while logging was not switched on in this run.
    {{L"=QuillmarkName=\n發行者：=Publisher=\n\n=InstallerVersion=",
      L"=QuillmarkName=\nPublisher: =Publisher=\n\n=InstallerVersion=",
      L"=QuillmarkName=\n発行元：=Publisher=\n\n=InstallerVersion=",
      L"=QuillmarkName=\n发行者：=Publisher=\n\n=InstallerVersion="}},
    {{L"已啟動", L"turned on", L"起動している", L"已启动"}},
    {{L"已關閉", L"turned off", L"停止している", L"已关闭"}},
    {{L"開啟記錄功能", L"Start logging", L"ログ機能を起動する", L"开启记录功能"}},
    {{L"關閉記錄功能", L"Stop logging", L"ログ機能を停止する", L"关闭记录功能"}},
    {{L"啟動", L"Start", L"起動する", L"启动"}},
    {{L"停止", L"Stop", L"停止する", L"停止"}},
    {{L"重新啟動", L"Restart", L"再起動する", L"重新启动"}},
    {{L"關於", L"About", L"バージョン情報", L"关于"}},
    {{L"紀錄", L"Log", L"ログ", L"纪录"}},
    {{L"語言", L"Language", L"語言", L"語言"}},
    {{L"離開", L"Quit", L"中止", L"退出"}},
    {{L"繁體中文", L"TradChinese", L"繁体字中国語", L"繁体中文"}},
    {{L"英文", L"English", L"英語", L"英文"}},
    {{L"日文", L"Japanese", L"日本語", L"日文"}},
    {{L"簡體中文", L"SimpChinese", L"簡体字中国語", L"简体中文"}},
    {{L"系統提示", L"System hint", L"システムメッセージ", L"系统提示"}},
    {{L"螢幕截圖", L"Screenshots", L"スクリーンショット", L"萤幕截图"}},
    {{L"已成功輸出 ==FileName== 至桌面", L"Output ==FileName== to desktop success",
      L"デスクトップに ==FileName== を出力完了", L"已成功輸出 ==FileName== 至桌面"}},
    {{L"已重新啟動", L"already restarted", L"再起動している", L"已重新启动"}},
    {{L"螢幕截圖儲存失敗", L"Screenshot not saved", L"スクリーンショットを保存できませんでした",
      L"萤幕截图保存失败"}},
    {{L"關閉除錯模式", L"Turn off debug mode", L"デバッグモードを停止する", L"关闭除错模式"}},
    {{L"開啟除錯模式", L"Turn on debug mode", L"デバッグモードを起動する", L"开启除错模式"}},
    {{L"版本：", L"Version:", L"バージョン：", L"版本："}},
    {{nullptr, nullptr, nullptr, nullptr}},
    {{L"切換至", L"Switch to", L"に切り替え", L"切换至"}},
    // 27: the About box once logging was switched on in this run: the versions as well.
    {{L"=QuillmarkName=\n服務版本：=ServerVersion=\n監控程式版本：=MonitorVersion=\n"
      L"發行者：=Publisher=\n\n=InstallerVersion=",
      L"=QuillmarkName=\nService version: =ServerVersion=\nMonitor version: =MonitorVersion=\n"
      L"Publisher: =Publisher=\n\n=InstallerVersion=",
      L"=QuillmarkName=\nサービスのバージョン：=ServerVersion=\n"
      L"モニターのバージョン：=MonitorVersion=\n発行元：=Publisher=\n\n=InstallerVersion=",
      L"=QuillmarkName=\n服务版本：=ServerVersion=\n监控程序版本：=MonitorVersion=\n"
      L"发行者：=Publisher=\n\n=InstallerVersion="}},
};

int languageColumn(int32_t language) {
    switch (language) {
        case kLanguageTradChinese:
            return 0;
        case kLanguageEnglish:
            return 1;
        case kLanguageJapanese:
            return 2;
        case kLanguageSimpChinese:
            return 3;
        default:
            return -1;
    }
}

struct LanguageCommand {
    uint32_t command;
    int32_t language;
    int nameSlot;
};
constexpr LanguageCommand kLanguageCommands[] = {
    {kMenuLanguageTradChinese, kLanguageTradChinese, kSlotTradChinese},
    {kMenuLanguageEnglish, kLanguageEnglish, kSlotEnglish},
    {kMenuLanguageJapanese, kLanguageJapanese, kSlotJapanese},
    {kMenuLanguageSimpChinese, kLanguageSimpChinese, kSlotSimpChinese},
};

std::wstring cut511(std::wstring text) {
    if (text.size() > kTextRoom - 1) {
        text.resize(kTextRoom - 1);
    }
    return text;
}

std::wstring wideOfAscii(const char* text) {
    return std::wstring(text, text + std::strlen(text));
}

}  // namespace

const wchar_t* languageText(int32_t language, int slot) {
    const int column = languageColumn(language);
    if (column < 0 || slot < 1 || slot > kSlotCount) {
        return nullptr;
    }
    return kTexts[slot].texts[column];
}

bool isKnownLanguage(int32_t language) {
    return languageColumn(language) >= 0;
}

bool isJapaneseLocale(const char* text) {
    if (text == nullptr) {
        qm::logNullParameter("inputMainString", "Tool", 1946);
        return false;
    }
    return std::strlen(text) >= 2 && text[0] == 'j' && text[1] == 'a';
}

LanguageChoice chooseLanguage(const char* lowerLocaleName) {
    const char* name = lowerLocaleName != nullptr ? lowerLocaleName : "";
    if (std::strstr(name, "chinese") != nullptr) {
        if (std::strstr(name, "simplified") != nullptr) {
            return {kLanguageSimpChinese, "Language: ", "Language_SimpChinese"};
        }
        return {kLanguageTradChinese, "Language: ", "Language_TradChinese"};
    }
    if (std::strstr(name, "english") != nullptr) {
        return {kLanguageEnglish, "Language: ", "Language_English"};
    }
    if (isJapaneseLocale(name)) {
        return {kLanguageJapanese, "Language: ", "Language_Japan"};
    }
    return {kLanguageEnglish, "Language (default): ", "Language_English"};
}

std::vector<MenuEntry> trayMenuEntries(bool mainRunning, int32_t language, bool debugMode,
                                       bool silentMode) {
    std::vector<MenuEntry> entries;
    if (mainRunning) {
        entries.push_back({MenuPlace::Main, kMenuStop, kSlotStop, false});
        entries.push_back({MenuPlace::Main, kMenuRestart, kSlotRestart, false});
    } else {
        entries.push_back({MenuPlace::Main, kMenuStart, kSlotStart, false});
    }
    for (const LanguageCommand& row : kLanguageCommands) {
        entries.push_back(
            {MenuPlace::LanguageItem, row.command, row.nameSlot, row.language == language});
    }
    entries.push_back({MenuPlace::LanguagePopup, 0, kSlotLanguageMenu, false});
    entries.push_back({MenuPlace::LogItem, kMenuLogOn, kSlotStartLogging, debugMode});
    entries.push_back({MenuPlace::LogItem, kMenuLogOff, kSlotStopLogging, !debugMode});
    entries.push_back({MenuPlace::LogPopup, 0, kSlotLogMenu, false});
    entries.push_back({MenuPlace::Main, kMenuSystemHint, kSlotSystemHint, !silentMode});
    entries.push_back({MenuPlace::Main, kMenuAbout, kSlotAbout, false});
    entries.push_back({MenuPlace::Main, kMenuQuit, kSlotQuit, false});
    return entries;
}

bool languageOfCommand(uint32_t command, int32_t& language, int& nameSlot) {
    for (const LanguageCommand& row : kLanguageCommands) {
        if (row.command == command) {
            language = row.language;
            nameSlot = row.nameSlot;
            return true;
        }
    }
    return false;
}

std::wstring replaceAllWide(const std::wstring& text, const std::wstring& find,
                            const std::wstring& replacement) {
    if (find.empty()) {
        return text;
    }
    std::wstring result;
    size_t from = 0;
    for (size_t at = text.find(find); at != std::wstring::npos; at = text.find(find, from)) {
        result.append(text, from, at - from);
        result.append(replacement);
        from = at + find.size();
    }
    result.append(text, from, std::wstring::npos);
    return result;
}

std::wstring fillAboutText(const std::wstring& aboutTemplate, const std::wstring& componentList) {
    struct Placeholder {
        const wchar_t* find;
        std::wstring value;
    };
    const Placeholder placeholders[] = {
        {L"=QuillmarkName=", wideOfAscii(kQuillmarkName)},
        {L"=ServerVersion=", wideOfAscii(kServerVersion)},
        {L"=MonitorVersion=", wideOfAscii(kMonitorVersion)},
        {L"=Publisher=", wideOfAscii(kPublisherName)},
        {L"=InstallerVersion=", componentList},
    };
    std::wstring text = cut511(aboutTemplate);
    for (const Placeholder& placeholder : placeholders) {
        text = cut511(replaceAllWide(text, placeholder.find, placeholder.value));
    }
    return text;
}

std::wstring componentLine(const std::wstring& name, const std::wstring& versionLabel,
                           const std::wstring& version) {
    return cut511(name + L" " + versionLabel + version + L" \n");
}

bool isDisplayNameFile(const char* path) {
    static constexpr char kSuffix[] = "DisplayName.txt";
    constexpr size_t kSuffixLength = sizeof(kSuffix) - 1;
    if (path == nullptr) {
        return false;
    }
    const size_t length = std::strlen(path);
    return length >= kSuffixLength &&
           std::memcmp(path + length - kSuffixLength, kSuffix, kSuffixLength) == 0;
}
