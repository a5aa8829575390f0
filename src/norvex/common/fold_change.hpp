#pragma once
// The log2 fold change of marker and differential-expression tables, in one place so that
// the markers computed on the fly and the demo's precomputed DEG tables agree.

namespace norvex {

// log2((expm1(mean log group) + 1e-9) / (expm1(mean log rest) + 1e-9)), from the mean
// log-scale expression of each side: the convention of the usual marker tables. The floor
// keeps genes silent on one side finite.
double log2_fold_change(double mean_log_group, double mean_log_rest);

}  // namespace norvex
