#include "board_io_emulator.h"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <stdexcept>

namespace emulators {

namespace {

constexpr unsigned long kPinCountRequest = 0x6701;     // _IO('g', 1)
constexpr unsigned long kPinTableRequest = 0x80046702; // _IOR('g', 2, int); the buffer is N entries
constexpr size_t kEntrySize = 20;
constexpr size_t kNameSize = 16;
constexpr size_t kRecordSize = 4;
constexpr const char* kClientKey = "board-io-client";

void put16(uint8_t* p, uint16_t v) { std::memcpy(p, &v, sizeof v); }

uint16_t get16(const uint8_t* p)
{
    uint16_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

} // namespace

/// Shared by the facade and the signal handlers on the worker thread.
struct BoardIoEmulator::State {
    Options options;                      // guarded by mutex (set once, before the node exists)
    UMockdevIoctlBase* handler = nullptr; // own reference, released by the facade; null without a node
    gulong signalIds[4] = {0, 0, 0, 0};

    mutable std::mutex mutex;
    mutable std::condition_variable changed; // signalled on every write, open and close
    std::vector<BoardPin> pins;              // guarded by mutex: current values
    std::vector<PinWrite> writes;            // guarded by mutex
    unsigned opens = 0;                      // guarded by mutex
    unsigned openNow = 0;                    // guarded by mutex
    unsigned tableReads = 0;                 // guarded by mutex

    int answeredCount() const { return options.pinCount ? *options.pinCount : static_cast<int>(options.pins.size()); }
};

namespace {

using StatePtr = std::shared_ptr<BoardIoEmulator::State>;

/// One open descriptor of the node; lives as long as umockdev's client object.
struct ClientInfo {
    StatePtr state;
    unsigned index = 0; // written under state->mutex, then read on the worker only
    bool gone = false;  // guarded by state->mutex
};

// glib, which is not instrumented, hands our closure data and client objects between the test
// thread and the testbed's worker out of the race detector's sight. Both sides of every such
// hand-over pass through this lock, which orders them for the detector as they are in fact.
std::mutex& handOverMutex()
{
    static std::mutex m;
    return m;
}

StatePtr* newHolder(const StatePtr& state)
{
    std::lock_guard<std::mutex> lock(handOverMutex());
    return new StatePtr(state);
}

void deleteHolder(gpointer data, GClosure*)
{
    std::lock_guard<std::mutex> lock(handOverMutex());
    delete static_cast<StatePtr*>(data);
}

StatePtr stateOf(gpointer holder)
{
    std::lock_guard<std::mutex> lock(handOverMutex());
    return *static_cast<StatePtr*>(holder);
}

StatePtr stateOf(const ClientInfo* info)
{
    std::lock_guard<std::mutex> lock(handOverMutex());
    return info->state;
}

void clientGone(ClientInfo* info)
{
    const StatePtr state = stateOf(info);
    std::lock_guard<std::mutex> lock(state->mutex);
    if (info->gone)
        return;
    info->gone = true;
    state->openNow--;
    state->changed.notify_all();
}

void freeClientInfo(gpointer p)
{
    auto* info = static_cast<ClientInfo*>(p);
    clientGone(info);
    std::lock_guard<std::mutex> lock(handOverMutex());
    delete info;
}

void onConnectedChanged(GObject* obj, GParamSpec*, gpointer data)
{
    if (!umockdev_ioctl_client_get_connected(UMOCKDEV_IOCTL_CLIENT(obj)))
        clientGone(static_cast<ClientInfo*>(data));
}

void onClientConnected(UMockdevIoctlBase*, UMockdevIoctlClient* c, gpointer data)
{
    try {
        const StatePtr state = stateOf(data);
        ClientInfo* info;
        {
            std::lock_guard<std::mutex> lock(handOverMutex());
            info = new ClientInfo{state, 0, false};
        }
        {
            std::lock_guard<std::mutex> lock(state->mutex);
            info->index = ++state->opens;
            state->openNow++;
            state->changed.notify_all();
        }
        g_object_set_data_full(G_OBJECT(c), kClientKey, info, freeClientInfo);
        g_signal_connect(c, "notify::connected", G_CALLBACK(onConnectedChanged), info);
    } catch (...) {
        std::fprintf(stderr, "board I/O emulator: client set-up failed\n");
    }
}

gboolean onIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* c, gpointer data)
{
    const StatePtr state = stateOf(data);
    const gulong request = umockdev_ioctl_client_get_request(c);
    long res = -1;
    int err = ENOTTY;
    try {
        std::lock_guard<std::mutex> lock(state->mutex);
        const int count = state->answeredCount();
        if (request == kPinCountRequest) {
            res = count < 0 ? -1 : count;
            err = count < 0 ? EIO : 0;
        } else if (request == kPinTableRequest) {
            if (state->options.tableErrno) {
                err = state->options.tableErrno;
            } else if (count <= 0) {
                err = EINVAL;
            } else {
                // The size field of the request says 4; the caller's buffer holds count entries.
                const size_t size = static_cast<size_t>(count) * kEntrySize;
                UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(c);
                UMockdevIoctlData* table = umockdev_ioctl_data_resolve(arg, 0, size, nullptr);
                if (!table) {
                    err = EFAULT;
                } else {
                    std::memset(table->data, 0, size);
                    const size_t n = std::min<size_t>(static_cast<size_t>(count), state->pins.size());
                    for (size_t i = 0; i < n; ++i) {
                        const BoardPin& pin = state->pins[i];
                        uint8_t* entry = table->data + i * kEntrySize;
                        put16(entry, pin.id);
                        entry[2] = pin.output ? 1 : 0;
                        entry[3] = pin.referenceLevel;
                        std::memcpy(entry + 4, pin.name.data(), std::min(pin.name.size(), kNameSize));
                    }
                    state->tableReads++;
                    res = count;
                    err = 0;
                    g_object_unref(table); // the arg keeps it; synced back to the caller on completion
                }
            }
        }
    } catch (...) {
        res = -1;
        err = EIO;
    }
    umockdev_ioctl_client_complete(c, res, err);
    return TRUE;
}

gboolean onRead(UMockdevIoctlBase*, UMockdevIoctlClient* c, gpointer data)
{
    const StatePtr state = stateOf(data);
    UMockdevIoctlData* buffer = umockdev_ioctl_client_get_arg(c);
    size_t n = 0;
    {
        std::lock_guard<std::mutex> lock(state->mutex);
        size_t room = static_cast<size_t>(std::max(buffer->data_len, 0));
        if (state->options.readLimit)
            room = std::min(room, *state->options.readLimit);
        for (const BoardPin& pin : state->pins) {
            if (n + kRecordSize > room)
                break;
            put16(buffer->data + n, pin.id);
            put16(buffer->data + n + 2, pin.value);
            n += kRecordSize;
        }
    }
    umockdev_ioctl_client_complete(c, static_cast<long>(n), 0);
    return TRUE;
}

gboolean onWrite(UMockdevIoctlBase*, UMockdevIoctlClient* c, gpointer data)
{
    const StatePtr state = stateOf(data);
    UMockdevIoctlData* buffer = umockdev_ioctl_client_get_arg(c);
    const auto* info = static_cast<const ClientInfo*>(g_object_get_data(G_OBJECT(c), kClientKey));
    long res = -1;
    int err = EIO;
    try {
        PinWrite w;
        w.at = std::chrono::steady_clock::now();
        w.descriptor = info ? info->index : 0;
        const size_t length = static_cast<size_t>(std::max(buffer->data_len, 0));
        w.bytes.assign(buffer->data, buffer->data + length);
        std::lock_guard<std::mutex> lock(state->mutex);
        if (length == kRecordSize) {
            w.pin = get16(buffer->data);
            w.value = get16(buffer->data + 2);
            for (BoardPin& pin : state->pins)
                if (pin.id == w.pin && pin.output)
                    pin.value = w.value;
            res = static_cast<long>(length);
            err = 0;
        } else {
            err = EINVAL;
        }
        state->writes.push_back(std::move(w));
        state->changed.notify_all();
    } catch (...) {
        // Not recorded: the caller sees the write fail with EIO.
    }
    umockdev_ioctl_client_complete(c, res, err);
    return TRUE;
}

} // namespace

std::vector<BoardPin> BoardIoEmulator::defaultPins()
{
    return {
        {kGreenId, true, 0, kGreenName, 0},
        {kRedId, true, 0, kRedName, 0},
        {kInputId, false, 0, kInputName, 1},
    };
}

BoardIoEmulator::BoardIoEmulator(Testbed& testbed) : BoardIoEmulator(testbed, Options{}) {}

BoardIoEmulator::BoardIoEmulator(Testbed& testbed, Options options)
    : _testbed(testbed), _state(std::make_shared<State>()), _devnode(options.devnode)
{
    const std::string prefix = "/dev/";
    if (_devnode.compare(0, prefix.size(), prefix) != 0 || _devnode.size() == prefix.size())
        throw std::invalid_argument("board I/O emulator: the node must lie under /dev/: " + _devnode);
    for (const BoardPin& pin : options.pins)
        if (pin.name.size() > kNameSize)
            throw std::invalid_argument("board I/O emulator: pin name longer than 16 bytes: " + pin.name);
    const std::string name = _devnode.substr(prefix.size());
    std::string leaf = name.substr(name.rfind('/') + 1);

    State& s = *_state;
    {
        std::lock_guard<std::mutex> lock(s.mutex); // publishes the set-up to the worker
        s.pins = options.pins;
        s.options = std::move(options);
    }
    if (s.options.refuseOpen)
        return;

    _syspath = "/sys/devices/virtual/orxio/" + leaf;
    testbed.addFromString("P: /devices/virtual/orxio/" + leaf +
                          "\n"
                          "N: " +
                          name +
                          "=00\n"
                          "E: SUBSYSTEM=orxio\n"
                          "E: DEVNAME=" +
                          _devnode +
                          "\n"
                          "E: MAJOR=240\n"
                          "E: MINOR=0\n"
                          "A: dev=240:0\\n\n");

    s.handler = umockdev_ioctl_base_new();
    s.signalIds[0] = g_signal_connect_data(s.handler, "client-connected", G_CALLBACK(onClientConnected),
                                           newHolder(_state), deleteHolder, GConnectFlags(0));
    s.signalIds[1] = g_signal_connect_data(s.handler, "handle-ioctl", G_CALLBACK(onIoctl), newHolder(_state),
                                           deleteHolder, GConnectFlags(0));
    s.signalIds[2] = g_signal_connect_data(s.handler, "handle-read", G_CALLBACK(onRead), newHolder(_state),
                                           deleteHolder, GConnectFlags(0));
    s.signalIds[3] = g_signal_connect_data(s.handler, "handle-write", G_CALLBACK(onWrite), newHolder(_state),
                                           deleteHolder, GConnectFlags(0));
    testbed.attachIoctl(_devnode, s.handler);
}

BoardIoEmulator::~BoardIoEmulator()
{
    State& s = *_state;
    if (!s.handler)
        return;
    _testbed.detachIoctl(_devnode);
    for (gulong id : s.signalIds)
        if (id)
            g_signal_handler_disconnect(s.handler, id); // breaks the handler <-> state cycle
    g_object_unref(s.handler);
    _testbed.removeDevice(_syspath);
}

const std::string& BoardIoEmulator::devnode() const { return _devnode; }

std::vector<PinWrite> BoardIoEmulator::writes() const
{
    std::lock_guard<std::mutex> lock(_state->mutex);
    return _state->writes;
}

std::vector<PinWrite> BoardIoEmulator::writes(uint16_t pin) const
{
    std::vector<PinWrite> out;
    std::lock_guard<std::mutex> lock(_state->mutex);
    for (const PinWrite& w : _state->writes)
        if (w.bytes.size() == kRecordSize && w.pin == pin)
            out.push_back(w);
    return out;
}

bool BoardIoEmulator::waitForWrites(size_t n, std::chrono::milliseconds timeout) const
{
    std::unique_lock<std::mutex> lock(_state->mutex);
    return _state->changed.wait_for(lock, timeout, [&] { return _state->writes.size() >= n; });
}

void BoardIoEmulator::clearWrites()
{
    std::lock_guard<std::mutex> lock(_state->mutex);
    _state->writes.clear();
}

std::optional<uint16_t> BoardIoEmulator::value(uint16_t pin) const
{
    std::lock_guard<std::mutex> lock(_state->mutex);
    for (const BoardPin& p : _state->pins)
        if (p.id == pin)
            return p.value;
    return std::nullopt;
}

void BoardIoEmulator::setValue(uint16_t pin, uint16_t value)
{
    std::lock_guard<std::mutex> lock(_state->mutex);
    for (BoardPin& p : _state->pins)
        if (p.id == pin)
            p.value = value;
}

unsigned BoardIoEmulator::opens() const
{
    std::lock_guard<std::mutex> lock(_state->mutex);
    return _state->opens;
}

unsigned BoardIoEmulator::openNow() const
{
    std::lock_guard<std::mutex> lock(_state->mutex);
    return _state->openNow;
}

bool BoardIoEmulator::waitForOpenNow(unsigned n, std::chrono::milliseconds timeout) const
{
    std::unique_lock<std::mutex> lock(_state->mutex);
    return _state->changed.wait_for(lock, timeout, [&] { return _state->openNow == n; });
}

unsigned BoardIoEmulator::tableReads() const
{
    std::lock_guard<std::mutex> lock(_state->mutex);
    return _state->tableReads;
}

} // namespace emulators
