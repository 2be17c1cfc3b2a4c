// The trigger arithmetic of scheduled notifications on a clock the test drives,
// and the module's identifier namespace against a centre that also holds
// notifications of other origin.
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include <glib.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "common/bundle.hpp"
#include "platform/services/notification_center.hpp"
#include "system/dispatch.hpp"

using quendal::services::NotificationRequest;
using quendal::services::NotificationSchedule;

namespace {

constexpr int64_t kSecond = 1000000;

NotificationRequest trigger(const std::string& identifier, double interval, bool repeats)
{
    return NotificationRequest{identifier, {"title", "body", false}, interval, repeats};
}

std::vector<std::string> identifiers(const std::vector<NotificationRequest>& requests)
{
    std::vector<std::string> out;
    for (const auto& request : requests) out.push_back(request.identifier);
    return out;
}

}  // namespace

TEST(NotificationSchedule, OneShotFiresOnceAfterItsDelay)
{
    NotificationSchedule schedule;
    schedule.add(trigger("a", 0.25, false), 10 * kSecond);
    EXPECT_EQ(schedule.nextDue(), 10 * kSecond + kSecond / 4);
    EXPECT_TRUE(schedule.takeDue(10 * kSecond + kSecond / 4 - 1).empty());
    EXPECT_EQ(identifiers(schedule.takeDue(10 * kSecond + kSecond / 4)), std::vector<std::string>{"a"});
    EXPECT_TRUE(schedule.entries().empty());
    EXPECT_FALSE(schedule.nextDue());
}

TEST(NotificationSchedule, RepeatingFiresEveryIntervalWithoutDrift)
{
    NotificationSchedule schedule;
    schedule.add(trigger("r", 2, true), 0);
    // Each fire is handled a little late; the next stays on the original grid.
    EXPECT_EQ(schedule.takeDue(2 * kSecond + 300000).size(), 1u);
    EXPECT_EQ(schedule.nextDue(), 4 * kSecond);
    EXPECT_TRUE(schedule.takeDue(4 * kSecond - 1).empty());
    EXPECT_EQ(schedule.takeDue(4 * kSecond).size(), 1u);
    EXPECT_EQ(schedule.nextDue(), 6 * kSecond);
    ASSERT_EQ(schedule.entries().size(), 1u);
    EXPECT_TRUE(schedule.entries()[0].request.repeats);
}

TEST(NotificationSchedule, MissedRepeatsFireOnceAndResumeOnTheGrid)
{
    NotificationSchedule schedule;
    schedule.add(trigger("r", 60, true), 0);
    // The clock jumps past five fire times (a suspended machine).
    EXPECT_EQ(schedule.takeDue(330 * kSecond).size(), 1u);
    EXPECT_EQ(schedule.nextDue(), 360 * kSecond);
    // Exactly on a grid point: that one fires now, the next is a full interval on.
    EXPECT_EQ(schedule.takeDue(420 * kSecond).size(), 1u);
    EXPECT_EQ(schedule.nextDue(), 480 * kSecond);
}

TEST(NotificationSchedule, DueOnesComeInSchedulingOrderAndTheEarliestArmsTheTimer)
{
    NotificationSchedule schedule;
    schedule.add(trigger("late", 3, false), 0);
    schedule.add(trigger("early", 1, false), 0);
    schedule.add(trigger("repeat", 2, true), 0);
    EXPECT_EQ(schedule.nextDue(), 1 * kSecond);
    EXPECT_EQ(identifiers(schedule.takeDue(3 * kSecond)), (std::vector<std::string>{"late", "early", "repeat"}));
    ASSERT_EQ(schedule.entries().size(), 1u);
    EXPECT_EQ(schedule.nextDue(), 4 * kSecond);
}

TEST(NotificationSchedule, SameIdentifierReplacesAndMovesLast)
{
    NotificationSchedule schedule;
    schedule.add(trigger("a", 5, false), 0);
    schedule.add(trigger("b", 5, false), 0);
    schedule.add(trigger("a", 1, true), 2 * kSecond);
    ASSERT_EQ(schedule.entries().size(), 2u);
    EXPECT_EQ(schedule.entries()[0].request.identifier, "b");
    EXPECT_EQ(schedule.entries()[1].request.identifier, "a");
    EXPECT_EQ(schedule.entries()[1].dueUs, 3 * kSecond);
    EXPECT_TRUE(schedule.remove("a"));
    EXPECT_FALSE(schedule.remove("a"));
    EXPECT_EQ(schedule.nextDue(), 5 * kSecond);
}

// The centre is only ever filled by this module, so notifications of other
// origin can only be put there from here.
TEST(NotificationModule, PendingListsOnlyThisModulesIdentifiersWithoutThePrefix)
{
    const auto bundle = std::filesystem::temp_directory_path() / ("quendal-test-" + std::to_string(getpid())) / "T.app";
    std::filesystem::create_directories(bundle);
    std::ofstream(bundle / "Info.json") << R"({"CFBundleIdentifier": "org.example.test"})";
    setenv("QUENDAL_BUNDLE", bundle.c_str(), 1);
    if (!quendal::mainBundle().isApplication()) GTEST_SKIP() << "the main bundle was read before this test";

    auto& center = quendal::services::NotificationCenter::current();
    center.add(trigger("other:x", 3600, false), [](auto) {});
    center.add(trigger("quendal-py:mine", 3600, true), [](auto) {});
    center.add(trigger("quendal-pyfake", 3600, false), [](auto) {});
    auto request = quendal::system::QuendalPyStart("notification.pending", quendal::system::Json::object());
    // The answer comes from the main context, never inside start.
    EXPECT_FALSE(request->done());
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!request->done() && std::chrono::steady_clock::now() < deadline) g_main_context_iteration(nullptr, FALSE);
    const auto snapshot = request->snapshot(true);
    center.removePendingNotifications({"other:x", "quendal-py:mine", "quendal-pyfake"});
    std::filesystem::remove_all(bundle.parent_path());

    ASSERT_TRUE(snapshot["error"].is_null()) << snapshot.dump();
    ASSERT_EQ(snapshot["result"].size(), 1u) << snapshot.dump();
    const auto& entry = snapshot["result"][0];
    EXPECT_EQ(entry["identifier"], "mine");
    EXPECT_EQ(entry["repeat"], true);
    EXPECT_EQ(entry["title"], "title");
    EXPECT_EQ(entry["body"], "body");
    EXPECT_GT(entry["next_date"].get<double>(), static_cast<double>(g_get_real_time()) / 1e6 + 3500);
}
