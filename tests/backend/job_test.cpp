// Job mode: the real backend run as CUPS runs it (argv[0] the device URI,
// data on standard input or in a file) against virtual printers.
#include <gtest/gtest.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>


#include "backend_run.h"
#include "vprinter_client.h"

namespace {

const char kCopyWait[] = "usleep 40000000";
const char kPrintTag[] = "[CUPS][usbkorvqrp][print_device]";

std::vector<std::string> job_argv(const std::string &uri, const std::string &copies,
                                  const std::string &file = "") {
  std::vector<std::string> argv = {uri, "17", "alice", "receipt", copies, "opts"};
  if (!file.empty())
    argv.push_back(file);
  return argv;
}

std::string captured(const korvtest::VPrinterServer &printers, const std::string &name) {
  std::vector<uint8_t> bytes = printers.captured(name);
  return std::string(bytes.begin(), bytes.end());
}

// What a printer receives for a job: the open's start byte, then the data.
std::string received(const std::string &data) { return "\x02" + data; }

size_t copy_waits() { return grep(read_file(TIME_LOG), kCopyWait).size(); }

// The block sizes the job read, in order.
std::vector<int> blocks_read(const std::string &log) {
  std::vector<int> sizes;
  for (const std::string &line : grep(log, "] Read ")) {
    int size = 0;
    sscanf(line.c_str(), "[CUPS][usbkorvqrp][print_device] Read %d bytes", &size);
    sizes.push_back(size);
  }
  return sizes;
}

// The sizes of the port writes the job made, the open's start byte first.
std::vector<int> port_writes(const std::string &trace) {
  std::vector<int> sizes;
  for (const std::string &line : grep(trace, "*** Size: ")) {
    int size = 0;
    sscanf(line.c_str(), "*** Size: %d ***", &size);
    sizes.push_back(size);
  }
  return sizes;
}

bool port_closed(const std::string &trace) {
  return !grep(trace, "*** Exiting function QRP_CloseUsbPort() = ").empty();
}

class JobTest : public ::testing::Test {
protected:
  void SetUp() override { fresh_logs(1000); }
};

TEST_F(JobTest, StandardInputIsSentOnceWhateverTheCopies) {
  korvtest::VPrinterServer printers({"kelpin"});
  ASSERT_TRUE(printers.ok()) << printers.error();
  BackendOptions options;
  options.input = pattern_bytes(1500, 1);

  BackendRun run = run_usbkorv(job_argv("usbkorv:/tr3200ax/1", "3"), options);
  EXPECT_EQ(run.status, 0);
  // Status for CUPS: the printer's state reasons and what users read.
  EXPECT_EQ(run.err, "STATE: +connecting-to-device\n"
                     "INFO: Connecting to printer tr3200ax #1\n"
                     "STATE: -connecting-to-device\n"
                     "INFO: Sending the job to printer tr3200ax #1\n"
                     "INFO: Waiting for the printer to finish the paper, 40 seconds left\n"
                     "INFO: Job sent to printer tr3200ax #1\n");
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(captured(printers, "P1"), received(options.input));
  EXPECT_EQ(copy_waits(), 1u);
  EXPECT_TRUE(port_closed(read_file(TRACE_LOG)));

  const std::string p = kPrintTag;
  EXPECT_EQ(read_file(BACKEND_LOG),
            "*** Starting KORVUSB/QRPUSB CUPS backend, job_id=17 ***\n"
            "[CUPS][usbkorvqrp] Process arguments received, got uri=usbkorv:/tr3200ax/1 "
            "from argv[0].\n"
            "[CUPS][usbkorvqrp] Will read data from stdin.\n"
            "[CUPS][usbkorvqrp] Ready to print, entering print_device().\n" +
                p + " About to call QRP_OpenUsbPort().\n" + p +
                " Start sending data via QRP_WriteUsbPort()\n" + p +
                " Read 1500 bytes from the input stream, sending to USB device.\n" + p +
                " Sent total of 1500 bytes via QRP_WriteUsbPort().\n" + p +
                " Calling QRP_CloseUsbPort().\n"
                "[CUPS][usbkorv] Returned from print_device(), status=0.\n"
                "[CUPS][usbkorvqrp] Closed input file, fd=0.\n"
                "*** Ending KORVUSB/QRPUSB CUPS backend, job_id=17 ***\n");
}

TEST_F(JobTest, EveryCopyOfAFileSendsTheWholeFile) {
  korvtest::VPrinterServer printers({"ostrel"});
  ASSERT_TRUE(printers.ok()) << printers.error();
  const std::string data = pattern_bytes(3000, 2);
  write_file("/tmp/job.bin", data);

  BackendRun run = run_usbkorv(job_argv("usbkorv:/tr3000ax/1", "2", "/tmp/job.bin"));
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "STATE: +connecting-to-device\n"
                     "INFO: Connecting to printer tr3000ax #1\n"
                     "STATE: -connecting-to-device\n"
                     "INFO: Sending copy 1 of 2 to printer tr3000ax #1\n"
                     "INFO: Waiting for the printer to finish the paper, 40 seconds left\n"
                     "INFO: Sending copy 2 of 2 to printer tr3000ax #1\n"
                     "INFO: Waiting for the printer to finish the paper, 40 seconds left\n"
                     "INFO: Job sent to printer tr3000ax #1\n");
  EXPECT_EQ(captured(printers, "P1"), received(data + data));
  EXPECT_EQ(copy_waits(), 2u);

  std::string log = read_file(BACKEND_LOG);
  EXPECT_EQ(grep(log, "Will read data from file=argv[6]=/tmp/job.bin.").size(), 1u);
  EXPECT_EQ(grep(log, "Start sending data via QRP_WriteUsbPort()").size(), 2u);
  EXPECT_EQ(grep(log, "Sent total of 3000 bytes via QRP_WriteUsbPort().").size(), 2u);
  EXPECT_TRUE(grep(log, "Closed input file, fd=0.").empty());
  EXPECT_EQ(grep(log, "Closed input file, fd=").size(), 1u);
}

TEST_F(JobTest, CopiesBelowOneOnlyOpenAndClose) {
  write_file("/tmp/job.bin", pattern_bytes(500, 3));
  for (const char *copies : {"0", "-2", "abc"}) {
    SCOPED_TRACE(copies);
    fresh_logs(1000);
    korvtest::VPrinterServer printers({"kelpin"});
    ASSERT_TRUE(printers.ok()) << printers.error();

    BackendRun run = run_usbkorv(job_argv("usbkorv:/tr090sax/1", copies, "/tmp/job.bin"));
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(captured(printers, "P1"), received(""));
    EXPECT_EQ(copy_waits(), 0u);
    EXPECT_TRUE(port_closed(read_file(TRACE_LOG)));
    std::string log = read_file(BACKEND_LOG);
    EXPECT_TRUE(grep(log, "Start sending").empty());
    EXPECT_TRUE(grep(log, "] Read ").empty());
    EXPECT_EQ(grep(log, "Calling QRP_CloseUsbPort().").size(), 1u);
    EXPECT_EQ(grep(log, "Returned from print_device(), status=0.").size(), 1u);
  }
}

// Values the old 16-bit counter could never reach must end the job too.
TEST_F(JobTest, CopiesAboveThe16BitRangeEnd) {
  fresh_logs(1000000);
  unsetenv("KORV_TIME_LOG");
  korvtest::VPrinterServer printers({"ostrel"});
  ASSERT_TRUE(printers.ok()) << printers.error();
  write_file("/tmp/empty.bin", "");

  BackendRun run = run_usbkorv(job_argv("usbkorv:/tr3000ax/1", "32768", "/tmp/empty.bin"));
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(grep(read_file(BACKEND_LOG), "Sent total of 0 bytes").size(), 32768u);
  EXPECT_EQ(captured(printers, "P1"), received(""));
}

TEST_F(JobTest, MissingFileFailsBeforeThePrinterIsTouched) {
  korvtest::VPrinterServer printers({"ostrel"});
  ASSERT_TRUE(printers.ok()) << printers.error();

  BackendRun run = run_usbkorv(job_argv("usbkorv:/tr3000ax/1", "1", "/tmp/no-such-job"));
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "ERROR: unable to open print file /tmp/no-such-job - No such file or "
                     "directory\n");
  EXPECT_EQ(read_file(BACKEND_LOG),
            "*** Starting KORVUSB/QRPUSB CUPS backend, job_id=17 ***\n"
            "[CUPS][usbkorvqrp] Process arguments received, got uri=usbkorv:/tr3000ax/1 "
            "from argv[0].\n"
            "[CUPS][usbkorvqrp] Will read data from file=argv[6]=/tmp/no-such-job.\n"
            "[CUPS][usbkorvqrp] -> ERROR, could not open file=/tmp/no-such-job.\n"
            "*** Ending KORVUSB/QRPUSB CUPS backend, job_id=17 ***\n");
  EXPECT_TRUE(printers.transcript("P1").empty());
  EXPECT_FALSE(file_exists(TRACE_LOG));
}

TEST_F(JobTest, EmptyInputStillWaitsAndCloses) {
  korvtest::VPrinterServer printers({"kelpin"});
  ASSERT_TRUE(printers.ok()) << printers.error();

  BackendRun run = run_usbkorv(job_argv("usbkorv:/tr3200ax/1", "1"));
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(captured(printers, "P1"), received(""));
  EXPECT_EQ(copy_waits(), 1u);
  EXPECT_TRUE(port_closed(read_file(TRACE_LOG)));
  EXPECT_EQ(grep(read_file(BACKEND_LOG), "Sent total of 0 bytes via QRP_WriteUsbPort().").size(),
            1u);
}

TEST_F(JobTest, InputGoesOutInBlocksOfAtMost10240Bytes) {
  struct Case {
    size_t size;
    std::vector<int> blocks;
  };
  for (const Case &c : {Case{10240, {10240}}, Case{2 * 10240 + 100, {10240, 10240, 100}}}) {
    SCOPED_TRACE(c.size);
    fresh_logs(1000);
    korvtest::VPrinterServer printers({"kelpin"});
    ASSERT_TRUE(printers.ok()) << printers.error();
    const std::string data = pattern_bytes(c.size, 4);
    write_file("/tmp/job.bin", data);

    BackendRun run = run_usbkorv(job_argv("usbkorv:/tr3200ax/1", "1", "/tmp/job.bin"));
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(captured(printers, "P1"), received(data));
    EXPECT_EQ(blocks_read(read_file(BACKEND_LOG)), c.blocks);
    std::vector<int> writes = {1}; // the open's start byte
    writes.insert(writes.end(), c.blocks.begin(), c.blocks.end());
    EXPECT_EQ(port_writes(read_file(TRACE_LOG)), writes);
  }
}

TEST_F(JobTest, NoPrinterForTheUriFailsWithoutClose) {
  korvtest::VPrinterServer printers({"kelpin"});
  ASSERT_TRUE(printers.ok()) << printers.error();
  BackendOptions options;
  options.input = pattern_bytes(2000, 5);

  BackendRun run = run_usbkorv(job_argv("usbkorv:/tr3000ax/1", "1"), options);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "STATE: +connecting-to-device\n"
                     "INFO: Connecting to printer tr3000ax #1\n"
                     "STATE: -connecting-to-device\n"
                     "ERROR: Printer tr3000ax #1 not found\n");
  std::string log = read_file(BACKEND_LOG);
  EXPECT_EQ(grep(log, "-> ERROR returned from QRP_OpenPort(), exiting.").size(), 1u);
  EXPECT_EQ(grep(log, "Returned from print_device(), status=1.").size(), 1u);
  EXPECT_TRUE(grep(log, "] Read ").empty());
  EXPECT_TRUE(grep(log, "Calling QRP_CloseUsbPort()").empty());
  EXPECT_TRUE(grep(read_file(TRACE_LOG), "QRP_CloseUsbPort").empty());
  EXPECT_EQ(captured(printers, "P1"), "");
  EXPECT_EQ(copy_waits(), 0u);
}

TEST_F(JobTest, PrinterVanishingMidJobFailsAndClosesThePort) {
  korvtest::VPrinterServer printers({"kelpin,vanish_after=25000"});
  ASSERT_TRUE(printers.ok()) << printers.error();
  write_file("/tmp/job.bin", pattern_bytes(100000, 6));

  BackendRun run = run_usbkorv(job_argv("usbkorv:/tr3200ax/1", "1", "/tmp/job.bin"));
  EXPECT_EQ(run.status, 1);
  std::vector<std::string> log = split_lines(read_file(BACKEND_LOG));
  std::vector<int> blocks = blocks_read(read_file(BACKEND_LOG));
  // The block that met the vanished printer was the last one read.
  EXPECT_EQ(blocks, (std::vector<int>{10240, 10240, 10240}));
  auto error = std::find(log.begin(), log.end(),
                         std::string(kPrintTag) +
                             " -> ERROR returned from QRP_WriteUsbPort(), exiting.");
  ASSERT_NE(error, log.end());
  EXPECT_NE((error - 1)->find("] Read 10240 bytes"), std::string::npos);
  EXPECT_EQ(*(error + 1), "[CUPS][usbkorv] Returned from print_device(), status=1.");
  EXPECT_TRUE(grep(read_file(BACKEND_LOG), "Sent total").empty());
  EXPECT_FALSE(grep(read_file(TRACE_LOG), "Entering function = QRP_CloseUsbPort()").empty());
  EXPECT_EQ(copy_waits(), 0u);
}

// A read error must not pass for the end of the job's data.
TEST_F(JobTest, UnreadableInputFailsTheJob) {
  korvtest::VPrinterServer printers({"ostrel"});
  ASSERT_TRUE(printers.ok()) << printers.error();
  ASSERT_EQ(mkdir("/tmp/jobdir", 0700), 0);

  BackendRun run = run_usbkorv(job_argv("usbkorv:/tr3000ax/1", "1", "/tmp/jobdir"));
  EXPECT_EQ(run.status, 1);
  std::string log = read_file(BACKEND_LOG);
  EXPECT_EQ(grep(log, std::string(kPrintTag) +
                          " -> ERROR, could not read the input stream (Is a directory), "
                          "exiting.")
                .size(),
            1u);
  EXPECT_TRUE(grep(log, "Sent total").empty());
  EXPECT_TRUE(port_closed(read_file(TRACE_LOG)));
  EXPECT_EQ(captured(printers, "P1"), received(""));
  EXPECT_EQ(copy_waits(), 0u);
  rmdir("/tmp/jobdir");
}

// A file that cannot be read again from its start cannot give a second
// copy: the job fails instead of reporting copies it never sent.
TEST_F(JobTest, CopiesOfAnInputThatCannotRewindFail) {
  korvtest::VPrinterServer printers({"kelpin"});
  ASSERT_TRUE(printers.ok()) << printers.error();
  ASSERT_EQ(mkfifo("/tmp/job.fifo", 0600), 0);
  const std::string data = pattern_bytes(2000, 7);
  // The writer is a process, not a thread: under the umockdev preload
  // ThreadSanitizer cannot follow descriptors that one thread closes and
  // another reopens, and reports a race that is not there.
  pid_t writer = fork();
  ASSERT_GE(writer, 0);
  if (writer == 0) {
    int fd = open("/tmp/job.fifo", O_WRONLY);
    if (fd < 0)
      _exit(1);
    ssize_t n = write(fd, data.data(), data.size());
    _exit(n == static_cast<ssize_t>(data.size()) ? 0 : 1);
  }

  BackendRun run = run_usbkorv(job_argv("usbkorv:/tr3200ax/1", "2", "/tmp/job.fifo"));
  // Never leave the writer blocked, whatever the backend did.
  int release = open("/tmp/job.fifo", O_RDONLY | O_NONBLOCK);
  int writer_status = 0;
  while (waitpid(writer, &writer_status, 0) < 0 && errno == EINTR) {
  }
  if (release >= 0)
    close(release);

  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(captured(printers, "P1"), received(data));
  std::string log = read_file(BACKEND_LOG);
  EXPECT_EQ(grep(log, "-> ERROR, could not go back to the start of the input for copy 2, "
                      "exiting.")
                .size(),
            1u);
  EXPECT_EQ(grep(log, "Sent total of 2000 bytes").size(), 1u);
  EXPECT_TRUE(port_closed(read_file(TRACE_LOG)));
  unlink("/tmp/job.fifo");
}

TEST_F(JobTest, BothFamiliesPrintLargeJobsEndToEnd) {
  korvtest::VPrinterServer printers({"ostrel,name=O", "kelpin,name=K,pid=0x0006"});
  ASSERT_TRUE(printers.ok()) << printers.error();

  const std::string file_data = pattern_bytes(300 * 1024 + 17, 8);
  write_file("/tmp/job.bin", file_data);
  BackendRun run = run_usbkorv(job_argv("usbkorv:/tr3000ax/1", "1", "/tmp/job.bin"));
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(captured(printers, "O") == received(file_data));

  BackendOptions options;
  options.input = pattern_bytes(280 * 1024 + 3, 9);
  run = run_usbkorv(job_argv("usbkorv:/tr3500ax/1", "1"), options);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(captured(printers, "K") == received(options.input));
  EXPECT_EQ(copy_waits(), 2u);
}

TEST_F(JobTest, ReadOnlyTmpStillPrints) {
  if (!can_make_tmp_read_only())
    GTEST_SKIP() << "no private read-only /tmp here";
  korvtest::VPrinterServer printers({"kelpin"});
  ASSERT_TRUE(printers.ok()) << printers.error();
  BackendOptions options;
  options.input = pattern_bytes(5000, 10);
  options.read_only_tmp = true;

  BackendRun run = run_usbkorv(job_argv("usbkorv:/tr3200ax/1", "1"), options);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(captured(printers, "P1"), received(options.input));
  EXPECT_FALSE(file_exists(BACKEND_LOG));
  EXPECT_FALSE(file_exists(TRACE_LOG));
}

} // namespace
