// Reading and writing the tray program's settings file.
#include <cstdlib>
#include <memory>

#include "common/Tool.h"
#include "monitor/MonitorConfig.h"
#include "monitor/MonitorTool.h"

void loadMonitorConfig(const wchar_t* path, MonitorConfig& config) {
    std::unique_ptr<char, decltype(&std::free)> text(readTextFile(path), &std::free);
    // A key missing from the file is written back once, after every key has been read, so the
    // file always ends up with the values in use rather than a default for a key found later.
    if (applyMonitorConfigText(text.get(), config)) {
        saveMonitorConfig(path, config);
    }
}

bool saveMonitorConfig(const wchar_t* path, const MonitorConfig& config) {
    return writeTextFile(path, buildMonitorConfigText(config).c_str());
}
