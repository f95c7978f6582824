// One whole key upgrade, shown: the keysmith daemon runs as a child against an emulated key and
// board, with a real broker and a small server that answers every key notification with an
// upgrade request to the stored firmware version. Prints the MQTT conversation and the outcome,
// then stops everything; exits 0 when the upgrade went through as it should.
//
//   keysmith_demo <keysmith binary> <firmware store directory>
#include "tests/emulators/board_io_emulator.h"
#include "tests/support/broker.h"
#include "tests/support/child_process.h"
#include "tests/emulators/key_emulator.h"
#include "tests/support/mqtt_test_client.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_data.h"
#include "tests/emulators/testbed.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <msgpack.hpp>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using emulators::BoardIoEmulator;
using emulators::KeyEmulator;
using testsupport::MqttTestClient;
using namespace std::chrono_literals;

constexpr int kClaimDelaySeconds = 2;

std::string versionText(uint32_t v)
{
    return std::to_string(v >> 16) + "." + std::to_string((v >> 8) & 0xFF) + "." + std::to_string(v & 0xFF);
}

/// "major.minor.patch" packed as the daemon packs it.
uint32_t parseVersion(const std::string& text)
{
    unsigned major = 0, minor = 0, patch = 0;
    std::sscanf(text.c_str(), "%u.%u.%u", &major, &minor, &patch);
    return major << 16 | minor << 8 | patch;
}

/// The record of one message, in words: the array's booleans and versions.
std::string describe(const MqttTestClient::Message& m)
{
    if (m.payload.empty())
        return "(empty: clears the retained request)";
    try {
        const msgpack::object_handle handle = msgpack::unpack(m.payload.data(), m.payload.size());
        const msgpack::object& o = handle.get();
        if (o.type != msgpack::type::ARRAY)
            return "(not an array)";
        const bool notification = m.topic.find("/notification") != std::string::npos;
        const bool request = m.topic.rfind("in/", 0) == 0;
        std::string out = "[";
        for (uint32_t i = 0; i < o.via.array.size; ++i) {
            const msgpack::object& e = o.via.array.ptr[i];
            if (i)
                out += ", ";
            if (e.type == msgpack::type::BOOLEAN)
                out += std::string(request ? "doUpgrade " : "success ") + (e.via.boolean ? "true" : "false");
            else if (e.type == msgpack::type::POSITIVE_INTEGER)
                out += std::string(notification ? "current version " : "version ") +
                    versionText(static_cast<uint32_t>(e.via.u64));
            else
                out += "?";
        }
        return out + "]";
    } catch (const std::exception& e) {
        return std::string("(undecodable: ") + e.what() + ")";
    }
}

std::string readAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

/// The value of a "Key: value" line of the manifest.
std::string manifestValue(const std::string& manifest, const std::string& key)
{
    std::istringstream in(manifest);
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(key + ":", 0) == 0) {
            const auto start = line.find_first_not_of(" \t", key.size() + 1);
            return start == std::string::npos ? "" : line.substr(start);
        }
    return "";
}

std::vector<std::string> lines(const std::string& text)
{
    std::vector<std::string> out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        out.push_back(line);
    return out;
}

bool check(bool ok, const std::string& what)
{
    std::printf("  [%s] %s\n", ok ? " ok " : "FAIL", what.c_str());
    return ok;
}

int run(const std::string& keysmith, const std::string& store)
{
    const std::string manifest = readAll(store + "/MANIFEST");
    const std::string fileName = manifestValue(manifest, "Filename");
    const uint32_t stored = parseVersion(manifestValue(manifest, "Version"));
    const std::string firmware = readAll(store + "/" + fileName);
    if (fileName.empty() || stored == 0 || firmware.empty()) {
        std::fprintf(stderr, "keysmith_demo: no usable firmware store in %s\n", store.c_str());
        return 2;
    }
    const uint32_t older = stored - 1;

    std::printf("== keysmith demonstration ==\n");
    std::printf("firmware store: %s (%s, version %s, %zu bytes)\n", store.c_str(), fileName.c_str(),
                versionText(stored).c_str(), firmware.size());

    emulators::Testbed testbed;
    BoardIoEmulator board(testbed);
    KeyEmulator::Options keyOptions;
    keyOptions.identity.texts[8] = versionText(older);
    KeyEmulator key(testbed, keyOptions);
    const uint32_t serial = *keyOptions.identity.serial;
    char serialText[9];
    std::snprintf(serialText, sizeof serialText, "%08X", serial);
    std::printf("emulated key:   serial %s, firmware %s, plugged in\n", serialText, versionText(older).c_str());
    std::printf("emulated board: %s with LEDs %s and %s\n", board.devnode().c_str(), BoardIoEmulator::kGreenName,
                BoardIoEmulator::kRedName);

    testsupport::Broker broker;
    broker.start();
    std::printf("broker:         mosquitto on 127.0.0.1:%d\n", broker.port());

    MqttTestClient server(broker.port(), "demo-server");
    server.connect();
    server.subscribe("out/key/#", 2);
    server.subscribe("in/key/#", 2);

    testsupport::TempDir dir;
    ::mkdir(dir.file("bin").c_str(), 0755);
    const std::string sv = dir.write("bin/sv",
                                     "#!/bin/sh\n# Stand-in for runit's sv: records its arguments.\necho \"$*\" >> '" +
                                         dir.file("sv.calls") + "'\n");
    ::chmod(sv.c_str(), 0755);
    const std::string config =
        dir.write("keysmith.conf",
                  "ConnectionTime=" + std::to_string(kClaimDelaySeconds) + "\nvek.broker=127.0.0.1\nvek.broker.port=" +
                      std::to_string(broker.port()) + "\nKeyBinary=" + store + "\nvek.orxio.dev=" + board.devnode() +
                      "\nlog4cpp.rootCategory=INFO, file\n"
                      "log4cpp.category.main=DEBUG\nlog4cpp.category.cKeyUpdater=DEBUG\n"
                      "log4cpp.appender.file=FileAppender\nlog4cpp.appender.file.fileName=" +
                      dir.file("keysmith.log") +
                      "\nlog4cpp.appender.file.layout=PatternLayout\n"
                      "log4cpp.appender.file.layout.ConversionPattern=%d{%H:%M:%S.%l} %-5p [%c] %m%n\n");

    auto env = testbed.childEnvironment();
    const char* path = std::getenv("PATH");
    env["PATH"] = dir.file("bin") + ":" + (path ? path : "/usr/bin:/bin");
    const auto t0 = Clock::now();
    auto daemon =
        std::make_unique<testsupport::ChildProcess>(std::vector<std::string>{keysmith, config}, env, dir.path());
    std::printf("keysmith:       started (pid %d), claim delay %d s\n\n", static_cast<int>(daemon->pid()),
                kClaimDelaySeconds);

    auto stamp = [&] { return std::chrono::duration<double>(Clock::now() - t0).count(); };
    std::printf("-- MQTT conversation --\n");
    std::string result;
    const auto deadline = Clock::now() + 45s;
    while (result.empty() && Clock::now() < deadline && daemon->running()) {
        const auto m = server.next(500ms);
        if (!m)
            continue;
        std::printf("%6.2f s  %-32s %-22s %s\n", stamp(), m->topic.c_str(), testsupport::hex(m->payload).c_str(),
                    describe(*m).c_str());
        if (m->topic.size() > 13 && m->topic.compare(m->topic.size() - 13, 13, "/notification") == 0) {
            // The daemon takes a request only while it waits for one, right after announcing.
            std::this_thread::sleep_for(100ms);
            const std::string level = m->topic.substr(8, m->topic.size() - 8 - 13);
            msgpack::sbuffer request;
            msgpack::pack(request, std::make_tuple(true, stored));
            server.publish("in/key/" + level + "/request", std::string(request.data(), request.size()), 2, true);
        } else if (m->topic.size() > 7 && m->topic.compare(m->topic.size() - 7, 7, "/result") == 0) {
            result = m->payload;
        }
    }
    // The clearing of the request may still be on its way.
    while (const auto m = server.next(500ms))
        std::printf("%6.2f s  %-32s %-22s %s\n", stamp(), m->topic.c_str(), testsupport::hex(m->payload).c_str(),
                    describe(*m).c_str());

    // The attempt ends with the link service started again.
    for (int i = 0; i < 100 && lines(readAll(dir.file("sv.calls"))).size() < 2; ++i)
        std::this_thread::sleep_for(50ms);
    key.waitFor(emulators::KeyOp::LinkEnd, 1, 5s);
    board.waitForOpenNow(0, 2s);

    std::printf("\n-- outcome --\n");
    bool ok = true;
    msgpack::sbuffer expected;
    msgpack::pack(expected, std::make_tuple(true, stored));
    ok &= check(result == std::string(expected.data(), expected.size()),
                "result record: success, version " + versionText(stored));
    const auto file = key.file();
    const bool identical =
        file.ended && file.unpacked.ok && std::string(file.unpacked.data.begin(), file.unpacked.data.end()) == firmware;
    ok &= check(identical,
                "firmware received by the key as \"" + file.name + "\": " + std::to_string(file.unpacked.data.size()) +
                    " bytes, byte-identical, in " + std::to_string(file.chunkSizes.size()) + " chunks");
    for (uint16_t pin : {BoardIoEmulator::kGreenId, BoardIoEmulator::kRedId}) {
        const auto writes = board.writes(pin);
        size_t lit = 0;
        for (const auto& w : writes)
            lit += w.value == 1;
        const bool rested = !writes.empty() && writes.back().value == 0;
        ok &= check(lit >= 1 && rested,
                    std::string(pin == BoardIoEmulator::kGreenId ? "green" : "red") + " LED: " +
                        std::to_string(writes.size()) + " writes, lit " + std::to_string(lit) + " times, back at rest");
    }
    const auto calls = lines(readAll(dir.file("sv.calls")));
    std::string callText;
    for (const auto& c : calls)
        callText += (callText.empty() ? "" : ", ") + ("sv " + c);
    ok &= check(calls == std::vector<std::string>{"stop moxlink", "start moxlink"}, "link service: " + callText);

    std::printf("\n-- stopping keysmith (SIGTERM; it finishes its current poll first) --\n");
    const auto stopAt = Clock::now();
    daemon->signal(SIGTERM);
    const auto code = daemon->waitExitCode(20s);
    ok &=
        check(code && *code == 0,
              "keysmith exited with status " + (code ? std::to_string(*code) : "(still running)") + " after " +
                  std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - stopAt).count()) +
                  " ms");
    daemon.reset();

    std::printf("\n-- keysmith's log --\n%s", readAll(dir.file("keysmith.log")).c_str());
    std::printf("\n%s (%.1f s)\n", ok ? "demonstration succeeded" : "demonstration FAILED", stamp());
    return ok ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: keysmith_demo <keysmith binary> <firmware store directory>\n");
        return 2;
    }
    if (!emulators::reexecUnderPreload(argc, argv))
        return 2;
    // The child starts in a directory of its own: both paths must not depend on ours.
    char* keysmith = realpath(argv[1], nullptr);
    char* store = realpath(argv[2], nullptr);
    if (!keysmith || !store) {
        std::fprintf(stderr, "keysmith_demo: %s: not found\n", keysmith ? argv[2] : argv[1]);
        std::free(keysmith);
        std::free(store);
        return 2;
    }
    const std::string keysmithPath = keysmith, storePath = store;
    std::free(keysmith);
    std::free(store);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    try {
        return run(keysmithPath, storePath);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "keysmith_demo: %s\n", e.what());
        return 1;
    }
}
