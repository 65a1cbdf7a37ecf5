// Small helpers shared by the test programs: reading little-endian
// fields of captured bytes, counting lines in logs, and waiting for
// something another process does.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>

namespace korvtest {

// The 32-bit little-endian field at byte at of s (a BMP header's sizes).
inline uint32_t le32(const std::string &s, size_t at) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i)
    v = (v << 8) | uint8_t(s[at + i]);
  return v;
}

// How often what occurs in text, overlapping occurrences counted.
inline size_t count_of(const std::string &text, const std::string &what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
    ++n;
  return n;
}

// Polls check until it holds or timeout_ms pass; whether it held.
inline bool eventually(const std::function<bool()> &check, int timeout_ms) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!check()) {
    if (std::chrono::steady_clock::now() > end)
      return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

} // namespace korvtest
