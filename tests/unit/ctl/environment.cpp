// Every test of this program runs with the built-in defaults: an empty
// configuration file, whatever the machine's own file says.
#include <gtest/gtest.h>

#include <cstdlib>

#include "tempdir.h"

namespace {

class DefaultConfiguration : public ::testing::Environment {
public:
    void SetUp() override {
        dir_ = new TempDir();
        ::setenv("BRISANE_CONF", dir_->write("brisane.txt", "").c_str(), 1);
    }
    void TearDown() override {
        delete dir_;
        dir_ = nullptr;
    }

private:
    TempDir* dir_ = nullptr;
};

const auto* const environment = ::testing::AddGlobalTestEnvironment(new DefaultConfiguration);

}  // namespace
