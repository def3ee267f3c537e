// Instance naming: each copy of the host takes its identity from the last
// character of the name of the directory that holds its executable.
#ifndef QELN_SERVICE_NAMING_H
#define QELN_SERVICE_NAMING_H

#include "platform/platform.h"

// The program's own full path, read whole (the buffer grows up to the
// platform's 32,767-character limit), in its long form. A fresh heap string;
// null on failure, with the reason as the last error.
platform::WCHAR* GetModulePath();

// The one-character instance suffix with its terminator; null when the
// module path cannot be read, holds no backslash, or memory runs out.
platform::WCHAR* GetInstanceSuffix();

// "QELN" + suffix, and "Quellith Group " + suffix. Fresh heap strings owned
// by the caller; null when the suffix or the memory is missing.
platform::WCHAR* BuildServiceName();
platform::WCHAR* BuildDisplayName();

#endif
