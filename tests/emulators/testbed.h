#pragma once
// Emulated hardware for tests, on a umockdev testbed.
//
// A test binary that uses emulated devices must run under umockdev's preload library: call
// emulators::reexecUnderPreload(argc, argv) first thing in main (or link the `emulators_main`
// library instead of GTest::gtest_main). The test process then owns one Testbed per test; the
// devices on it (EmulatedUsbDevice, KeyEmulator, and any other emulated node) are served on
// the testbed's worker thread, so the code under test may run in the test process itself or
// in a child started with childEnvironment().

#include <map>
#include <string>
#include <umockdev.h>

namespace emulators {

/// Re-executes the running program under libumockdev-preload.so.0 unless it already runs
/// under it; returns only when it does (true) or when the re-exec failed (false, reason on
/// standard error). Under AddressSanitizer it also relaxes the runtime's link-order check,
/// which the preload library would otherwise trip.
bool reexecUnderPreload(int argc, char** argv);

/// True when this process runs under the umockdev preload library.
bool underPreload();

/// A umockdev testbed: a private /sys and /dev that the preload library shows this process
/// and its children (through UMOCKDEV_DIR). Destroy the devices on it before the testbed.
class Testbed {
public:
    /// Throws std::runtime_error when not running under the preload library.
    Testbed();
    ~Testbed();
    Testbed(const Testbed&) = delete;
    Testbed& operator=(const Testbed&) = delete;

    UMockdevTestbed* get() const { return _tb; }
    /// The testbed's root directory (what UMOCKDEV_DIR points at).
    const std::string& rootDir() const { return _root; }
    /// Environment for a child program that is to see the emulated devices: LD_PRELOAD and
    /// UMOCKDEV_DIR (plus the sanitizer option the preload needs, when built with one).
    std::map<std::string, std::string> childEnvironment() const;

    /// Thin wrappers that throw std::runtime_error with umockdev's message on failure.
    void addFromString(const std::string& description);
    void removeDevice(const std::string& syspath);
    void uevent(const std::string& syspath, const char* action);
    /// Serves ioctls (and, with the handler's handle-read/handle-write signals, reads and
    /// writes) on a device node; the handler runs on the testbed's worker thread.
    void attachIoctl(const std::string& devnode, UMockdevIoctlBase* handler);
    void detachIoctl(const std::string& devnode);

private:
    UMockdevTestbed* _tb = nullptr;
    std::string _root;
};

} // namespace emulators
