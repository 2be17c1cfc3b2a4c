// Runs the C++ unit tests with Vulkan validation on; a test during which the
// validation layer reports anything fails.
#include <cstdlib>

#include <gtest/gtest.h>

#include "platform/gpu/device.hpp"

namespace {

class ValidationListener : public testing::EmptyTestEventListener {
    uint64_t before_ = 0;
    void OnTestStart(const testing::TestInfo&) override { before_ = quendal::gpu::validationMessageCount(); }
    void OnTestEnd(const testing::TestInfo&) override
    {
        EXPECT_EQ(quendal::gpu::validationMessageCount(), before_) << "Vulkan validation reported messages";
    }
};

}  // namespace

int main(int argc, char** argv)
{
    setenv("QUENDAL_VK_VALIDATION", "1", 0);
    testing::InitGoogleTest(&argc, argv);
    testing::UnitTest::GetInstance()->listeners().Append(new ValidationListener);
    return RUN_ALL_TESTS();
}
