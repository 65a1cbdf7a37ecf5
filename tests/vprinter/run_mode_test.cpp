// vprinter as a program: run mode (a command under the emulation, its
// status and streams passed through), bad descriptions, serve mode
// surviving a client that dies mid-transfer, and the profile syntax.
#include "profile.h"
#include "usb_access.h"

#include <csignal>
#include <cstring>
#include <algorithm>
#include <iostream>
#include <memory>
#include <sstream>
#include <cstdlib>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>

extern char **environ;

using namespace korvtest;

namespace {

std::string self_path() {
  char buf[4096];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  return n > 0 ? std::string(buf, size_t(n)) : std::string();
}

TEST(RunMode, CommandSeesThePrintersAndKeepsItsStreams) {
  RunOptions o;
  o.printers = {"kelpin,product=\"First, one\"", "ostrel,bus=2,product=Second"};
  o.argv0 = "usbkorv:/tr3200ax/1";
  o.env = {"VPRINTER_TEST_CHILD=list"};
  o.input = "job data\n";
  RunResult r = run_under_vprinter({self_path()}, o);
  EXPECT_EQ(r.status, 7) << r.err;
  // The listing order is the file system's: compare as a set.
  std::vector<std::string> lines;
  std::istringstream in(r.out);
  for (std::string l; std::getline(in, l);)
    lines.push_back(l);
  std::sort(lines.begin() + std::min<long>(2, long(lines.size())), lines.end());
  EXPECT_EQ(lines, (std::vector<std::string>{"argv0=usbkorv:/tr3200ax/1", "stdin=job data",
                                             "001/002 2f1c:0003 First, one",
                                             "002/003 2f1c:0001 Second"}));
}

TEST(RunMode, StatusSignalsAndEnvironment) {
  RunOptions o;
  o.printers = {"ostrel"};
  o.input = "abc";
  RunResult r = run_under_vprinter({"/bin/sh", "-c", "cat; echo oops >&2; exit 3"}, o);
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.out, "abc");
  EXPECT_EQ(r.err, "oops\n");

  o.input.clear();
  r = run_under_vprinter({"/bin/sh", "-c", "kill -TERM $$"}, o);
  EXPECT_EQ(r.status, 128 + SIGTERM);

  // The caller's preloads stay, in front; umockdev's comes last.
  const char *timeshim = getenv("KORV_TIMESHIM");
  o.env = {std::string("LD_PRELOAD=") + (timeshim ? timeshim : "")};
  r = run_under_vprinter({"/bin/sh", "-c", "echo \"$LD_PRELOAD\"; test -d \"$UMOCKDEV_DIR/dev\""}, o);
  EXPECT_EQ(r.status, 0) << r.err;
  if (timeshim != nullptr) {
    EXPECT_EQ(r.out.rfind(std::string(timeshim) + ":", 0), 0u) << r.out;
  }
  EXPECT_NE(r.out.find("libumockdev-preload"), std::string::npos) << r.out;
}

TEST(RunMode, BadDescriptionsAreRefused) {
  for (const char *profile : {"family=laser", "ostrel,fail=control/0x41:EWHAT", "ostrel,product=\"open",
                           "ostrel,dev=200", "ostrel,colour=red"}) {
    RunOptions o;
    o.printers = {profile};
    RunResult r = run_under_vprinter({"/bin/true"}, o);
    EXPECT_EQ(r.status, 2) << profile;
    EXPECT_NE(r.err.find("vprinter:"), std::string::npos) << profile << ": " << r.err;
  }
  RunOptions twice;
  twice.printers = {"ostrel,name=A", "kelpin,name=A"};
  EXPECT_EQ(run_under_vprinter({"/bin/true"}, twice).status, 2);
}

TEST(ServeMode, ClientKilledMidTransfer) {
  VPrinterServer server({"ostrel,name=O,nak_after=0"});
  ASSERT_TRUE(server.ok()) << server.error();
  std::string self = self_path();
  std::vector<std::string> env;
  for (char **e = environ; *e; ++e)
    env.push_back(*e);
  env.push_back("VPRINTER_TEST_CHILD=hang");
  std::vector<char *> cenv, argv = {self.data(), nullptr};
  for (auto &e : env)
    cenv.push_back(e.data());
  cenv.push_back(nullptr);
  pid_t pid;
  ASSERT_EQ(posix_spawn(&pid, self.c_str(), nullptr, nullptr, argv.data(), cenv.data()), 0);
  ASSERT_TRUE(server.wait_for("O", "claim"));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  kill(pid, SIGKILL);
  int status;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(server.wait_for("O", "close", 3));

  // The printer serves the next program, whose claim succeeds again.
  struct usb_device *d = find_usb_device(server.addresses()[0]);
  ASSERT_NE(d, nullptr);
  Handle h(d);
  EXPECT_EQ(usb_claim_interface(h.get(), 0), 0);
  EXPECT_EQ(server.stop(), 0);
}

TEST(ServeMode, ASuccessorKeepsItsDirectory) {
  auto first = std::make_unique<VPrinterServer>(std::vector<std::string>{"ostrel,name=A"});
  ASSERT_TRUE(first->ok()) << first->error();
  first = std::make_unique<VPrinterServer>(std::vector<std::string>{"kelpin,name=B"});
  ASSERT_TRUE(first->ok()) << first->error();
  const char *dir = getenv("UMOCKDEV_DIR");
  ASSERT_NE(dir, nullptr);
  EXPECT_EQ(first->umockdev_dir(), dir);
  EXPECT_NE(find_usb_device(first->addresses()[0]), nullptr);
  first.reset();
  EXPECT_EQ(getenv("UMOCKDEV_DIR"), nullptr);
}

TEST(Profile, QuotingKeywordsAndRules) {
  vp::PrinterProfile p;
  std::string err;
  ASSERT_TRUE(vp::parse_printer_profile(
      "kelpin, product = \"a,b \\\"c\\\" \\\\ \\x41\", serial=@none, manufacturer=@stall,"
      "fail=control/0xa1/0x21@2-3:EIO, fail=claim/1@2+:stall, bulk_in=0a0b/stall",
      p, err))
      << err;
  EXPECT_EQ(p.family, vp::Family::Kelpin);
  EXPECT_EQ(p.product.text, "a,b \"c\" \\ A");
  EXPECT_EQ(p.serial.kind, vp::StringProfile::Kind::None);
  EXPECT_EQ(p.manufacturer.kind, vp::StringProfile::Kind::Stall);
  ASSERT_EQ(p.fails.size(), 2u);
  EXPECT_EQ(p.fails[0].args, (std::vector<long>{0xa1, 0x21}));
  EXPECT_EQ(p.fails[0].first, 2u);
  EXPECT_EQ(p.fails[0].last, 3u);
  EXPECT_EQ(p.fails[1].last, UINT_MAX);
  EXPECT_EQ(p.fails[1].action, vp::FailRule::Action::Stall);
  ASSERT_EQ(p.bulk_in.size(), 2u);
  EXPECT_TRUE(p.bulk_in[1].stall);

  std::vector<vp::PrinterProfile> profiles;
  ASSERT_TRUE(vp::parse_config("# two printers\n[front]\nfamily = ostrel\nproduct = a, b; c\n"
                               "[back]\nfamily=kelpin\nproduct=\"  padded  \"\nline_coding=115200:7E2\n",
                               profiles, err))
      << err;
  ASSERT_EQ(profiles.size(), 2u);
  EXPECT_EQ(profiles[0].name, "front");
  EXPECT_EQ(profiles[0].product.text, "a, b; c");
  EXPECT_EQ(profiles[1].product.text, "  padded  ");
  EXPECT_EQ(profiles[1].line_coding, (std::array<uint8_t, 7>{0x00, 0xC2, 0x01, 0x00, 0x02, 0x02, 0x07}));
  EXPECT_TRUE(vp::finish_profiles(profiles, err)) << err;
  EXPECT_EQ(profiles[0].dev, 2);
  EXPECT_EQ(profiles[1].dev, 3);

  for (const char *bad : {"fail=claim@0:EIO", "fail=control/1/2/3/4/5:EIO", "fail=bulk_out", "dsr_low=5",
                          "bus=0", "vid=0x10000", "product=\"x\"y", "manufacturer=@nothing"}) {
    vp::PrinterProfile q;
    EXPECT_FALSE(vp::parse_printer_profile(bad, q, err)) << bad;
  }
  EXPECT_FALSE(vp::parse_config("family=ostrel\n", profiles, err)); // outside a section
}

} // namespace

// Child modes of this test program, run under vprinter by the tests above.
static int child_main(const char *mode, char **argv) {
  if (strcmp(mode, "list") == 0) {
    std::string in;
    std::getline(std::cin, in);
    printf("argv0=%s\nstdin=%s\n", argv[0], in.c_str());
    for (auto &line : list_usb_devices()) {
      unsigned bus, dev;
      sscanf(line.c_str(), "%u/%u", &bus, &dev);
      struct usb_device *d = find_usb_device({int(bus), int(dev)});
      Handle h(d);
      int r;
      printf("%s %s\n", line.c_str(), h.string(d->descriptor.iProduct, r).c_str());
    }
    return 7;
  }
  if (strcmp(mode, "hang") == 0) {
    auto devices = list_usb_devices();
    unsigned bus, dev;
    sscanf(devices.at(0).c_str(), "%u/%u", &bus, &dev);
    Handle h(find_usb_device({int(bus), int(dev)}));
    usb_claim_interface(h.get(), 0);
    h.write(0x01, std::vector<uint8_t>(64, 1), 60000);
    return 0;
  }
  return 99;
}

int main(int argc, char **argv) {
  if (const char *mode = getenv("VPRINTER_TEST_CHILD"))
    return child_main(mode, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
