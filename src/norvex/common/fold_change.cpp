#include "norvex/common/fold_change.hpp"

#include <cmath>

namespace norvex {

double log2_fold_change(double mean_log_group, double mean_log_rest) {
  return std::log2((std::expm1(mean_log_group) + 1e-9) / (std::expm1(mean_log_rest) + 1e-9));
}

}  // namespace norvex
