// Follow-up requests (selecting an earlier transaction and rerunning it with changes) are
// not built yet; they fail with a clear error that the driver reports, leaving history and
// dataset untouched.
#include "norvex/common/errors.hpp"
#include "norvex/assistant/norvex.hpp"

namespace norvex {

RecurrentResult norvex::processing_recurrent_request(const json&, json&, const json&, bool, bool) {
  throw RuntimeError("follow-up requests on earlier results are not available yet");
}

json norvex::rerun_with_changes_flow(const json&, const json&, bool) {
  throw RuntimeError("rerunning an earlier result with changes is not available yet");
}

}  // namespace norvex
