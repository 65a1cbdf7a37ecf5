// Test pages and the printer bytes expected for them: see receipt_pages.h.
#include "receipt_pages.h"

#include <cups/raster.h>
#include <fcntl.h>
#include <sstream>
#include <stdio.h>
#include <unistd.h>

#include "app_server.h"
#include "vprinter_client.h"

namespace korvtest {

GreyPage pattern_page(int width, int height, int seed) {
  GreyPage page{width, height, std::vector<uint8_t>(static_cast<size_t>(width) * height, 255)};
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      uint8_t &p = page.pixels[static_cast<size_t>(y) * width + x];
      if (y >= 4 + seed && y < 12 + seed && x >= 20 && x < width - 20 - 7 * seed)
        p = 0; // a bar of text
      else if (y >= height / 2 && y < height - 4 && x >= 10 && x < width - 10)
        p = static_cast<uint8_t>((x * 255 / width + seed * 37) % 256); // a ramp
    }
  return page;
}

GreyPage blocks_page(int width, int height, int seed) {
  GreyPage page{width, height, std::vector<uint8_t>(static_cast<size_t>(width) * height, 255)};
  for (int y = 8; y < height - 8; ++y)
    for (int x = 16; x < width - 16; ++x)
      if (((x / 32) + (y / 16) + seed) % 2 == 0)
        page.pixels[static_cast<size_t>(y) * width + x] = 0;
  return page;
}

bool write_pgm(const std::string &path, const GreyPage &page) {
  FILE *f = fopen(path.c_str(), "wb");
  if (!f)
    return false;
  fprintf(f, "P5\n%d %d\n255\n", page.width, page.height);
  bool ok = fwrite(page.pixels.data(), 1, page.pixels.size(), f) == page.pixels.size();
  return fclose(f) == 0 && ok;
}

static bool convert_pgm(const std::string &path, const GreyPage &page,
                        const std::vector<std::string> &options) {
  std::string pgm = path + ".pgm";
  if (!write_pgm(pgm, page))
    return false;
  std::vector<std::string> argv = {"convert", pgm, "-density", "203", "-units",
                                   "PixelsPerInch"};
  argv.insert(argv.end(), options.begin(), options.end());
  argv.push_back(path);
  Command c = run_command(argv, {}, {"LD_PRELOAD"});
  unlink(pgm.c_str());
  return c.status == 0;
}

bool write_png(const std::string &path, const GreyPage &page) {
  return convert_pgm(path, page, {"-define", "png:color-type=0"});
}

bool write_jpeg(const std::string &path, const GreyPage &page) {
  return convert_pgm(path, page, {"-quality", "100"});
}

bool write_pwg_raster(const std::string &path, const std::vector<GreyPage> &pages) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0)
    return false;
  cups_raster_t *ras = cupsRasterOpen(fd, CUPS_RASTER_WRITE_PWG);
  bool ok = ras != nullptr;
  for (const GreyPage &page : pages) {
    cups_page_header2_t header;
    ok = ok && cupsRasterInitPWGHeader(&header, pwgMediaForPWG("om_80x297mm_80x297mm"),
                                       "sgray_8", 203, 203, "one-sided", nullptr);
    header.cupsWidth = static_cast<unsigned>(page.width);
    header.cupsHeight = static_cast<unsigned>(page.height);
    header.cupsBytesPerLine = static_cast<unsigned>(page.width);
    header.cupsInteger[CUPS_RASTER_PWG_TotalPageCount] = static_cast<unsigned>(pages.size());
    ok = ok && cupsRasterWriteHeader2(ras, &header);
    for (int y = 0; ok && y < page.height; ++y)
      ok = cupsRasterWritePixels(
               ras, const_cast<unsigned char *>(&page.pixels[static_cast<size_t>(y) * page.width]),
               static_cast<unsigned>(page.width)) == static_cast<unsigned>(page.width);
  }
  if (ras)
    cupsRasterClose(ras);
  return close(fd) == 0 && ok;
}

bool write_pdf(const std::string &path, const std::vector<GreyPage> &pages) {
  // One point per pixel: catalog, page tree, then per page a page, its
  // content stream and its image.
  std::vector<std::string> objects = {"<< /Type /Catalog /Pages 2 0 R >>", ""};
  std::string kids;
  for (size_t i = 0; i < pages.size(); ++i) {
    const GreyPage &p = pages[i];
    int page_obj = 3 + static_cast<int>(i) * 3;
    kids += std::to_string(page_obj) + " 0 R ";
    std::string content = "q " + std::to_string(p.width) + " 0 0 " + std::to_string(p.height) +
                          " 0 0 cm /Im0 Do Q";
    objects.push_back("<< /Type /Page /Parent 2 0 R /MediaBox [0 0 " + std::to_string(p.width) +
                      " " + std::to_string(p.height) + "] /Resources << /XObject << /Im0 " +
                      std::to_string(page_obj + 2) + " 0 R >> >> /Contents " +
                      std::to_string(page_obj + 1) + " 0 R >>");
    objects.push_back("<< /Length " + std::to_string(content.size()) + " >>\nstream\n" +
                      content + "\nendstream");
    objects.push_back("<< /Type /XObject /Subtype /Image /Width " + std::to_string(p.width) +
                      " /Height " + std::to_string(p.height) +
                      " /ColorSpace /DeviceGray /BitsPerComponent 8 /Length " +
                      std::to_string(p.pixels.size()) + " >>\nstream\n" +
                      std::string(p.pixels.begin(), p.pixels.end()) + "\nendstream");
  }
  objects[1] = "<< /Type /Pages /Kids [" + kids + "] /Count " + std::to_string(pages.size()) + " >>";
  std::string out = "%PDF-1.4\n";
  std::vector<size_t> offsets;
  for (size_t i = 0; i < objects.size(); ++i) {
    offsets.push_back(out.size());
    out += std::to_string(i + 1) + " 0 obj\n" + objects[i] + "\nendobj\n";
  }
  size_t xref = out.size();
  out += "xref\n0 " + std::to_string(objects.size() + 1) + "\n0000000000 65535 f \n";
  char line[32];
  for (size_t off : offsets) {
    snprintf(line, sizeof(line), "%010zu 00000 n \n", off);
    out += line;
  }
  out += "trailer\n<< /Size " + std::to_string(objects.size() + 1) +
         " /Root 1 0 R >>\nstartxref\n" + std::to_string(xref) + "\n%%EOF\n";
  FILE *f = fopen(path.c_str(), "wb");
  if (!f)
    return false;
  bool ok = fwrite(out.data(), 1, out.size(), f) == out.size();
  return fclose(f) == 0 && ok;
}

std::vector<GreyPage> read_pgm_pages(const std::string &bytes) {
  std::vector<GreyPage> pages;
  std::istringstream in(bytes);
  for (;;) {
    std::string magic;
    GreyPage page;
    int maxval = 0;
    if (!(in >> magic))
      break;
    if (magic != "P5" || !(in >> page.width >> page.height >> maxval) || maxval != 255)
      return {};
    in.get();
    page.pixels.resize(static_cast<size_t>(page.width) * page.height);
    if (!in.read(reinterpret_cast<char *>(page.pixels.data()),
                 static_cast<std::streamsize>(page.pixels.size())))
      return {};
    pages.push_back(std::move(page));
  }
  return pages;
}

GreyPage decode_grey(const std::string &path) {
  Command c = run_command({"convert", path, "-colorspace", "Gray", "-depth", "8", "pgm:-"}, {},
                          {"LD_PRELOAD"});
  std::vector<GreyPage> pages = read_pgm_pages(c.out);
  return pages.empty() ? GreyPage{} : pages[0];
}

static int append_bytes(void *context, const void *data, size_t len) {
  auto *out = static_cast<std::vector<uint8_t> *>(context);
  const uint8_t *bytes = static_cast<const uint8_t *>(data);
  out->insert(out->end(), bytes, bytes + len);
  return 0;
}

std::vector<uint8_t> expected_printer_bytes(const std::vector<GreyPage> &pages,
                                            const receipt_settings &settings, int copies) {
  std::vector<uint8_t> out = {0x02};
  receipt_job job = {};
  if (receipt_begin(&job, &settings) != RECEIPT_OK)
    return {};
  bool ok = true;
  for (const GreyPage &page : pages) {
    ok = ok && receipt_begin_page(&job, page.width, RECEIPT_GREY8_WHITE255) == RECEIPT_OK;
    for (int y = 0; ok && y < page.height; ++y)
      ok = receipt_add_row(&job, &page.pixels[static_cast<size_t>(y) * page.width]) == RECEIPT_OK;
    ok = ok && receipt_end_page(&job) == RECEIPT_OK;
  }
  ok = ok && receipt_write_bmp(&job, copies, append_bytes, &out) == RECEIPT_OK;
  receipt_end(&job);
  return ok ? out : std::vector<uint8_t>{};
}

} // namespace korvtest
