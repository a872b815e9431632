#include <gtest/gtest.h>
#include "common/exception.hpp"
TEST(Exception, CarriesMessage) { EXPECT_EQ(IOException("x").message(), "x"); }
