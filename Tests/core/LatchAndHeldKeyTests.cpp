// Lever and trigger hysteresis, wanted sets, and held-key transitions, including a property test over
// random report streams.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "JoyrelayCore/GIP.hpp"

using namespace joyrelay;

namespace {

using T = KeyTransition;
constexpr bool down = true;
constexpr bool up = false;

std::vector<T> vec(const TransitionList& l) { return {l.begin(), l.end()}; }

int stepX(Lever& lever, int x) { return lever.update(static_cast<std::int16_t>(x), 0).first; }

InputReport levers(int lx, int ly, int rx, int ry) {
    InputReport r;
    r.leftX = static_cast<std::int16_t>(lx);
    r.leftY = static_cast<std::int16_t>(ly);
    r.rightX = static_cast<std::int16_t>(rx);
    r.rightY = static_cast<std::int16_t>(ry);
    return r;
}

}  // namespace

TEST(Lever, EngagesAt12000AndLetsGoBelow8000) {
    for (auto [value, expected] : std::vector<std::pair<int, int>>{
             {11999, 0}, {12000, 1}, {-12000, -1}, {-32768, -1}, {32767, 1}}) {
        Lever lever;
        EXPECT_EQ(stepX(lever, value), expected) << value;
    }
    Lever lever;
    stepX(lever, 20000);
    EXPECT_EQ(stepX(lever, 8000), 1);    // holds at exactly off
    EXPECT_EQ(stepX(lever, -9000), 1);   // crossing over, but under on: keeps its direction
    EXPECT_EQ(stepX(lever, -12000), -1); // a swing straight through reverses in one step
    EXPECT_EQ(stepX(lever, -7999), 0);
    EXPECT_EQ(stepX(lever, 9000), 0);    // must reach on again
    stepX(lever, 12000);
    EXPECT_EQ(stepX(lever, 7999), 0);
}

TEST(Lever, AxesAreIndependent) {
    Lever lever;
    EXPECT_EQ(lever.update(15000, -15000), std::make_pair(1, -1));
    EXPECT_EQ(lever.update(0, -9000), std::make_pair(0, -1));
}

TEST(TriggerLatch, EngagesAt512AndLetsGoAt256) {
    TriggerLatch t;
    EXPECT_FALSE(t.update(511));
    EXPECT_TRUE(t.update(512));
    EXPECT_TRUE(t.update(257));
    EXPECT_FALSE(t.update(256));
    EXPECT_FALSE(t.update(300));
    EXPECT_TRUE(t.update(65535));
}

TEST(StickState, WantedJoinsButtonsTriggersAndBothLevers) {
    {
        StickState s;
        EXPECT_EQ(s.wanted(levers(0, 12000, -12000, 0)), (KeySet{ArcadeKey::arrowUp, ArcadeKey::arrowLeft}));
    }
    {
        StickState s;
        InputReport r = levers(-20000, 0, 0, 0);
        r.buttons = {ArcadeKey::arrowLeft};
        EXPECT_EQ(s.wanted(r), KeySet{ArcadeKey::arrowLeft});
    }
    {
        StickState s;  // escape from the View button and the left trigger at once
        InputReport r;
        r.leftTrigger = 1023;
        r.buttons = {ArcadeKey::escape};
        EXPECT_EQ(s.wanted(r), KeySet{ArcadeKey::escape});
        r.buttons = {};
        EXPECT_EQ(s.wanted(r), KeySet{ArcadeKey::escape});  // the latch was pressed all the same
    }
    {
        StickState s;
        InputReport r;
        r.rightTrigger = 600;
        EXPECT_EQ(s.wanted(r), KeySet{ArcadeKey::one});
        r.rightTrigger = 300;
        EXPECT_EQ(s.wanted(r), KeySet{ArcadeKey::one});
        r.rightTrigger = 200;
        EXPECT_TRUE(s.wanted(r).empty());
    }
    {
        StickState s;  // opposite directions from different sources are both wanted
        EXPECT_EQ(s.wanted(levers(-20000, 0, 20000, 0)),
                  (KeySet{ArcadeKey::arrowLeft, ArcadeKey::arrowRight}));
    }
}

TEST(KeyState, ReleasesComeFirstThenPressesEachInKeyOrder) {
    KeyState k;
    EXPECT_EQ(vec(k.apply({ArcadeKey::space, ArcadeKey::one}, true)),
              (std::vector<T>{{ArcadeKey::one, down}, {ArcadeKey::space, down}}));
    EXPECT_EQ(vec(k.apply({}, false)), (std::vector<T>{{ArcadeKey::one, up}, {ArcadeKey::space, up}}));

    KeyState lr;
    lr.apply({ArcadeKey::arrowLeft}, true);
    EXPECT_EQ(vec(lr.apply({ArcadeKey::arrowRight}, true)),
              (std::vector<T>{{ArcadeKey::arrowLeft, up}, {ArcadeKey::arrowRight, down}}));

    KeyState zc;
    zc.apply({ArcadeKey::z}, true);
    EXPECT_EQ(vec(zc.apply({ArcadeKey::c}, true)), (std::vector<T>{{ArcadeKey::z, up}, {ArcadeKey::c, down}}));
    EXPECT_TRUE(zc.apply({ArcadeKey::c}, true).empty());  // unchanged wanted set: nothing
    EXPECT_EQ(vec(zc.apply({ArcadeKey::c}, false)), (std::vector<T>{{ArcadeKey::c, up}}));  // closing lets go
}

TEST(KeyState, ClosedGateReleasesEverythingHeldAndHoldsBackPresses) {
    KeyState k;
    k.apply({ArcadeKey::shift}, true);
    // Shift is still wanted, but it was held while the gate was open: it goes up when the gate closes.
    EXPECT_EQ(vec(k.apply({ArcadeKey::shift, ArcadeKey::one}, false)), (std::vector<T>{{ArcadeKey::shift, up}}));
    EXPECT_TRUE(k.held().empty());
    EXPECT_TRUE(k.apply({ArcadeKey::shift, ArcadeKey::one}, false).empty()) << "nothing goes down while closed";
    EXPECT_EQ(vec(k.apply({ArcadeKey::shift, ArcadeKey::one}, true)),
              (std::vector<T>{{ArcadeKey::one, down}, {ArcadeKey::shift, down}}));
    EXPECT_EQ(k.held(), (KeySet{ArcadeKey::one, ArcadeKey::shift}));

    KeyState sz;
    sz.apply({ArcadeKey::shift, ArcadeKey::z}, true);
    EXPECT_EQ(vec(sz.apply({ArcadeKey::shift, ArcadeKey::one}, false)),
              (std::vector<T>{{ArcadeKey::shift, up}, {ArcadeKey::z, up}}));
    EXPECT_TRUE(sz.held().empty());

    // Presses held back while the gate is open (the output refused them) keep what is held and wanted.
    KeyState held;
    held.apply({ArcadeKey::shift, ArcadeKey::z}, true);
    const KeySet wanted{ArcadeKey::shift, ArcadeKey::one};
    EXPECT_EQ(vec(held.apply(wanted & held.held(), true)), (std::vector<T>{{ArcadeKey::z, up}}));
    EXPECT_EQ(held.held(), KeySet{ArcadeKey::shift});
}

TEST(KeyState, ReleaseAllReleasesInKeyOrderAndEmpties) {
    KeyState k;
    k.apply({ArcadeKey::z, ArcadeKey::enter, ArcadeKey::two}, true);
    EXPECT_EQ(vec(k.releaseAll()),
              (std::vector<T>{{ArcadeKey::two, up}, {ArcadeKey::enter, up}, {ArcadeKey::z, up}}));
    EXPECT_TRUE(k.held().empty());
    EXPECT_TRUE(k.releaseAll().empty());
    EXPECT_EQ(vec(k.apply({ArcadeKey::z}, true)), (std::vector<T>{{ArcadeKey::z, down}}));
}

// Random report streams, random gates and random releaseAll calls: the transitions always describe
// exactly the held set, never name a key twice, put releases first, and nothing stays down.
TEST(KeyStateProperty, TransitionsAlwaysMatchTheHeldSet) {
    std::mt19937 rng(20261207);
    auto axis = [&] {
        static const int interesting[] = {0, 7999, 8000, 9000, 11999, 12000, 20000, 32767};
        int v = interesting[rng() % 8];
        if (rng() % 2) v = -v;
        if (rng() % 5 == 0) v = -32768;
        return static_cast<std::int16_t>(v);
    };
    for (int run = 0; run < 200; ++run) {
        StickState state;
        KeyState tracker;
        bool isDown[keys::count] = {};
        bool everPressed[keys::count] = {};
        auto check = [&](const TransitionList& list) {
            bool seenPress = false;
            KeySet named;
            for (const KeyTransition& t : list) {
                ASSERT_FALSE(named.contains(t.key)) << "a list named a key twice";
                named.insert(t.key);
                if (t.down) {
                    seenPress = true;
                    ASSERT_FALSE(isDown[keys::index(t.key)]) << "pressed a key already down";
                    everPressed[keys::index(t.key)] = true;
                } else {
                    ASSERT_FALSE(seenPress) << "a release after a press";
                    ASSERT_TRUE(isDown[keys::index(t.key)]) << "released a key that was not down";
                }
                isDown[keys::index(t.key)] = t.down;
            }
            for (ArcadeKey k : keys::allCases) {
                ASSERT_EQ(tracker.held().contains(k), isDown[keys::index(k)]) << name(k);
            }
        };
        for (int step = 0; step < 300; ++step) {
            if (rng() % 40 == 0) {
                check(tracker.releaseAll());
                for (bool d : isDown) ASSERT_FALSE(d);
                continue;
            }
            InputReport r;
            r.buttons = KeySet::fromMask(static_cast<std::uint16_t>(rng() & rng()));
            r.leftTrigger = static_cast<std::uint16_t>(rng() % 1024);
            r.rightTrigger = static_cast<std::uint16_t>(rng() % 1024);
            r.leftX = axis();
            r.leftY = axis();
            r.rightX = axis();
            r.rightY = axis();
            const bool gate = rng() % 4 != 0;
            const KeySet wanted = state.wanted(r);
            check(tracker.apply(wanted, gate));
            ASSERT_TRUE(tracker.held().minus(wanted).empty()) << "holds a key nobody wants";
            if (gate) {
                ASSERT_EQ(tracker.held(), wanted);
            } else {
                for (bool d : isDown) ASSERT_FALSE(d) << "a key stayed down behind the closed gate";
            }
        }
        check(tracker.releaseAll());
        for (ArcadeKey k : keys::allCases) {
            if (everPressed[keys::index(k)]) {
                ASSERT_FALSE(isDown[keys::index(k)]);
            }
        }
    }
}
