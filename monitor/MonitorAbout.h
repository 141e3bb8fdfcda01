// MonitorAbout: the About box of the tray program and the list of installed components that it
// shows, read from the installer's "...DisplayName.txt" / "...Version.txt" pairs (code page 950)
// in the data folder.
#ifndef QM_MONITOR_MONITORABOUT_H
#define QM_MONITOR_MONITORABOUT_H

#include <string>

// Code page of the installer's component files (traditional Chinese Big5).
inline constexpr unsigned kComponentCodePage = 950;

// Shows the About box modally, once at a time (a call while one is open returns at once).
void ShowMonitorAbout();

// Adds a line per component found under folder to the component list, descending into
// sub-folders until the first component is listed. A null folder logs the parameter warning
// ("dirn", "QuillmarkMonitor", 365).
void scanInstalledComponents(const wchar_t* folder);
// Appends the line of one display-name file and its version file beside it (an unreadable file
// gives an empty text); lines that no longer fit into 511 characters are dropped whole.
void appendComponentVersion(const wchar_t* displayNamePath);

// The component list as it stands, and emptying it.
std::wstring componentListForTesting();
void clearComponentList();

// The text the box shows now (template, placeholders and component list), without showing it.
std::wstring buildAboutTextForTesting();

#endif  // QM_MONITOR_MONITORABOUT_H
