// MonitorText: the tray program's interface texts in its four languages, the choice of language
// from the user's locale name, the tray menu layout and the About box text. Pure functions: no
// window and no system call, so tests can check every language without a desktop.
#ifndef QM_MONITOR_MONITORTEXT_H
#define QM_MONITOR_MONITORTEXT_H

#include <cstdint>
#include <string>
#include <vector>

// Interface language values (also the menu's check marks).
inline constexpr int32_t kLanguageTradChinese = 1;
inline constexpr int32_t kLanguageEnglish = 2;
inline constexpr int32_t kLanguageJapanese = 4;
inline constexpr int32_t kLanguageSimpChinese = 8;

// Text slots, numbered 1 to 27 (21 and 25 unused).
enum TextSlot : int {
    kSlotAboutShort = 1,
    kSlotTurnedOn = 2,
    kSlotTurnedOff = 3,
    kSlotStartLogging = 4,
    kSlotStopLogging = 5,
    kSlotStart = 6,
    kSlotStop = 7,
    kSlotRestart = 8,
    kSlotAbout = 9,
    kSlotLogMenu = 10,
    kSlotLanguageMenu = 11,
    kSlotQuit = 12,
    kSlotTradChinese = 13,
    kSlotEnglish = 14,
    kSlotJapanese = 15,
    kSlotSimpChinese = 16,
    kSlotSystemHint = 17,
    kSlotScreenshots = 18,
    kSlotScreenshotSaved = 19,
    kSlotRestarted = 20,
    kSlotScreenshotFailed = 21,
    kSlotDebugOff = 22,
    kSlotDebugOn = 23,
    kSlotVersion = 24,
    kSlotSwitchTo = 26,
    kSlotAboutLong = 27,
};
inline constexpr int kSlotCount = 27;

// Room of every slot buffer, in wide characters (texts are cut to 511).
inline constexpr size_t kTextRoom = 512;

// The text of a slot in a language; null for an unknown language or an unused slot.
const wchar_t* languageText(int32_t language, int slot);

// True for 1, 2, 4 and 8.
bool isKnownLanguage(int32_t language);

// The language a lower-cased locale name ("chinese (traditional)_taiwan.950") stands for, with
// the log line's label and value ("Language: " / "Language (default): ", "Language_English").
struct LanguageChoice {
    int32_t language;
    const char* label;
    const char* name;
};
LanguageChoice chooseLanguage(const char* lowerLocaleName);

// True when text has at least 2 characters and begins with "ja". Null logs the parameter
// warning ("inputMainString", "Tool", 1946) and gives false.
bool isJapaneseLocale(const char* text);

// Tray menu command identifiers.
inline constexpr uint32_t kMenuStop = 61001;
inline constexpr uint32_t kMenuStart = 61002;
inline constexpr uint32_t kMenuRestart = 61003;
inline constexpr uint32_t kMenuAbout = 61004;
inline constexpr uint32_t kMenuLogOn = 61005;
inline constexpr uint32_t kMenuLogOff = 61006;
inline constexpr uint32_t kMenuLanguageTradChinese = 61007;
inline constexpr uint32_t kMenuLanguageEnglish = 61008;
inline constexpr uint32_t kMenuLanguageSimpChinese = 61010;
inline constexpr uint32_t kMenuSystemHint = 61011;
inline constexpr uint32_t kMenuLanguageJapanese = 61013;
inline constexpr uint32_t kMenuQuit = 40003;

// Where an entry of the tray menu goes.
enum class MenuPlace : uint8_t {
    Main,           // an item of the popup menu itself
    LanguagePopup,  // the Language submenu's place in the main menu (title slot)
    LogPopup,       // the Log submenu's place in the main menu (title slot)
    LanguageItem,   // an item of the Language submenu
    LogItem,        // an item of the Log submenu
};
struct MenuEntry {
    MenuPlace place;
    uint32_t command;  // 0 for the two popups
    int slot;
    bool checked;
};
// The tray menu for the given state, in display order (submenu items in their own order).
std::vector<MenuEntry> trayMenuEntries(bool mainRunning, int32_t language, bool debugMode,
                                       bool silentMode);

// The language and name slot of a language command, false for other commands.
bool languageOfCommand(uint32_t command, int32_t& language, int& nameSlot);

// Versions and names shown in the About box.
inline constexpr char kQuillmarkName[] = "OqtQuillmark";
inline constexpr char kServerVersion[] = "1.0.22.0303";
inline constexpr char kMonitorVersion[] = "1.0.20.0309";
inline constexpr char kPublisherName[] = "Oqt Technologies";

// The About template with "=QuillmarkName=", "=ServerVersion=", "=MonitorVersion=",
// "=Publisher=" and then "=InstallerVersion=" (componentList) replaced, in that order; each
// step's result cut to 511 characters, as the box's 512-character buffer holds it.
std::wstring fillAboutText(const std::wstring& aboutTemplate, const std::wstring& componentList);

// Every occurrence of find replaced, left to right without overlap; an empty find gives text.
std::wstring replaceAllWide(const std::wstring& text, const std::wstring& find,
                            const std::wstring& replacement);

// One component line of the About box: "<name> <versionLabel><version> \n".
std::wstring componentLine(const std::wstring& name, const std::wstring& versionLabel,
                           const std::wstring& version);

// True when path has at least 15 characters and ends with "DisplayName.txt" (with case).
bool isDisplayNameFile(const char* path);

#endif  // QM_MONITOR_MONITORTEXT_H
