#pragma once

#include "updater_exception.h"

/// The USB channel to the key could not be set up.
class cUSBinterfaceException : public cKeyUpdaterException {
public:
    ~cUSBinterfaceException() override = default;
    const char* what() const override { return "a USB exeption"; }
};

/// The key was not found, could not be opened or its interfaces could not be claimed.
class cUSBinterfaceExceptionClaim : public cUSBinterfaceException {
public:
    ~cUSBinterfaceExceptionClaim() override = default;
    const char* what() const override { return "could not claim usb device"; }
};
