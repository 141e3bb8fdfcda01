// MonitorConfig: the tray program's three on/off settings and the text of its settings file
// "OqtQuillmarkConfig" in the data folder. The text functions are pure; reading and writing the
// file are in MonitorConfigWin.cpp.
#ifndef QM_MONITOR_MONITORCONFIG_H
#define QM_MONITOR_MONITORCONFIG_H

#include <string>

inline constexpr char kMonitorConfigFileName[] = "OqtQuillmarkConfig";

struct MonitorConfig {
    bool isScreenShot = false;    // Print Screen saves a screenshot to the desktop
    bool silentmode = false;      // no running/stopped balloons
    bool autocheckupdate = true;  // kept in the file only
};

// "isScreenShot=<v>\nsilentmode=<v>\nautocheckupdate=<v>\n" with "true"/"false".
std::string buildMonitorConfigText(const MonitorConfig& config);

// Applies a settings text to config. For each key in file order the false text ("key=false")
// found anywhere wins over the true text; a key with neither keeps its value in config. Returns
// true when the file must be rewritten: the text was null or empty, or a key had neither text.
// Keys and values are case-sensitive.
bool applyMonitorConfigText(const char* text, MonitorConfig& config);

#ifdef _WIN32
// Start-up: reads the file at path and applies it; when it is missing, empty or lacks a key,
// rewrites it once from the resulting settings (so the file then holds every key with the values
// in use). Write failures are ignored.
void loadMonitorConfig(const wchar_t* path, MonitorConfig& config);
// Rewrites the whole file from config; false when it could not be written.
bool saveMonitorConfig(const wchar_t* path, const MonitorConfig& config);
#endif

#endif  // QM_MONITOR_MONITORCONFIG_H
