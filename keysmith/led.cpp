#include "led.h"

#include <system_error>

cLED::cLED(std::unique_ptr<cORXIOout> green_, std::unique_ptr<cORXIOout> red_)
    : log(log4cpp::Category::getInstance("cLED")), green(std::move(green_)), red(std::move(red_))
{
    set(0);
    set(3);
}

cLED::~cLED() { set(0); }

void cLED::set(int state)
{
    if (state == 3) {
        if (blinker.joinable())
            return;
        {
            std::lock_guard<std::mutex> lock(stopMutex);
            stopRequested = false;
        }
        try {
            blinker = std::thread(&cLED::blinkLoop, this);
        } catch (const std::system_error& e) {
            log.error("Could not start blinking: %s", e.what());
        }
        return;
    }
    stopBlinking();
    apply(state);
}

void cLED::apply(int state)
{
    if (!green || !red)
        return;
    switch (state) {
    case 0:
        green->setLevel();
        red->setLevel();
        break;
    case 1:
        green->setLevel();
        red->setOppositeLevel();
        break;
    case 2:
        green->setOppositeLevel();
        red->setLevel();
        break;
    default: break;
    }
}

void cLED::stopBlinking()
{
    if (!blinker.joinable())
        return;
    {
        std::lock_guard<std::mutex> lock(stopMutex);
        stopRequested = true;
    }
    stopSignal.notify_one();
    blinker.join();
}

bool cLED::pauseUntil(std::chrono::steady_clock::time_point deadline)
{
    std::unique_lock<std::mutex> lock(stopMutex);
    return !stopSignal.wait_until(lock, deadline, [this] { return stopRequested; });
}

void cLED::blinkLoop() noexcept
{
    try {
        for (;;) {
            apply(1);
            if (!pauseUntil(std::chrono::steady_clock::now() + kBlinkPhase))
                return;
            apply(2);
            if (!pauseUntil(std::chrono::steady_clock::now() + kBlinkPhase))
                return;
        }
    } catch (const std::exception& e) {
        log.error("Blinking stopped: %s", e.what());
    } catch (...) {
        log.error("Blinking stopped");
    }
}
