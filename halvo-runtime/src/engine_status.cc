#include "halvo_runtime/engine_status.h"

#include "engine_messages.h"

namespace halvo_runtime::engine {

std::string EngineStatus::text() const {
  std::string out;
  for (const std::string& line :
       {status_policy_line(policy_name.view(), severity),
        status_rules_line(rule_count),
        status_machines_line(machine_count, active_count, satisfied_count,
                             violated_count),
        status_constraints_line(constraint_count),
        status_events_line(event_count)}) {
    out.append(line);
    out.push_back('\n');
  }
  return out;
}

}  // namespace halvo_runtime::engine
