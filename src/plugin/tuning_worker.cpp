#include "plugin/tuning_worker.h"

#include <cstring>

#include "engine/in_tune.h"
#include "engine/tube_bank.h"
#include "plugin/companion.h"
#include "plugin/fp_mode.h"
#include "plugin/instance.h"

namespace {

// Two kinds of message, each one way and back: the four tubes' questions
// after a damping change (a tube not in tune is not asked), and every note's
// distance under the tubes' present conditions.
enum class Ask : uint32_t { TUBES, TABLE };

struct Questions {
    Ask ask;
    TuningQuestion question[TUBE_COUNT];
    bool asked[TUBE_COUNT];
};

struct Answers {
    Questions questions;
    float distance[TUBE_COUNT];
};

struct TableQuestion {
    Ask ask;
    TuningQuestion conditions;  // the note unused
};

struct Table {
    TableQuestion question;
    float distance[MEMO_NOTES];
};

// What a message asks for, read from its first word.
bool asks(const void* data, uint32_t size, Ask ask, uint32_t expected_size)
{
    Ask kind;
    if (data == nullptr || size != expected_size || size < sizeof kind) {
        return false;
    }
    std::memcpy(&kind, data, sizeof kind);
    return kind == ask;
}

float distance_for(float note, const TuningQuestion& q)
{
    return in_tune_distance(note, q.sample_rate, q.damping_coef, q.decay_ms);
}

// On the worker thread: touches nothing of the instance, which run may be
// using. The arithmetic runs in the plug-in's own floating-point mode, as in
// run, so each distance is the one run would have worked out.
LV2_Worker_Status work(LV2_Handle, LV2_Worker_Respond_Function respond,
                       LV2_Worker_Respond_Handle handle, uint32_t size, const void* data)
{
    const FlushToZeroScope mode;
    if (asks(data, size, Ask::TUBES, sizeof(Questions))) {
        Answers answers{};
        std::memcpy(&answers.questions, data, sizeof answers.questions);
        for (int i = 0; i < TUBE_COUNT; ++i) {
            const TuningQuestion& q = answers.questions.question[i];
            answers.distance[i] = answers.questions.asked[i] ? distance_for(q.note, q) : 0.0f;
        }
        return respond(handle, sizeof answers, &answers);
    }
    if (asks(data, size, Ask::TABLE, sizeof(TableQuestion))) {
        Table table{};
        std::memcpy(&table.question, data, sizeof table.question);
        for (int note = 0; note < MEMO_NOTES; ++note) {
            table.distance[note] = distance_for(static_cast<float>(note), table.question.conditions);
        }
        return respond(handle, sizeof table, &table);
    }
    return LV2_WORKER_ERR_UNKNOWN;
}

// On the audio thread, between runs.
LV2_Worker_Status work_response(LV2_Handle handle, uint32_t size, const void* data)
{
    const FlushToZeroScope mode;
    PluginInstance& instance = *static_cast<PluginInstance*>(handle);
    TubeBank& bank = *instance.bank;
    if (asks(data, size, Ask::TUBES, sizeof(Answers))) {
        Answers answers;
        std::memcpy(&answers, data, sizeof answers);
        for (int i = 0; i < TUBE_COUNT; ++i) {
            if (answers.questions.asked[i]) {
                Tube tube = load_tube(bank, i);
                take_distance(tube, answers.questions.question[i], answers.distance[i]);
                store_tube(bank, i, tube);
            }
        }
        return LV2_WORKER_SUCCESS;
    }
    if (asks(data, size, Ask::TABLE, sizeof(Table))) {
        Table table;
        std::memcpy(&table, data, sizeof table);
        bool current = true;
        for (int i = 0; i < TUBE_COUNT; ++i) {
            Tube tube = load_tube(bank, i);
            current = remember_distances(tube, table.question.conditions, table.distance) && current;
            store_tube(bank, i, tube);
        }
        // An overtaken table is asked for again at the next run.
        instance.companion->table_asked = false;
        instance.companion->table_current = current;
        return LV2_WORKER_SUCCESS;
    }
    return LV2_WORKER_ERR_UNKNOWN;
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
    questions.ask = Ask::TUBES;
    for (int i = 0; i < TUBE_COUNT; ++i) {
        questions.question[i] = tuning_question(*instance.bank, i);
        questions.asked[i] = instance.bank->tuning[i] == TUNING_IN_TUNE;
    }
    return worker->schedule_work(worker->handle, sizeof questions, &questions) ==
           LV2_WORKER_SUCCESS;
}

void ask_worker_for_table(PluginInstance& instance)
{
    Companion& companion = *instance.companion;
    if (companion.worker == nullptr || companion.table_asked || companion.table_current) {
        return;
    }
    TableQuestion question{Ask::TABLE, tuning_question(*instance.bank, 0)};
    companion.table_asked = companion.worker->schedule_work(companion.worker->handle,
                                                            sizeof question,
                                                            &question) == LV2_WORKER_SUCCESS;
}
