// The tray program's pure parts: language choice and texts, menu layout, About text, settings
// text, log settings text and the key-sequence matcher.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <deque>
#include <string>

#include "monitor/MonitorConfig.h"
#include "monitor/MonitorText.h"
#include "monitor/QuillmarkCheatCode.h"
#include "support/LogCapture.h"

using ::testing::ElementsAre;

namespace {

TEST(MonitorLanguageTest, LocaleNamesGiveTheirLanguage) {
    struct Case {
        const char* name;
        const char* locale;  // lower-cased, as detectLanguage passes it
        int32_t language;
        const char* label;
        const char* value;
    };
    const Case cases[] = {
        {"simplified", "chinese (simplified)_china.936", kLanguageSimpChinese,
         "Language: ", "Language_SimpChinese"},
        {"traditional", "chinese (traditional)_taiwan.950", kLanguageTradChinese,
         "Language: ", "Language_TradChinese"},
        {"english", "english_united states.1252", kLanguageEnglish,
         "Language: ", "Language_English"},
        {"japanese", "japanese_japan.932", kLanguageJapanese, "Language: ", "Language_Japan"},
        {"german", "german_germany.1252", kLanguageEnglish,
         "Language (default): ", "Language_English"},
        {"c locale", "c", kLanguageEnglish, "Language (default): ", "Language_English"},
        {"empty", "", kLanguageEnglish, "Language (default): ", "Language_English"},
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(row.name);
        const LanguageChoice choice = chooseLanguage(row.locale);
        EXPECT_EQ(choice.language, row.language);
        EXPECT_STREQ(choice.label, row.label);
        EXPECT_STREQ(choice.name, row.value);
    }
}

TEST(MonitorLanguageTest, JapaneseLocaleTestNeedsTwoCharacters) {
    LogCapture log;
    EXPECT_TRUE(isJapaneseLocale("ja"));
    EXPECT_TRUE(isJapaneseLocale("ja_jp"));
    EXPECT_FALSE(isJapaneseLocale("j"));
    EXPECT_FALSE(isJapaneseLocale("JA"));
    EXPECT_FALSE(isJapaneseLocale(nullptr));
    EXPECT_TRUE(log.contains("Parameter inputMainString is null at Tool 1946"));
}

TEST(MonitorLanguageTest, EveryLanguageHasEveryUsedSlot) {
    for (int32_t language :
         {kLanguageTradChinese, kLanguageEnglish, kLanguageJapanese, kLanguageSimpChinese}) {
        for (int slot = 1; slot <= kSlotCount; ++slot) {
            SCOPED_TRACE(std::to_string(language) + "/" + std::to_string(slot));
            const wchar_t* text = languageText(language, slot);
            if (slot == 25) {
                EXPECT_EQ(text, nullptr);
                continue;
            }
            ASSERT_NE(text, nullptr);
            EXPECT_NE(text[0], L'\0');
        }
    }
    EXPECT_EQ(languageText(3, kSlotStart), nullptr);
    EXPECT_EQ(languageText(kLanguageEnglish, 0), nullptr);
    EXPECT_EQ(languageText(kLanguageEnglish, 28), nullptr);
}

TEST(MonitorLanguageTest, TextsThatOtherPartsOfTheProgramRelyOn) {
    EXPECT_STREQ(languageText(kLanguageEnglish, kSlotSwitchTo), L"Switch to");
    EXPECT_STREQ(languageText(kLanguageEnglish, kSlotScreenshotSaved),
                 L"Output ==FileName== to desktop success");
    // Simplified Chinese keeps the traditional text of the screenshot balloon, and the language
    // submenu title is the traditional word in every language but English.
    EXPECT_STREQ(languageText(kLanguageSimpChinese, kSlotScreenshotSaved),
                 languageText(kLanguageTradChinese, kSlotScreenshotSaved));
    EXPECT_STREQ(languageText(kLanguageJapanese, kSlotLanguageMenu), L"語言");
    EXPECT_STREQ(languageText(kLanguageTradChinese, kSlotVersion), L"版本：");
    for (int32_t language :
         {kLanguageTradChinese, kLanguageEnglish, kLanguageJapanese, kLanguageSimpChinese}) {
        const std::wstring longText = languageText(language, kSlotAboutLong);
        const std::wstring shortText = languageText(language, kSlotAboutShort);
        EXPECT_NE(longText.find(L"=ServerVersion="), std::wstring::npos);
        EXPECT_NE(longText.find(L"=MonitorVersion="), std::wstring::npos);
        EXPECT_EQ(shortText.find(L"=ServerVersion="), std::wstring::npos);
        EXPECT_NE(shortText.find(L"=InstallerVersion="), std::wstring::npos);
    }
}

TEST(MonitorLanguageTest, LanguageCommandsNameTheirSlot) {
    struct Case {
        uint32_t command;
        int32_t language;
        int slot;
    };
    const Case cases[] = {
        {kMenuLanguageTradChinese, kLanguageTradChinese, kSlotTradChinese},
        {kMenuLanguageEnglish, kLanguageEnglish, kSlotEnglish},
        {kMenuLanguageJapanese, kLanguageJapanese, kSlotJapanese},
        {kMenuLanguageSimpChinese, kLanguageSimpChinese, kSlotSimpChinese},
    };
    for (const Case& row : cases) {
        int32_t language = 0;
        int slot = 0;
        ASSERT_TRUE(languageOfCommand(row.command, language, slot));
        EXPECT_EQ(language, row.language);
        EXPECT_EQ(slot, row.slot);
    }
    int32_t language = 0;
    int slot = 0;
    EXPECT_FALSE(languageOfCommand(kMenuAbout, language, slot));
}

std::vector<std::string> describe(const std::vector<MenuEntry>& entries) {
    std::vector<std::string> lines;
    for (const MenuEntry& entry : entries) {
        const char* place = "";
        switch (entry.place) {
            case MenuPlace::Main:
                place = "main";
                break;
            case MenuPlace::LanguagePopup:
                place = "language-popup";
                break;
            case MenuPlace::LogPopup:
                place = "log-popup";
                break;
            case MenuPlace::LanguageItem:
                place = "language";
                break;
            case MenuPlace::LogItem:
                place = "log";
                break;
        }
        lines.push_back(std::string(place) + " " + std::to_string(entry.command) + " " +
                        std::to_string(entry.slot) + (entry.checked ? " checked" : ""));
    }
    return lines;
}

TEST(MonitorMenuTest, StoppedMainProgramOffersStart) {
    EXPECT_THAT(describe(trayMenuEntries(false, kLanguageEnglish, true, false)),
                ElementsAre("main 61002 6", "language 61007 13", "language 61008 14 checked",
                            "language 61013 15", "language 61010 16", "language-popup 0 11",
                            "log 61005 4 checked", "log 61006 5", "log-popup 0 10",
                            "main 61011 17 checked", "main 61004 9", "main 40003 12"));
}

TEST(MonitorMenuTest, RunningMainProgramOffersStopAndRestart) {
    EXPECT_THAT(describe(trayMenuEntries(true, kLanguageSimpChinese, false, true)),
                ElementsAre("main 61001 7", "main 61003 8", "language 61007 13",
                            "language 61008 14", "language 61013 15", "language 61010 16 checked",
                            "language-popup 0 11", "log 61005 4", "log 61006 5 checked",
                            "log-popup 0 10", "main 61011 17", "main 61004 9", "main 40003 12"));
}

TEST(MonitorAboutTextTest, PlaceholdersAreReplacedInOrder) {
    EXPECT_EQ(fillAboutText(L"=QuillmarkName= =ServerVersion= =MonitorVersion= =Publisher= "
                            L"=InstallerVersion=|=QuillmarkName=",
                            L"Comp Version:1 \n"),
              L"OqtQuillmark 1.0.22.0303 1.0.20.0309 Oqt Technologies Comp Version:1 \n|"
              L"OqtQuillmark");
    // A component list that spells a placeholder is not replaced again: it comes last.
    EXPECT_EQ(fillAboutText(L"=InstallerVersion=", L"=Publisher="), L"=Publisher=");
}

TEST(MonitorAboutTextTest, LongTextsAreCutTo511Characters) {
    const std::wstring list(600, L'x');
    EXPECT_EQ(fillAboutText(L"=InstallerVersion=", list).size(), 511U);
    EXPECT_EQ(componentLine(std::wstring(600, L'n'), L"Version:", L"1").size(), 511U);
}

TEST(MonitorAboutTextTest, ReplaceAllWide) {
    struct Case {
        const char* name;
        const wchar_t* text;
        const wchar_t* find;
        const wchar_t* replacement;
        const wchar_t* expected;
    };
    const Case cases[] = {
        {"no overlap", L"aaaa", L"aa", L"b", L"bb"},
        {"empty find", L"abc", L"", L"x", L"abc"},
        {"longer", L"a=x=b", L"=x=", L"==FileName==", L"a==FileName==b"},
        {"none", L"abc", L"z", L"y", L"abc"},
        {"to empty", L"DisplayName.txt", L"DisplayName.txt", L"", L""},
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(replaceAllWide(row.text, row.find, row.replacement), row.expected);
    }
}

TEST(MonitorAboutTextTest, ComponentLineAndDisplayNameFiles) {
    EXPECT_EQ(componentLine(L"Reader", L"Version:", L"2.1"), L"Reader Version:2.1 \n");
    EXPECT_EQ(componentLine(L"Reader", L"Version:", L""), L"Reader Version: \n");
    EXPECT_TRUE(isDisplayNameFile("DisplayName.txt"));
    EXPECT_TRUE(isDisplayNameFile("C:\\data\\GPKIDisplayName.txt"));
    EXPECT_FALSE(isDisplayNameFile("C:\\data\\displayname.txt"));
    EXPECT_FALSE(isDisplayNameFile("DisplayName.txt.bak"));
    EXPECT_FALSE(isDisplayNameFile("Name.txt"));
    EXPECT_FALSE(isDisplayNameFile(nullptr));
}

TEST(MonitorConfigTest, TextOfTheSettings) {
    MonitorConfig config;
    EXPECT_EQ(buildMonitorConfigText(config),
              "isScreenShot=false\nsilentmode=false\nautocheckupdate=true\n");
    config.isScreenShot = true;
    config.silentmode = true;
    config.autocheckupdate = false;
    EXPECT_EQ(buildMonitorConfigText(config),
              "isScreenShot=true\nsilentmode=true\nautocheckupdate=false\n");
}

TEST(MonitorConfigTest, ReadingTheSettings) {
    struct Case {
        const char* name;
        const char* text;
        bool rewrite;
        bool isScreenShot;
        bool silentmode;
        bool autocheckupdate;
    };
    const Case cases[] = {
        {"missing", nullptr, true, false, false, true},
        {"empty", "", true, false, false, true},
        {"all set", "isScreenShot=true\nsilentmode=true\nautocheckupdate=false\n", false, true,
         true, false},
        {"only the first key", "isScreenShot=true", true, true, false, true},
        {"false wins",
         "silentmode=true\nsilentmode=false\nisScreenShot=false\n"
         "autocheckupdate=true",
         false, false, false, true},
        {"case-sensitive", "ISSCREENSHOT=TRUE\nsilentmode=true\nautocheckupdate=true", true, false,
         true, true},
        {"later key kept", "isScreenShot=true\nautocheckupdate=false", true, true, false, false},
        {"anywhere in the text", "xxisScreenShot=trueyy silentmode=false autocheckupdate=true",
         false, true, false, true},
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(row.name);
        MonitorConfig config;
        EXPECT_EQ(applyMonitorConfigText(row.text, config), row.rewrite);
        EXPECT_EQ(config.isScreenShot, row.isScreenShot);
        EXPECT_EQ(config.silentmode, row.silentmode);
        EXPECT_EQ(config.autocheckupdate, row.autocheckupdate);
    }
}

TEST(MonitorLogIniTest, SettingsText) {
    EXPECT_EQ(buildLogIniText("C:\\users\\root\\Desktop"),
              "[OqtQuillmark]\nLog File=C:\\users\\root\\Desktop\\QuillmarkLog\\OqtQuillmark.txt\n"
              "Log Level=5");
    EXPECT_EQ(buildLogIniText(nullptr), "[OqtQuillmark]\nLog Level=5");
    EXPECT_EQ(buildLogIniText(""), "[OqtQuillmark]\nLog Level=5");
    EXPECT_EQ(buildLogIniText(std::string(600, 'd').c_str()).size(), 511U);
}

std::vector<std::unique_ptr<CheatCodeRecord>> recordsOf(
    const std::vector<std::vector<int32_t>>& sequences) {
    std::vector<std::unique_ptr<CheatCodeRecord>> records;
    for (const std::vector<int32_t>& sequence : sequences) {
        records.push_back(initCheatCode(sequence.data(), static_cast<int32_t>(sequence.size())));
    }
    return records;
}

const CheatCodeRecord* typeKeys(std::deque<int32_t>& history, const std::vector<int32_t>& keys,
                                const std::vector<std::unique_ptr<CheatCodeRecord>>& records) {
    const CheatCodeRecord* match = nullptr;
    for (int32_t key : keys) {
        match = pushKeyAndMatch(history, key, records);
        if (match != nullptr) {
            return match;
        }
    }
    return match;
}

TEST(CheatCodeTest, RegisteredSequencesFitTheirRooms) {
    const std::vector<std::vector<int32_t>> sequences = cheatCodeSequences();
    ASSERT_EQ(sequences.size(), 3U);
    EXPECT_EQ(sequences[0].size(), 13U);
    EXPECT_EQ(sequences[1].size(), 7U);
    EXPECT_EQ(sequences[2].size(), 11U);
    for (const std::vector<int32_t>& sequence : sequences) {
        for (int32_t code : sequence) {
            EXPECT_GE(code, 1);
            EXPECT_LE(code, 254);
        }
    }
}

TEST(CheatCodeTest, InitCopiesUpToZeroAndRejectsLongInput) {
    LogCapture log;
    const int32_t withZero[] = {0x41, 0x42, 0, 0x43};
    std::unique_ptr<CheatCodeRecord> record = initCheatCode(withZero, 4);
    ASSERT_TRUE(record);
    EXPECT_EQ(record->count, 2);
    EXPECT_NE(record->callback, nullptr);

    std::vector<int32_t> longest(63, 0x41);
    ASSERT_TRUE(initCheatCode(longest.data(), 63));
    std::vector<int32_t> tooLong(64, 0x41);
    EXPECT_FALSE(initCheatCode(tooLong.data(), 64));
    EXPECT_TRUE(log.contains(" Init cheat code error, input too long"));

    EXPECT_FALSE(initCheatCode(nullptr, 3));
    EXPECT_TRUE(log.contains("Parameter inputCheatCode is null at QuillmarkCheatCode 23"));
}

TEST(CheatCodeTest, MatchUsesTheTailOfTheHistory) {
    const auto records = recordsOf({{1, 2, 3}, {7, 8}});
    std::deque<int32_t> history;
    // Noise before the sequence: only the last keys count.
    EXPECT_EQ(typeKeys(history, {9, 9, 1, 9, 1, 2, 3}, records), records[0].get());
    EXPECT_TRUE(history.empty());
    EXPECT_EQ(typeKeys(history, {1, 2, 4}, records), nullptr);
    EXPECT_EQ(typeKeys(history, {7, 8}, records), records[1].get());
}

TEST(CheatCodeTest, HistoryKeepsSixteenKeys) {
    const auto records = recordsOf(cheatCodeSequences());
    std::deque<int32_t> history;
    EXPECT_EQ(typeKeys(history, std::vector<int32_t>(40, 0x5A), records), nullptr);
    EXPECT_EQ(history.size(), 16U);
    for (size_t index = 0; index < records.size(); ++index) {
        SCOPED_TRACE(index);
        const std::vector<int32_t> sequence = cheatCodeSequences()[index];
        EXPECT_EQ(typeKeys(history, sequence, records), records[index].get());
    }
}

TEST(CheatCodeTest, MatchClearsTheHistoryForLaterRecords) {
    // Both records end with the same keys: the first one registered wins and clears the history.
    const auto records = recordsOf({{5, 6}, {6}});
    std::deque<int32_t> history;
    EXPECT_EQ(pushKeyAndMatch(history, 5, records), nullptr);
    EXPECT_EQ(pushKeyAndMatch(history, 6, records), records[0].get());
    EXPECT_EQ(pushKeyAndMatch(history, 6, records), records[1].get());
}

}  // namespace
