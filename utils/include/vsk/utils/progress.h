// The progress interface of long operations: they report their progress through it and ask it
// whether the user wants to cancel. Operations accept a null pointer (no progress shown). Free of
// any window code, so that code without windows can take it.
#pragma once

#include <vsk/platform/types.h>

#include <cstdint>

namespace Vsk::Utils {

class IProgress {
public:
    virtual void start(const WCHAR* title) = 0;
    virtual void stop() = 0;
    // The position that means 100 %. Callers do not use the result.
    virtual bool setRange(uint32_t range) = 0;
    virtual uint32_t getRange() = 0;
    virtual void setPos(uint32_t position) = 0;
    // -1 while not started.
    virtual int32_t getPos() = 0;
    virtual void next() = 0;
    virtual bool isCancelled() = 0;

protected:
    // Implementations live on their users' stacks and are never deleted through the interface.
    ~IProgress() = default;
};

}  // namespace Vsk::Utils
