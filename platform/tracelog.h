#pragma once

#include <log4cpp/Category.hh>

/// Logging set-up of the key update daemon: log4cpp configured from the daemon's configuration file.
class cTracelog {
public:
    /// Configures log4cpp from the file. False (with the reason on standard error) when log4cpp
    /// rejects it; logging then stays at log4cpp's defaults.
    static bool init(const char* path);
    /// The log4cpp category of that name, the same object on every call.
    static log4cpp::Category& getLog(const char* name);
};
