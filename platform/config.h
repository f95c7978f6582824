#pragma once

/// The process-wide configuration of the key update daemon: one properties file (same syntax as
/// cProperties), loaded once at start-up and then only read.
class cConfig {
public:
    static bool load(const char* path);
    /// The value or dflt; the pointer stays valid for the rest of the run.
    static const char* getString(const char* key, const char* dflt);
    static int getInt(const char* key, int dflt);
};
