#include "platform/ui/observable.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

using namespace MivoKit;

using platform::ui::Observable;

TEST(Observable, ObserversHearOfChangesOnlyWithOldAndNewValues) {
    Observable<int> state(1);
    std::vector<std::pair<int, int>> heard;
    auto subscription = state.onChange([&](int oldValue, int newValue) { heard.push_back({oldValue, newValue}); });
    EXPECT_TRUE(heard.empty()); // the value found when starting is not reported
    EXPECT_FALSE(state.set(1));
    EXPECT_TRUE(state.set(2));
    EXPECT_TRUE(state.set(3));
    EXPECT_FALSE(state.set(3));
    EXPECT_EQ(heard, (std::vector<std::pair<int, int>>{{1, 2}, {2, 3}}));
    EXPECT_EQ(state.get(), 3);

    // Optional values: absent is a value like any other.
    Observable<std::optional<std::string>> error;
    std::vector<std::optional<std::string>> seen;
    auto onError = error.onChange([&](const auto&, const auto& now) { seen.push_back(now); });
    error.set("first");
    error.set("first");
    error.set(std::nullopt);
    EXPECT_EQ(seen, (std::vector<std::optional<std::string>>{"first", std::nullopt}));
}

TEST(Observable, ObserversRunInOrderAndStopWithTheirSubscription) {
    Observable<int> state;
    std::vector<std::string> order;
    auto first = state.onChange([&](int, int) { order.push_back("first"); });
    std::optional<Observable<int>::Subscription> second = state.onChange([&](int, int) { order.push_back("second"); });
    // An observer that detaches itself still lets the others of this change run.
    Observable<int>::Subscription self;
    self = state.onChange([&](int, int) {
        order.push_back("once");
        self.cancel();
    });
    state.set(1);
    second.reset();
    state.set(2);
    EXPECT_EQ(order, (std::vector<std::string>{"first", "second", "once", "first"}));
    EXPECT_EQ(state.observerCount(), 1u);
    // A subscription may outlive its value.
    Observable<int>::Subscription orphan;
    {
        Observable<int> shortLived;
        orphan = shortLived.onChange([](int, int) {});
    }
    orphan.cancel();
}
