#include "config.h"

#include "properties.h"

namespace {
// Loaded on the main thread before any other thread starts; read-only afterwards.
cProperties& processConfig()
{
    static cProperties props;
    return props;
}
} // namespace

bool cConfig::load(const char* path) { return processConfig().load(path); }

const char* cConfig::getString(const char* key, const char* dflt) { return processConfig().getString(key, dflt); }

int cConfig::getInt(const char* key, int dflt) { return processConfig().getInt(key, dflt); }
