#pragma once

#include <lv2/worker/worker.h>

struct PluginInstance;

// A companion in tune works out each tube's fractional length for its note,
// damping and decay (engine/in_tune.h): tens of thousands of instructions a
// tube. A note change needs its length at its own frame, so that is worked
// out in run (and remembered). A damping change, which automation makes at
// every block, is asked of the host's worker thread when the host offers
// one: run moves the damping at once and the lengths follow when the
// answer comes back, a block or so later, keeping the old damping's lengths
// until then. Without a worker the lengths follow in the same run.

// After a damping change in run: asks the worker for the distances of every
// tube in tune; false when there is no worker or its queue is full, and the
// caller retunes the tubes itself.
bool ask_worker_for_distances(PluginInstance& instance);

// Notes too, once the worker has answered: once the rate, damping and
// decay have rested a while (TABLE_AFTER_FRAMES), the worker works out every
// note's distance at once, and the tubes remember them, so a note met later
// costs run nothing (and rings as it would have). Asks only when the tubes'
// memos do not hold a table for their present conditions and no table is
// under way.
void ask_worker_for_table(PluginInstance& instance);

// The worker's side and the answer's way back, for extension_data.
extern const LV2_Worker_Interface TUNING_WORKER;
