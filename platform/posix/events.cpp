#include "../kernel.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace {

struct Event {
    std::mutex lock;
    std::condition_variable signalled;
    bool manualReset;
    bool set;
};

}  // namespace

HANDLE CreateEventA(void*, BOOL manualReset, BOOL initialState, LPCSTR name)
{
    if (name != nullptr)
        return nullptr;  // named events are not needed here
    return new Event{{}, {}, manualReset != FALSE, initialState != FALSE};
}

BOOL SetEvent(HANDLE handle)
{
    auto* event = static_cast<Event*>(handle);
    if (event == nullptr)
        return FALSE;
    {
        std::lock_guard<std::mutex> guard(event->lock);
        event->set = true;
    }
    event->signalled.notify_all();
    return TRUE;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds)
{
    auto* event = static_cast<Event*>(handle);
    if (event == nullptr)
        return WAIT_FAILED;
    std::unique_lock<std::mutex> guard(event->lock);
    const auto isSet = [event] { return event->set; };
    if (milliseconds == INFINITE)
        event->signalled.wait(guard, isSet);
    else if (!event->signalled.wait_for(guard, std::chrono::milliseconds(milliseconds), isSet))
        return WAIT_TIMEOUT;
    if (!event->manualReset)
        event->set = false;
    return WAIT_OBJECT_0;
}

BOOL CloseHandle(HANDLE handle)
{
    if (handle == nullptr)
        return FALSE;
    delete static_cast<Event*>(handle);
    return TRUE;
}
