// Screenshots to the desktop.
#include <windows.h>

#include <gdiplus.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <vector>

#include "common/Log.h"
#include "common/Tool.h"
#include "monitor/MonitorScreenshot.h"
#include "monitor/MonitorState.h"
#include "monitor/MonitorText.h"
#include "monitor/MonitorTool.h"
#include "monitor/MonitorTray.h"

namespace {

constexpr DWORD kPollMilliseconds = 10;
std::atomic<unsigned long> gBalloonDelay{1214};
std::mutex gDesktopLock;
bool gReplaceDesktop = false;
std::wstring gDesktop;

std::wstring desktopFolder() {
    {
        const std::lock_guard<std::mutex> guard(gDesktopLock);
        if (gReplaceDesktop) {
            return gDesktop;
        }
    }
    std::unique_ptr<wchar_t, decltype(&std::free)> desktop(getDesktopPath(), &std::free);
    return desktop ? std::wstring(desktop.get()) : std::wstring();
}

bool printKeyDown() {
    const auto down = [](int key) {
        return (static_cast<unsigned short>(GetKeyState(key)) & 0x8000U) != 0;
    };
    return down(VK_PRINT) || down(VK_SNAPSHOT);
}

// GDI+ is started once, on the first screenshot, and kept for the program's life.
bool startGdiplus() {
    static std::once_flag once;
    static bool started = false;
    std::call_once(once, [] {
        Gdiplus::GdiplusStartupInput input;
        ULONG_PTR token = 0;
        started = Gdiplus::GdiplusStartup(&token, &input, nullptr) == Gdiplus::Ok;
    });
    return started;
}

bool pngEncoder(CLSID& encoder) {
    UINT count = 0;
    UINT size = 0;
    if (Gdiplus::DllExports::GdipGetImageEncodersSize(&count, &size) != Gdiplus::Ok || size == 0) {
        return false;
    }
    std::vector<unsigned char> buffer(size);
    auto* codecs = reinterpret_cast<Gdiplus::ImageCodecInfo*>(buffer.data());
    if (Gdiplus::DllExports::GdipGetImageEncoders(count, size, codecs) != Gdiplus::Ok) {
        return false;
    }
    for (UINT index = 0; index < count; ++index) {
        if (codecs[index].MimeType != nullptr &&
            std::wstring(codecs[index].MimeType) == L"image/png") {
            encoder = codecs[index].Clsid;
            return true;
        }
    }
    return false;
}

bool savePng(HBITMAP bitmap, const std::wstring& path) {
    CLSID encoder{};
    if (!startGdiplus() || !pngEncoder(encoder)) {
        return false;
    }
    Gdiplus::GpBitmap* image = nullptr;
    if (Gdiplus::DllExports::GdipCreateBitmapFromHBITMAP(bitmap, nullptr, &image) != Gdiplus::Ok) {
        return false;
    }
    const bool saved = Gdiplus::DllExports::GdipSaveImageToFile(image, path.c_str(), &encoder,
                                                                nullptr) == Gdiplus::Ok;
    Gdiplus::DllExports::GdipDisposeImage(image);
    return saved;
}

std::wstring wideOfUtf8(const char* text) {
    std::wstring result;
    if (text == nullptr) {
        return result;
    }
    const int length = MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
    if (length <= 1) {
        return result;
    }
    result.resize(static_cast<size_t>(length));
    MultiByteToWideChar(CP_UTF8, 0, text, -1, result.data(), length);
    result.resize(static_cast<size_t>(length - 1));
    return result;
}

}  // namespace

std::wstring screenshotFileName(const std::wstring& desktop, const std::wstring& screenshotsWord,
                                const std::wstring& timeText) {
    std::wstring name = desktop + L"\\OqtQuillmark " + screenshotsWord + L" " + timeText + L".png";
    if (name.size() > kTextRoom - 1) {
        name.resize(kTextRoom - 1);
    }
    return name;
}

std::wstring screenshotBalloonText(const std::wstring& savedTemplate, const std::wstring& path) {
    std::wstring text = replaceAllWide(savedTemplate, L"==FileName==", path);
    if (text.size() > kTextRoom - 1) {
        text.resize(kTextRoom - 1);
    }
    return text;
}

std::wstring takeScreenshot() {
    // Without a desktop folder the name would put the file at the root of the current drive.
    const std::wstring desktop = desktopFolder();
    if (desktop.empty()) {
        logError("Screenshot: ", "No desktop folder");
        Sleep(gBalloonDelay.load());
        showTrayBalloon(slotText(kSlotScreenshotFailed));
        return std::wstring();
    }
    HDC screen = CreateDCW(L"DISPLAY", nullptr, nullptr, nullptr);
    HDC memory = screen != nullptr ? CreateCompatibleDC(screen) : nullptr;
    HBITMAP bitmap = nullptr;
    if (memory != nullptr) {
        const int width = GetDeviceCaps(screen, HORZRES);
        const int height = GetDeviceCaps(screen, VERTRES);
        bitmap = CreateCompatibleBitmap(screen, width, height);
        if (bitmap != nullptr) {
            HGDIOBJ previous = SelectObject(memory, bitmap);
            BitBlt(memory, 0, 0, width, height, screen, 0, 0, SRCCOPY);
            SelectObject(memory, previous);
        }
    }
    std::unique_ptr<char, decltype(&std::free)> time(getLocalTimeText(), &std::free);
    const std::wstring path =
        screenshotFileName(desktop, slotText(kSlotScreenshots),
                           time ? wideOfUtf8(time.get()) : std::wstring(L"Unknow time"));
    const bool saved = bitmap != nullptr && savePng(bitmap, path);
    if (!saved) {
        logErrorInt("Save screenshot fail: ", static_cast<int32_t>(GetLastError()));
    }
    if (memory != nullptr) {
        DeleteDC(memory);
    }
    if (screen != nullptr) {
        DeleteDC(screen);
    }
    const std::wstring balloon = saved ? screenshotBalloonText(slotText(kSlotScreenshotSaved), path)
                                       : slotText(kSlotScreenshotFailed);
    Sleep(gBalloonDelay.load());
    showTrayBalloon(balloon);
    if (bitmap != nullptr) {
        DeleteObject(bitmap);
    }
    return saved ? path : std::wstring();
}

void* screenshotHotkeyThread(void*) {
    for (;;) {
        Sleep(kPollMilliseconds);
        bool handled = false;
        if (!monitorState().isScreenShot.load()) {
            continue;
        }
        while (printKeyDown()) {
            if (!handled) {
                takeScreenshot();
                handled = true;
                continue;
            }
            Sleep(kPollMilliseconds);
        }
    }
    return nullptr;
}

void setScreenshotDesktopForTesting(const wchar_t* folder) {
    const std::lock_guard<std::mutex> guard(gDesktopLock);
    gReplaceDesktop = folder != nullptr;
    gDesktop = folder != nullptr ? folder : L"";
}

void setScreenshotBalloonDelayForTesting(unsigned long milliseconds) {
    gBalloonDelay.store(milliseconds);
}
