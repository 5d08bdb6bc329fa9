// The six functions of the module, as Python sees them.
#pragma once

#include <Python.h>

#include "args.hpp"
#include "bindings/common/ref.hpp"

namespace tarvel::py {

extern const FunctionDescription kSimulate;
extern const FunctionDescription kGramFromDist;
extern const FunctionDescription kGenerateTrainingBatch;
extern const FunctionDescription kMaxIndependent;
extern const FunctionDescription kReconstruct;
extern const FunctionDescription kPebbleGame;

Ref simulate(const CallArguments& call);
Ref gram_from_dist(const CallArguments& call);
Ref generate_training_batch(const CallArguments& call);
Ref max_independent(const CallArguments& call);
Ref reconstruct(const CallArguments& call);
Ref pebble_game(const CallArguments& call);

}  // namespace tarvel::py
