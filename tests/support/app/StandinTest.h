#pragma once

#include <memory>

#include <gtest/gtest.h>

#include "support/app/StandinProcess.h"

// Tests against one stand-in server started for the whole suite. Each test starts from an
// empty application folder and a freshly reset server that the app talks to.
class StandinTest : public ::testing::Test
{
protected:
    static void SetUpTestSuite();
    static void TearDownTestSuite();
    void SetUp() override;

    static StandinProcess& standin() { return *s_standin; }

private:
    static inline std::unique_ptr<StandinProcess> s_standin;
};
