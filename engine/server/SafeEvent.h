#pragma once
// An event slot that one thread may assign or clear while others raise it:
// the owner of a server detaches its handlers from the user-interface thread
// while connection threads are still reporting. Assign it like a
// std::function; raising it calls the handler assigned at that moment, or
// nothing when none is. A handler that is running when it is cleared runs to
// its end.

#include <functional>
#include <memory>
#include <mutex>
#include <utility>

template <class Signature> class TSafeEvent;

template <class R, class... Args> class TSafeEvent<R(Args...)> {
public:
    using TFunction = std::function<R(Args...)>;

    TSafeEvent() = default;
    TSafeEvent(const TSafeEvent &) = delete;
    TSafeEvent &operator=(const TSafeEvent &) = delete;

    TSafeEvent &operator=(TFunction handler) {
        auto next = handler ? std::make_shared<const TFunction>(std::move(handler)) : nullptr;
        std::lock_guard<std::mutex> guard(FLock);
        FHandler.swap(next);
        return *this;
    }
    TSafeEvent &operator=(std::nullptr_t) { return *this = TFunction(); }

    explicit operator bool() const {
        std::lock_guard<std::mutex> guard(FLock);
        return FHandler != nullptr;
    }

    // Raises the event when a handler is assigned; returns whether it was.
    template <class... CallArgs> bool operator()(CallArgs &&...args) const {
        std::shared_ptr<const TFunction> handler;
        {
            std::lock_guard<std::mutex> guard(FLock);
            handler = FHandler;
        }
        if (!handler)
            return false;
        (*handler)(std::forward<CallArgs>(args)...);
        return true;
    }

private:
    mutable std::mutex FLock;
    std::shared_ptr<const TFunction> FHandler;
};
