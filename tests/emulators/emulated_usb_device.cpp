#include "emulated_usb_device.h"

#include <array>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <list>
#include <mutex>
#include <thread>

#include <linux/usb/ch9.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>

namespace emulators {

namespace {

constexpr uint32_t kCapabilities = USBDEVFS_CAP_BULK_CONTINUATION | USBDEVFS_CAP_NO_PACKET_SIZE_LIM |
    USBDEVFS_CAP_REAP_AFTER_DISCONNECT | USBDEVFS_CAP_ZERO_PACKET;

/// One submitted URB: umockdev's local copies of the struct and of its buffer.
struct Urb {
    UMockdevIoctlData* urb = nullptr;
    UMockdevIoctlData* buf = nullptr; // null for an empty transfer
    ~Urb()
    {
        if (urb)
            g_object_unref(urb);
        if (buf)
            g_object_unref(buf);
    }
    usbdevfs_urb* u() const { return reinterpret_cast<usbdevfs_urb*>(urb->data); }
};
using UrbPtr = std::unique_ptr<Urb>;

void put16(std::vector<uint8_t>& a, uint16_t v)
{
    a.push_back(static_cast<uint8_t>(v & 0xFF));
    a.push_back(static_cast<uint8_t>(v >> 8));
}

std::vector<uint8_t> buildDescriptors(const UsbDeviceConfig& c)
{
    std::vector<uint8_t> a{18, USB_DT_DEVICE, 0x00, 0x02, 0, 0, 0, 64};
    put16(a, c.vendorId);
    put16(a, c.productId);
    put16(a, c.bcdDevice);
    a.insert(a.end(), {0, 0, 0, 1}); // no strings, one configuration
    size_t cfgAt = a.size();
    a.insert(a.end(), {9, USB_DT_CONFIG, 0, 0, static_cast<uint8_t>(c.interfaces.size()), 1, 0, 0x80, 50});
    for (size_t i = 0; i < c.interfaces.size(); ++i) {
        const auto& f = c.interfaces[i];
        a.insert(a.end(),
                 {9, USB_DT_INTERFACE, static_cast<uint8_t>(i), 0, static_cast<uint8_t>(f.endpoints.size()),
                  f.interfaceClass, 0, 0, 0});
        for (const auto& e : f.endpoints) {
            a.insert(a.end(), {7, USB_DT_ENDPOINT, e.address, e.attributes});
            put16(a, e.maxPacket);
            a.push_back(0);
        }
    }
    size_t total = a.size() - cfgAt;
    a[cfgAt + 2] = static_cast<uint8_t>(total & 0xFF);
    a[cfgAt + 3] = static_cast<uint8_t>(total >> 8);
    return a;
}

} // namespace

struct Client;

/// State shared by the facade, the signal handlers, the clients and the worker's timers.
/// `mutex` guards every mutable field; it is recursive because the OUT handler, called with it
/// held, calls back into the device. Lock order: this mutex before any lock of the OutHandler.
struct EmulatedUsbDevice::Core : std::enable_shared_from_this<EmulatedUsbDevice::Core> {
    UsbDeviceConfig cfg;
    OutHandler onOut;
    UMockdevTestbed* tb = nullptr; // own reference
    std::string devnode, syspath, description;
    std::vector<uint8_t> desc;
    UMockdevIoctlBase* handler = nullptr;
    gulong signalIds[2] = {0, 0};

    mutable std::recursive_mutex mutex;
    EmulatedUsbDevice* owner = nullptr;                        // guarded by mutex; null once closed
    std::list<Client*> clients;                                // guarded by mutex
    std::array<std::deque<std::vector<uint8_t>>, 16> inQueues; // guarded by mutex: packets per IN endpoint
    unsigned bound = 0;                                        // guarded by mutex
    bool unplugged = false;                                    // guarded by mutex
    bool closed = false;                                       // guarded by mutex
    UsbDeviceStats st;                                         // guarded by mutex
    std::chrono::steady_clock::time_point lastSubmit;          // guarded by mutex: last OUT or control submit
    std::optional<unsigned> outsBeforeStall;                   // guarded by mutex: see stallOutAfter
    std::vector<std::pair<uint8_t, std::vector<uint8_t>>> inBeforeNextOut; // guarded by mutex
    GMainContext* worker = nullptr;                                        // guarded by mutex: testbed worker's context
    std::thread::id workerThread;                                          // guarded by mutex
    std::deque<std::function<void()>> tasks;                               // guarded by mutex: posted to the worker
    uint64_t tasksPosted = 0, tasksFinished = 0;                           // guarded by mutex
    std::condition_variable_any taskDone;

    ~Core()
    {
        if (handler)
            g_object_unref(handler);
        if (worker)
            g_main_context_unref(worker);
        if (tb)
            g_object_unref(tb);
    }

    const UsbEndpointConfig* findEndpoint(uint8_t address, int* iface) const
    {
        for (size_t i = 0; i < cfg.interfaces.size(); ++i)
            for (const auto& e : cfg.interfaces[i].endpoints)
                if (e.address == address) {
                    *iface = static_cast<int>(i);
                    return &e;
                }
        return nullptr;
    }

    unsigned defaultBound() const
    {
        unsigned m = 0;
        for (size_t i = 0; i < cfg.interfaces.size(); ++i)
            if (!cfg.interfaces[i].boundDriver.empty())
                m |= 1u << i;
        return m;
    }

    void noteWorker()
    {
        if (!worker) {
            worker = g_main_context_ref_thread_default();
            workerThread = std::this_thread::get_id();
        }
    }

    /// Runs fn on the worker thread with the mutex held, and waits for it (up to 5 s).
    void onWorker(const std::function<void()>& fn);

    void pumpIn();
    void finishUrb(Client* cl, Urb* u, int status);
    int claim(Client* cl, unsigned ifno);
    bool claimedElsewhere(const Client* me, unsigned ifno) const;
    int doControl(Urb* u);
    int submit(Client* cl, UMockdevIoctlData* d);
    bool reap(Client* cl, UMockdevIoctlData* d, bool nodelay, long* res, int* err);
    void doUnplug();
    bool doReplug();
    void doQueueIn(uint8_t ep, const uint8_t* data, size_t length);
};

/// One open file descriptor of the device node (a umockdev ioctl client); owned by it.
struct Client {
    std::shared_ptr<EmulatedUsbDevice::Core> core;
    UMockdevIoctlClient* client = nullptr; // not owned: this object is its data
    std::list<UrbPtr> pending;             // IN URBs waiting for device data
    std::deque<UrbPtr> done;               // completed, waiting to be reaped
    UMockdevIoctlData* held = nullptr;     // the void** of a reap being held
    GSource* heldTimer = nullptr;
    unsigned claimed = 0;
    bool idle = false; // the last reap found nothing
    bool closed = false;
    bool dead = false; // opened before an unplug: ENODEV from now on

    void clearHeld()
    {
        if (heldTimer) {
            g_source_destroy(heldTimer);
            g_source_unref(heldTimer);
            heldTimer = nullptr;
        }
        if (held) {
            g_object_unref(held);
            held = nullptr;
        }
    }

    /// Answers the held reap. We keep the ioctl client alive while a request is held:
    /// umockdev drops its own reference once the signal handler returns.
    void answerHeld(long res, int err)
    {
        UMockdevIoctlClient* c = client;
        clearHeld();
        umockdev_ioctl_client_complete(c, res, err);
        g_object_unref(c); // taken in reap()
    }

    void deliverHeld()
    {
        if (!held || done.empty())
            return;
        UrbPtr u = std::move(done.front());
        done.pop_front();
        umockdev_ioctl_data_set_ptr(held, 0, u->urb);
        core->st.reaps++;
        idle = false;
        answerHeld(0, 0);
    }
};

void EmulatedUsbDevice::Core::finishUrb(Client* cl, Urb* u, int status)
{
    u->u()->status = status;
    for (auto it = cl->pending.begin(); it != cl->pending.end(); ++it)
        if (it->get() == u) {
            cl->done.push_back(std::move(*it));
            cl->pending.erase(it);
            break;
        }
    cl->deliverHeld();
}

// Moves queued device-to-host packets into pending IN URBs. An URB completes on a short
// packet or when full; a packet larger than the room left is an overflow, as on hardware.
void EmulatedUsbDevice::Core::pumpIn()
{
    for (Client* cl : clients) {
        for (auto it = cl->pending.begin(); it != cl->pending.end();) {
            Urb* u = (it++)->get();
            usbdevfs_urb* urb = u->u();
            int iface;
            const UsbEndpointConfig* ep = findEndpoint(urb->endpoint, &iface);
            if (!ep || !(urb->endpoint & 0x80))
                continue;
            auto& q = inQueues[urb->endpoint & 0x0F];
            while (!q.empty()) {
                std::vector<uint8_t> pkt = std::move(q.front());
                q.pop_front();
                int n = static_cast<int>(pkt.size());
                int room = urb->buffer_length - urb->actual_length;
                int status = 1; // still pending
                if (n > room) {
                    n = room;
                    status = -EOVERFLOW;
                }
                if (n)
                    std::memcpy(static_cast<uint8_t*>(u->buf->data) + urb->actual_length, pkt.data(), n);
                urb->actual_length += n;
                if (status == 1 && (n < ep->maxPacket || urb->actual_length == urb->buffer_length))
                    status = 0;
                if (status != 1) {
                    finishUrb(cl, u, status);
                    break;
                }
            }
        }
    }
}

bool EmulatedUsbDevice::Core::claimedElsewhere(const Client* me, unsigned ifno) const
{
    for (const Client* cl : clients)
        if (cl != me && (cl->claimed & (1u << ifno)))
            return true;
    return false;
}

int EmulatedUsbDevice::Core::claim(Client* cl, unsigned ifno)
{
    if (ifno >= cfg.interfaces.size())
        return ENOENT;
    if (cl->claimed & (1u << ifno))
        return 0;
    if (cfg.claimBusy || (bound & (1u << ifno)) || claimedElsewhere(cl, ifno))
        return EBUSY;
    cl->claimed |= 1u << ifno;
    st.claims++;
    return 0;
}

// Control transfers on ep0: device and configuration descriptors; everything else stalls.
int EmulatedUsbDevice::Core::doControl(Urb* u)
{
    usbdevfs_urb* urb = u->u();
    if (urb->buffer_length < 8 || !u->buf)
        return -EINVAL;
    auto* s = reinterpret_cast<usb_ctrlrequest*>(u->buf->data);
    uint16_t wlen = GUINT16_FROM_LE(s->wLength), wval = GUINT16_FROM_LE(s->wValue);
    int type = wval >> 8;
    if (s->bRequestType == 0x80 && s->bRequest == USB_REQ_GET_DESCRIPTOR &&
        (type == USB_DT_DEVICE || type == USB_DT_CONFIG)) {
        const uint8_t* d = desc.data() + (type == USB_DT_DEVICE ? 0 : 18);
        int n = type == USB_DT_DEVICE ? 18 : static_cast<int>(desc.size()) - 18;
        n = std::min(n, std::min<int>(wlen, urb->buffer_length - 8));
        std::memcpy(static_cast<uint8_t*>(u->buf->data) + 8, d, n);
        urb->actual_length = n;
        return 0;
    }
    return -EPIPE;
}

int EmulatedUsbDevice::Core::submit(Client* cl, UMockdevIoctlData* d)
{
    auto* urb = reinterpret_cast<usbdevfs_urb*>(d->data);
    if (urb->buffer_length < 0)
        return EINVAL;
    auto u = std::make_unique<Urb>();
    u->urb = static_cast<UMockdevIoctlData*>(g_object_ref(d));
    if (urb->buffer_length > 0) {
        u->buf = umockdev_ioctl_data_resolve(d, G_STRUCT_OFFSET(usbdevfs_urb, buffer), urb->buffer_length, nullptr);
        if (!u->buf)
            return EFAULT;
    }
    urb->actual_length = 0;
    urb->status = 0;
    st.submits++;
    if (!(urb->endpoint & 0x80)) // host talking: more writes are likely to follow soon
        lastSubmit = std::chrono::steady_clock::now();

    if (urb->type == USBDEVFS_URB_TYPE_CONTROL) {
        int status = doControl(u.get());
        if (status == -EINVAL)
            return EINVAL;
        Urb* raw = u.get();
        cl->pending.push_back(std::move(u));
        finishUrb(cl, raw, status);
        return 0;
    }

    int iface;
    const UsbEndpointConfig* ep = findEndpoint(urb->endpoint, &iface);
    int err = 0;
    if (!ep || urb->type == USBDEVFS_URB_TYPE_ISO)
        err = ENOENT;
    else if ((urb->type == USBDEVFS_URB_TYPE_BULK) != ((ep->attributes & 3) == 2))
        err = EINVAL;
    else
        err = claim(cl, iface); // usbfs claims implicitly when it can
    if (err)
        return err;

    Urb* raw = u.get();
    cl->pending.push_back(std::move(u));
    if (urb->endpoint & 0x80) {
        pumpIn();
    } else {
        // Only into a read the host has pending: queued for a later read, the data would
        // complete after this transfer.
        for (auto it = inBeforeNextOut.begin(); it != inBeforeNextOut.end();) {
            const uint8_t inEp = it->first;
            bool reading = false;
            for (const auto& p : cl->pending)
                reading = reading || p->u()->endpoint == inEp;
            if (!reading) {
                ++it;
                continue;
            }
            doQueueIn(inEp, it->second.data(), it->second.size());
            it = inBeforeNextOut.erase(it);
        }
        if (outsBeforeStall) {
            if (*outsBeforeStall == 0) {
                st.stalledOuts++;
                return 0; // pending until discarded or unplugged
            }
            --*outsBeforeStall;
        }
        urb->actual_length = urb->buffer_length;
        const uint8_t outEp = urb->endpoint; // the URB may be reaped and gone once finished
        std::vector<uint8_t> data;
        if (raw->buf)
            data.assign(static_cast<const uint8_t*>(raw->buf->data),
                        static_cast<const uint8_t*>(raw->buf->data) + urb->buffer_length);
        // The device has taken the data before it acts on it: the transfer completes first, so
        // an answer the handler sends completes after it, as on the wire.
        finishUrb(cl, raw, 0);
        if (onOut && owner) {
            try {
                onOut(*owner, outEp, data.empty() ? nullptr : data.data(), data.size());
            } catch (const std::exception& e) {
                std::fprintf(stderr, "emulated USB device: OUT handler failed: %s\n", e.what());
            } catch (...) {
                std::fprintf(stderr, "emulated USB device: OUT handler failed\n");
            }
        }
    }
    return 0;
}

namespace {

gboolean heldTimeout(gpointer data)
{
    auto* cl = static_cast<Client*>(data);
    auto core = cl->core;
    std::lock_guard<std::recursive_mutex> lock(core->mutex);
    if (cl->held && !g_source_is_destroyed(g_main_current_source())) {
        core->st.reapsEmpty++;
        cl->idle = true;
        cl->answerHeld(-1, EAGAIN);
    }
    return G_SOURCE_REMOVE;
}

} // namespace

// True if answered now, false if the reap is held. libusb polls the fd (always "ready" here),
// then reaps until EAGAIN. The first empty reap after a successful one is answered at once
// (that is libusb draining); a further one means libusb is waiting, so it is held.
bool EmulatedUsbDevice::Core::reap(Client* cl, UMockdevIoctlData* d, bool nodelay, long* res, int* err)
{
    if (!cl->done.empty()) {
        UrbPtr u = std::move(cl->done.front());
        cl->done.pop_front();
        umockdev_ioctl_data_set_ptr(d, 0, u->urb);
        st.reaps++;
        cl->idle = false;
        return true;
    }
    bool busy = std::chrono::steady_clock::now() - lastSubmit < std::chrono::milliseconds(200);
    unsigned holdMs = busy ? cfg.reapHoldBusyMs : cfg.reapHoldMs;
    if (cl->dead || (nodelay && (holdMs == 0 || !cl->idle))) {
        if (!cl->dead)
            st.reapsEmpty++;
        cl->idle = true;
        *res = -1;
        *err = cl->dead ? ENODEV : EAGAIN;
        return true;
    }
    cl->held = static_cast<UMockdevIoctlData*>(g_object_ref(d));
    g_object_ref(cl->client); // released in answerHeld()
    if (nodelay) {
        cl->heldTimer = g_timeout_source_new(holdMs);
        g_source_set_callback(cl->heldTimer, heldTimeout, cl, nullptr);
        g_source_attach(cl->heldTimer, g_main_context_get_thread_default());
    }
    return false;
}

void EmulatedUsbDevice::Core::doQueueIn(uint8_t ep, const uint8_t* data, size_t length)
{
    int iface;
    const UsbEndpointConfig* e = findEndpoint(ep, &iface);
    if (!e || !(ep & 0x80) || unplugged)
        return;
    size_t mp = e->maxPacket, off = 0;
    for (;;) { // a full last packet is followed by a zero-length one
        size_t n = std::min(mp, length - off);
        inQueues[ep & 0x0F].emplace_back(data + off, data + off + n);
        off += n;
        if (n < mp)
            break;
    }
    pumpIn();
}

void EmulatedUsbDevice::Core::doUnplug()
{
    if (unplugged)
        return;
    unplugged = true;
    for (Client* cl : clients) {
        cl->dead = true;
        while (!cl->pending.empty())
            finishUrb(cl, cl->pending.front().get(), -ESHUTDOWN);
        if (cl->held) // nothing left to reap: the device is gone
            cl->answerHeld(-1, ENODEV);
    }
    for (auto& q : inQueues)
        q.clear();
    // "remove" for libudev/libusb monitors, then the sysfs entry and node go.
    umockdev_testbed_uevent(tb, syspath.c_str(), "remove");
    umockdev_testbed_remove_device(tb, syspath.c_str());
}

bool EmulatedUsbDevice::Core::doReplug()
{
    if (!unplugged)
        return false;
    bound = defaultBound();
    unplugged = false;
    // add_from_string also sends the "add" uevent
    return umockdev_testbed_add_from_string(tb, description.c_str(), nullptr);
}

namespace {

gboolean drainTasks(gpointer data)
{
    // The poster waits for its task (and the facade for all of them) before the core can go.
    auto* core = static_cast<EmulatedUsbDevice::Core*>(data);
    std::lock_guard<std::recursive_mutex> lock(core->mutex);
    while (!core->tasks.empty()) {
        auto task = std::move(core->tasks.front());
        core->tasks.pop_front();
        try {
            task();
        } catch (...) {
            std::fprintf(stderr, "emulated USB device: task failed\n");
        }
        core->tasksFinished++;
    }
    core->taskDone.notify_all();
    return G_SOURCE_REMOVE;
}

} // namespace

void EmulatedUsbDevice::Core::onWorker(const std::function<void()>& fn)
{
    std::unique_lock<std::recursive_mutex> lock(mutex);
    // Before any client exists nothing is held by the worker: run here.
    if (!worker || std::this_thread::get_id() == workerThread) {
        fn();
        return;
    }
    uint64_t ticket = ++tasksPosted;
    // One drain per batch: a drain that finds an empty queue could run after the core is gone.
    bool first = tasks.empty();
    tasks.push_back(fn);
    if (first)
        g_main_context_invoke(worker, drainTasks, this);
    if (!taskDone.wait_for(lock, std::chrono::seconds(5), [&] { return tasksFinished >= ticket; }))
        std::fprintf(stderr, "emulated USB device: worker did not run a task within 5 s\n");
}

namespace {

using CorePtr = std::shared_ptr<EmulatedUsbDevice::Core>;

Client* clientOf(UMockdevIoctlClient* c)
{
    return static_cast<Client*>(g_object_get_data(G_OBJECT(c), "emulated-usb-client"));
}

// The fd was closed: like the kernel, drop the claims and URBs of that fd.
void clientGone(Client* cl)
{
    auto core = cl->core;
    UMockdevIoctlClient* heldRef = nullptr;
    {
        std::lock_guard<std::recursive_mutex> lock(core->mutex);
        if (cl->closed)
            return;
        cl->closed = true;
        core->clients.remove(cl);
        core->st.openNow--;
        if (cl->held) // the process went away inside a held reap
            heldRef = cl->client;
        cl->clearHeld();
        cl->pending.clear();
        cl->done.clear();
        cl->claimed = 0;
    }
    if (heldRef)
        g_object_unref(heldRef); // may free cl: not touched after this
}

void onConnectedChanged(GObject* obj, GParamSpec*, gpointer data)
{
    if (!umockdev_ioctl_client_get_connected(UMOCKDEV_IOCTL_CLIENT(obj)))
        clientGone(static_cast<Client*>(data));
}

void clientFree(gpointer p)
{
    auto* cl = static_cast<Client*>(p);
    clientGone(cl);
    delete cl;
}

void onClientConnected(UMockdevIoctlBase*, UMockdevIoctlClient* c, gpointer data)
{
    try {
        const CorePtr& core = *static_cast<CorePtr*>(data);
        auto* cl = new Client;
        cl->core = core;
        cl->client = c;
        g_object_set_data_full(G_OBJECT(c), "emulated-usb-client", cl, clientFree);
        g_signal_connect(c, "notify::connected", G_CALLBACK(onConnectedChanged), cl);
        std::lock_guard<std::recursive_mutex> lock(core->mutex);
        core->noteWorker();
        core->clients.push_back(cl);
        core->st.opens++;
        core->st.openNow++;
    } catch (...) {
        std::fprintf(stderr, "emulated USB device: client set-up failed\n");
    }
}

gboolean onIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* c, gpointer data)
{
    const CorePtr& core = *static_cast<CorePtr*>(data);
    Client* cl = clientOf(c);
    gulong req = umockdev_ioctl_client_get_request(c);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(c);
    UMockdevIoctlData* d = nullptr;
    long res = 0;
    int err = 0;
    bool answered = true;

    // Resolve the argument only for requests known to take a pointer: reading a bogus
    // address makes the preload library abort the client.
    bool ptrArg =
        _IOC_TYPE(req) == 'U' && _IOC_SIZE(req) > 0 && req != USBDEVFS_DISCARDURB && req != USBDEVFS_GET_SPEED;
    if (ptrArg)
        d = umockdev_ioctl_data_resolve(arg, 0, _IOC_SIZE(req), nullptr);
    if (!cl || (ptrArg && !d)) {
        umockdev_ioctl_client_complete(c, -1, cl ? EFAULT : ENODEV);
        if (d)
            g_object_unref(d);
        return TRUE;
    }

    try {
        std::lock_guard<std::recursive_mutex> lock(core->mutex);
        core->noteWorker();
        if ((cl->dead || core->unplugged || core->closed) && req != USBDEVFS_REAPURB && req != USBDEVFS_REAPURBNDELAY) {
            res = -1;
            err = ENODEV;
        } else {
            switch (req) {
            case USBDEVFS_GET_CAPABILITIES: *reinterpret_cast<uint32_t*>(d->data) = kCapabilities; break;
            case USBDEVFS_GET_SPEED: res = core->cfg.speedMbps >= 480 ? 3 /* high */ : 2 /* full */; break;
            case USBDEVFS_CONNECTINFO: {
                auto* ci = reinterpret_cast<usbdevfs_connectinfo*>(d->data);
                ci->devnum = core->cfg.devnum;
                ci->slow = 0;
                break;
            }
            case USBDEVFS_CLAIMINTERFACE: err = core->claim(cl, *reinterpret_cast<unsigned*>(d->data)); break;
            case USBDEVFS_RELEASEINTERFACE: {
                unsigned ifno = *reinterpret_cast<unsigned*>(d->data);
                if (ifno >= 32 || !(cl->claimed & (1u << ifno))) {
                    err = EINVAL;
                } else {
                    cl->claimed &= ~(1u << ifno);
                    core->st.releases++;
                }
                break;
            }
            case USBDEVFS_GETDRIVER: {
                auto* g = reinterpret_cast<usbdevfs_getdriver*>(d->data);
                unsigned ifno = g->interface;
                std::memset(g->driver, 0, sizeof g->driver);
                if (ifno >= core->cfg.interfaces.size())
                    err = EINVAL;
                else if (core->bound & (1u << ifno))
                    g_strlcpy(g->driver, core->cfg.interfaces[ifno].boundDriver.c_str(), sizeof g->driver);
                else if ((cl->claimed & (1u << ifno)) || core->claimedElsewhere(cl, ifno))
                    g_strlcpy(g->driver, "usbfs", sizeof g->driver);
                else
                    err = ENODATA;
                break;
            }
            case USBDEVFS_IOCTL: { // driver (dis)connect, as libusb_detach/attach_kernel_driver use
                auto* io = reinterpret_cast<usbdevfs_ioctl*>(d->data);
                unsigned ifno = io->ifno;
                if (ifno >= core->cfg.interfaces.size()) {
                    err = EINVAL;
                } else if (io->ioctl_code == static_cast<int>(USBDEVFS_DISCONNECT)) {
                    if (core->bound & (1u << ifno)) {
                        core->bound &= ~(1u << ifno);
                        core->st.detaches++;
                    } else if (cl->claimed & (1u << ifno)) {
                        cl->claimed &= ~(1u << ifno); // the kernel unbinds usbfs too
                    } else {
                        err = ENODATA;
                    }
                } else if (io->ioctl_code == static_cast<int>(USBDEVFS_CONNECT)) {
                    if (core->claimedElsewhere(nullptr, ifno))
                        err = EBUSY;
                    else if (!core->cfg.interfaces[ifno].boundDriver.empty())
                        core->bound |= 1u << ifno;
                } else {
                    err = ENOTTY;
                }
                break;
            }
            case USBDEVFS_DISCONNECT_CLAIM: {
                auto* dc = reinterpret_cast<usbdevfs_disconnect_claim*>(d->data);
                unsigned ifno = dc->interface;
                if (ifno >= core->cfg.interfaces.size()) {
                    err = ENOENT;
                    break;
                }
                const std::string& drv = core->cfg.interfaces[ifno].boundDriver;
                bool isBound = (core->bound & (1u << ifno)) != 0;
                bool match = isBound && drv == dc->driver;
                if (isBound &&
                    !((dc->flags & USBDEVFS_DISCONNECT_CLAIM_IF_DRIVER && !match) ||
                      (dc->flags & USBDEVFS_DISCONNECT_CLAIM_EXCEPT_DRIVER && match))) {
                    core->bound &= ~(1u << ifno);
                    core->st.detaches++;
                }
                err = core->claim(cl, ifno);
                break;
            }
            case USBDEVFS_SETINTERFACE:
            case USBDEVFS_SETCONFIGURATION:
            case USBDEVFS_CLEAR_HALT:
            case USBDEVFS_RESETEP:
            case USBDEVFS_RESET: break;
            case USBDEVFS_SUBMITURB: err = core->submit(cl, d); break;
            case USBDEVFS_DISCARDURB: {
                gulong addr = *reinterpret_cast<gulong*>(arg->data);
                err = EINVAL; // already completed (or never submitted)
                for (auto& p : cl->pending)
                    if (p->urb->client_addr == addr) {
                        core->st.discards++;
                        core->finishUrb(cl, p.get(), -ENOENT);
                        err = 0;
                        break;
                    }
                break;
            }
            case USBDEVFS_REAPURB:
            case USBDEVFS_REAPURBNDELAY: answered = core->reap(cl, d, req == USBDEVFS_REAPURBNDELAY, &res, &err); break;
            default: err = ENOTTY;
            }
        }
        if (err && res == 0)
            res = -1;
        if (answered)
            umockdev_ioctl_client_complete(c, res, err);
    } catch (...) {
        umockdev_ioctl_client_complete(c, -1, EIO);
    }
    if (d)
        g_object_unref(d);
    return TRUE;
}

void deleteCoreHolder(gpointer data, GClosure*) { delete static_cast<CorePtr*>(data); }

} // namespace

EmulatedUsbDevice::EmulatedUsbDevice(Testbed& testbed, UsbDeviceConfig config, OutHandler onOut)
    : _testbed(testbed), _core(std::make_shared<Core>())
{
    Core& c = *_core;
    std::lock_guard<std::recursive_mutex> lock(c.mutex); // publishes the set-up to the worker
    c.cfg = std::move(config);
    c.onOut = std::move(onOut);
    c.owner = this;
    c.tb = static_cast<UMockdevTestbed*>(g_object_ref(testbed.get()));
    c.bound = c.defaultBound();
    c.desc = buildDescriptors(c.cfg);
    char node[64];
    std::snprintf(node, sizeof node, "/dev/bus/usb/%03d/%03d", c.cfg.busnum, c.cfg.devnum);
    c.devnode = node;
    c.syspath = "/sys" + c.cfg.sysfsPath;

    std::string hex;
    char byte[3];
    for (uint8_t b : c.desc) {
        std::snprintf(byte, sizeof byte, "%02x", b);
        hex += byte;
    }
    const UsbDeviceConfig& f = c.cfg;
    gchar* text = g_strdup_printf("P: %s\n"
                                  "N: bus/usb/%03d/%03d\n"
                                  "E: SUBSYSTEM=usb\n"
                                  "E: DEVTYPE=usb_device\n"
                                  "E: DEVNAME=%s\n"
                                  "E: PRODUCT=%x/%x/%x\n"
                                  "E: BUSNUM=%03d\n"
                                  "E: DEVNUM=%03d\n"
                                  "A: idVendor=%04x\\n\n"
                                  "A: idProduct=%04x\\n\n"
                                  "A: bcdDevice=%04x\\n\n"
                                  "A: busnum=%d\\n\n"
                                  "A: devnum=%d\\n\n"
                                  "A: speed=%d\\n\n"
                                  "A: bConfigurationValue=1\\n\n"
                                  "A: bNumConfigurations=1\\n\n"
                                  "A: bNumInterfaces=%2d\\n\n"
                                  "A: dev=189:%d\\n\n"
                                  "H: descriptors=%s\n",
                                  f.sysfsPath.c_str(), f.busnum, f.devnum, c.devnode.c_str(), f.vendorId, f.productId,
                                  f.bcdDevice, f.busnum, f.devnum, f.vendorId, f.productId, f.bcdDevice, f.busnum,
                                  f.devnum, f.speedMbps, static_cast<int>(f.interfaces.size()),
                                  (f.busnum - 1) * 128 + f.devnum - 1, hex.c_str());
    c.description = text;
    g_free(text);
    testbed.addFromString(c.description);

    c.handler = umockdev_ioctl_base_new();
    c.signalIds[0] = g_signal_connect_data(c.handler, "client-connected", G_CALLBACK(onClientConnected),
                                           new CorePtr(_core), deleteCoreHolder, GConnectFlags(0));
    c.signalIds[1] = g_signal_connect_data(c.handler, "handle-ioctl", G_CALLBACK(onIoctl), new CorePtr(_core),
                                           deleteCoreHolder, GConnectFlags(0));
    testbed.attachIoctl(c.devnode, c.handler);
}

EmulatedUsbDevice::~EmulatedUsbDevice()
{
    bool wasPlugged;
    {
        std::unique_lock<std::recursive_mutex> lock(_core->mutex);
        _core->closed = true;
        _core->owner = nullptr;
        wasPlugged = !_core->unplugged;
        // Tasks posted by threads that gave up waiting still refer to the core by address.
        _core->taskDone.wait_for(lock, std::chrono::seconds(2),
                                 [&] { return _core->tasksFinished == _core->tasksPosted; });
    }
    _testbed.detachIoctl(_core->devnode);
    for (gulong id : _core->signalIds)
        if (id)
            g_signal_handler_disconnect(_core->handler, id); // breaks the handler <-> core cycle
    if (wasPlugged)
        _testbed.removeDevice(_core->syspath);
}

void EmulatedUsbDevice::queueIn(uint8_t endpoint, const uint8_t* data, size_t length)
{
    std::vector<uint8_t> copy(data, data + length);
    Core* c = _core.get();
    _core->onWorker([c, endpoint, copy] { c->doQueueIn(endpoint, copy.data(), copy.size()); });
}

void EmulatedUsbDevice::stallOutAfter(std::optional<unsigned> n)
{
    Core* c = _core.get();
    _core->onWorker([c, n] { c->outsBeforeStall = n; });
}

void EmulatedUsbDevice::queueInBeforeNextOut(uint8_t endpoint, std::vector<uint8_t> data)
{
    Core* c = _core.get();
    _core->onWorker([c, endpoint, data] { c->inBeforeNextOut.emplace_back(endpoint, data); });
}

void EmulatedUsbDevice::unplug()
{
    Core* c = _core.get();
    _core->onWorker([c] { c->doUnplug(); });
}

bool EmulatedUsbDevice::replug()
{
    Core* c = _core.get();
    auto ok = std::make_shared<bool>(false);
    _core->onWorker([c, ok] { *ok = c->doReplug(); });
    std::lock_guard<std::recursive_mutex> lock(_core->mutex);
    return *ok;
}

bool EmulatedUsbDevice::plugged() const
{
    std::lock_guard<std::recursive_mutex> lock(_core->mutex);
    return !_core->unplugged;
}

namespace {

struct Timer {
    std::shared_ptr<EmulatedUsbDevice::Core> core;
    std::function<void(EmulatedUsbDevice&)> fn;
};

gboolean onTimer(gpointer data)
{
    auto* t = static_cast<Timer*>(data);
    std::lock_guard<std::recursive_mutex> lock(t->core->mutex);
    if (t->core->owner && !t->core->closed) {
        try {
            t->fn(*t->core->owner);
        } catch (...) {
            std::fprintf(stderr, "emulated USB device: timer failed\n");
        }
    }
    return G_SOURCE_REMOVE;
}

} // namespace

bool EmulatedUsbDevice::runLater(std::chrono::milliseconds delay, std::function<void(EmulatedUsbDevice&)> fn)
{
    {
        std::lock_guard<std::recursive_mutex> lock(_core->mutex);
        if (!_core->worker)
            return false;
    }
    auto core = _core;
    auto arm = [core, delay, fn] {
        // Runs on the worker, so the timer data is made and used by one thread only.
        GSource* source = g_timeout_source_new(static_cast<guint>(delay.count()));
        g_source_set_callback(source, onTimer, new Timer{core, fn}, [](gpointer p) { delete static_cast<Timer*>(p); });
        g_source_attach(source, core->worker);
        g_source_unref(source);
    };
    _core->onWorker(arm);
    return true;
}

UsbDeviceStats EmulatedUsbDevice::stats() const
{
    std::lock_guard<std::recursive_mutex> lock(_core->mutex);
    UsbDeviceStats s = _core->st;
    s.boundMask = _core->bound;
    s.claimedMask = 0;
    for (const Client* cl : _core->clients)
        s.claimedMask |= cl->claimed;
    return s;
}

const UsbDeviceConfig& EmulatedUsbDevice::config() const { return _core->cfg; }

std::string EmulatedUsbDevice::devnode() const { return _core->devnode; }

} // namespace emulators
