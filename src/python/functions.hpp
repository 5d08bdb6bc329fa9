// The six functions of the module, as Python sees them.
#pragma once

#include <Python.h>

#include "args.hpp"
#include "ref.hpp"

namespace tarvel::py {

extern const FunctionDescription kSimulate;
extern const FunctionDescription kGramFromDist;
extern const FunctionDescription kGenerateTrainingBatch;
extern const FunctionDescription kMaxIndependent;
extern const FunctionDescription kReconstruct;
extern const FunctionDescription kPebbleGame;

Ref simulate(PyObject* args, PyObject* kwargs);
Ref gram_from_dist(PyObject* args, PyObject* kwargs);
Ref generate_training_batch(PyObject* args, PyObject* kwargs);
Ref max_independent(PyObject* args, PyObject* kwargs);
Ref reconstruct(PyObject* args, PyObject* kwargs);
Ref pebble_game(PyObject* args, PyObject* kwargs);

}  // namespace tarvel::py
