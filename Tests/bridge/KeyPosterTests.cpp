// Key posting: the shift flag rule and dropped transitions.
#include <gtest/gtest.h>

#include "bridge/KeyPoster.hpp"
#include "support/RecordingKeyEvents.hpp"

using namespace joyrelay;

TEST(KeyPoster, ShiftCarriesAnExplicitMaskOtherKeysAreLeftAlone) {
    RecordingKeyEvents rec;
    KeyPoster poster(rec);
    poster.post(ArcadeKey::shift, true);
    poster.post(ArcadeKey::z, true);
    poster.post(ArcadeKey::arrowLeft, false);
    poster.post(ArcadeKey::shift, false);
    const auto posted = rec.posted();
    ASSERT_EQ(posted.size(), 4u);
    EXPECT_EQ(posted[0].virtualKey, 56);
    EXPECT_TRUE(posted[0].down);
    EXPECT_EQ(posted[0].flags, std::optional<std::uint64_t>(0x20000));
    EXPECT_EQ(posted[1].virtualKey, 6);
    EXPECT_EQ(posted[1].flags, std::nullopt);  // no shift flag set by us while shift is held
    EXPECT_EQ(posted[2].virtualKey, 123);
    EXPECT_FALSE(posted[2].down);
    EXPECT_EQ(posted[3].flags, std::optional<std::uint64_t>(0));  // explicitly cleared
}

TEST(KeyPoster, FailedCreationDropsOnlyThatTransition) {
    RecordingKeyEvents rec;
    rec.failCreation = [](std::size_t n) { return n == 1; };
    KeyPoster poster(rec);
    KeyState keys;
    poster.post(keys.apply({ArcadeKey::one, ArcadeKey::two, ArcadeKey::c}, true));
    const auto posted = rec.posted();
    ASSERT_EQ(posted.size(), 2u);
    EXPECT_EQ(posted[0].virtualKey, rawValue(ArcadeKey::one));
    EXPECT_EQ(posted[1].virtualKey, rawValue(ArcadeKey::c));
    poster.post(TransitionList{});
    EXPECT_EQ(rec.count(), 2u);
}
