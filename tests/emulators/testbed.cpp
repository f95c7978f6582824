#include "testbed.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <unistd.h>

namespace emulators {

namespace {

constexpr const char* kPreload = "libumockdev-preload.so.0";

// Under AddressSanitizer the preload library would trip the runtime's link-order check.
void addSanitizerOption(std::map<std::string, std::string>* env)
{
#if defined(__SANITIZE_ADDRESS__)
    constexpr const char* option = "verify_asan_link_order=0";
    const char* current = std::getenv("ASAN_OPTIONS");
    std::string v = current ? current : "";
    if (v.find(option) == std::string::npos)
        v = v.empty() ? option : v + ":" + option;
    if (env)
        (*env)["ASAN_OPTIONS"] = v;
    else
        setenv("ASAN_OPTIONS", v.c_str(), 1);
#else
    (void)env;
#endif
}

std::string takeError(GError* error)
{
    std::string text = error ? error->message : "unknown error";
    if (error)
        g_error_free(error);
    return text;
}

} // namespace

bool underPreload()
{
    const char* pre = std::getenv("LD_PRELOAD");
    return pre && std::strstr(pre, "libumockdev-preload");
}

bool reexecUnderPreload(int argc, char** argv)
{
    (void)argc;
    if (underPreload())
        return true;
    const char* pre = std::getenv("LD_PRELOAD");
    std::string preload = kPreload;
    if (pre && *pre)
        preload += std::string(":") + pre;
    setenv("LD_PRELOAD", preload.c_str(), 1);
    addSanitizerOption(nullptr);
    execv("/proc/self/exe", argv);
    std::perror("re-exec under libumockdev-preload");
    return false;
}

Testbed::Testbed()
{
    // Without the preload the testbed's /sys and /dev would be invisible, and asking umockdev
    // whether it is active before a testbed exists would cache "no" for the whole process.
    if (!underPreload())
        throw std::runtime_error("emulated devices need the umockdev preload library (see reexecUnderPreload)");
    _tb = umockdev_testbed_new();
    gchar* root = umockdev_testbed_get_root_dir(_tb);
    _root = root;
    g_free(root);
}

Testbed::~Testbed() { g_object_unref(_tb); }

std::map<std::string, std::string> Testbed::childEnvironment() const
{
    std::map<std::string, std::string> env{{"LD_PRELOAD", kPreload}, {"UMOCKDEV_DIR", _root}};
    addSanitizerOption(&env);
    return env;
}

void Testbed::addFromString(const std::string& description)
{
    GError* error = nullptr;
    if (!umockdev_testbed_add_from_string(_tb, description.c_str(), &error))
        throw std::runtime_error("umockdev: add device: " + takeError(error));
}

void Testbed::removeDevice(const std::string& syspath) { umockdev_testbed_remove_device(_tb, syspath.c_str()); }

void Testbed::uevent(const std::string& syspath, const char* action)
{
    umockdev_testbed_uevent(_tb, syspath.c_str(), action);
}

void Testbed::attachIoctl(const std::string& devnode, UMockdevIoctlBase* handler)
{
    GError* error = nullptr;
    if (!umockdev_testbed_attach_ioctl(_tb, devnode.c_str(), handler, &error))
        throw std::runtime_error("umockdev: attach handler to " + devnode + ": " + takeError(error));
}

void Testbed::detachIoctl(const std::string& devnode) { umockdev_testbed_detach_ioctl(_tb, devnode.c_str(), nullptr); }

} // namespace emulators
