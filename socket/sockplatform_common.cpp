// The parts of the socket platform that are the same everywhere: the bounded
// lookup and the order of connect attempts. They call the platform only
// through sockplatform.h.

#include "sockplatform.h"

#include <algorithm>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

namespace sockplatform {

namespace {

using Clock = std::chrono::steady_clock;

int millisecondsUntil(Clock::time_point when)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(when - Clock::now());
    return int(std::clamp<std::chrono::milliseconds::rep>(left.count(), 0, WaitSlice.count()));
}

// Addresses taken in turns from each family, starting with the first
// address's family; within a family the system's order stays.
std::vector<std::size_t> attemptOrder(std::span<const AddressRecord> addresses)
{
    std::vector<std::size_t> first, second;
    const Family lead = addresses.empty() ? Family::None : RecordFamily(addresses.front());
    for (std::size_t i = 0; i < addresses.size(); ++i)
        (RecordFamily(addresses[i]) == lead ? first : second).push_back(i);
    std::vector<std::size_t> order;
    for (std::size_t i = 0; i < std::max(first.size(), second.size()); ++i) {
        if (i < first.size())
            order.push_back(first[i]);
        if (i < second.size())
            order.push_back(second[i]);
    }
    return order;
}

} // namespace

std::vector<AddressRecord> LookupWithin(const Lookup& lookup, const std::string& name,
                                        std::chrono::milliseconds timeLimit,
                                        const KeepWaiting& keepWaiting)
{
    // Shared with the lookup's thread, which may outlive this call.
    struct Answer {
        std::mutex mutex;
        std::condition_variable ready;
        bool done = false;
        std::vector<AddressRecord> addresses;
    };
    auto answer = std::make_shared<Answer>();
    std::thread([answer, lookup, name] {
        std::vector<AddressRecord> found = lookup(name);
        const std::lock_guard lock(answer->mutex);
        answer->addresses = std::move(found);
        answer->done = true;
        answer->ready.notify_all();
    }).detach();

    const auto deadline = Clock::now() + timeLimit;
    std::unique_lock lock(answer->mutex);
    while (!answer->done) {
        if (Clock::now() >= deadline)
            return {};
        answer->ready.wait_for(lock, std::chrono::milliseconds(millisecondsUntil(deadline)));
        if (answer->done)
            break;
        lock.unlock();
        const bool goOn = !keepWaiting || keepWaiting();
        lock.lock();
        if (!goOn)
            return {};
    }
    return std::move(answer->addresses);
}

Connection ConnectFirst(std::span<const AddressRecord> addresses,
                        std::chrono::milliseconds timeLimit, std::chrono::milliseconds stagger,
                        const KeepWaiting& keepWaiting)
{
    const std::vector<std::size_t> order = attemptOrder(addresses);
    const auto deadline = Clock::now() + timeLimit;
    std::vector<Handle> live;        // attempts under way
    std::vector<std::size_t> liveAt; // the address of each
    Connection result;
    std::size_t next = 0;
    auto nextStart = Clock::now();

    const auto closeAllBut = [&](Handle keep) {
        for (Handle h : live)
            if (h != keep)
                Close(h);
        live.clear();
    };

    while (Clock::now() < deadline) {
        // A new attempt when its time has come or nothing else is under way.
        if (next < order.size() && (live.empty() || Clock::now() >= nextStart)) {
            const std::size_t index = order[next++];
            result.index = index;
            bool connected = false;
            const Handle h = StartConnect(addresses[index], connected);
            if (connected) {
                closeAllBut(InvalidHandle);
                FinishConnect(h);
                return {h, index};
            }
            if (h != InvalidHandle) {
                live.push_back(h);
                liveAt.push_back(index);
                nextStart = Clock::now() + stagger;
            }
            continue; // a failure at once: on to the next address now
        }
        if (live.empty())
            break; // every address has failed

        const auto until = next < order.size() ? std::min(nextStart, deadline) : deadline;
        std::vector<int> outcome(live.size(), 0);
        WaitForConnects(live, millisecondsUntil(until), outcome);
        for (std::size_t i = live.size(); i-- > 0;) {
            if (outcome[i] == 1) {
                const Handle winner = live[i];
                closeAllBut(winner);
                FinishConnect(winner);
                return {winner, liveAt[i]};
            }
            if (outcome[i] == -1) {
                Close(live[i]);
                live.erase(live.begin() + std::ptrdiff_t(i));
                liveAt.erase(liveAt.begin() + std::ptrdiff_t(i));
                nextStart = Clock::now(); // a failure starts the next one at once
            }
        }
        if (keepWaiting && !keepWaiting())
            break;
    }
    closeAllBut(InvalidHandle);
    return result;
}

} // namespace sockplatform
