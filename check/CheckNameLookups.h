#pragma once
// The name look-ups of a check pool (check/CheckPool.h): host names to IPv4
// addresses with TResolver (platform), on up to four worker threads of their
// own, so the pool's loop never waits for the name service. Each answer is
// queued under the key it was asked with, and the pool's eventfd is written
// once per answer.
//
// The object is shared (std::shared_ptr) by the pool and its workers, which
// may outlive the pool by one look-up; the last owner closes the eventfd.

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

class TCheckNameLookups : public std::enable_shared_from_this<TCheckNameLookups> {
public:
    // The key asked with, and the IPv4 address, or nothing when the name failed.
    using TAnswer = std::pair<size_t, std::optional<std::string>>;

    // `wake`: an eventfd, owned from here on. Make with std::make_shared.
    explicit TCheckNameLookups(int wake) : FWake(wake) {}
    ~TCheckNameLookups();
    TCheckNameLookups(const TCheckNameLookups &) = delete;
    TCheckNameLookups &operator=(const TCheckNameLookups &) = delete;

    // Looks `host` up; a worker starts when none is idle and fewer than four run.
    void Ask(size_t key, const std::string &host);
    // Drops the look-up of `key` if no worker has taken it yet.
    void Cancel(size_t key);
    // The answers come since the last call.
    std::vector<TAnswer> TakeAnswers();
    // Ends the workers: the waiting ones at once, the busy ones after their
    // look-up, whose answer is dropped.
    void Shutdown();

private:
    static constexpr size_t MaxThreads = 4;

    static void Work(std::shared_ptr<TCheckNameLookups> self);

    std::mutex FLock;
    std::condition_variable FReady;
    std::deque<std::pair<size_t, std::string>> FQueue;
    std::unordered_set<size_t> FCancelled;
    std::vector<TAnswer> FAnswers;
    size_t FThreads = 0;
    size_t FIdle = 0;
    bool FStopping = false;
    int FWake;
};
