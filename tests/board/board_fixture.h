#pragma once
// Shared set-up of the board tests: a testbed with the emulated board I/O driver and log capture.

#include "tests/emulators/board_io_emulator.h"
#include "tests/support/log_capture.h"
#include "keysmith/orxio_out.h"

#include <chrono>
#include <gtest/gtest.h>
#include <memory>
#include <string>

namespace boardtest {

using emulators::BoardIoEmulator;
using emulators::BoardPin;
using emulators::PinWrite;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

class BoardTest : public ::testing::Test {
protected:
    emulators::Testbed testbed;
    testsupport::LogCapture log;
    std::unique_ptr<BoardIoEmulator> board;

    void SetUp() override { board = std::make_unique<BoardIoEmulator>(testbed); }

    void useBoard(BoardIoEmulator::Options options)
    {
        board.reset();
        board = std::make_unique<BoardIoEmulator>(testbed, std::move(options));
    }

    std::unique_ptr<cORXIOout> pin(const std::string& name)
    {
        return std::make_unique<cORXIOout>(board->devnode(), name);
    }

    /// Records of one category and priority with exactly this message.
    size_t countExact(const std::string& category, log4cpp::Priority::Value priority, const std::string& message) const
    {
        size_t n = 0;
        for (const auto& e : log.entries())
            n += e.category == category && e.priority == priority && e.message == message;
        return n;
    }
};

} // namespace boardtest
