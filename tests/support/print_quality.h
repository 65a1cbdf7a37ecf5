// Measures of a printed receipt, shared by the tests and the print
// quality benchmark: stray dots along edges, the ink of an area, the
// ink's box, the picture as a file for zbarimg, and an ideal render to
// hold them against.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace korvtest {

// Dots of a printed image, top row first: 1 black, anything else white.
struct Dots {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> dots;
  bool black(int x, int y) const {
    return x >= 0 && y >= 0 && x < width && y < height && dots[size_t(y) * width + x] == 1;
  }
};

// 8-bit grey levels (255 white) to dots: black below 128.
Dots threshold_grey(int width, int height, const std::vector<uint8_t> &levels);
// The first image of an 8-bit PGM stream (comment lines allowed) so;
// empty dots on bad data.
Dots dots_of_pgm(const std::string &bytes);

// ghostscript's arguments (argv[0] "gs") for the ideal render of a PDF:
// 203 dpi without anti-aliasing, the first page as PGM on standard output.
std::vector<std::string> ideal_render_args(const std::string &pdf);

// Stray dots along edges, of either colour: an isolated dot (no dot of its
// colour among its eight neighbours), or a spur or notch of one dot on a
// straight edge (only one of its four side neighbours of its colour, and
// the two dots beside that one of its colour too). Edge dots: black dots
// with a white side neighbour. Beyond the image is white.
struct Speckle {
  long edge_dots = 0;
  long stray_dots = 0;
  double per_1000() const { return edge_dots > 0 ? 1000.0 * stray_dots / edge_dots : 0; }
};
Speckle speckle(const Dots &d);

// The smallest box holding every black dot; empty (right <= left) when
// there is none. right and bottom are one past the last dot.
struct Box {
  int left = 0, top = 0, right = 0, bottom = 0;
  int width() const { return right - left; }
  int height() const { return bottom - top; }
};
Box ink_box(const Dots &d);

// Share of black dots in rows [top, bottom) and columns [left, right).
double ink_share(const Dots &d, const Box &area);

// Writes the dots as a PBM file (zbarimg reads it); false on failure.
bool write_pbm(const std::string &path, const Dots &d);

}  // namespace korvtest
