#pragma once

// Screen geometry in points with y growing upwards; a rectangle's origin is its lower-left corner.
// Conversion from the toolkit's y-down pixels happens only inside the GTK backend.
namespace quillo {

struct Point {
    double x = 0;
    double y = 0;
    friend bool operator==(const Point&, const Point&) = default;
};

struct Size {
    double width = 0;
    double height = 0;
    friend bool operator==(const Size&, const Size&) = default;
};

struct Rect {
    Point origin;
    Size size;

    double minX() const { return origin.x; }
    double minY() const { return origin.y; }
    double maxX() const { return origin.x + size.width; }
    double maxY() const { return origin.y + size.height; }
    double midX() const { return origin.x + size.width / 2; }

    // Open intervals on both axes: rectangles that only touch along an edge do not intersect.
    bool intersects(const Rect& other) const {
        return size.width > 0 && size.height > 0 && other.size.width > 0 && other.size.height > 0 &&
               minX() < other.maxX() && other.minX() < maxX() && minY() < other.maxY() &&
               other.minY() < maxY();
    }
    friend bool operator==(const Rect&, const Rect&) = default;
};

}  // namespace quillo
