#include "pebble.hpp"
