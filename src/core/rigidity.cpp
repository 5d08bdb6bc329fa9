#include "rigidity.hpp"
