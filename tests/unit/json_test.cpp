#include "json.h"

#include <gtest/gtest.h>

TEST(JsonTextTest, Placeholder) { EXPECT_TRUE(json::is_utf8("a")); }
