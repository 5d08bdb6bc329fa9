#include "reconstruct.hpp"
