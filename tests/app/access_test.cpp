// Who may do what in korvprint: anyone on the shop's network or the
// machine prints, looks and manages their own jobs; everything else needs
// the login of a member of the admin group (over TLS from the network), or
// root on the machine through the sub-commands' socket. Checked through IPP
// (ipptool, CUPS) and the web interface (curl) from another machine (a
// network namespace over a veth pair) and from a local user (nobody), with
// a throw-away PAM user.
#include <gtest/gtest.h>

#include <cups/cups.h>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

#include "app_server.h"
#include "catalogue.h"
#include "private_cups.h"
#include "receipt_pages.h"
#include "test_helpers.h"
#include "vprinter_client.h"

using namespace korvtest;

namespace {

const std::vector<std::string> kNobody = {"setpriv", "--reuid=nobody", "--regid=nogroup",
                                          "--clear-groups", "--"};

// ipptool scripts (-d who=NAME, -f the PNG): one block per operation, on
// the queue or the system, as $who, expected to succeed.
std::string block(const std::string &op, const std::string &lines = "", bool system = false) {
  return "{\n NAME \"" + op + "\"\n OPERATION " + op +
         "\n GROUP operation-attributes-tag\n ATTR charset attributes-charset utf-8\n"
         " ATTR naturalLanguage attributes-natural-language en\n ATTR uri " +
         (system ? "system-uri ipp://localhost/ipp/system" : "printer-uri $uri") +
         "\n ATTR name requesting-user-name $who\n" + lines + " STATUS successful-ok\n}\n";
}
// A PNG as wide as the head: the server spools it (it can hold it, and
// answers at once), and prints it dot for dot.
const std::string kPng = " ATTR mimeMediaType document-format image/png\n"
                         " GROUP job-attributes-tag\n ATTR keyword print-scaling none\n";
const std::string kSend = " FILE $filename\n EXPECT job-id\n";
const std::string kHeldJob = kPng + " ATTR keyword job-hold-until indefinite\n" + kSend;
const std::string kThisJob = " ATTR integer job-id $job-id\n";
const std::string kCompleted =
    kThisJob +
    " DELAY \"0,0.2\"\n EXPECT job-state WITH-VALUE 9 REPEAT-NO-MATCH REPEAT-LIMIT 300\n";

// What anyone may do: validate and print, look at jobs and printers,
// cancel and release a job of one's own; two jobs print. (Validate-Job
// comes first: a login that printing needs is asked for there, before a
// document is on its way.)
const std::vector<std::string> kPrintBlocks = {
    block("Validate-Job", " ATTR mimeMediaType document-format image/png\n"),
    block("Print-Job", kPng + kSend),
    block("Get-Job-Attributes", kCompleted),
    block("Get-Jobs", " ATTR keyword which-jobs all\n"),
    block("Get-Printer-Attributes"),
    block("Print-Job", kHeldJob),
    block("Cancel-Job", kThisJob),
    block("Print-Job", kHeldJob),
    block("Release-Job", kThisJob),
    block("Get-Job-Attributes", kCompleted)};
// Administration (-d job=ID: someone else's job). An administrator's run
// leaves the queue as it was but for its threshold (5), the job cancelled
// and a new printer "added-WHO"; everyone else is refused each one.
const std::vector<std::string> kAdminBlocks = {
    block("Disable-Printer"),
    block("Enable-Printer"),
    block("Pause-Printer"),
    block("Resume-Printer"),
    block("Hold-New-Jobs"),
    block("Release-Held-New-Jobs"),
    block("Set-Printer-Attributes",
          " GROUP printer-attributes-tag\n ATTR integer threshold-default 5\n"),
    block("Cancel-Job", " ATTR integer job-id $job\n"),
    block("Cancel-Jobs"),
    block("Create-Printer",
          " ATTR keyword printer-service-type print\n ATTR keyword smi55357-driver tr3200ax_58\n"
          " ATTR uri smi55357-device-uri usbkorv:/tr3200ax/9\n GROUP printer-attributes-tag\n"
          " ATTR name printer-name added-$who\n",
          true)};

size_t passed(const Command &c) { return count_of(c.out, "[PASS]"); }

class AccessTest : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    machine_ = new ShopMachine();
    ASSERT_TRUE(machine_->ok()) << machine_->error();
    printers_ = new VPrinterServer({"kelpin,name=front"});
    ASSERT_TRUE(printers_->ok()) << printers_->error();
    server_ = new AppServer(printers_->umockdev_dir());
    // As the service runs: TLS (PAPPL's defaults) on every address.
    server_->options = {"server-options=", "listen-hostname=*"};
    ASSERT_TRUE(server_->start()) << server_->error();
    std::string why;
    ASSERT_TRUE(server_->add_printer("receipt", "tr3200ax_80", "usbkorv:/tr3200ax/1", &why)) << why;
    // What nobody's programs read too. CUPS sends PWG raster.
    files_ = make_temp_dir("korvprint-access");
    chmod(files_.c_str(), 0755);
    std::string print, admin = "IGNORE-ERRORS yes\n";
    for (const std::string &b : kPrintBlocks)
      print += b;
    for (const std::string &b : kAdminBlocks)
      admin += b;
    std::ofstream(files_ + "/print.test") << print;
    std::ofstream(files_ + "/admin.test") << admin;
    std::ofstream(files_ + "/held.test") << block("Print-Job", kHeldJob);
    ASSERT_TRUE(write_png(files_ + "/page.png", page()));
    ASSERT_TRUE(write_pwg_raster(files_ + "/page.pwg", {page()}));
    for (const char *name : {"/print.test", "/admin.test", "/held.test", "/page.png", "/page.pwg"})
      chmod((files_ + name).c_str(), 0644);
  }
  static void TearDownTestSuite() {
    delete server_;
    delete printers_;
    remove_tree(files_);
    delete machine_;
  }

  static GreyPage page() { return pattern_page(KORV_HEAD_DOTS_80MM, 24, 7); }
  static std::vector<uint8_t> receipts(int count) {
    receipt_settings s;
    receipt_default_settings(&s, KORV_HEAD_DOTS_80MM);
    std::vector<uint8_t> one = expected_printer_bytes({page()}, s, 1), all;
    for (int i = 0; i < count; ++i)
      all.insert(all.end(), one.begin(), one.end());
    return all;
  }
  static std::vector<uint8_t> printed_since(size_t before) {
    std::vector<uint8_t> all = printers_->captured("front");
    return std::vector<uint8_t>(all.begin() + static_cast<long>(before), all.end());
  }

  // The queue from the phone (IPP over TLS, with a login user:password or
  // none) or on the machine itself (the loopback address).
  static std::string phone_uri(const std::string &login = "") {
    return "ipps://" + (login.empty() ? "" : login + "@") + ShopMachine::kShopAddress + ":" +
           std::to_string(server_->port()) + "/ipp/print/receipt";
  }
  static std::string local_url(const std::string &path = "/ipp/print/receipt") {
    return "http://localhost:" + std::to_string(server_->port()) + path;
  }
  static std::string phone_url(const std::string &path, bool tls = true) {
    return (tls ? "https://" : "http://") + std::string(ShopMachine::kShopAddress) + ":" +
           std::to_string(server_->port()) + path;
  }

  static Command as(std::vector<std::string> who, const std::vector<std::string> &argv) {
    who.insert(who.end(), argv.begin(), argv.end());
    return run_command(who, {}, {"LD_PRELOAD"}, 300);
  }
  // ipptool -c (every block runs) with -d defines.
  static Command ipptool(const std::vector<std::string> &who, const std::string &uri,
                         const std::string &test, const std::vector<std::string> &defines) {
    std::vector<std::string> argv = {"ipptool", "-c", "-tv", "-f", files_ + "/page.png"};
    for (const std::string &d : defines) {
      argv.push_back("-d");
      argv.push_back(d);
    }
    argv.push_back(uri);
    argv.push_back(files_ + "/" + test);
    return as(who, argv);
  }
  // The HTTP status curl gets (body in *body when asked).
  static int http(const std::vector<std::string> &who, std::vector<std::string> args,
                  std::string *body = nullptr) {
    std::vector<std::string> argv = {"curl", "-sk", "-w", "\n%{http_code}"};
    argv.insert(argv.end(), args.begin(), args.end());
    Command c = as(who, argv);
    size_t end = c.out.rfind('\n');
    if (body != nullptr)
      *body = c.out.substr(0, end);
    return end == std::string::npos ? -1 : atoi(c.out.c_str() + end + 1);
  }
  // Posts one of the printer page's forms, with the form token of that
  // client's page.
  static int post_printer_form(const std::vector<std::string> &who, const std::string &url,
                               const std::string &action, const std::string &login = "") {
    std::string page;
    http(who, {url}, &page);
    std::string key = "name=\"session\" value=\"";
    size_t at = page.find(key);
    std::string token =
        at == std::string::npos
            ? ""
            : page.substr(at + key.size(), page.find('"', at + key.size()) - at - key.size());
    std::vector<std::string> args = {"-d", "session=" + token, "-d", "action=" + action, url};
    if (!login.empty())
      args.insert(args.begin(), {"-u", login});
    return http(who, args);
  }
  // A held job of user, sent from who to uri; its id, or -1.
  static int held_job(const std::vector<std::string> &who, const std::string &uri,
                      const std::string &user) {
    Command c = ipptool(who, uri, "held.test", {"who=" + user});
    int id = atoi(shown_value(c.out, "job-id").c_str());
    return c.status == 0 && id > 0 ? id : -1;
  }

  static ShopMachine *machine_;
  static VPrinterServer *printers_;
  static AppServer *server_;
  static std::string files_;
};

ShopMachine *AccessTest::machine_ = nullptr;
VPrinterServer *AccessTest::printers_ = nullptr;
AppServer *AccessTest::server_ = nullptr;
std::string AccessTest::files_;

// Anyone, from another machine or on this one, prints, validates, looks at
// printers and jobs, cancels and releases their own job, and sees the
// printer's pages; without a login.
TEST_F(AccessTest, AnyonePrintsAndManagesTheirOwnJobs) {
  size_t before = printers_->captured("front").size();
  for (const auto &[who, uri] :
       {std::pair{machine_->on_phone(), phone_uri()}, std::pair{kNobody, local_url()}}) {
    Command c = ipptool(who, uri, "print.test", {"who=alice"});
    EXPECT_EQ(passed(c), kPrintBlocks.size()) << uri << "\n" << c.out << c.err;
  }
  EXPECT_EQ(printed_since(before), receipts(4));

  EXPECT_EQ(http(machine_->on_phone(), {phone_url("/receipt", false)}), 200);
  EXPECT_EQ(http(kNobody, {local_url("/receipt")}), 200);
  EXPECT_EQ(http(kNobody, {local_url("/")}), 200);

  // A client without TLS is asked to upgrade (426) before anything else;
  // CUPS and ipptool do so by themselves (above, ipps:// or not).
  ipp_t *request = ippNewRequest(IPP_OP_GET_JOBS);
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr,
               phone_url("/ipp/print/receipt", false).c_str());
  std::string bytes, path = files_ + "/get-jobs.ipp";
  ippWriteIO(
      &bytes,
      [](void *data, ipp_uchar_t *buffer, size_t length) -> ssize_t {
        static_cast<std::string *>(data)->append(reinterpret_cast<char *>(buffer), length);
        return static_cast<ssize_t>(length);
      },
      1, nullptr, request);
  ippDelete(request);
  std::ofstream(path) << bytes;
  chmod(path.c_str(), 0644);
  EXPECT_EQ(http(machine_->on_phone(), {"-H", "Content-Type: application/ipp", "--data-binary",
                                        "@" + path, phone_url("/ipp/print/receipt", false)}),
            426);
}

// Everything else is refused to anyone without an administrator's login,
// from the phone and from a local user: IPP administration (also someone
// else's job: another name from the same machine, the same name from
// another), the web's settings and printer forms, and the sub-commands'
// socket; root administers through that socket.
TEST_F(AccessTest, OnlyAdministratorsAndRootAdminister) {
  int job = held_job(machine_->on_phone(), phone_uri(), "alice");
  ASSERT_GT(job, 0);
  std::string threshold = printer_attribute(*server_, "receipt", "threshold-default");
  for (const auto &[who, uri, user] : {std::tuple{machine_->on_phone(), phone_uri(), "mallory"},
                                       std::tuple{kNobody, local_url(), "alice"}}) {
    Command c =
        ipptool(who, uri, "admin.test", {"who=" + std::string(user), "job=" + std::to_string(job)});
    EXPECT_EQ(count_of(c.out, "status-code = client-error-not-authenticated"), kAdminBlocks.size())
        << uri << "\n"
        << c.out;
  }
  EXPECT_EQ(job_state(*server_, "receipt", job), kHeld);
  EXPECT_EQ(printer_attribute(*server_, "receipt", "printer-state"), "idle");
  EXPECT_EQ(printer_attribute(*server_, "receipt", "printer-is-accepting-jobs"), "true");
  EXPECT_EQ(printer_attribute(*server_, "receipt", "threshold-default"), threshold);
  for (const char *added : {"added-mallory", "added-alice"})
    EXPECT_EQ(server_->cli({"printers"}).out.find(added), std::string::npos);

  // The web: settings pages ask for a login (over TLS from the network),
  // and the printer page's forms act only after one.
  EXPECT_EQ(http(machine_->on_phone(), {phone_url("/receipt/config", false)}), 301);
  for (const char *page :
       {"/receipt/config", "/receipt/printing", "/addprinter", "/receipt/delete"}) {
    EXPECT_EQ(http(machine_->on_phone(), {phone_url(page)}), 401) << page;
    EXPECT_EQ(http(kNobody, {local_url(page)}), 401) << page;
  }
  EXPECT_EQ(post_printer_form(machine_->on_phone(), phone_url("/receipt"), "pause-printer"), 401);
  EXPECT_EQ(post_printer_form(kNobody, local_url("/receipt"), "pause-printer"), 401);
  EXPECT_EQ(printer_attribute(*server_, "receipt", "printer-state"), "idle");

  // Root on the machine administers through the sub-commands' socket,
  // without a login.
  Command c = server_->ipptool({"-tv", "-d", "who=root", "-d", "job=" + std::to_string(job),
                                server_->socket_uri("receipt"), files_ + "/admin.test"});
  EXPECT_EQ(passed(c), kAdminBlocks.size()) << c.out << c.err;
  EXPECT_EQ(job_state(*server_, "receipt", job), kCanceled);

  // Only root (and the server's own user) reaches the sub-commands' socket.
  std::vector<std::string> curl = {"curl",
                                   "-s",
                                   "-o",
                                   "/dev/null",
                                   "--unix-socket",
                                   server_->socket_path(),
                                   "http://localhost/"};
  EXPECT_EQ(as({}, curl).status, 0);
  EXPECT_EQ(as(kNobody, curl).status, 7); // could not connect
}

// A throw-away user logs in with the system's password (PAM): refused
// while outside the admin group, an administrator in it; a wrong password
// is refused.
TEST_F(AccessTest, AdministratorsLogInWithTheSystemsPasswords) {
  TestUser user(false);
  ASSERT_TRUE(user.ok());
  std::string login = user.name + ":" + user.password;
  std::vector<std::string> phone = machine_->on_phone();
  int job = held_job(phone, phone_uri(), "alice");
  ASSERT_GT(job, 0);

  Command c = ipptool(phone, phone_uri(login), "admin.test",
                      {"who=" + user.name, "job=" + std::to_string(job)});
  EXPECT_EQ(count_of(c.out, "status-code = client-error-forbidden"), kAdminBlocks.size()) << c.out;
  EXPECT_EQ(http(phone, {"-u", login, phone_url("/receipt/config")}), 403);
  EXPECT_EQ(http(phone, {"-u", user.name + ":wrong", phone_url("/receipt/config")}), 401);

  ASSERT_TRUE(user.set_admin(true));
  c = ipptool(phone, phone_uri(login), "admin.test",
              {"who=" + user.name, "job=" + std::to_string(job)});
  EXPECT_EQ(passed(c), kAdminBlocks.size()) << c.out << c.err;
  EXPECT_EQ(job_state(*server_, "receipt", job), kCanceled);
  EXPECT_EQ(printer_attribute(*server_, "receipt", "threshold-default"), "5");
  EXPECT_EQ(http(phone, {"-u", login, phone_url("/receipt/config")}), 200);
  EXPECT_EQ(post_printer_form(phone, phone_url("/receipt"), "pause-printer", login), 200);
  EXPECT_EQ(printer_attribute(*server_, "receipt", "printer-state"), "stopped");
  EXPECT_EQ(post_printer_form(phone, phone_url("/receipt"), "resume-printer", login), 200);
  EXPECT_EQ(printer_attribute(*server_, "receipt", "printer-state"), "idle");

  // Membership counts at every login.
  ASSERT_TRUE(user.set_admin(false));
  EXPECT_EQ(http(phone, {"-u", login, phone_url("/receipt/config")}), 403);
}

// With print-needs-login=yes printing needs a login too (any user PAM
// accepts); the owner of a job is then its user.
TEST_F(AccessTest, PrintingCanNeedALogin) {
  TestUser user(false);
  ASSERT_TRUE(user.ok());
  ASSERT_TRUE(server_->stop()) << server_->error();
  server_->options.push_back("print-needs-login=yes");
  ASSERT_TRUE(server_->start()) << server_->error();
  Command c = ipptool(machine_->on_phone(), phone_uri(), "print.test", {"who=alice"});
  EXPECT_NE(c.out.find("status-code = client-error-not-authenticated"), std::string::npos) << c.out;
  size_t before = printers_->captured("front").size();
  c = ipptool(machine_->on_phone(), phone_uri(user.name + ":" + user.password), "print.test",
              {"who=" + user.name});
  EXPECT_EQ(passed(c), kPrintBlocks.size()) << c.out << c.err;
  EXPECT_EQ(printed_since(before), receipts(2));

  ASSERT_TRUE(server_->stop()) << server_->error();
  server_->options.pop_back();
  ASSERT_TRUE(server_->start()) << server_->error();
}

// CUPS on another machine prints to the queue as the README says (an IPP
// Everywhere queue made by lpadmin -m everywhere), through its ipp backend:
// over IPPS, and over IPP, which the backend upgrades to TLS when asked.
TEST_F(AccessTest, CupsOnAnotherMachinePrints) {
  ShopMachine::OnPhone on_phone(*machine_);
  CupsOptions options;
  options.build_dir = getenv("KORV_BUILD_DIR") ? getenv("KORV_BUILD_DIR") : KORV_TEST_BUILD_DIR;
  PrivateCups cups(options);
  ASSERT_TRUE(cups.ok()) << cups.error();
  for (const char *scheme : {"ipps", "ipp"}) {
    // The scheduler's own network backend, beside the build's.
    std::string backend = cups.dir() + "/stage" KORV_BACKEND_DIR "/" + scheme;
    ASSERT_EQ(symlink(KORV_CUPS_SERVERBIN "/backend/ipp", backend.c_str()), 0);
    std::string uri = std::string(scheme) + "://" + ShopMachine::kShopAddress + ":" +
                      std::to_string(server_->port()) + "/ipp/print/receipt";
    CommandResult added = cups.run({"lpadmin", "-p", scheme, "-E", "-v", uri, "-m", "everywhere"});
    ASSERT_EQ(added.status, 0) << added.out << added.err;
    size_t before = printers_->captured("front").size();
    std::string message;
    int job = cups.print(scheme, files_ + "/page.pwg", {}, &message);
    ASSERT_GT(job, 0) << message;
    EXPECT_EQ(cups.wait_job(job, 120000), kJobCompleted) << uri << "\n" << cups.error_log();
    // CUPS lays the page out on the queue's paper: one whole receipt, the
    // start byte and a BMP of the size its header declares.
    std::vector<uint8_t> bytes = printed_since(before);
    std::string got(bytes.begin(), bytes.end());
    ASSERT_GT(got.size(), 7u) << uri;
    EXPECT_EQ(got.substr(0, 3), "\x02"
                                "BM");
    EXPECT_EQ(got.size(), 1 + le32(got, 3));
  }
}

} // namespace
