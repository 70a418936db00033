// Where a dialog goes when it is centred over its owner or the screen.
// Pure arithmetic, so that every edge rule can be checked without a screen.
#ifndef GAGENT_CENTERGEOMETRY_H
#define GAGENT_CENTERGEOMETRY_H

struct ScreenRect {
    int left, top, right, bottom;
};

struct PlacementMetrics {
    int screenWidth, screenHeight;
    int borderWidth;   // SM_CXBORDER
    int captionHeight; // SM_CYCAPTION
};

struct PlacementPoint {
    int x, y;
};

// The owner's rectangle clipped to the screen: the area to centre over.
ScreenRect visibleOwnerArea(const ScreenRect &owner, const PlacementMetrics &metrics);

// Top-left corner for a window of `width` x `height` centred over `area`,
// kept clear of the area's top and left edges and inside the screen.
PlacementPoint centeredPosition(const ScreenRect &area, int width, int height,
                                const PlacementMetrics &metrics);

#endif
