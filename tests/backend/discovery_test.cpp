// Discovery: the device lines, their numbering, the device strings as
// untrusted input, and the backend log of a discovery run.
#include <gtest/gtest.h>

#include <map>
#include <set>

#include "backend_run.h"
#include "vprinter_client.h"

namespace {

struct DeviceLine {
  std::string uri;
  std::string protocol;
  int uri_number = 0;
  std::string serial; // as the URI encodes it; empty without ?serial=
  std::string model; // as written, escapes included
  int description_number = 0;
  std::string device_id;
};

// Reads one device line; false unless the whole line has the format.
bool parse_device_line(const std::string &line, DeviceLine &out) {
  const std::string head = "direct usbkorv:/";
  const std::string description = "\" \"KorvaNIX USB Printer #";
  if (line.rfind(head, 0) != 0)
    return false;
  size_t pos = head.size();
  size_t slash = line.find('/', pos);
  if (slash == std::string::npos)
    return false;
  out.protocol = line.substr(pos, slash - pos);
  char *end = nullptr;
  out.uri_number = static_cast<int>(strtol(line.c_str() + slash + 1, &end, 10));
  pos = static_cast<size_t>(end - line.c_str());
  out.serial.clear();
  if (line.compare(pos, 8, "?serial=") == 0) {
    size_t blank = line.find(' ', pos);
    if (blank == std::string::npos)
      return false;
    out.serial = line.substr(pos + 8, blank - pos - 8);
    pos = blank;
  }
  out.uri = line.substr(7, pos - 7);
  if (line.compare(pos, 2, " \"") != 0)
    return false;
  // The model runs to the first quote that is not escaped.
  out.model.clear();
  for (pos += 2; pos < line.size() && line[pos] != '"'; ++pos) {
    if (line[pos] == '\\' && pos + 1 < line.size())
      out.model += line[pos++];
    out.model += line[pos];
  }
  if (line.compare(pos, description.size(), description) != 0)
    return false;
  pos += description.size();
  out.description_number = static_cast<int>(strtol(line.c_str() + pos, &end, 10));
  // The IEEE 1284 device ID, the same for every printer of a model.
  std::string rest = end;
  const std::string id_head = "\" \"MFG:KorvaNIX;MDL:";
  if (rest.rfind(id_head, 0) != 0 || rest.back() != '"')
    return false;
  out.device_id = rest.substr(3, rest.size() - 4);
  return !out.protocol.empty();
}

// Parses the listing; every line must be a well-formed device line.
std::vector<DeviceLine> parse_listing(const std::string &out) {
  std::vector<DeviceLine> lines;
  for (const std::string &line : split_lines(out)) {
    DeviceLine parsed;
    bool ok = parse_device_line(line, parsed);
    EXPECT_TRUE(ok) << "bad device line: " << line;
    if (ok)
      lines.push_back(parsed);
  }
  return lines;
}

// The device numbers in the order libusb listed the devices, as the
// backend log shows it.
std::vector<std::string> listing_order(const std::string &log) {
  std::vector<std::string> order;
  const std::string key = "In one device: DEV=";
  for (const std::string &line : grep(log, key))
    order.push_back(line.substr(line.find(key) + key.size(), 3));
  return order;
}

std::string dev_text(const korvtest::UsbAddress &address) {
  char text[8];
  snprintf(text, sizeof text, "%03d", address.dev);
  return text;
}

class DiscoveryTest : public ::testing::Test {
protected:
  void SetUp() override { fresh_logs(); }
};

TEST_F(DiscoveryTest, BackendLogOfADiscoveryRun) {
  korvtest::VPrinterServer printers(
      {"kelpin,vid=0x3A07,pid=0x0005,bcd=0x0210,manufacturer=\"Mirel Works\","
       "product=\"TR090SAX Receipt\""});
  ASSERT_TRUE(printers.ok()) << printers.error();

  BackendRun run = run_usbkorv({"usbkorv"});
  ASSERT_EQ(run.status, 0);
  EXPECT_EQ(run.out,
            "direct usbkorv:/tr090sax/1?serial=VP0001 \"TR090SAX Receipt\" \"KorvaNIX USB Printer "
            "#1\" \"MFG:KorvaNIX;MDL:TR090SAX;CMD:KORVBMP;\"\n");
  const std::string tag = "[CUPS][usbkorvqrp][list_devices]";
  EXPECT_EQ(read_file(BACKEND_LOG),
            "*** Starting KORVUSB/QRPUSB CUPS backend, job_id=(null) ***\n"
            "[CUPS][usbkorvqrp] We were called with no arguments, entering list_devices().\n" +
                tag + " About to do usb_init().\n" + tag +
                "Did usb_find_busses() and found 1 busses.\n" + tag +
                "Did usb_find_devices() and found 1 devices.\n" + tag +
                " About to do usb_get_busses().\n" + tag + " About to iterate through busses.\n" +
                tag + " In one bus, about to iterate through devices.\n" + tag +
                " In one device: DEV=" + dev_text(printers.addresses()[0]) +
                ", bDeviceClass=02h, bDeviceSubClass=00h, bDeviceProtocol=00h, idVendor=3A07h, "
                "idProduct=0005h, idRevision=0210h\n" +
                tag + " Found a KorvaNIX/Mirel Works Printer: VendorId=3A07h, ProductId=0005h.\n" +
                tag + " Opening the device.\n" + tag + " -> Getting the device strings.\n" + tag +
                " Device is opened: Manufacturer=Mirel Works, Product=TR090SAX Receipt.\n" + tag +
                " -> Discovered a supported printer model: Maker=Mirel Works, Model=TR090SAX "
                "Receipt.\n"
                "*** Ending KORVUSB/QRPUSB CUPS backend, job_id=(null) ***\n");
  // Discovery stays away from the port layer.
  EXPECT_FALSE(file_exists(TRACE_LOG));
}

TEST_F(DiscoveryTest, ListsEverySupportedPrinterOfBothFamiliesAndVendors) {
  korvtest::VPrinterServer printers({
      "ostrel,name=O1,vid=0x2F1C,pid=0x0001,product=\"Ostrel one\"",
      "ostrel,name=O2,vid=0x3A07,pid=0x0001,product=\"Ostrel two\"",
      "kelpin,name=K1,vid=0x3A07,pid=0x0003,product=\"Kelpin 3200\"",
      "kelpin,name=K2,vid=0x2F1C,pid=0x0005,product=\"Kelpin 090\"",
      "kelpin,name=K3,vid=0x3A07,pid=0x0006,product=\"Kelpin 3500\"",
      "kelpin,name=X,vid=0x2F1C,pid=0x0002,product=\"Not a printer\"",
      "ostrel,name=F,vid=0x1234,pid=0x0001,product=\"Foreign\"",
  });
  ASSERT_TRUE(printers.ok()) << printers.error();

  BackendRun run = run_usbkorv({"usbkorv"});
  ASSERT_EQ(run.status, 0);
  std::vector<DeviceLine> lines = parse_listing(run.out);
  ASSERT_EQ(lines.size(), 5u) << run.out;

  const std::map<std::string, std::string> protocol_of = {
      {"Ostrel one", "tr3000ax"}, {"Ostrel two", "tr3000ax"}, {"Kelpin 3200", "tr3200ax"},
      {"Kelpin 090", "tr090sax"}, {"Kelpin 3500", "tr3500ax"}};
  for (size_t i = 0; i < lines.size(); ++i) {
    SCOPED_TRACE(lines[i].model);
    ASSERT_EQ(protocol_of.count(lines[i].model), 1u);
    EXPECT_EQ(lines[i].protocol, protocol_of.at(lines[i].model));
    EXPECT_EQ(lines[i].description_number, static_cast<int>(i + 1));
    // Each has its own serial number (VP0001, ...), so each is the first
    // printer of its family with it.
    EXPECT_EQ(lines[i].uri_number, 1);
    EXPECT_EQ(lines[i].serial.substr(0, 2), "VP");
    std::string upper = lines[i].protocol;
    for (char &c : upper)
      c = static_cast<char>(toupper(c));
    EXPECT_EQ(lines[i].device_id, "MFG:KorvaNIX;MDL:" + upper + ";CMD:KORVBMP;");
  }

  std::string log = read_file(BACKEND_LOG);
  EXPECT_EQ(listing_order(log).size(), 7u);
  EXPECT_EQ(grep(log, "Found a KorvaNIX/Mirel Works Printer").size(), 6u);
  EXPECT_EQ(grep(log, "-> ERROR, the MirelWorks device is not any supported printer model.")
                .size(),
            1u);
  EXPECT_TRUE(grep(log, "Product=Not a printer.").size() == 1u);
  EXPECT_TRUE(grep(log, "Foreign").empty());

  // The unsupported product was asked for its strings; the foreign device
  // never was; every device file opened was closed again.
  auto string_reads = [&](const std::string &name) {
    return grep(korvtest::read_text(printers.transcript_path()),
                name + " control type=0x80 request=0x06 value=0x03")
        .size();
  };
  EXPECT_GT(string_reads("X"), 0u);
  EXPECT_EQ(string_reads("F"), 0u);
  for (const char *name : {"O1", "O2", "K1", "K2", "K3", "X", "F"}) {
    size_t opens = printers.transcript(name, "open").size();
    EXPECT_TRUE(printers.wait_for(name, "close", opens)) << name;
    EXPECT_EQ(printers.transcript(name, "close").size(), opens) << name;
  }
}

// Device strings are untrusted: fallbacks for missing ones, and nothing a
// device sends can break a line or add fields.
TEST_F(DiscoveryTest, ProductStringsFallBackAndAreQuotedSafely) {
  const std::string sixty_two(62, 'L');
  const std::string seventy(70, 'T');
  korvtest::VPrinterServer printers({
      "ostrel,product=\"\"",
      "kelpin,pid=0x0005,product=@stall",
      "kelpin,pid=0x0006,product=@none",
      "kelpin,pid=0x0003,product=\"" + sixty_two + "\"",
      "kelpin,pid=0x0003,vid=0x3A07,product=\"" + seventy + "\"",
      "ostrel,vid=0x3A07,product=\"Say \\\"hi\\\" C:\\\\ now\\n\\tX\\r\"",
      "kelpin,pid=0x0005,manufacturer=@stall,product=\"Maker unknown\"",
  });
  ASSERT_TRUE(printers.ok()) << printers.error();

  BackendRun run = run_usbkorv({"usbkorv"});
  ASSERT_EQ(run.status, 0);
  std::vector<DeviceLine> lines = parse_listing(run.out);
  ASSERT_EQ(lines.size(), 7u) << run.out;

  std::multiset<std::string> models;
  for (const DeviceLine &line : lines)
    models.insert(line.model);
  const std::multiset<std::string> expected = {
      "Korvanix TR3000AX miniprinter",
      "Korvanix TR090SAX miniprinter",
      "Korvanix TR3500AX miniprinter",
      std::string(60, 'L'),
      "Korvanix TR3200AX miniprinter",
      "Say \\\"hi\\\" C:\\\\ nowX",
      "Maker unknown",
  };
  EXPECT_EQ(models, expected) << run.out;

  std::string log = read_file(BACKEND_LOG);
  EXPECT_EQ(grep(log, "-> ERROR, could not get the device product string.").size(), 1u);
  EXPECT_EQ(grep(log, "-> ERROR, could not get the device manufacturer string.").size(), 1u);
  EXPECT_EQ(grep(log, "Maker=, Model=Maker unknown.").size(), 1u);
  // A device string cannot forge log lines either.
  EXPECT_EQ(grep(log, "Product=Say \"hi\" C:\\ nowX.").size(), 1u);
  EXPECT_EQ(grep(log, "\tX").size(), 0u);
}

// A listed URI's number is the printer's place among the printers of its
// own family, the count the port open makes; the description counts the
// lines. (Printers without a serial number: those are listed by place.)
TEST_F(DiscoveryTest, NumbersCountWithinEachFamily) {
  korvtest::VPrinterServer printers({
      "ostrel,name=A,product=\"A\",serial=@none",
      "kelpin,name=B,pid=0x0006,product=\"B\",serial=@none",
      "kelpin,name=C,pid=0x0002,product=\"C\",serial=@none",
      "ostrel,name=D,vid=0x3A07,product=\"D\",serial=@none",
      "kelpin,name=E,pid=0x0005,product=\"E\",serial=@none",
      "kelpin,name=F,product=\"F\",serial=@none",
  });
  ASSERT_TRUE(printers.ok()) << printers.error();
  std::map<std::string, std::string> name_of_dev;
  const char *names[] = {"A", "B", "C", "D", "E", "F"};
  for (size_t i = 0; i < 6; ++i)
    name_of_dev[dev_text(printers.addresses()[i])] = names[i];

  BackendRun run = run_usbkorv({"usbkorv"});
  ASSERT_EQ(run.status, 0);
  std::vector<DeviceLine> lines = parse_listing(run.out);
  ASSERT_EQ(lines.size(), 5u) << run.out;

  // Expected numbers from the order libusb listed the devices in.
  std::map<std::string, int> expected_number;
  int ostrel = 0, kelpin = 0;
  for (const std::string &dev : listing_order(read_file(BACKEND_LOG))) {
    const std::string &name = name_of_dev.at(dev);
    if (name == "A" || name == "D")
      expected_number[name] = ++ostrel;
    else if (name != "C")
      expected_number[name] = ++kelpin;
  }
  for (size_t i = 0; i < lines.size(); ++i) {
    SCOPED_TRACE(lines[i].model);
    EXPECT_EQ(lines[i].uri_number, expected_number.at(lines[i].model));
    EXPECT_EQ(lines[i].description_number, static_cast<int>(i + 1));
  }
}

// Discovery and the port open agree: a job sent to a listed URI reaches
// the printer that was listed under it, with both families mixed on the
// bus in whatever order libusb lists them.
TEST_F(DiscoveryTest, EveryListedUriPrintsOnTheListedPrinter) {
  const std::map<std::string, std::string> name_of_model = {
      {"Alpha", "O1"}, {"Bravo", "K1"}, {"Charlie", "O2"}, {"Delta", "K2"}};
  korvtest::VPrinterServer printers({
      "ostrel,name=O1,product=\"Alpha\"",
      "kelpin,name=K1,pid=0x0005,product=\"Bravo\"",
      "kelpin,name=X,pid=0x0004,product=\"Echo\"",
      "ostrel,name=O2,vid=0x3A07,product=\"Charlie\"",
      "kelpin,name=K2,vid=0x3A07,pid=0x0003,product=\"Delta\"",
  });
  ASSERT_TRUE(printers.ok()) << printers.error();

  BackendRun run = run_usbkorv({"usbkorv"});
  ASSERT_EQ(run.status, 0);
  std::vector<DeviceLine> lines = parse_listing(run.out);
  ASSERT_EQ(lines.size(), 4u) << run.out;

  for (const DeviceLine &line : lines) {
    const std::string &uri = line.uri;
    SCOPED_TRACE(uri + " listed for " + line.model);
    BackendOptions options;
    options.input = "job for " + line.model;
    BackendRun job = run_usbkorv({uri, "1", "user", "title", "1", ""}, options);
    EXPECT_EQ(job.status, 0);
    std::vector<uint8_t> bytes = printers.captured(name_of_model.at(line.model));
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "\x02" + options.input);
  }
  EXPECT_TRUE(printers.captured("X").empty());
}

} // namespace
