#include "rank.hpp"
