// Linked into the test programs that start kept processes: they start them
// through the gate program the build made, as the daemon does through the one
// beside it.
#include <gtest/gtest.h>

#include "corvel/spawn.h"

namespace {

class UseGateProgram : public ::testing::Environment {
public:
    void SetUp() override { ASSERT_TRUE(corvel::use_gate_program(TENDWELL_GATE)) << TENDWELL_GATE; }
};

::testing::Environment* const kUseGateProgram =
    ::testing::AddGlobalTestEnvironment(new UseGateProgram);

}  // namespace
