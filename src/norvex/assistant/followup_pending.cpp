// Follow-up requests (selecting an earlier transaction and rerunning it with changes) are
// not built yet; they fail with a clear error that the driver reports, leaving history and
// dataset untouched.
#include "norvex/assistant/flows.hpp"
#include "norvex/common/errors.hpp"

namespace norvex::flows {

RecurrentResult processing_recurrent_request(Session&, const json&, json&, long long, bool, bool) {
  throw RuntimeError("follow-up requests on earlier results are not available yet");
}

json rerun_with_changes_flow(Session&, const json&, const json&, bool) {
  throw RuntimeError("rerunning an earlier result with changes is not available yet");
}

}  // namespace norvex::flows
