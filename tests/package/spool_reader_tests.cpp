// Filled in with the job road.
#include <gtest/gtest.h>
