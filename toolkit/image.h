#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace glowtern {

struct Rgb {
    uint8_t red = 0;
    uint8_t green = 0;
    uint8_t blue = 0;
    friend bool operator==(const Rgb&, const Rgb&) = default;
};

// An off-screen picture, 24 bits per pixel, rows from the top, red first. Its
// pixels are allocated once; drawing never allocates and clips to the picture.
class Image {
  public:
    Image(int width, int height);

    int width() const { return width_; }
    int height() const { return height_; }
    const uint8_t* data() const { return pixels_.data(); }
    size_t byteCount() const { return pixels_.size(); }
    Rgb pixel(int x, int y) const;

    // Fills x..x+width-1, y..y+height-1; parts outside the picture are dropped.
    void fillRectangle(int x, int y, int width, int height, Rgb colour);

    // One pixel high line from (x0, y) up to but not including (x1, y).
    void drawHorizontalLine(int x0, int x1, int y, Rgb colour);

  private:
    int width_;
    int height_;
    std::vector<uint8_t> pixels_;
};

}  // namespace glowtern
