#include "simulation.hpp"
