#include "check/CheckNameLookups.h"

#include "platform/Resolver.h"

#include <thread>
#include <unistd.h>

TCheckNameLookups::~TCheckNameLookups() {
    if (FWake >= 0)
        ::close(FWake);
}

void TCheckNameLookups::Work(std::shared_ptr<TCheckNameLookups> self) {
    std::unique_lock<std::mutex> lock(self->FLock);
    for (;;) {
        ++self->FIdle;
        self->FReady.wait(lock, [&] { return self->FStopping || !self->FQueue.empty(); });
        --self->FIdle;
        if (self->FStopping)
            return;
        auto [key, host] = std::move(self->FQueue.front());
        self->FQueue.pop_front();
        if (self->FCancelled.erase(key))
            continue;
        lock.unlock();
        std::optional<std::string> address;
        try {
            address = TResolver::ResolveIPv4(host);
        } catch (...) {
        }
        lock.lock();
        if (self->FStopping)
            return;
        self->FAnswers.emplace_back(key, std::move(address));
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(self->FWake, &one, sizeof one);
    }
}

void TCheckNameLookups::Ask(size_t key, const std::string &host) {
    std::lock_guard<std::mutex> lock(FLock);
    FCancelled.erase(key);
    FQueue.emplace_back(key, host);
    if (FIdle < FQueue.size() && FThreads < MaxThreads) {
        ++FThreads;
        std::thread(Work, shared_from_this()).detach();
    }
    FReady.notify_one();
}

void TCheckNameLookups::Cancel(size_t key) {
    std::lock_guard<std::mutex> lock(FLock);
    FCancelled.insert(key);
}

std::vector<TCheckNameLookups::TAnswer> TCheckNameLookups::TakeAnswers() {
    std::vector<TAnswer> answers;
    std::lock_guard<std::mutex> lock(FLock);
    answers.swap(FAnswers);
    return answers;
}

void TCheckNameLookups::Shutdown() {
    std::lock_guard<std::mutex> lock(FLock);
    FStopping = true;
    FQueue.clear();
    FReady.notify_all();
}
