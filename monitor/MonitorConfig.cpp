// Settings text of the tray program.
#include "monitor/MonitorConfig.h"

#include <cstring>

namespace {

struct ConfigKey {
    const char* trueText;
    const char* falseText;
    bool MonitorConfig::*flag;
};

constexpr ConfigKey kKeys[] = {
    {"isScreenShot=true", "isScreenShot=false", &MonitorConfig::isScreenShot},
    {"silentmode=true", "silentmode=false", &MonitorConfig::silentmode},
    {"autocheckupdate=true", "autocheckupdate=false", &MonitorConfig::autocheckupdate},
};

}  // namespace

std::string buildMonitorConfigText(const MonitorConfig& config) {
    std::string text;
    for (const ConfigKey& key : kKeys) {
        text += config.*key.flag ? key.trueText : key.falseText;
        text += '\n';
    }
    return text;
}

bool applyMonitorConfigText(const char* text, MonitorConfig& config) {
    if (text == nullptr || text[0] == '\0') {
        return true;
    }
    bool rewrite = false;
    for (const ConfigKey& key : kKeys) {
        if (std::strstr(text, key.falseText) != nullptr) {
            config.*key.flag = false;
        } else if (std::strstr(text, key.trueText) != nullptr) {
            config.*key.flag = true;
        } else {
            rewrite = true;
        }
    }
    return rewrite;
}
