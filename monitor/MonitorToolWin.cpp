// MonitorTool: Win32 part.
#include "monitor/MonitorTool.h"
