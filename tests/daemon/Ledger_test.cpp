#include "Ledger.hpp"

#include <gtest/gtest.h>

namespace {

constexpr uid_t ALICE = 1001;
constexpr uid_t BOB = 1002;
constexpr uid_t CAROL = 1003;
const std::string_view TOO_MANY = "Too many connections from this account at once";

}  // namespace

TEST(Ledger, ConnectionsAreBoundedPerAccountAndSomeAreKeptForAccountsWithNoneOpen) {
    Tvwrapd::Ledger ledger({.connections = 4,
                            .connections_per_account = 3,
                            .reserved_connections = 1,
                            .memory = 0,
                            .memory_per_account = 0,
                            .free_bytes = 0});
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(ledger.over_a_bound(ALICE), std::nullopt);
        ledger.count_in(ALICE);
    }
    ASSERT_EQ(ledger.over_a_bound(BOB), std::nullopt);
    ledger.count_in(BOB);
    // Alice may have a third, but not the last one: that is kept for Carol, who has none.
    EXPECT_EQ(ledger.over_a_bound(ALICE), Tvwrapd::BUSY);
    EXPECT_EQ(ledger.over_a_bound(CAROL), std::nullopt);
    ledger.count_in(CAROL);
    EXPECT_EQ(ledger.over_a_bound(CAROL), Tvwrapd::BUSY);
    ledger.count_out(BOB);
    ledger.count_out(CAROL);
    ledger.count_in(ALICE);
    EXPECT_EQ(ledger.over_a_bound(ALICE), TOO_MANY);
}

TEST(Ledger, MemoryBeyondTheFreeBytesIsBoundedPerAccountAndInTotal) {
    Tvwrapd::Ledger ledger({.connections = 8,
                            .connections_per_account = 8,
                            .reserved_connections = 0,
                            .memory = 150,
                            .memory_per_account = 100,
                            .free_bytes = 10});
    ledger.charge(ALICE, 0, 80);
    struct Case {
        uid_t uid;
        std::size_t held;
        std::size_t bytes;
        bool fits;
    };
    for (const Case& c : {
             Case{ALICE, 0, 10, true},    // the free bytes, whatever the account holds
             Case{ALICE, 0, 21, false},   // over Alice's bound
             Case{ALICE, 80, 100, true},  // what a holder holds is counted once
             Case{BOB, 0, 70, true}, Case{BOB, 0, 71, false},  // over the bound of all together
         }) {
        EXPECT_EQ(ledger.may_hold(c.uid, c.held, c.bytes), c.fits) << c.uid << " " << c.bytes;
    }
    // Given back, it fits again.
    ledger.charge(ALICE, 80, 0);
    EXPECT_TRUE(ledger.may_hold(BOB, 0, 100));
}
