#include "key_emulator.h"

#include "platform/tag_item_factory.h"
#include "platform/tag_msg.h"

#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>

namespace emulators {

namespace {

constexpr uint8_t kEpOut = 0x01;
constexpr uint8_t kEpIn = 0x82;
constexpr uint8_t kFlag = 0x7E;
constexpr uint8_t kEscape = 0x7D;
constexpr size_t kRxCapacity = 1024;

// The key's side of the framing is written independently of the daemon's framer (bitwise
// CRC, its own stuffing), so that the two cross-check each other.
uint16_t fcs16(const uint8_t* data, size_t length)
{
    uint16_t fcs = 0xFFFF;
    for (size_t i = 0; i < length; ++i) {
        fcs ^= data[i];
        for (int b = 0; b < 8; ++b)
            fcs = (fcs & 1) ? static_cast<uint16_t>((fcs >> 1) ^ 0x8408) : static_cast<uint16_t>(fcs >> 1);
    }
    return fcs;
}

void putStuffed(std::vector<uint8_t>& out, uint8_t b)
{
    if (b == 0x7E || b == 0x7D || b == 0x08 || b == 0x7F) {
        out.push_back(kEscape);
        out.push_back(b ^ 0x20);
    } else {
        out.push_back(b);
    }
}

std::vector<uint8_t> makeFrame(const std::vector<uint8_t>& payload, bool corruptFcs)
{
    uint16_t f = static_cast<uint16_t>(~fcs16(payload.data(), payload.size()));
    if (corruptFcs)
        f ^= 0x0101;
    std::vector<uint8_t> out{kFlag};
    for (uint8_t b : payload)
        putStuffed(out, b);
    putStuffed(out, static_cast<uint8_t>(f & 0xFF));
    putStuffed(out, static_cast<uint8_t>(f >> 8));
    out.push_back(kFlag);
    return out;
}

std::vector<uint8_t> serialise(const TagMsg& msg)
{
    std::vector<uint8_t> buf(65536);
    buf.resize(msg.getMsg(buf.data(), buf.size()));
    return buf;
}

std::string versionText(uint32_t v)
{
    return std::to_string(v >> 16) + "." + std::to_string((v >> 8) & 0xFF) + "." + std::to_string(v & 0xFF);
}

ReceivedItem flatten(const TagItem& item)
{
    ReceivedItem r;
    r.tag = item.tagId;
    r.kind = item.kind();
    switch (item.kind()) {
    case TagItem::Kind::UInt32: r.number = static_cast<const TagItemUInt32&>(item).getValue(); break;
    case TagItem::Kind::UInt16: r.number = static_cast<const TagItemUInt16&>(item).getValue(); break;
    case TagItem::Kind::String: {
        std::vector<char> buf(65536);
        static_cast<const TagItemString&>(item).getValue(buf.data(), buf.size());
        r.text = buf.data();
        break;
    }
    case TagItem::Kind::Bytes: {
        const auto& b = static_cast<const TagItemBytes&>(item);
        r.bytes.assign(b.getData(), b.getData() + b.getLength());
        break;
    }
    }
    return r;
}

/// What the worker does after the key's state has been updated (outside the state's lock).
struct Action {
    enum class Kind { Send, Unplug, UnplugReplug, StopReading } kind = Kind::Send;
    std::vector<uint8_t> bytes;
    std::chrono::milliseconds delay{0};
    size_t pieceSize = 0; // 0 = one transfer
};

} // namespace

const ReceivedItem* ReceivedMessage::find(uint8_t tag) const
{
    for (const auto& i : items)
        if (i.tag == tag)
            return &i;
    return nullptr;
}

const char* toString(KeyOp op)
{
    switch (op) {
    case KeyOp::LinkStart: return "link start";
    case KeyOp::IdentityRead: return "identity read";
    case KeyOp::LinkEnd: return "link end";
    case KeyOp::VersionClear: return "version clear";
    case KeyOp::FileOpen: return "file open";
    case KeyOp::FileData: return "file data";
    case KeyOp::TransferEnd: return "transfer end";
    case KeyOp::Unknown: break;
    }
    return "unknown";
}

KeyIdentity KeyIdentity::defaults()
{
    KeyIdentity id;
    id.serial = 0x00A1B2C3;
    id.texts = {{1, "KEYBOX-7"},      {2, "HW-REV-B"},
                {3, "2.1"},           {4, "2024-01"},
                {5, "Key test unit"}, {6, "emu-board"},
                {7, "emu-loader"},    {8, "8.9.1"},
                {9, "emu-radio"},     {35, "0123456789abcdef0123456789abcdef"},
                {43, "emulated key"}};
    id.numbers = {{36, 1}, {44, 2}};
    return id;
}

struct KeyEmulator::State {
    struct PendingFault {
        KeyFault fault;
        unsigned skip;
        unsigned times;
    };

    // Guards everything below. Taken after the USB device's lock (the OUT handler runs with
    // that one held), never the other way round.
    mutable std::mutex mutex;
    mutable std::condition_variable changed;

    KeyIdentity identity;
    uint8_t openStatus = 0;
    std::optional<uint32_t> granted = 256;
    bool adoptVersion = true;
    std::map<KeyOp, std::vector<PendingFault>> faults;

    std::vector<ReceivedMessage> messages;
    std::vector<OutPacket> packets;
    unsigned badFrames = 0, unparsable = 0;
    std::vector<ReceivedFile> files;
    bool fileOpen = false; // the last file in `files` takes data

    // De-framing of the OUT stream.
    std::vector<uint8_t> rx;
    bool inFrame = false, escaped = false;

    std::optional<KeyFault> takeFault(KeyOp op)
    {
        auto it = faults.find(op);
        if (it == faults.end())
            return std::nullopt;
        std::optional<KeyFault> chosen;
        auto& list = it->second;
        for (auto f = list.begin(); f != list.end();) {
            if (f->skip > 0) {
                f->skip--;
            } else if (!chosen) {
                chosen = f->fault;
                if (--f->times == 0) {
                    f = list.erase(f);
                    continue;
                }
            }
            ++f;
        }
        return chosen;
    }

    void resetLink()
    {
        rx.clear();
        inFrame = escaped = false;
        if (fileOpen && !files.empty())
            files.back().interrupted = true;
        fileOpen = false;
    }

    /// Feeds OUT bytes; returns the payloads of the good frames completed.
    std::vector<std::vector<uint8_t>> deframe(const uint8_t* data, size_t length)
    {
        std::vector<std::vector<uint8_t>> frames;
        for (size_t i = 0; i < length; ++i) {
            uint8_t b = data[i];
            if (!inFrame) {
                inFrame = b == kFlag; // bytes between frames are ignored
                continue;
            }
            if (b == kFlag) {
                if (rx.size() <= 2) // repeated flags: still opening
                    continue;
                if (fcs16(rx.data(), rx.size()) == 0xF0B8)
                    frames.emplace_back(rx.begin(), rx.end() - 2);
                else
                    badFrames++;
                rx.clear();
                inFrame = escaped = false;
                continue;
            }
            if (b == kEscape) {
                escaped = true;
                continue;
            }
            rx.push_back(escaped ? b ^ 0x20 : b);
            escaped = false;
            if (rx.size() >= kRxCapacity) {
                rx.clear();
                inFrame = escaped = false;
            }
        }
        return frames;
    }

    KeyOp classify(const ReceivedMessage& m) const
    {
        if (m.type == 5)
            return KeyOp::FileData;
        if (m.find(21))
            return KeyOp::IdentityRead;
        if (m.find(22))
            return KeyOp::LinkEnd;
        if (m.find(38))
            return KeyOp::FileOpen;
        if (m.find(27))
            return fileOpen ? KeyOp::TransferEnd : KeyOp::LinkStart;
        const ReceivedItem* v = m.find(8);
        if (v && v->kind == TagItem::Kind::String && v->text.empty())
            return KeyOp::VersionClear;
        return KeyOp::Unknown;
    }

    std::unique_ptr<TagMsg> identityReply() const
    {
        auto r = std::make_unique<TagMsg>(1);
        if (identity.serial)
            r->addTag(TagItemFactory::createTagItem(0, *identity.serial));
        std::map<uint8_t, std::unique_ptr<TagItem>> byTag;
        for (const auto& t : identity.texts)
            byTag[t.first] = TagItemFactory::createTagItem(t.first, t.second.c_str());
        for (const auto& n : identity.numbers)
            byTag[n.first] = TagItemFactory::createTagItem(n.first, n.second);
        for (auto& t : byTag)
            r->addTag(std::move(t.second));
        return r;
    }

    std::unique_ptr<TagMsg> fileOpenReply(const ReceivedMessage& m, const std::optional<KeyFault>& fault)
    {
        const ReceivedItem* name = m.find(38);
        const ReceivedItem* size = m.find(39);
        const ReceivedItem* packet = m.find(40);
        const ReceivedItem* version = m.find(42);
        auto r = std::make_unique<TagMsg>(1);
        r->status = fault && fault->kind == KeyFault::Kind::Status ? fault->status : openStatus;
        std::string echo = name ? name->text : "";
        if (fault && fault->kind == KeyFault::Kind::WrongEcho)
            echo = fault->text;
        r->addTag(TagItemFactory::createTagItem(38, echo.c_str()));
        if (granted)
            r->addTag(TagItemFactory::createTagItem(40, *granted));
        if (r->status == 0) {
            if (fileOpen && !files.empty())
                files.back().interrupted = true;
            ReceivedFile f;
            f.name = name ? name->text : "";
            f.declaredSize = size ? size->number : 0;
            f.proposedPacketSize = packet ? packet->number : 0;
            f.version = version ? version->number : 0;
            files.push_back(std::move(f));
            fileOpen = true;
        }
        return r;
    }

    std::unique_ptr<TagMsg> fileDataReply(const ReceivedMessage& m, const std::optional<KeyFault>& fault)
    {
        const ReceivedItem* data = m.find(37);
        const ReceivedItem* check = m.find(41);
        bool fcsOk = data && check && fcs16(data->bytes.data(), data->bytes.size()) == check->number;
        if (fileOpen && data) {
            files.back().chunkSizes.push_back(data->bytes.size());
            if (!fcsOk)
                files.back().badChunks++;
        }
        bool refused = fault && fault->kind == KeyFault::Kind::Status;
        auto r = std::make_unique<TagMsg>(5);
        if (!fcsOk || !fileOpen || refused) {
            r->status = refused ? fault->status : 1;
            r->addTag(TagItemFactory::createTagItem(0, uint32_t{1}));
            return r;
        }
        auto& packed = files.back().packed;
        packed.insert(packed.end(), data->bytes.begin(), data->bytes.end());
        if (fault && fault->kind == KeyFault::Kind::FirstTagNot41)
            r->addTag(TagItemFactory::createTagItem(0, uint32_t{0}));
        r->addTag(TagItemFactory::createTagItem(41, static_cast<uint16_t>(check->number)));
        return r;
    }

    void endTransfer()
    {
        ReceivedFile& f = files.back();
        f.ended = true;
        fileOpen = false;
        f.unpacked = unpackImage(f.packed);
        if (adoptVersion && f.unpacked.ok && f.packed.size() == f.declaredSize)
            identity.texts[8] = versionText(f.version);
    }

    /// Handles one good frame's payload; returns what the device should do.
    std::vector<Action> handle(const std::vector<uint8_t>& payload)
    {
        auto msg = TagMsg::parseMsg(payload.data(), static_cast<uint16_t>(payload.size()));
        if (!msg) {
            unparsable++;
            return {};
        }
        ReceivedMessage m;
        m.type = msg->leadByte;
        m.status = msg->status;
        m.payloadLength = payload.size();
        m.at = std::chrono::steady_clock::now();
        msg->gotoFirst(); // the next getTag returns the first item
        while (TagItem* item = msg->getTag())
            m.items.push_back(flatten(*item));
        m.op = classify(m);
        KeyOp op = m.op;
        messages.push_back(m);

        std::optional<KeyFault> fault = takeFault(op);
        using K = KeyFault::Kind;
        if (fault && fault->kind == K::NoReply)
            return {};
        if (fault && (fault->kind == K::Unplug || fault->kind == K::UnplugReplug)) {
            Action a;
            a.kind = fault->kind == K::Unplug ? Action::Kind::Unplug : Action::Kind::UnplugReplug;
            a.delay = fault->delay;
            return {a};
        }

        std::unique_ptr<TagMsg> reply;
        switch (op) {
        case KeyOp::IdentityRead: reply = identityReply(); break;
        case KeyOp::LinkEnd:
            reply = std::make_unique<TagMsg>(1);
            reply->addTag(TagItemFactory::createTagItem(22, uint32_t{0}));
            break;
        case KeyOp::FileOpen: reply = fileOpenReply(m, fault); break;
        case KeyOp::FileData: reply = fileDataReply(m, fault); break;
        case KeyOp::TransferEnd: endTransfer(); break;
        case KeyOp::LinkStart:
        case KeyOp::VersionClear:
        case KeyOp::Unknown: break;
        }
        Action stop;
        stop.kind = Action::Kind::StopReading;
        const bool stopReading = fault && fault->kind == K::StopReading;
        if (!reply)
            return stopReading ? std::vector<Action>{stop} : std::vector<Action>{};
        if (fault && fault->kind == K::Status && op != KeyOp::FileOpen && op != KeyOp::FileData)
            reply->status = fault->status;

        Action a;
        a.bytes = makeFrame(serialise(*reply), fault && fault->kind == K::CorruptFcs);
        if (fault && fault->kind == K::RawReply)
            a.bytes = fault->raw;
        if (fault && fault->kind == K::LateReply)
            a.delay = fault->delay;
        if (fault && fault->kind == K::SplitReply) {
            a.pieceSize = std::max<size_t>(1, fault->pieceSize);
            a.delay = fault->delay;
        }
        if (stopReading)
            return {a, stop};
        return {a};
    }
};

namespace {

void sendNow(EmulatedUsbDevice& dev, const std::vector<uint8_t>& bytes)
{
    dev.queueIn(kEpIn, bytes.data(), bytes.size());
}

void perform(EmulatedUsbDevice& dev, const std::shared_ptr<KeyEmulator::State>& state, const Action& a)
{
    switch (a.kind) {
    case Action::Kind::Unplug:
    case Action::Kind::UnplugReplug: {
        dev.unplug();
        {
            std::lock_guard<std::mutex> lock(state->mutex);
            state->resetLink();
        }
        if (a.kind == Action::Kind::UnplugReplug)
            dev.runLater(a.delay, [](EmulatedUsbDevice& d) { d.replug(); });
        return;
    }
    case Action::Kind::StopReading: dev.stallOutAfter(0); return;
    case Action::Kind::Send: break;
    }
    if (a.pieceSize == 0) {
        if (a.delay.count() == 0)
            sendNow(dev, a.bytes);
        else
            dev.runLater(a.delay, [bytes = a.bytes](EmulatedUsbDevice& d) { sendNow(d, bytes); });
        return;
    }
    // Short packets: each one completes a separate read on the host.
    size_t index = 0;
    for (size_t off = 0; off < a.bytes.size(); off += a.pieceSize, ++index) {
        std::vector<uint8_t> piece(a.bytes.begin() + off,
                                   a.bytes.begin() + std::min(a.bytes.size(), off + a.pieceSize));
        if (a.delay.count() == 0 || index == 0)
            sendNow(dev, piece);
        else
            dev.runLater(a.delay * index, [piece](EmulatedUsbDevice& d) { sendNow(d, piece); });
    }
}

UsbDeviceConfig keyDeviceConfig(const KeyEmulator::Options& o)
{
    UsbDeviceConfig c;
    c.sysfsPath = o.sysfsPath;
    c.devnum = o.devnum;
    c.vendorId = KeyEmulator::kVendorId;
    c.productId = KeyEmulator::kProductId;
    c.claimBusy = o.claimBusy;
    c.reapHoldMs = o.reapHoldMs;
    c.reapHoldBusyMs = o.reapHoldBusyMs;
    UsbInterfaceConfig control;
    control.interfaceClass = 0x02;
    control.boundDriver = o.driverInterface0;
    UsbInterfaceConfig data;
    data.interfaceClass = 0x0A;
    data.endpoints = {{kEpOut, 2, 64}, {kEpIn, 2, 64}};
    data.boundDriver = o.driverInterface1;
    c.interfaces = {control, data};
    return c;
}

} // namespace

KeyEmulator::KeyEmulator(Testbed& testbed) : KeyEmulator(testbed, Options{}) {}

KeyEmulator::KeyEmulator(Testbed& testbed, Options options) : _state(std::make_shared<State>())
{
    {
        std::lock_guard<std::mutex> lock(_state->mutex);
        _state->identity = options.identity;
    }
    std::shared_ptr<State> state = _state;
    auto onOut = [state](EmulatedUsbDevice& dev, uint8_t ep, const uint8_t* data, size_t length) {
        if (ep != kEpOut)
            return;
        std::vector<Action> actions;
        {
            std::lock_guard<std::mutex> lock(state->mutex);
            state->packets.push_back({std::vector<uint8_t>(data, data + length), std::chrono::steady_clock::now()});
            for (const auto& payload : state->deframe(data, length))
                for (auto& a : state->handle(payload))
                    actions.push_back(std::move(a));
            state->changed.notify_all();
        }
        for (const auto& a : actions)
            perform(dev, state, a);
    };
    _usb = std::make_unique<EmulatedUsbDevice>(testbed, keyDeviceConfig(options), onOut);
}

KeyEmulator::~KeyEmulator() { _usb.reset(); }

void KeyEmulator::setIdentity(KeyIdentity identity)
{
    std::lock_guard<std::mutex> lock(_state->mutex);
    _state->identity = std::move(identity);
}

KeyIdentity KeyEmulator::identity() const
{
    std::lock_guard<std::mutex> lock(_state->mutex);
    return _state->identity;
}

void KeyEmulator::setOpenStatus(uint8_t status)
{
    std::lock_guard<std::mutex> lock(_state->mutex);
    _state->openStatus = status;
}

void KeyEmulator::setGrantedPacketSize(std::optional<uint32_t> size)
{
    std::lock_guard<std::mutex> lock(_state->mutex);
    _state->granted = size;
}

void KeyEmulator::setAdoptVersion(bool adopt)
{
    std::lock_guard<std::mutex> lock(_state->mutex);
    _state->adoptVersion = adopt;
}

void KeyEmulator::injectFault(KeyOp op, KeyFault fault, unsigned nth, unsigned times)
{
    if (nth == 0 || times == 0)
        return;
    std::lock_guard<std::mutex> lock(_state->mutex);
    _state->faults[op].push_back({std::move(fault), nth - 1, times});
}

void KeyEmulator::clearFaults()
{
    std::lock_guard<std::mutex> lock(_state->mutex);
    _state->faults.clear();
}

void KeyEmulator::unplug()
{
    _usb->unplug();
    std::lock_guard<std::mutex> lock(_state->mutex);
    _state->resetLink();
}

bool KeyEmulator::replug() { return _usb->replug(); }

bool KeyEmulator::plugged() const { return _usb->plugged(); }

void KeyEmulator::sendRaw(const std::vector<uint8_t>& bytes) { _usb->queueIn(kEpIn, bytes.data(), bytes.size()); }

UsbDeviceStats KeyEmulator::usbStats() const { return _usb->stats(); }

std::vector<ReceivedMessage> KeyEmulator::messages() const
{
    std::lock_guard<std::mutex> lock(_state->mutex);
    return _state->messages;
}

std::vector<ReceivedMessage> KeyEmulator::messages(KeyOp op) const
{
    std::lock_guard<std::mutex> lock(_state->mutex);
    std::vector<ReceivedMessage> out;
    for (const auto& m : _state->messages)
        if (m.op == op)
            out.push_back(m);
    return out;
}

size_t KeyEmulator::count(KeyOp op) const { return messages(op).size(); }

bool KeyEmulator::waitFor(KeyOp op, size_t n, std::chrono::milliseconds timeout) const
{
    std::unique_lock<std::mutex> lock(_state->mutex);
    return _state->changed.wait_for(lock, timeout, [&] {
        size_t c = 0;
        for (const auto& m : _state->messages)
            c += m.op == op;
        return c >= n;
    });
}

std::vector<OutPacket> KeyEmulator::outPackets() const
{
    std::lock_guard<std::mutex> lock(_state->mutex);
    return _state->packets;
}

std::vector<uint8_t> KeyEmulator::outStream() const
{
    std::lock_guard<std::mutex> lock(_state->mutex);
    std::vector<uint8_t> all;
    for (const auto& p : _state->packets)
        all.insert(all.end(), p.data.begin(), p.data.end());
    return all;
}

unsigned KeyEmulator::badFrames() const
{
    std::lock_guard<std::mutex> lock(_state->mutex);
    return _state->badFrames;
}

unsigned KeyEmulator::unparsableMessages() const
{
    std::lock_guard<std::mutex> lock(_state->mutex);
    return _state->unparsable;
}

std::vector<ReceivedFile> KeyEmulator::files() const
{
    std::lock_guard<std::mutex> lock(_state->mutex);
    return _state->files;
}

ReceivedFile KeyEmulator::file() const
{
    std::lock_guard<std::mutex> lock(_state->mutex);
    return _state->files.empty() ? ReceivedFile{} : _state->files.back();
}

void KeyEmulator::clearRecords()
{
    std::lock_guard<std::mutex> lock(_state->mutex);
    _state->messages.clear();
    _state->packets.clear();
    _state->badFrames = _state->unparsable = 0;
    _state->files.clear();
    _state->fileOpen = false;
}

} // namespace emulators
