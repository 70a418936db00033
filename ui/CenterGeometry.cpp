#include "CenterGeometry.h"

ScreenRect visibleOwnerArea(const ScreenRect &owner, const PlacementMetrics &metrics)
{
    ScreenRect area = owner;
    if (area.left < 0)
        area.left = 0;
    if (area.top < 0)
        area.top = 0;
    if (area.right > metrics.screenWidth)
        area.right = metrics.screenWidth;
    if (area.bottom > metrics.screenHeight)
        area.bottom = metrics.screenHeight;
    return area;
}

PlacementPoint centeredPosition(const ScreenRect &area, int width, int height,
                                const PlacementMetrics &metrics)
{
    // Signed halving truncates toward zero, as the platform's own arithmetic does.
    PlacementPoint p;
    p.x = area.left + (area.right - area.left - width) / 2;
    p.y = area.top + (area.bottom - area.top - height) / 2;

    if (p.x < area.left + metrics.borderWidth)
        p.x = area.left + metrics.borderWidth;
    if (p.y < area.top + metrics.captionHeight)
        p.y = area.top + metrics.captionHeight;
    if (p.x < 0)
        p.x = 0;
    if (p.y < 0)
        p.y = 0;
    if (p.x + width > metrics.screenWidth)
        p.x = width < metrics.screenWidth ? metrics.screenWidth - width : 0;
    if (p.y + height > metrics.screenHeight)
        p.y = height < metrics.screenHeight ? metrics.screenHeight - height : 0;
    return p;
}
