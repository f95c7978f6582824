#pragma once

#include "updater_exception.h"

/// The link with the key could not be set up.
class cKeyException : public cKeyUpdaterException {
public:
    ~cKeyException() override = default;
    const char* what() const override { return "a USB exception"; }
};

/// The key did not answer the identity read.
class cKeyExceptionNVMread : public cKeyException {
public:
    ~cKeyExceptionNVMread() override = default;
    const char* what() const override { return "Read key NVM exception"; }
};
