// Job counting for the disk lanes.
#include "disk_lanes.h"

bool enter_lane(DiskLane& lane) {
    std::size_t now = lane.queued.load();
    do {
        if (now >= lane.limit) return false;
    } while (!lane.queued.compare_exchange_weak(now, now + 1));
    return true;
}

void enter_lane_anyway(DiskLane& lane) { ++lane.queued; }

void leave_lane(DiskLane& lane) { --lane.queued; }
