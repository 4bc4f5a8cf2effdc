#include "toolkit/image.h"

#include <algorithm>
#include <cstdlib>

namespace glowtern {

Image::Image(int width, int height)
    : width_(width), height_(height), pixels_(static_cast<size_t>(width) * height * 3, 0) {}

Rgb Image::pixel(int x, int y) const {
    const uint8_t* p = &pixels_[(static_cast<size_t>(y) * width_ + x) * 3];
    return Rgb{p[0], p[1], p[2]};
}

void Image::fillRectangle(int x, int y, int width, int height, Rgb colour) {
    const int left = std::max(x, 0);
    const int top = std::max(y, 0);
    const int right = std::min(x + width, width_);
    const int bottom = std::min(y + height, height_);
    for (int row = top; row < bottom; ++row) {
        uint8_t* p = &pixels_[(static_cast<size_t>(row) * width_ + left) * 3];
        for (int column = left; column < right; ++column) {
            *p++ = colour.red;
            *p++ = colour.green;
            *p++ = colour.blue;
        }
    }
}

void Image::drawHorizontalLine(int x0, int x1, int y, Rgb colour) {
    fillRectangle(std::min(x0, x1), y, std::abs(x1 - x0), 1, colour);
}

}  // namespace glowtern
