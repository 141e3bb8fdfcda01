// MonitorMessage: Win32 part.
#include "monitor/MonitorMessage.h"
