#include <gtest/gtest.h>

#include "CenterGeometry.h"

namespace {

const PlacementMetrics screen = {1024, 768, 1, 19};
const ScreenRect wholeScreen = {0, 0, 1024, 768};

PlacementPoint place(const ScreenRect &area, int w, int h)
{
    return centeredPosition(area, w, h, screen);
}

TEST(CenterGeometry, CentresOverTheArea)
{
    PlacementPoint p = place(wholeScreen, 400, 300);
    EXPECT_EQ(p.x, 312);
    EXPECT_EQ(p.y, 234);
    ScreenRect owner = {100, 100, 700, 500};
    p = place(owner, 200, 100);
    EXPECT_EQ(p.x, 300);
    EXPECT_EQ(p.y, 250);
}

TEST(CenterGeometry, AWindowLargerThanTheScreenGoesToItsOrigin)
{
    PlacementPoint p = place(wholeScreen, 1200, 300);
    EXPECT_EQ(p.x, 0);
    EXPECT_EQ(p.y, 234);
    p = place(wholeScreen, 300, 900);
    EXPECT_EQ(p.x, 362);
    EXPECT_EQ(p.y, 0);
    p = place(wholeScreen, 1024, 768); // exactly the screen's size
    EXPECT_EQ(p.x, 0);
    EXPECT_EQ(p.y, 0);
}

TEST(CenterGeometry, KeepsOneCaptionBelowAndOneBorderRightOfTheAreaEdges)
{
    // Taller and wider than the owner: centring would reach above and left of it.
    ScreenRect owner = {100, 100, 300, 200};
    PlacementPoint p = place(owner, 300, 200);
    EXPECT_EQ(p.x, 101);
    EXPECT_EQ(p.y, 119);
}

TEST(CenterGeometry, PullsBackInsideTheScreenAfterTheEdgeRules)
{
    ScreenRect owner = {900, 700, 1024, 768};
    PlacementPoint p = place(owner, 300, 200);
    EXPECT_EQ(p.x, 1024 - 300);
    EXPECT_EQ(p.y, 768 - 200);
}

TEST(CenterGeometry, UsesOnlyTheVisiblePartOfAnOwner)
{
    ScreenRect owner = {-200, -100, 400, 300};
    ScreenRect area = visibleOwnerArea(owner, screen);
    EXPECT_EQ(area.left, 0);
    EXPECT_EQ(area.top, 0);
    EXPECT_EQ(area.right, 400);
    EXPECT_EQ(area.bottom, 300);
    PlacementPoint p = place(area, 200, 100);
    EXPECT_EQ(p.x, 100);
    EXPECT_EQ(p.y, 100);

    ScreenRect beyond = {800, 600, 1400, 1000};
    area = visibleOwnerArea(beyond, screen);
    EXPECT_EQ(area.right, 1024);
    EXPECT_EQ(area.bottom, 768);
}

} // namespace
