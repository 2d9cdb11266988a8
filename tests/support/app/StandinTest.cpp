#include "support/app/StandinTest.h"

#include "support/app/TestEnv.h"

void StandinTest::SetUpTestSuite()
{
    s_standin = std::make_unique<StandinProcess>();
}

void StandinTest::TearDownTestSuite()
{
    s_standin.reset();
}

void StandinTest::SetUp()
{
    TestEnv::reset();
    ASSERT_TRUE(standin().isRunning());
    standin().control("reset");
    standin().useAsServer();
}
