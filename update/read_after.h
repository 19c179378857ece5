// Whether the unit answered the whole read of its information that ends a
// run. The read does not say when one of its later reads went unanswered
// (a unit gone in the run's last reports): the parts it leaves empty do.
#pragma once

#include <nlohmann/json.hpp>

#include "common_t73/QV_WritePlan.h"

struct QV_Machine;

// before is the unit as the history kept it before the writes (see
// history_unit_state). The read is whole when the unit still tells its
// client id (if it told one before) and shows a date for each data area it
// showed one for before or that the plan wrote.
bool run_end_read_whole(const nlohmann::json& before, const QV_WritePlan& plan,
                        const QV_Machine* m);
