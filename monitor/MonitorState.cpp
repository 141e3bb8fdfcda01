// The tray program's shared state.
#include "monitor/MonitorState.h"

namespace {

MonitorState gState;

}  // namespace

MonitorState& monitorState() {
    return gState;
}

MonitorConfig currentMonitorConfig() {
    MonitorConfig config;
    config.isScreenShot = gState.isScreenShot.load();
    config.silentmode = gState.silentmode.load();
    config.autocheckupdate = gState.autocheckupdate.load();
    return config;
}

void applyMonitorConfig(const MonitorConfig& config) {
    gState.isScreenShot.store(config.isScreenShot);
    gState.silentmode.store(config.silentmode);
    gState.autocheckupdate.store(config.autocheckupdate);
}

void resetMonitorStateForTesting() {
    gState.runState.store(kRunKeep);
    gState.keeperEnabled.store(1);
    gState.restartFlag.store(0);
    gState.mainRunning.store(0);
    gState.aboutClosed.store(1);
    gState.debugMode.store(0);
    gState.debugSwitchedOn.store(0);
    gState.currentLanguage.store(kLanguageTradChinese);
    applyMonitorConfig(MonitorConfig{});
    gState.monitorLogTag.clear();
    gState.dataFolder.clear();
    gState.configPath.clear();
    gState.logIniPath.clear();
    gState.logIniText.clear();
}
