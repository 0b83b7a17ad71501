#include "plugin/tuning_worker.h"

#include <cstring>

#include "engine/in_tune.h"
#include "engine/tube_bank.h"
#include "plugin/companion.h"
#include "plugin/fp_mode.h"
#include "plugin/instance.h"

namespace {

// One message each way: the questions of the four tubes, then the same with
// the answers. A tube not in tune is not asked.
struct Questions {
    TuningQuestion question[TUBE_COUNT];
    bool asked[TUBE_COUNT];
};

struct Answers {
    Questions questions;
    float distance[TUBE_COUNT];
};

// On the worker thread: touches nothing of the instance, which run may be
// using. The arithmetic runs in the plug-in's own floating-point mode, as in
// run, so the distance is the one run would have worked out.
LV2_Worker_Status work(LV2_Handle, LV2_Worker_Respond_Function respond,
                       LV2_Worker_Respond_Handle handle, uint32_t size, const void* data)
{
    Answers answers{};
    if (size != sizeof answers.questions || data == nullptr) {
        return LV2_WORKER_ERR_UNKNOWN;
    }
    std::memcpy(&answers.questions, data, sizeof answers.questions);
    const FlushToZeroScope mode;
    for (int i = 0; i < TUBE_COUNT; ++i) {
        const TuningQuestion& q = answers.questions.question[i];
        answers.distance[i] =
            answers.questions.asked[i]
                ? in_tune_distance(q.note, q.sample_rate, q.damping_coef, q.decay_ms)
                : 0.0f;
    }
    return respond(handle, sizeof answers, &answers);
}

// On the audio thread, between runs.
LV2_Worker_Status work_response(LV2_Handle handle, uint32_t size, const void* data)
{
    Answers answers;
    if (size != sizeof answers || data == nullptr) {
        return LV2_WORKER_ERR_UNKNOWN;
    }
    std::memcpy(&answers, data, sizeof answers);
    const FlushToZeroScope mode;
    TubeBank& bank = *static_cast<PluginInstance*>(handle)->bank;
    for (int i = 0; i < TUBE_COUNT; ++i) {
        if (answers.questions.asked[i]) {
            Tube tube = load_tube(bank, i);
            take_distance(tube, answers.questions.question[i], answers.distance[i]);
            store_tube(bank, i, tube);
        }
    }
    return LV2_WORKER_SUCCESS;
}

}  // namespace

const LV2_Worker_Interface TUNING_WORKER = {work, work_response, nullptr};

bool ask_worker_for_distances(PluginInstance& instance)
{
    const LV2_Worker_Schedule* worker = instance.companion->worker;
    if (worker == nullptr) {
        return false;
    }
    Questions questions{};
    for (int i = 0; i < TUBE_COUNT; ++i) {
        const Tube tube = load_tube(*instance.bank, i);
        questions.question[i] = tuning_question(tube);
        questions.asked[i] = tube.tuning == TUNING_IN_TUNE;
    }
    return worker->schedule_work(worker->handle, sizeof questions, &questions) ==
           LV2_WORKER_SUCCESS;
}
