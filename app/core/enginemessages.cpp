// Capturing the engine's messages.
#include "app/core/enginemessages.h"

#include <mutex>

namespace {

std::mutex capturedMutex;
std::string capturedMessage;
ErrorHandler previousHandler = nullptr;

void captureMessage(EngineContext* ctx, uint32_t code, const char* text)
{
    ErrorHandler previous;
    {
        std::lock_guard<std::mutex> lock(capturedMutex);
        capturedMessage = text ? text : "";
        previous = previousHandler;
    }
    if (previous) previous(ctx, code, text);
}

}   // namespace

EngineMessageCapture::EngineMessageCapture() : previous_(errorHandler())
{
    {
        std::lock_guard<std::mutex> lock(capturedMutex);
        capturedMessage.clear();
        previousHandler = previous_ == captureMessage ? nullptr : previous_;
    }
    setErrorHandler(captureMessage);
}

EngineMessageCapture::~EngineMessageCapture()
{
    setErrorHandler(previous_);
    std::lock_guard<std::mutex> lock(capturedMutex);
    previousHandler = nullptr;
}

std::string EngineMessageCapture::latest() const
{
    std::lock_guard<std::mutex> lock(capturedMutex);
    return capturedMessage;
}
