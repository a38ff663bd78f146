#pragma once
// Plain geometry and colour records of the toolkit. Coordinates are device-independent pixels
// (DIPs, 1/96 inch) unless a name says pixels; colours are straight-alpha floats in 0..1.

#include <vector>

namespace d2dui {

struct point {
    float x = 0;
    float y = 0;
};

struct size {
    float width = 0;
    float height = 0;
};

struct rect {
    float x = 0;
    float y = 0;
    float width = 0;
    float height = 0;

    float right() const { return x + width; }
    float bottom() const { return y + height; }
    // Edges are inclusive: a point on the right or bottom edge lies inside.
    bool contains(point p) const { return p.x >= x && p.x <= x + width && p.y >= y && p.y <= y + height; }
    friend bool operator==(const rect&, const rect&) = default;
};

struct color {
    float r = 0;
    float g = 0;
    float b = 0;
    float a = 1;

    // From 8-bit channels (value / 255), as colours are quoted in the design.
    static constexpr color rgb8(int red, int green, int blue, float alpha = 1.0f)
    {
        return {red / 255.0f, green / 255.0f, blue / 255.0f, alpha};
    }
    friend bool operator==(const color&, const color&) = default;
};

// A 2-D affine transform in the row-vector convention: p' = p * M.
struct matrix {
    float m11 = 1, m12 = 0;
    float m21 = 0, m22 = 1;
    float dx = 0, dy = 0;

    static constexpr matrix translation(float x, float y) { return {1, 0, 0, 1, x, y}; }
    static constexpr matrix scale(float sx, float sy) { return {sx, 0, 0, sy, 0, 0}; }

    // First this, then `next`.
    constexpr matrix operator*(const matrix& next) const
    {
        return {m11 * next.m11 + m12 * next.m21, m11 * next.m12 + m12 * next.m22,
                m21 * next.m11 + m22 * next.m21, m21 * next.m12 + m22 * next.m22,
                dx * next.m11 + dy * next.m21 + next.dx, dx * next.m12 + dy * next.m22 + next.dy};
    }
    constexpr point apply(point p) const
    {
        return {p.x * m11 + p.y * m21 + dx, p.x * m12 + p.y * m22 + dy};
    }
    friend bool operator==(const matrix&, const matrix&) = default;
};

// A filled outline: one closed figure of straight and cubic Bézier segments from `start`.
struct path_segment {
    bool cubic = false;
    point c1, c2;  // control points (cubic only)
    point to;
};
struct path {
    point start;
    std::vector<path_segment> segments;
    bool empty() const { return segments.empty(); }
};

}  // namespace d2dui
