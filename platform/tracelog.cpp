#include "tracelog.h"

#include <cstdio>
#include <log4cpp/PropertyConfigurator.hh>

bool cTracelog::init(const char* path)
{
    if (!path)
        return false;
    try {
        log4cpp::PropertyConfigurator::configure(path);
        return true;
    } catch (const log4cpp::ConfigureFailure& e) {
        std::fprintf(stderr, "log4cpp configuration %s rejected: %s\n", path, e.what());
        return false;
    }
}

log4cpp::Category& cTracelog::getLog(const char* name) { return log4cpp::Category::getInstance(name); }
