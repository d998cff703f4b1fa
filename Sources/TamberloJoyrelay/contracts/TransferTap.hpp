// The transfer tap: what sees the claimed stick's raw reads (capture recording).
#pragma once

#include <cstdint>
#include <span>

namespace joyrelay {

// Sees every completed read of a claimed stick, for recording captures. Called on the bridge queue, on
// the per-report path: implementations must not block, log or allocate there.
class TransferTap {
public:
    virtual ~TransferTap() = default;
    virtual void claimed() = 0;                                       // a stick was claimed
    virtual void transfer(std::span<const std::uint8_t> bytes) = 0;  // a read completed with status 0
    virtual void released() = 0;                                      // the stick was released
};

}  // namespace joyrelay
