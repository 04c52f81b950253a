// The latest message of the colour engine while something runs: the engine's
// error handler is process-wide, so one capture at a time hears it (the
// handler installed before still hears every message). Plain C++.
#pragma once

#include "osl.h"

#include <string>

class EngineMessageCapture {
public:
    EngineMessageCapture();
    ~EngineMessageCapture();
    EngineMessageCapture(const EngineMessageCapture&) = delete;
    EngineMessageCapture& operator=(const EngineMessageCapture&) = delete;

    // The last message reported since the capture began; empty when none.
    std::string latest() const;

private:
    ErrorHandler previous_;
};
