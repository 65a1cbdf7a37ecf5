// The backend's entry: modes by argument count, usage lines, exit
// statuses, and the backend log's banners and its safe opening.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "backend_run.h"
#include "vprinter_client.h"

namespace {

const char kDiscoveryUsage[] =
    "Usage: usbkorvqrp (2.0.0.5) job-id user title copies options [file]\n";
const char kJobUsage[] = "Usage: usbkorv job-id user title copies options [file]\n";

class EntryTest : public ::testing::Test {
protected:
  void SetUp() override { fresh_logs(); }
};

TEST_F(EntryTest, NoArgumentsListsPrintersAfterTheVersionedUsageLine) {
  korvtest::VPrinterServer printers({"kelpin,product=\"TR3200AX\""});
  ASSERT_TRUE(printers.ok()) << printers.error();

  BackendRun run = run_usbkorv({"usbkorv"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, kDiscoveryUsage);
  EXPECT_EQ(run.out,
            "direct usbkorv:/tr3200ax/1?serial=VP0001 \"TR3200AX\" \"KorvaNIX USB Printer #1\" "
            "\"MFG:KorvaNIX;MDL:TR3200AX;CMD:KORVBMP;\"\n");

  std::vector<std::string> log = split_lines(read_file(BACKEND_LOG));
  ASSERT_GE(log.size(), 3u);
  EXPECT_EQ(log.front(), "*** Starting KORVUSB/QRPUSB CUPS backend, job_id=(null) ***");
  EXPECT_EQ(log[1], "[CUPS][usbkorvqrp] We were called with no arguments, entering "
                    "list_devices().");
  EXPECT_EQ(log.back(), "*** Ending KORVUSB/QRPUSB CUPS backend, job_id=(null) ***");
}

TEST_F(EntryTest, NoPrinterAtAllStillSucceeds) {
  korvtest::VPrinterServer printers({});
  ASSERT_TRUE(printers.ok()) << printers.error();

  BackendRun run = run_usbkorv({"usbkorv"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, kDiscoveryUsage);
  std::vector<std::string> log = split_lines(read_file(BACKEND_LOG));
  ASSERT_GE(log.size(), 2u);
  EXPECT_EQ(log[log.size() - 2],
            "[CUPS][usbkorvqrp][list_devices] -> NOTE, no KorvaNIX supported devices "
            "were found.");
}

// Wrong counts never reach discovery or the printer; each run appends its
// own block to the log.
TEST_F(EntryTest, WrongArgumentCountsGiveTheUsageLineAndStatusOne) {
  korvtest::VPrinterServer printers({"ostrel"});
  ASSERT_TRUE(printers.ok()) << printers.error();

  // (An empty argument vector cannot be tested: Linux hands such a
  // program an argv[0] of "".)
  const std::vector<std::vector<std::string>> cases = {
      {"usbkorv:/tr3000ax/1", "42"},
      {"usbkorv:/tr3000ax/1", "42", "user", "title", "1"},
      {"usbkorv:/tr3000ax/1", "42", "user", "title", "1", "opts", "/etc/hostname", "x"},
      {"usbkorv:/tr3000ax/1", "42", "u", "t", "1", "o", "f", "x", "y", "z"},
  };
  std::string previous;
  for (const auto &argv : cases) {
    SCOPED_TRACE("argc " + std::to_string(argv.size()));
    BackendRun run = run_usbkorv(argv);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, kJobUsage);
    EXPECT_EQ(run.out, "");

    std::string log = read_file(BACKEND_LOG);
    ASSERT_EQ(log.compare(0, previous.size(), previous), 0) << "log not appended";
    std::string job_id = argv.size() > 1 ? argv[1] : "(null)";
    EXPECT_EQ(log.substr(previous.size()),
              "*** Starting KORVUSB/QRPUSB CUPS backend, job_id=" + job_id +
                  " ***\n"
                  "[CUPS][usbkorvqrp] -> ERROR on calling convention, number of "
                  "arguments (" +
                  std::to_string(argv.size()) +
                  ") incorrect.\n"
                  "*** Ending KORVUSB/QRPUSB CUPS backend, job_id=" +
                  job_id + " ***\n");
    previous = log;
  }
  EXPECT_TRUE(printers.transcript("P1", "open").empty());
  EXPECT_FALSE(file_exists(TRACE_LOG));
}

TEST_F(EntryTest, LogIsCreatedPrivate) {
  korvtest::VPrinterServer printers({});
  ASSERT_TRUE(printers.ok()) << printers.error();
  ASSERT_EQ(run_usbkorv({"usbkorv"}).status, 0);
  struct stat info;
  ASSERT_EQ(stat(BACKEND_LOG, &info), 0);
  EXPECT_TRUE(S_ISREG(info.st_mode));
  EXPECT_EQ(info.st_mode & 0777, 0600u);
}

// Whatever sits at the log's name, the run goes on unchanged without it,
// and nothing is written through a link.
TEST_F(EntryTest, LogNeverFollowsALinkNorOpensOtherFiles) {
  korvtest::VPrinterServer printers({"ostrel,product=\"Shop printer\""});
  ASSERT_TRUE(printers.ok()) << printers.error();
  const std::string expected =
      "direct usbkorv:/tr3000ax/1?serial=VP0001 \"Shop printer\" \"KorvaNIX USB Printer #1\" "
      "\"MFG:KorvaNIX;MDL:TR3000AX;CMD:KORVBMP;\"\n";

  write_file("/tmp/victim", "precious\n");
  ASSERT_EQ(symlink("/tmp/victim", BACKEND_LOG), 0);
  BackendRun run = run_usbkorv({"usbkorv"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, expected);
  EXPECT_EQ(read_file("/tmp/victim"), "precious\n");
  unlink(BACKEND_LOG);

  ASSERT_EQ(symlink("/tmp/not-there", BACKEND_LOG), 0);
  run = run_usbkorv({"usbkorv"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, expected);
  EXPECT_FALSE(file_exists("/tmp/not-there"));
  unlink(BACKEND_LOG);

  // A FIFO must neither block the run nor take the log.
  ASSERT_EQ(mkfifo(BACKEND_LOG, 0666), 0);
  run = run_usbkorv({"usbkorv"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, expected);
  unlink(BACKEND_LOG);
}

TEST_F(EntryTest, ReadOnlyTmpChangesNothingButTheLogs) {
  if (!can_make_tmp_read_only())
    GTEST_SKIP() << "no private read-only /tmp here";
  korvtest::VPrinterServer printers({"kelpin,product=\"Counter\""});
  ASSERT_TRUE(printers.ok()) << printers.error();

  BackendOptions read_only;
  read_only.read_only_tmp = true;
  BackendRun run = run_usbkorv({"usbkorv"}, read_only);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, kDiscoveryUsage);
  EXPECT_EQ(run.out, "direct usbkorv:/tr3200ax/1?serial=VP0001 \"Counter\" \"KorvaNIX USB Printer #1\" "
                     "\"MFG:KorvaNIX;MDL:TR3200AX;CMD:KORVBMP;\"\n");

  run = run_usbkorv({"usbkorv", "1"}, read_only);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, kJobUsage);
  EXPECT_FALSE(file_exists(BACKEND_LOG));
}

} // namespace
