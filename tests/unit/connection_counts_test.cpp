#include "server/connection_counts.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <vector>

using namespace quillmark;

namespace {

// Connections named by letters, with the idle times and busy marks a test gives them, and the
// ones the counts closed.
class Connections {
  public:
    explicit Connections(ConnectionCounts::Limits limits)
        : counts(limits, {[this](ConnectionCounts::Id id) { return busy.count(name(id)) != 0; },
                          [this](ConnectionCounts::Id id) { return idle[name(id)]; },
                          [this](ConnectionCounts::Id id) { closed.push_back(name(id)); }}) {}

    ConnectionCounts::Id id(char name) const { return &names_[name - 'a']; }
    void add(char name, const std::string& address, std::uint32_t idleFor = 0) {
        idle[name] = idleFor;
        counts.add(id(name), address);
    }

    ConnectionCounts counts;
    std::set<char> busy;
    std::map<char, std::uint32_t> idle;
    std::vector<char> closed;

  private:
    char name(ConnectionCounts::Id id) const { return static_cast<const char*>(id) - names_ + 'a'; }
    const char names_[26] = {};
};

const ConnectionCounts::Site kAllowed{true, "example.vn"};
const ConnectionCounts::Site kNotAllowed{false, "attacker.test"};

// At the cap, the longest-idle connection without a request in hand makes room; one the counts
// closed counts nowhere, even when it ends later.
TEST(ConnectionCounts, AtTheCapTheIdlestFreeConnectionMakesRoom) {
    Connections connections({3, 100, 100, 100});
    connections.add('a', "x", 900);
    connections.add('b', "x", 300);
    connections.add('c', "x", 200);
    connections.busy = {'a'};
    EXPECT_TRUE(connections.counts.admitUnderCap());
    EXPECT_EQ(connections.closed, std::vector<char>{'b'});
    EXPECT_TRUE(connections.counts.closing(connections.id('b')));

    connections.add('d', "x");
    connections.busy = {'a', 'c', 'd'};
    EXPECT_FALSE(connections.counts.admitUnderCap());
    connections.counts.remove(connections.id('b'));
    EXPECT_FALSE(connections.counts.admitUnderCap());  // b was not counted twice
    connections.counts.remove(connections.id('a'));
    EXPECT_TRUE(connections.counts.admitUnderCap());
    EXPECT_EQ(connections.closed, std::vector<char>{'b'});
}

// An address at its limit gives up only a connection whose latest request came from a site
// that is not allowed; other addresses are not touched.
TEST(ConnectionCounts, AnAddressAtItsLimitGivesUpOnlyASiteNotAllowed) {
    Connections connections({100, 2, 100, 100});
    connections.add('a', "x", 900);
    connections.add('b', "x", 100);
    ASSERT_TRUE(connections.counts.admitOfSite(connections.id('a'), kAllowed));
    ASSERT_TRUE(connections.counts.admitOfSite(connections.id('b'), kNotAllowed));
    EXPECT_TRUE(connections.counts.admitFromAddress("y"));
    EXPECT_TRUE(connections.counts.admitFromAddress("x"));
    EXPECT_EQ(connections.closed, std::vector<char>{'b'});
    connections.add('c', "x");
    EXPECT_FALSE(connections.counts.admitFromAddress("x"));
    EXPECT_EQ(connections.closed.size(), 1u);
}

// An allowed site at its limit refuses the newest; one that is not allowed gives up its idlest
// free connection, and refuses when all of its connections are busy.
TEST(ConnectionCounts, ASiteAtItsLimitRefusesOrGivesUpItsIdlest) {
    Connections connections({100, 100, 2, 1});
    for (const char name : {'a', 'b', 'c'})
        connections.add(name, "x");
    EXPECT_TRUE(connections.counts.admitOfSite(connections.id('a'), kAllowed));
    EXPECT_TRUE(connections.counts.admitOfSite(connections.id('b'), kAllowed));
    EXPECT_TRUE(connections.counts.admitOfSite(connections.id('b'), kAllowed));  // counted once
    EXPECT_FALSE(connections.counts.admitOfSite(connections.id('c'), kAllowed));
    EXPECT_TRUE(connections.counts.admitOfSite(connections.id('a'), std::nullopt));
    EXPECT_TRUE(connections.counts.admitOfSite(connections.id('c'), kAllowed));
    EXPECT_TRUE(connections.closed.empty());

    connections.add('d', "x", 500);
    connections.add('e', "x");
    connections.add('f', "x");
    EXPECT_TRUE(connections.counts.admitOfSite(connections.id('d'), kNotAllowed));
    EXPECT_TRUE(connections.counts.admitOfSite(connections.id('e'), kNotAllowed));
    EXPECT_EQ(connections.closed, std::vector<char>{'d'});
    connections.busy = {'e'};
    EXPECT_FALSE(connections.counts.admitOfSite(connections.id('f'), kNotAllowed));
    EXPECT_EQ(connections.closed, std::vector<char>{'d'});
}

}  // namespace
