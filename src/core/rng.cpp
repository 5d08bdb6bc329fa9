#include "rng.hpp"
