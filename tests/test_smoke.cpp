#include <gtest/gtest.h>
#include "bv_mp4.h"
TEST(Smoke, Builds) { EXPECT_EQ(0, mp4_set_safe_param()); }
