// Descriptor sets. Ostrel: a vendor-class USB-to-UART bridge, full speed,
// one interface with bulk OUT 0x01 and bulk IN 0x81 of 64 bytes. Kelpin: a
// CDC ACM modem, high speed, a communications interface with its
// functional descriptors and interrupt IN 0x83, and a data interface with
// bulk OUT 0x01 and bulk IN 0x82 of 512 bytes.
#include "descriptors.h"

namespace vp {
namespace {

void put16(std::vector<uint8_t> &v, unsigned x) {
  v.push_back(uint8_t(x));
  v.push_back(uint8_t(x >> 8));
}

void endpoint(std::vector<uint8_t> &v, uint8_t address, uint8_t type, unsigned max_packet,
              uint8_t interval) {
  v.insert(v.end(), {7, 5, address, type});
  put16(v, max_packet);
  v.push_back(interval);
}

// Decodes UTF-8; a byte that does not start a valid sequence stands for
// itself (Latin-1).
std::vector<uint32_t> code_points(const std::string &s) {
  std::vector<uint32_t> out;
  size_t i = 0;
  while (i < s.size()) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    size_t extra = c < 0x80                 ? 0
                   : c >= 0xC2 && c < 0xE0 ? 1
                   : c >= 0xE0 && c < 0xF0 ? 2
                   : c >= 0xF0 && c < 0xF5 ? 3
                                            : 0;
    uint32_t cp = extra == 0 ? c : c & (0x3Fu >> extra);
    bool ok = extra > 0 && i + extra < s.size();
    for (size_t k = 1; ok && k <= extra; ++k) {
      unsigned char cc = static_cast<unsigned char>(s[i + k]);
      ok = (cc & 0xC0) == 0x80;
      cp = (cp << 6) | (cc & 0x3Fu);
    }
    bool minimal = extra == 1 || (extra == 2 && cp >= 0x800) || (extra == 3 && cp >= 0x10000);
    if (ok && minimal && cp <= 0x10FFFF && !(cp >= 0xD800 && cp <= 0xDFFF)) {
      out.push_back(cp);
      i += extra + 1;
    } else {
      out.push_back(c);
      ++i;
    }
  }
  return out;
}

} // namespace

const std::vector<EndpointInfo> &family_endpoints(Family family) {
  static const std::vector<EndpointInfo> ostrel = {{0x01, 2, 0, 64}, {0x81, 2, 0, 64}};
  static const std::vector<EndpointInfo> kelpin = {
      {0x83, 3, 0, 16}, {0x01, 2, 1, 512}, {0x82, 2, 1, 512}};
  return family == Family::Kelpin ? kelpin : ostrel;
}

int family_interface_count(Family family) { return family == Family::Kelpin ? 2 : 1; }

bool string_descriptor(const std::string &text, std::vector<uint8_t> &out) {
  std::vector<uint16_t> units;
  for (uint32_t cp : code_points(text)) {
    if (cp >= 0x10000) {
      cp -= 0x10000;
      units.push_back(uint16_t(0xD800 + (cp >> 10)));
      units.push_back(uint16_t(0xDC00 + (cp & 0x3FF)));
    } else {
      units.push_back(uint16_t(cp));
    }
  }
  if (units.size() > 126)
    return false;
  out.clear();
  out.push_back(uint8_t(2 + 2 * units.size()));
  out.push_back(3);
  for (uint16_t u : units)
    put16(out, u);
  return true;
}

bool build_descriptors(const PrinterProfile &profile, Descriptors &out, std::string &err) {
  out = Descriptors{};
  out.strings.push_back({4, 3, 0x09, 0x04}); // US English only
  out.string_stalls.push_back(false);

  auto add_string = [&](const StringProfile &s, const char *what, uint8_t &index) {
    if (s.kind == StringProfile::Kind::None) {
      index = 0;
      return true;
    }
    std::vector<uint8_t> d;
    if (s.kind == StringProfile::Kind::Text && !string_descriptor(s.text, d)) {
      err = std::string(what) + " string of " + profile.name +
            " is longer than a string descriptor can hold (126 UTF-16 units)";
      return false;
    }
    index = uint8_t(out.strings.size());
    out.strings.push_back(d);
    out.string_stalls.push_back(s.kind == StringProfile::Kind::Stall);
    return true;
  };
  uint8_t i_manufacturer, i_product, i_serial;
  if (!add_string(profile.manufacturer, "manufacturer", i_manufacturer) ||
      !add_string(profile.product, "product", i_product) ||
      !add_string(profile.serial, "serial", i_serial))
    return false;

  bool kelpin = profile.family == Family::Kelpin;
  std::vector<uint8_t> &d = out.device;
  d = {18, 1};
  put16(d, kelpin ? 0x0200 : 0x0110);
  // Kelpin: the class is given at device level, as CDC devices without an
  // interface association do.
  d.insert(d.end(), {uint8_t(kelpin ? 0x02 : 0x00), 0, 0, 64});
  put16(d, unsigned(profile.vid));
  put16(d, unsigned(profile.pid));
  put16(d, unsigned(profile.bcd));
  d.insert(d.end(), {i_manufacturer, i_product, i_serial, 1});

  std::vector<uint8_t> &c = out.config;
  c = {9, 2, 0, 0, uint8_t(family_interface_count(profile.family)), 1, 0, 0x80, 50};
  if (!kelpin) {
    c.insert(c.end(), {9, 4, 0, 0, 2, 0xFF, 0x00, 0x00, i_product});
    endpoint(c, 0x81, 2, 64, 0);
    endpoint(c, 0x01, 2, 64, 0);
  } else {
    c.insert(c.end(), {9, 4, 0, 0, 1, 0x02, 0x02, 0x01, 0});
    c.insert(c.end(), {5, 0x24, 0x00, 0x10, 0x01}); // header, CDC 1.10
    c.insert(c.end(), {5, 0x24, 0x01, 0x00, 0x01}); // call management, data interface 1
    c.insert(c.end(), {4, 0x24, 0x02, 0x02});       // ACM: line coding and serial state
    c.insert(c.end(), {5, 0x24, 0x06, 0x00, 0x01}); // union: master 0, slave 1
    endpoint(c, 0x83, 3, 16, 0x08);
    c.insert(c.end(), {9, 4, 1, 0, 2, 0x0A, 0x00, 0x00, 0});
    endpoint(c, 0x01, 2, 512, 0);
    endpoint(c, 0x82, 2, 512, 0);
  }
  c[2] = uint8_t(c.size());
  c[3] = uint8_t(c.size() >> 8);
  return true;
}

} // namespace vp
