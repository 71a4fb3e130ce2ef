// Threads that wait for the disk and the database, in two lanes so that uploads' writes, syncs and
// commits never queue ahead of page and picture reads. Each lane's queue is a budget.
#pragma once

#include <boost/asio.hpp>

#include <atomic>
#include <cstddef>

struct DiskLane {
    DiskLane(std::size_t threads, std::size_t most_queued) : pool(threads), limit(most_queued) {}
    boost::asio::thread_pool pool;
    std::size_t limit;
    std::atomic<std::size_t> queued{0};  // posted and not yet finished
};

// Counts a job in, or false when the lane already holds its budget of them.
bool enter_lane(DiskLane& lane);
// Counts a job in whatever the budget: for a job that an admitted request cannot do without
// (one per upload at a time, so these are bounded by the connections).
void enter_lane_anyway(DiskLane& lane);
void leave_lane(DiskLane& lane);
