// The UI facade on its headless window system: layout on the main context,
// display-link ticks, and the presentation layer's bookkeeping.
#include <chrono>
#include <cstdlib>
#include <memory>
#include <thread>

#include <glib.h>
#include <gtest/gtest.h>

#include "platform/gpu/metal_layer.hpp"
#include "platform/ui/application.hpp"
#include "platform/ui/display_link.hpp"
#include "platform/ui/window.hpp"
#include "runtime/semaphore.hpp"

namespace {

using namespace quendal;

class CountingController : public ui::ViewController {
public:
    void loadView() override
    {
        setView(std::make_shared<ui::View>(ui::Rect{{0, 0}, {100, 100}}));
        button = std::make_shared<ui::Button>();
        view()->addSubview(button);
    }
    void viewDidLayout() override { ++layouts; }
    std::shared_ptr<ui::Button> button;
    int layouts = 0;
};

void iterateFor(std::chrono::milliseconds duration)
{
    const auto end = std::chrono::steady_clock::now() + duration;
    while (std::chrono::steady_clock::now() < end) g_main_context_iteration(nullptr, FALSE);
}

class HeadlessWindow : public testing::Test {
protected:
    void SetUp() override
    {
        setenv("QUENDAL_HEADLESS", "1", 1);
        ASSERT_TRUE(ui::Application::sharedApplication().headless());
        window = ui::Window::create(ui::Rect{{0, 0}, {320, 200}}, ui::WindowStyleTitled);
        controller = std::make_shared<CountingController>();
        window->setContentViewController(controller);
        window->makeKeyAndOrderFront();
    }
    std::shared_ptr<ui::Window> window;
    std::shared_ptr<CountingController> controller;
};

TEST_F(HeadlessWindow, LaysOutAtTheRequestedSizeAndAgainWhenAsked)
{
    EXPECT_EQ(controller->layouts, 1);
    EXPECT_EQ(controller->view()->bounds().size.width, 320);
    EXPECT_EQ(controller->view()->bounds().size.height, 200);
    EXPECT_EQ(window->backingScaleFactor(), 1.0);

    controller->view()->setNeedsLayout(true);
    controller->view()->setNeedsLayout(true);
    EXPECT_EQ(controller->layouts, 1);
    iterateFor(std::chrono::milliseconds(20));
    EXPECT_EQ(controller->layouts, 2);
}

TEST_F(HeadlessWindow, ClosingStopsPendingLayout)
{
    controller->view()->setNeedsLayout(true);
    window->close();
    iterateFor(std::chrono::milliseconds(20));
    EXPECT_EQ(controller->layouts, 1);
}

TEST_F(HeadlessWindow, DisplayLinkTicksAtItsRateUntilInvalidated)
{
    int ticks = 0;
    auto link = ui::DisplayLink::create(*controller->view(), [&] { ++ticks; });
    EXPECT_EQ(link->preferredFramesPerSecond(), 60);
    link->addToMainRunLoop();
    iterateFor(std::chrono::milliseconds(500));
    EXPECT_GT(ticks, 15);
    EXPECT_LT(ticks, 45);

    link->setPreferredFrameRateRange(10, 10, 10);
    ticks = 0;
    iterateFor(std::chrono::milliseconds(500));
    EXPECT_GE(ticks, 2);
    EXPECT_LE(ticks, 8);

    link->invalidate();
    ticks = 0;
    iterateFor(std::chrono::milliseconds(100));
    EXPECT_EQ(ticks, 0);
}

TEST(MetalLayer, GenerationMovesOnlyWhenTheSurfaceChanges)
{
    gpu::MetalLayer layer;
    const uint64_t start = layer.generation();
    layer.setDrawableSize({640, 480});
    layer.setDrawableSize({640, 480});
    EXPECT_EQ(layer.generation(), start + 1);
    layer.setContentsScale(2.0);
    EXPECT_EQ(layer.generation(), start + 1);
    layer.setSurfaceSource({});
    EXPECT_EQ(layer.generation(), start + 2);
    EXPECT_TRUE(layer.surfaceSource().headless());
}

TEST(Semaphore, CountsSignalsAndTimesOut)
{
    Semaphore semaphore(1);
    EXPECT_TRUE(semaphore.tryWait());
    EXPECT_FALSE(semaphore.tryWait());
    EXPECT_FALSE(semaphore.waitFor(std::chrono::milliseconds(5)));
    semaphore.signal();
    semaphore.signal();
    EXPECT_TRUE(semaphore.waitFor(std::chrono::milliseconds(5)));
    EXPECT_TRUE(semaphore.tryWait());
    EXPECT_EQ(semaphore.count(), 0);
}

// Every signal wakes exactly one wait, also when signals race with sleepers
// registering; a lost wake-up would leave the consumer stuck until the timeout.
TEST(Semaphore, HandsEverySignalAcrossThreads)
{
    Semaphore semaphore;
    constexpr int kSignals = 20000;
    int received = 0;
    std::thread consumer([&] {
        while (received < kSignals && semaphore.waitFor(std::chrono::seconds(5))) ++received;
    });
    for (int i = 0; i < kSignals; ++i) {
        semaphore.signal();
        if (i % 64 == 0) std::this_thread::yield();
    }
    consumer.join();
    EXPECT_EQ(received, kSignals);
    EXPECT_FALSE(semaphore.tryWait());
}

}  // namespace
