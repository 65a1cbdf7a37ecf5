// The port's fixed waits in real time (no time divisor): lower bounds
// only, so a slow machine cannot make these fail.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <string>
#include <vector>

#include "port_support.h"
#include "usbqrp.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

class RealTime : public ::testing::Test {
protected:
  void SetUp() override {
    unsetenv("KORV_TIME_DIVISOR");
    porttest::ClearTrace();
  }
  void TearDown() override { porttest::ResetPort(); }
};

TEST_F(RealTime, OstrelOpenAndClose) {
  auto server = porttest::Serve({"ostrel,claim_busy=1"});
  ASSERT_TRUE(server);
  auto start = Clock::now();
  ASSERT_EQ(QRP_OpenUsbPort("usbkorv:/tr3000ax/1", 0), QRP_OPENPORT_OK);
  EXPECT_GE(Seconds(start), 0.6); // two claim tries of 300 ms
  std::vector<unsigned char> data(10240, 'r');
  start = Clock::now();
  ASSERT_EQ(QRP_WriteUsbPort(data.data(), 10240), QRP_WRITEPORT_OK);
  EXPECT_GE(Seconds(start), 0.05); // five pacing pauses of 10 ms
  start = Clock::now();
  ASSERT_EQ(QRP_CloseUsbPort(), QRP_CLOSEPORT_OK);
  EXPECT_GE(Seconds(start), 0.15);
  start = Clock::now();
  EXPECT_EQ(QRP_CloseUsbPort(), QRP_CLOSEPORT_ERROR_GENERAL);
  EXPECT_GE(Seconds(start), 1.0);
}

TEST_F(RealTime, KelpinSetUpAndStop) {
  auto server = porttest::Serve({"kelpin,dsr=never"});
  ASSERT_TRUE(server);
  auto start = Clock::now();
  ASSERT_EQ(QRP_OpenUsbPort("usbkorv:/tr3500ax/1", 0), QRP_OPENPORT_OK);
  // Two claims, the line-coding pauses and the full 40-poll DSR wait.
  EXPECT_GE(Seconds(start), 0.6 + 0.06 + 0.03 + 0.4);
  start = Clock::now();
  ASSERT_EQ(QRP_CloseUsbPort(), QRP_CLOSEPORT_OK);
  EXPECT_GE(Seconds(start), 0.21);
  std::vector<std::string> lines = porttest::TraceLines();
  EXPECT_EQ(porttest::CountLines(lines, "QRP_StopKelpinDSRThread: OK"), 1);
  EXPECT_EQ(porttest::CountLines(lines, "QRP_StopKelpinDSRThread: FAILED"), 0);
}

} // namespace
