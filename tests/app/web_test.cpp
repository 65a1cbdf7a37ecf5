// korvprint's web interface in a real browser (headless Chromium): the
// pages load and show the printers, their models and their states, and
// an administrator (a throw-away user in the admin group) finds the
// receipt settings there.
#include <gtest/gtest.h>

#include <cctype>

#include "app_server.h"
#include "vprinter_client.h"

using namespace korvtest;

namespace {

class WebTest : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    machine_ = new ShopMachine();
    ASSERT_TRUE(machine_->ok()) << machine_->error();
    admin_ = new TestUser(true);
    ASSERT_TRUE(admin_->ok());
    printers_ = new VPrinterServer({"kelpin,name=front"});
    ASSERT_TRUE(printers_->ok()) << printers_->error();
    server_ = new AppServer(printers_->umockdev_dir());
    ASSERT_TRUE(server_->start()) << server_->error();
    std::string why;
    ASSERT_TRUE(server_->add_printer("receipt", "tr3200ax_80", "usbkorv:/tr3200ax/1", &why)) << why;
    ASSERT_TRUE(server_->add_printer("ghost", "tr3500ax_58", "usbkorv:/tr3500ax/2", &why)) << why;
  }
  static void TearDownTestSuite() {
    delete server_;
    delete printers_;
    delete admin_;
    delete machine_;
  }

  // The page's text as the browser built it, tags dropped, blanks joined;
  // with login, as the administrator.
  static std::string page_text(const std::string &path, std::string *dom = nullptr,
                               bool login = false) {
    std::string user = login ? admin_->name + ":" + admin_->password + "@" : "";
    Command c = run_command({"chromium", "--headless", "--no-sandbox", "--disable-gpu",
                             "--disable-dev-shm-usage",
                             "--user-data-dir=" + server_->dir() + "/chromium", "--dump-dom",
                             "http://" + user + "localhost:" + std::to_string(server_->port()) +
                                 path},
                            {}, {"LD_PRELOAD"}, 120);
    EXPECT_EQ(c.status, 0) << c.err;
    if (dom)
      *dom = c.out;
    std::string text;
    bool in_tag = false;
    for (char ch : c.out) {
      if (ch == '<')
        in_tag = true;
      else if (ch == '>')
        in_tag = false;
      else if (!in_tag && !(isspace(static_cast<unsigned char>(ch)) && !text.empty() &&
                            text.back() == ' '))
        text += isspace(static_cast<unsigned char>(ch)) ? ' ' : ch;
      if (ch == '>' && !text.empty() && text.back() != ' ')
        text += ' ';
    }
    return text;
  }

  static ShopMachine *machine_;
  static TestUser *admin_;
  static VPrinterServer *printers_;
  static AppServer *server_;
};

ShopMachine *WebTest::machine_ = nullptr;
TestUser *WebTest::admin_ = nullptr;
VPrinterServer *WebTest::printers_ = nullptr;
AppServer *WebTest::server_ = nullptr;

TEST_F(WebTest, PrinterPagesShowPrinterModelAndState) {
  std::string text = page_text("/receipt");
  EXPECT_NE(text.find("receipt"), std::string::npos) << text;
  EXPECT_NE(text.find("KorvaNIX TR3200AX, 80 mm paper"), std::string::npos) << text;
  EXPECT_NE(text.find("Idle"), std::string::npos) << text;
  EXPECT_EQ(text.find("Offline"), std::string::npos) << text;

  // Nothing answers at the absent printer's URI: it shows offline.
  text = page_text("/ghost");
  EXPECT_NE(text.find("KorvaNIX TR3500AX, 58 mm paper"), std::string::npos) << text;
  EXPECT_NE(text.find("Offline"), std::string::npos) << text;

  // The system's page lists both, and the footer is there.
  text = page_text("/");
  EXPECT_NE(text.find("receipt"), std::string::npos) << text;
  EXPECT_NE(text.find("ghost"), std::string::npos) << text;
  EXPECT_NE(text.find("KorvaNIX and Mirel Works USB receipt printers"), std::string::npos);
}

TEST_F(WebTest, PrintingDefaultsOfferTheReceiptSettings) {
  std::string dom;
  page_text("/receipt/printing", &dom, true);
  for (const char *field : {"<select name=\"dithering\"", "<select name=\"trim\"",
                            "name=\"threshold\"", "name=\"finish-wait\"",
                            "<select name=\"print-darkness\""})
    EXPECT_NE(dom.find(field), std::string::npos) << field;
  EXPECT_NE(dom.find("value=\"diffusion\""), std::string::npos);
  EXPECT_NE(dom.find("value=\"bottom\""), std::string::npos);
}

} // namespace
