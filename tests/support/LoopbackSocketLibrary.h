#pragma once

#include <gtest/gtest.h>

#include "net/blcksock.h"

// Starts the process-wide socket library around a whole test program, as
// program start and end do. Register it once per program:
//   testing::AddGlobalTestEnvironment(new LoopbackSocketLibrary);
class LoopbackSocketLibrary : public ::testing::Environment {
 public:
  void SetUp() override { ASSERT_TRUE(LoadSocketLibrary()); }
  void TearDown() override { FreeSocketLibrary(); }
};
