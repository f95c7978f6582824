#pragma once

#include "progress_record.h"

#include <cstddef>
#include <string>

namespace keysmith {

/// Told how a firmware transfer to the key goes: cKey says when each try begins, the file
/// transfer how much the key has acknowledged and why a try failed. Called on the thread that
/// runs the transfer.
class TransferObserver {
public:
    virtual ~TransferObserver() = default;
    /// A try begins (1 for the first).
    virtual void attemptStarted(unsigned attempt) = 0;
    /// The key took the file open and has acknowledged `done` of `total` packed bytes.
    virtual void acknowledged(size_t done, size_t total) = 0;
    /// The try failed, for this reason.
    virtual void failed(FailureReason reason, const std::string& detail) = 0;
};

} // namespace keysmith
