#pragma once
// GoogleTest fixture: every test starts and ends with a reset service.
#include <gtest/gtest.h>

#include "testpcsc/service.h"

namespace testpcsc {

class ServiceTest : public ::testing::Test {
protected:
    void SetUp() override { service().reset(); }
    void TearDown() override { service().reset(); }

    Service& svc = service();
};

}  // namespace testpcsc
