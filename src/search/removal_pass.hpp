#pragma once
// The last step of a solve: drop selected chunks whose removal raises the
// objective while every constraint stays met. The search's neighbourhood has
// no pure removal, and the constructions fill up to max_chunks whatever the
// priority, so without this step a selection may carry chunks that only cost.
#include "core/objective.hpp"
#include "core/problem.hpp"
#include "search/context.hpp"

namespace quarnel {

// Repeatedly removes the one chunk whose removal gives the highest objective
// (the lowest index among equals), while that objective beats the current one
// by more than the improvement margin and the reduced selection is feasible.
// `mask` and `breakdown` describe a feasible selection and are replaced by the
// result. Returns the number of chunks removed.
//
// Each round estimates every removal's score from f64 sums kept up to date,
// with a bound on how far the exact f32 scores can lie from the estimates.
// Where the bound leaves one contender, it is the exact scores' choice; where
// it leaves several, they are scored exactly when that costs little (always
// in selections of up to about 190 chunks). Otherwise, in long selections,
// where the f32 scores of the contenders differ by their rounding alone, the
// f64 objective decides. Every round runs the stop check.
std::size_t run_removal_pass(const SearchContext& ctx, SelectionMask& mask, ObjectiveBreakdown& breakdown);

}  // namespace quarnel
