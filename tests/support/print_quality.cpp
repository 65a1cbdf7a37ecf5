// Measures of a printed receipt: see print_quality.h.
#include "print_quality.h"

#include <algorithm>
#include <cstdio>
#include <sstream>

namespace korvtest {

Dots threshold_grey(int width, int height, const std::vector<uint8_t> &levels) {
  Dots d{width, height, std::vector<uint8_t>(levels.size())};
  for (size_t i = 0; i < levels.size(); ++i)
    d.dots[i] = levels[i] < 128;
  return d;
}

Dots dots_of_pgm(const std::string &bytes) {
  std::istringstream in(bytes);
  std::string magic;
  int fields[3] = {0, 0, 0};
  in >> magic;
  for (int k = 0; k < 3 && in; ++k) {
    in >> std::ws;
    while (in.peek() == '#')
      in.ignore(bytes.size(), '\n') >> std::ws;
    in >> fields[k];
  }
  const int width = fields[0], height = fields[1];
  if (magic != "P5" || !in || fields[2] != 255 || width <= 0 || height <= 0)
    return Dots{};
  in.get();
  std::vector<uint8_t> levels(size_t(width) * size_t(height));
  if (!in.read(reinterpret_cast<char *>(levels.data()), std::streamsize(levels.size())))
    return Dots{};
  return threshold_grey(width, height, levels);
}

std::vector<std::string> ideal_render_args(const std::string &pdf) {
  return {"gs", "-q", "-dNOPAUSE", "-dBATCH", "-dSAFER", "-sDEVICE=pgmraw", "-r203",
          "-dTextAlphaBits=1", "-dGraphicsAlphaBits=1", "-dFirstPage=1", "-dLastPage=1",
          "-sOutputFile=-", pdf};
}

Speckle speckle(const Dots &d) {
  Speckle s;
  for (int y = 0; y < d.height; ++y) {
    for (int x = 0; x < d.width; ++x) {
      const bool colour = d.black(x, y);
      auto same = [&](int dx, int dy) { return d.black(x + dx, y + dy) == colour; };
      int sides = 0, corners = 0, side_x = 0, side_y = 0;
      for (int dy = -1; dy <= 1; ++dy)
        for (int dx = -1; dx <= 1; ++dx) {
          if ((dx == 0 && dy == 0) || !same(dx, dy))
            continue;
          if (dx != 0 && dy != 0) {
            ++corners;
          } else {
            ++sides;
            side_x = dx;
            side_y = dy;
          }
        }
      if (colour && sides < 4)
        ++s.edge_dots;
      // A spur or notch sits on a straight stretch of edge: the dots on
      // either side of the one it holds on to are of its colour too (the
      // end of a stroke one dot wide is not one).
      const bool on_edge = sides == 1 && (side_x != 0 ? same(side_x, -1) && same(side_x, 1)
                                                      : same(-1, side_y) && same(1, side_y));
      if ((sides == 0 && corners == 0) || on_edge)
        ++s.stray_dots;
    }
  }
  return s;
}

Box ink_box(const Dots &d) {
  Box b{d.width, d.height, 0, 0};
  for (int y = 0; y < d.height; ++y)
    for (int x = 0; x < d.width; ++x)
      if (d.black(x, y)) {
        b.left = std::min(b.left, x);
        b.right = std::max(b.right, x + 1);
        b.top = std::min(b.top, y);
        b.bottom = std::max(b.bottom, y + 1);
      }
  if (b.right <= b.left)
    b = Box{};
  return b;
}

double ink_share(const Dots &d, const Box &area) {
  long black = 0, all = 0;
  for (int y = area.top; y < area.bottom; ++y)
    for (int x = area.left; x < area.right; ++x) {
      black += d.black(x, y);
      ++all;
    }
  return all > 0 ? double(black) / all : 0;
}

bool write_pbm(const std::string &path, const Dots &d) {
  FILE *f = fopen(path.c_str(), "wb");
  if (f == nullptr)
    return false;
  fprintf(f, "P4\n%d %d\n", d.width, d.height);
  std::vector<uint8_t> row((size_t(d.width) + 7) / 8);
  bool ok = true;
  for (int y = 0; y < d.height && ok; ++y) {
    std::fill(row.begin(), row.end(), 0);
    for (int x = 0; x < d.width; ++x)
      if (d.black(x, y))
        row[size_t(x) / 8] |= uint8_t(0x80 >> (x % 8));
    ok = fwrite(row.data(), 1, row.size(), f) == row.size();
  }
  return fclose(f) == 0 && ok;
}

}  // namespace korvtest
