#pragma once

/// Root of the key update daemon's exception classes. Deliberately not derived from
/// std::exception: the upgrade loop catches this hierarchy per attempt.
class cKeyUpdaterException {
public:
    virtual ~cKeyUpdaterException() = default;
    virtual const char* what() const { return "an updater exception"; }
};
