// MonitorScreenshot: with the setting isScreenShot on, each press of Print Screen saves the
// screen as a PNG file on the desktop and reports it in a tray balloon.
#ifndef QM_MONITOR_MONITORSCREENSHOT_H
#define QM_MONITOR_MONITORSCREENSHOT_H

#include <string>

// "<desktop>\OqtQuillmark <slot 18> <time text>.png", cut to 511 characters.
std::wstring screenshotFileName(const std::wstring& desktop, const std::wstring& screenshotsWord,
                                const std::wstring& timeText);
// slot 19 with every "==FileName==" replaced by path.
std::wstring screenshotBalloonText(const std::wstring& savedTemplate, const std::wstring& path);

// The key watcher thread (never returns): one screenshot per press of VK_PRINT or VK_SNAPSHOT
// while isScreenShot is on.
void* screenshotHotkeyThread(void* argument);
// Captures the primary display's area, saves it on the desktop and reports it (after 1214 ms):
// the saved balloon (slot 19) with the file path, or the failure balloon (slot 21) when the
// capture or the save failed or there is no desktop folder (refused and logged, nothing
// captured). Returns the saved file's path, "" on failure.
std::wstring takeScreenshot();

// The wait before the balloon (tests shorten it).
void setScreenshotBalloonDelayForTesting(unsigned long milliseconds);
// The desktop folder takeScreenshot uses (null: the shell's again; "": none).
void setScreenshotDesktopForTesting(const wchar_t* folder);

#endif  // QM_MONITOR_MONITORSCREENSHOT_H
