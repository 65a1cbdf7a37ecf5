// USB descriptors of the two printer families, as the real devices carry
// them: what usbfs returns on read() of the node and what GET_DESCRIPTOR
// returns on the control pipe.
#pragma once

#include "profile.h"

#include <cstdint>
#include <string>
#include <vector>

namespace vp {

struct Descriptors {
  std::vector<uint8_t> device;                // 18 bytes
  std::vector<uint8_t> config;                // the whole configuration
  std::vector<std::vector<uint8_t>> strings;  // by index; index 0: language IDs
  std::vector<bool> string_stalls;            // by index: GET_DESCRIPTOR stalls
};

// Endpoints of each family.
struct EndpointInfo {
  uint8_t address;
  uint8_t type; // 2 bulk, 3 interrupt
  uint8_t interface;
  uint16_t max_packet;
};

const std::vector<EndpointInfo> &family_endpoints(Family family);
int family_interface_count(Family family);

// Builds the descriptors; fails when a string cannot be a USB string
// descriptor (more than 126 UTF-16 code units).
bool build_descriptors(const PrinterProfile &profile, Descriptors &out, std::string &err);

// UTF-8 text (invalid bytes taken as Latin-1) to a string descriptor.
bool string_descriptor(const std::string &text, std::vector<uint8_t> &out);

} // namespace vp
