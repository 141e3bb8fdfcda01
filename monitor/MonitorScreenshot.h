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
// Captures the primary display's area, saves it and reports it (after 1214 ms). Returns the file
// path; the file exists only when the capture and the save worked.
std::wstring takeScreenshot();

// The wait before the balloon (tests shorten it).
void setScreenshotBalloonDelayForTesting(unsigned long milliseconds);

#endif  // QM_MONITOR_MONITORSCREENSHOT_H
