// The trigger arithmetic of scheduled notifications on a clock the test drives,
// and the module's identifier namespace against a centre that also holds
// notifications of other origin.
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <vector>

#include <gio/gio.h>
#include <glib.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/services/notification_center.hpp"
#include "runtime/bundle.hpp"
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

namespace {

GDBusConnection* sessionBus()
{
    return g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
}

bool nameOwned(GDBusConnection* bus, const char* name)
{
    GVariant* reply = g_dbus_connection_call_sync(
        bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "NameHasOwner",
        g_variant_new("(s)", name), G_VARIANT_TYPE("(b)"), G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
    gboolean owned = FALSE;
    if (reply) {
        g_variant_get(reply, "(b)", &owned);
        g_variant_unref(reply);
    }
    return owned;
}

// The replaces_id argument of every Notify the mock daemon received.
std::vector<uint32_t> notifyReplaces(GDBusConnection* bus)
{
    std::vector<uint32_t> replaces;
    GVariant* reply = g_dbus_connection_call_sync(
        bus, "org.freedesktop.Notifications", "/org/freedesktop/Notifications", "org.freedesktop.DBus.Mock",
        "GetMethodCalls", g_variant_new("(s)", "Notify"), G_VARIANT_TYPE("(a(tav))"), G_DBUS_CALL_FLAGS_NONE, 5000,
        nullptr, nullptr);
    if (!reply) return replaces;
    GVariantIter* calls = nullptr;
    g_variant_get(reply, "(a(tav))", &calls);
    guint64 time = 0;
    GVariantIter* args = nullptr;
    while (g_variant_iter_next(calls, "(tav)", &time, &args)) {
        GVariant* boxed = nullptr;
        for (int i = 0; g_variant_iter_next(args, "v", &boxed); ++i) {
            if (i == 1) replaces.push_back(g_variant_get_uint32(boxed));
            g_variant_unref(boxed);
        }
        g_variant_iter_free(args);
    }
    g_variant_iter_free(calls);
    g_variant_unref(reply);
    return replaces;
}

void turnFor(std::chrono::milliseconds span)
{
    const auto until = std::chrono::steady_clock::now() + span;
    while (std::chrono::steady_clock::now() < until) {
        g_main_context_iteration(nullptr, FALSE);
        g_usleep(1000);
    }
}

}  // namespace

// Repeats shorter than the module allows, straight on the centre: its timer
// re-arms after each fire, and each fire replaces the notification on screen.
TEST(NotificationCenter, RepeatingNotificationFiresAgainAndReplacesTheShownOne)
{
    GDBusConnection* bus = getenv("DBUS_SESSION_BUS_ADDRESS") ? sessionBus() : nullptr;
    if (!bus || access("/usr/bin/python3", X_OK) != 0) {
        GTEST_SKIP() << "needs the private session bus and python3-dbusmock";
    }
    const char* argv[] = {"/usr/bin/python3", "-m", "dbusmock", "--session", "--template", "notification_daemon",
                          nullptr};
    GPid mock = 0;
    ASSERT_TRUE(g_spawn_async(nullptr, const_cast<char**>(argv), nullptr,
                              GSpawnFlags(G_SPAWN_DO_NOT_REAP_CHILD | G_SPAWN_STDOUT_TO_DEV_NULL |
                                          G_SPAWN_STDERR_TO_DEV_NULL),
                              nullptr, nullptr, &mock, nullptr));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!nameOwned(bus, "org.freedesktop.Notifications") && std::chrono::steady_clock::now() < deadline) {
        g_usleep(50000);
    }

    auto& center = quendal::services::NotificationCenter::current();
    std::optional<bool> granted;
    center.requestAuthorization([&](bool answer, auto) { granted = answer; });
    while (!granted && std::chrono::steady_clock::now() < deadline) turnFor(std::chrono::milliseconds(10));
    center.add(trigger("quendal-py:tick", 0.25, true), [](auto) {});
    std::vector<uint32_t> replaces;
    while (replaces.size() < 3 && std::chrono::steady_clock::now() < deadline) {
        turnFor(std::chrono::milliseconds(50));
        replaces = notifyReplaces(bus);
    }
    center.removePendingNotifications({"quendal-py:tick"});
    center.removeDeliveredNotifications({"quendal-py:tick"});
    turnFor(std::chrono::milliseconds(100));
    kill(mock, SIGTERM);
    waitpid(mock, nullptr, 0);
    g_spawn_close_pid(mock);
    g_object_unref(bus);

    EXPECT_EQ(granted, std::optional<bool>(true));
    ASSERT_GE(replaces.size(), 3u);
    // The mock daemon numbers notifications from 1; later fires replace that one.
    EXPECT_EQ(replaces[0], 0u);
    EXPECT_EQ(replaces[2], 1u);
}
