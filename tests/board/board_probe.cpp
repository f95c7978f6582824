// A separate program on the board driver, as the daemon will be: opens one pin, writes the
// value given on the command line and prints what the driver reads back; failures are logged
// on standard error. Run by the tests as a child of the process that owns the emulated driver.
#include "keysmith/orxio_out.h"

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <log4cpp/Category.hh>
#include <log4cpp/OstreamAppender.hh>

int main(int argc, char** argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: board_probe <device> <pin name> <value>\n");
        return 2;
    }
    // The driver's failures, with their causes, on standard error for the test to read.
    log4cpp::Category::getRoot().addAppender(new log4cpp::OstreamAppender("stderr", &std::cerr));
    cORXIOout pin(argv[1], argv[2]);
    if (pin.id() < 0)
        return 3;
    pin.setValue(std::atoi(argv[3]));
    std::printf("pin %d value %d\n", pin.id(), pin.getValue() ? 1 : 0);
    return 0;
}
