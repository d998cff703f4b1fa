// Tests on the emulated bus: the testbed exists from SetUp to TearDown. A fixture with parts of its
// own sets them up after TestbedTest::SetUp and lets go of them before TestbedTest::TearDown, since
// they use the testbed.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "FakeStick.hpp"

namespace fakestick {

class TestbedTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (const std::string why = Testbed::preloadProblem(); !why.empty()) GTEST_FAIL() << why;
        tb = std::make_unique<Testbed>();
    }
    void TearDown() override { tb.reset(); }

    std::unique_ptr<Testbed> tb;
};

}  // namespace fakestick
