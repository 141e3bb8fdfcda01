// The worker's pieces in-process: mode selection, argument texts, uninstaller arguments, delete
// path kinds, the key-to-byte text and the file listing.
#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "worker/QuillmarkWorker.h"
#include "worker/WorkerFolder.h"

namespace {

struct ModeCase {
    const char* name;
    const char* text;
    WorkerMode mode;
};

TEST(WorkerModeTest, SelectsOneModeByWholeTextOrPrefix) {
    const ModeCase cases[] = {
        {"empty", "", WorkerMode::None},
        {"unknown", "-help", WorkerMode::None},
        {"stop", "-stop", WorkerMode::Stop},
        {"allstop", "-allstop", WorkerMode::AllStop},
        {"start upper case", "-START", WorkerMode::Start},
        {"start with blank", "-start ", WorkerMode::None},
        {"start with argument", "-start x", WorkerMode::None},
        {"restart", "-Restart", WorkerMode::Restart},
        {"monitorstart", "-monitorstart", WorkerMode::MonitorStart},
        {"reset", "-reset", WorkerMode::Reset},
        {"uninstalldetect", "-uninstalldetect a.exe b.exe", WorkerMode::UninstallDetect},
        {"uninstalldetect other case", "-UninstallDetect a.exe b.exe", WorkerMode::None},
        {"delete", "-delete C:\\x", WorkerMode::Delete},
        {"delete glued", "-deleteX", WorkerMode::Delete},
        {"delete other case", "-Delete x", WorkerMode::None},
        {"keytobyte", "-KeyToByte k.der", WorkerMode::KeyToByte},
        {"keytobyte lower case", "-keytobyte k.der", WorkerMode::None},
        {"watchdog", "-WATCHDOG", WorkerMode::Watchdog},
        {"import", "-importrootcacert", WorkerMode::ImportRootCACert},
    };
    for (const ModeCase& row : cases) {
        EXPECT_EQ(workerModeOf(row.text), row.mode) << row.name;
    }
    EXPECT_EQ(workerModeOf(nullptr), WorkerMode::None);
}

TEST(WorkerModeTest, OnlyTheSixControlModesTakeTheWorkerMutex) {
    for (WorkerMode mode : {WorkerMode::Stop, WorkerMode::AllStop, WorkerMode::Start,
                            WorkerMode::Restart, WorkerMode::MonitorStart, WorkerMode::Reset}) {
        EXPECT_TRUE(workerModeTakesMutex(mode));
    }
    for (WorkerMode mode :
         {WorkerMode::None, WorkerMode::UninstallDetect, WorkerMode::Delete, WorkerMode::KeyToByte,
          WorkerMode::Watchdog, WorkerMode::ImportRootCACert}) {
        EXPECT_FALSE(workerModeTakesMutex(mode));
    }
}

TEST(WorkerArgumentsTest, CommandLineLosesTheProgramName) {
    EXPECT_EQ(argumentTextOf(L"\"C:\\a b\\OqtQuillmarkWorker.exe\"  -delete \"C:\\x y\""),
              "-delete \"C:\\x y\"");
    EXPECT_EQ(argumentTextOf(L"OqtQuillmarkWorker.exe -start"), "-start");
    EXPECT_EQ(argumentTextOf(L"OqtQuillmarkWorker.exe"), "");
    EXPECT_EQ(argumentTextOf(L"w.exe -delete C:\\\u00e9t\u00e9"), "-delete C:\\\xc3\xa9t\xc3\xa9");
    EXPECT_EQ(argumentTextOf(nullptr), "");
}

TEST(WorkerArgumentsTest, PrefixModeArgumentsFollowTheFirstBlank) {
    EXPECT_EQ(prefixModeArguments("-delete C:\\a b"), "C:\\a b");
    EXPECT_EQ(prefixModeArguments("-delete"), "");
    EXPECT_EQ(prefixModeArguments(("-delete " + std::string(600, 'x')).c_str()).size(), 511u);
}

struct RegroupCase {
    const char* name;
    const char* arguments;
    size_t pieces;
    std::vector<std::string> groups;
};

TEST(WorkerArgumentsTest, UninstallerArgumentsRegroupAroundExePieces) {
    const RegroupCase cases[] = {
        {"none", "", 0, {}},
        {"plain pair", "C:\\p\\uninst.exe C:\\p\\x.exe", 2, {"C:\\p\\uninst.exe", "C:\\p\\x.exe"}},
        {"path with blanks",
         "C:\\Program Files\\Oqt Quillmark\\uninst.exe C:\\t\\Au_.exe",
         4,
         {"C:\\Program Files\\Oqt Quillmark\\uninst.exe", "C:\\t\\Au_.exe"}},
        {"extension in capitals",
         "C:\\Program Files\\Oqt\\UNINST.EXE C:\\t\\Au_.Exe",
         3,
         {"C:\\Program Files\\Oqt\\UNINST.EXE", "C:\\t\\Au_.Exe"}},
        {"runs of blanks", "  a.exe   b.exe  ", 2, {"a.exe", "b.exe"}},
        {"second without exe", "a.exe tail text", 3, {"a.exe", "tail text"}},
        {"three", "a.exe b.exe c.exe", 3, {"a.exe", "b.exe", "c.exe"}},
        {"one", "a.exe", 1, {"a.exe"}},
        {"too many pieces", "a b c d e f g h i j k l m n o p q.exe r.exe", 18, {}},
    };
    for (const RegroupCase& row : cases) {
        size_t pieces = 99;
        EXPECT_EQ(regroupUninstallArguments(row.arguments, pieces), row.groups) << row.name;
        EXPECT_EQ(pieces, row.pieces) << row.name;
    }
}

struct KindCase {
    const char* name;
    const wchar_t* path;
    DeletePathKind kind;
};

TEST(WorkerDeleteTest, PathKindFromTheLastSeparatorAndDot) {
    const KindCase cases[] = {
        {"file", L"C:\\a\\b.txt", DeletePathKind::File},
        {"dot in folder name", L"C:\\a.b\\c", DeletePathKind::Folder},
        {"slash folder", L"C:/a/b", DeletePathKind::Folder},
        {"trailing separator", L"C:\\a\\b.d\\", DeletePathKind::Folder},
        {"bare name", L"name", DeletePathKind::Bare},
        {"bare file", L"name.txt", DeletePathKind::File},
        {"empty", L"", DeletePathKind::Bare},
    };
    for (const KindCase& row : cases) {
        EXPECT_EQ(deletePathKindOf(row.path), row.kind) << row.name;
    }
}

struct KeyCase {
    const char* name;
    std::string bytes;
    const char* fileName;
    const char* text;
};

TEST(WorkerKeyToByteTest, DeclarationOfEveryByte) {
    const KeyCase cases[] = {
        {"ec", std::string("\x30\x82", 2), "key.der", "byte ECKey[] = { 0x30, 0x82};"},
        {"rsa", std::string("\x30\x82", 2), "key_RSA.der", "byte RSAKey[] = { 0x30, 0x82};"},
        {"rsa other case", std::string("\x01", 1), "key_rsa.der", "byte ECKey[] = { 0x1};"},
        {"empty", std::string(), "key_RSA.der", "};"},
        // Key files are binary: zero bytes and CR LF pairs are key data.
        {"zero and cr lf", std::string("\x02\x00\x0d\x0a\x1a\xff", 6), "k.der",
         "byte ECKey[] = { 0x2, 0x0, 0xD, 0xA, 0x1A, 0xFF};"},
    };
    for (const KeyCase& row : cases) {
        EXPECT_EQ(keyToByteText(row.bytes, row.fileName), row.text) << row.name;
    }
}

TEST(WorkerListTest, WholeTreeAndOnlyTheTopFolderForDlls) {
    WorkerFolder folder;
    std::wstring root = folder.file(L"tree");
    writeFile(root + L"\\a.dll", "x");
    writeFile(root + L"\\b.txt", "x");
    writeFile(root + L"\\sub\\c.dll", "x");
    writeFile(root + L"\\sub\\deeper\\d.dll", "x");
    writeFile(root + L"\\x.dll\\e.dll", "x");
    writeFile(root + L"\\nodll\\f.txt", "x");

    std::vector<std::wstring> total{L"stale"};
    ASSERT_TRUE(listFilesRecursive(root, L"*", total));
    std::sort(total.begin(), total.end());
    EXPECT_EQ(total, (std::vector<std::wstring>{root + L"\\a.dll", root + L"\\b.txt",
                                                root + L"\\nodll\\f.txt", root + L"\\sub\\c.dll",
                                                root + L"\\sub\\deeper\\d.dll",
                                                root + L"\\x.dll\\e.dll"}));

    std::vector<std::wstring> main;
    ASSERT_TRUE(listFilesRecursive(root, L"*.dll", main));
    std::sort(main.begin(), main.end());
    // A folder whose name matches is descended into; other sub-folders are not.
    EXPECT_EQ(main, (std::vector<std::wstring>{root + L"\\a.dll", root + L"\\x.dll\\e.dll"}));

    std::vector<std::wstring> none;
    EXPECT_FALSE(listFilesRecursive(root + L"\\nodll", L"*.dll", none));
    EXPECT_FALSE(listFilesRecursive(root + L"\\missing", L"*", none));
}

}  // namespace
