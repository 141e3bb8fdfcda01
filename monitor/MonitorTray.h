// MonitorTray: the tray program's notification-area icon, its balloons, the popup menu, the sweep
// of dead icons and the interface texts of the current language.
//
// The icon record is the program's only one; it is changed by the main thread, the keeper and the
// screenshot thread, so every change and every copy is made under one lock, and an icon image is
// destroyed only after the record no longer names it. The shell (another process) is called with
// a copy and without the lock, so a slow shell never holds up the main thread.
#ifndef QM_MONITOR_MONITORTRAY_H
#define QM_MONITOR_MONITORTRAY_H

#include <windows.h>

#include <cstdint>
#include <string>

// Icon resources: start-up (also the About box's), main program running, main program ended.
inline constexpr int kIconStartup = 101;
inline constexpr int kIconRunning = 104;
inline constexpr int kIconStopped = 105;

// ---- Texts ----------------------------------------------------------------------------------

// Sets the locale from the user's environment, logs "Detect language: " with its lower-cased
// name and the choice, and returns the language value.
int32_t detectLanguage();
// Fills the slots for currentLanguage; an unknown value leaves them unchanged.
void loadLanguageStrings();
// A copy of a slot's current text ("" for an unused slot).
std::wstring slotText(int slot);
// currentLanguage := language, reload, balloon "<slot 26><name slot>".
void switchLanguage(int32_t language, int nameSlot);

// ---- Icon ---------------------------------------------------------------------------------

// Sets up the record for window (icon 101, tip "OqtQuillmark", callback 0x401) and adds it.
// True when the shell took it.
bool addTrayIcon(HWND window);
// Adds the current record again (the shell restarted); logs "Add icon: " "fail" on failure.
void readdTrayIcon();
// Deletes the icon, destroys its image and clears the record.
void deleteTrayIcon();
// Balloon with text on a copy of the record (info field cut at 255 characters).
void showTrayBalloon(const std::wstring& text);
// mainRunning := 1, icon 104, and unless silent the "turned on" (or "already restarted")
// balloon.
void showRunningTrayState();
// mainRunning := 0, icon 105, and unless silent or restarting the "turned off" balloon.
void showStoppedTrayState();
// Moves the pointer, by messages, over the taskbar's icon areas, so that the shell drops icons of
// programs that ended without deleting theirs; missing areas are logged.
void cleanTrayIcons();
// Opens the popup menu at the cursor; the choice arrives at window as WM_COMMAND.
void showTrayMenu(HWND window);

// ---- Test hooks -----------------------------------------------------------------------------

// The record as it stands.
NOTIFYICONDATAW trayIconDataForTesting();
// The text of the last balloon shown and how many were shown.
std::wstring lastBalloonForTesting();
int balloonCountForTesting();
void resetBalloonsForTesting();
// Called with the menu handle after it is built and before it is tracked (null: none).
void setTrayMenuHookForTesting(void (*hook)(HMENU menu));

#endif  // QM_MONITOR_MONITORTRAY_H
