// Test helpers for korvprint: see app_server.h.
#include "app_server.h"

#include <arpa/inet.h>
#include <atomic>
#include <cups/ipp.h>
#include <errno.h>
#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sstream>
#include <stdlib.h>
#include <string.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <time.h>
#include <unistd.h>

#include "vprinter_client.h"

extern char **environ;

namespace korvtest {

namespace {

long long now_ms() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

std::string env_or(const char *name, const std::string &fallback) {
  const char *value = getenv(name);
  return value && *value ? value : fallback;
}

std::string build_dir() { return env_or("KORV_BUILD_DIR", KORV_TEST_BUILD_DIR); }

void write_file(const std::string &path, const std::string &text, mode_t mode) {
  std::ofstream(path) << text;
  chmod(path.c_str(), mode);
}

// "NAME=VALUE" list of environ with env replacing and unset removing.
std::vector<std::string> merged_env(const std::vector<std::string> &env,
                                    const std::vector<std::string> &unset) {
  std::vector<std::string> out;
  auto name_of = [](const std::string &entry) { return entry.substr(0, entry.find('=')); };
  for (char **e = environ; *e; ++e) {
    std::string entry = *e, name = name_of(entry);
    bool drop = false;
    for (auto &u : unset)
      drop = drop || u == name;
    for (auto &r : env)
      drop = drop || name_of(r) == name;
    if (!drop)
      out.push_back(entry);
  }
  out.insert(out.end(), env.begin(), env.end());
  return out;
}

} // namespace

Command run_command(const std::vector<std::string> &argv,
                    const std::vector<std::string> &env,
                    const std::vector<std::string> &unset, int timeout_s) {
  Command result;
  std::vector<std::string> envs = merged_env(env, unset);
  std::vector<char *> cargv, cenv;
  for (auto &a : argv)
    cargv.push_back(const_cast<char *>(a.c_str()));
  cargv.push_back(nullptr);
  for (auto &e : envs)
    cenv.push_back(const_cast<char *>(e.c_str()));
  cenv.push_back(nullptr);

  int out[2], err[2];
  if (pipe2(out, O_CLOEXEC) < 0 || pipe2(err, O_CLOEXEC) < 0)
    return result;
  // Opened before the fork: in the child of a process with threads, the
  // umockdev preload's open() may wait for a lock that no thread will
  // ever release there.
  int null_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(null_fd, 0);
    dup2(out[1], 1);
    dup2(err[1], 2);
    execvpe(cargv[0], cargv.data(), cenv.data());
    _exit(127);
  }
  close(null_fd);
  close(out[1]);
  close(err[1]);
  long long deadline = now_ms() + timeout_s * 1000LL;
  bool out_open = true, err_open = true, killed = false;
  char buffer[8192];
  while (out_open || err_open) {
    struct pollfd fds[2] = {{out_open ? out[0] : -1, POLLIN, 0},
                            {err_open ? err[0] : -1, POLLIN, 0}};
    int wait = static_cast<int>(deadline - now_ms());
    if (wait <= 0 && !killed) {
      kill(pid, SIGKILL);
      killed = true;
    }
    poll(fds, 2, wait > 0 ? wait : 200);
    for (int i = 0; i < 2; ++i) {
      if (!(fds[i].revents & (POLLIN | POLLHUP)))
        continue;
      ssize_t got = read(fds[i].fd, buffer, sizeof(buffer));
      if (got <= 0)
        (i == 0 ? out_open : err_open) = false;
      else
        (i == 0 ? result.out : result.err).append(buffer, static_cast<size_t>(got));
    }
  }
  close(out[0]);
  close(err[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

int free_port() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  struct sockaddr_in addr;
  memset(&addr, 0, sizeof(addr));
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof(addr);
  int port = -1;
  if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) == 0)
    port = ntohs(addr.sin_port);
  close(fd);
  return port;
}

AppServer::AppServer(const std::string &umockdev_dir) : umockdev_dir_(umockdev_dir) {
  dir_ = make_temp_dir("korvprint-test");
  for (const char *sub : {"/home", "/tmp", "/spool"})
    mkdir((dir_ + sub).c_str(), 0700);
  // A program name of its own: its socket is /run/<name>.sock.
  program_ = dir_ + "/korvprint-test-" + std::to_string(getpid());
  symlink(KORV_TEST_APP_PATH, program_.c_str());
  // The backend as the server runs it, with argv[0] = the device URI
  // (DEVICE_URI, as the server also sets it) and the test's preloads.
  std::string wrapper = "#!/bin/bash\n"
                        "echo \"start ${DEVICE_URI:-list} $* pid $$\" >> '" + dir_ + "/backend-runs.log'\n"
                        "export LD_PRELOAD='" + env_or("KORV_TIMESHIM", "") + ":" +
                        env_or("KORV_UMOCKDEV_PRELOAD", "") + "'\n"
                        "export UMOCKDEV_DIR='" + umockdev_dir_ + "'\n"
                        "export KORV_TIME_DIVISOR=1000\n"
                        "export KORV_TIME_LOG='" + dir_ + "/time.log'\n"
                        "exec -a \"${DEVICE_URI:-usbkorv}\" '" + build_dir() +
                        "/backend/usbkorv' \"$@\"\n";
  write_file(dir_ + "/usbkorv", wrapper, 0755);
  // The document decoder runs as nobody, who may not enter the checkout
  // (a 0700 home) or dir_: a copy in a directory of its own.
  decoder_dir_ = make_temp_dir("korvprint-decoder");
  chmod(decoder_dir_.c_str(), 0755);
  write_file(decoder_dir_ + "/korvprint-decode", read_text(KORV_TEST_DECODER_PATH), 0755);
  port_ = free_port();
}

AppServer::~AppServer() {
  stop();
  unlink(socket_path().c_str());
  remove_tree(dir_);
  remove_tree(decoder_dir_);
}

std::string AppServer::socket_path() const {
  return "/run/" + program_.substr(program_.rfind('/') + 1) + ".sock";
}

std::string AppServer::socket_uri(const std::string &queue) const {
  std::string host;
  for (char c : socket_path())
    host += c == '/' ? std::string("%2F") : std::string(1, c);
  return "ipp://" + host + "/ipp/print/" + queue;
}

std::vector<std::string> AppServer::environment() const {
  return {"HOME=" + dir_ + "/home", "TMPDIR=" + dir_ + "/tmp",
          "XDG_CONFIG_HOME=" + dir_ + "/home", "KORVPRINT_BACKEND=" + dir_ + "/usbkorv",
          "KORVPRINT_DECODER=" + decoder_dir_ + "/korvprint-decode"};
}

bool AppServer::start() {
  if (pid_ > 0)
    return true;
  std::vector<std::string> argv = {program_,
                                   "server",
                                   "-o", "server-port=" + std::to_string(port_),
                                   "-o", "listen-hostname=localhost",
                                   "-o", "spool-directory=" + dir_ + "/spool",
                                   "-o", "log-file=" + dir_ + "/server.log",
                                   "-o", "log-level=debug",
                                   "-o", "log-max-size=0",
                                   "-o", "server-options=no-tls",
                                   "-o", "state-file=" + dir_ + "/home/state"};
  for (const std::string &option : options) {
    argv.push_back("-o");
    argv.push_back(option);
  }
  std::vector<std::string> envs = merged_env(environment(), {"LD_PRELOAD", "UMOCKDEV_DIR"});
  std::vector<char *> cargv, cenv;
  for (auto &a : argv)
    cargv.push_back(const_cast<char *>(a.c_str()));
  cargv.push_back(nullptr);
  for (auto &e : envs)
    cenv.push_back(const_cast<char *>(e.c_str()));
  cenv.push_back(nullptr);
  std::string out_path = dir_ + "/server.out";
  pid_ = fork();
  if (pid_ == 0) {
    // A test killed outright leaves no server behind.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    int fd = open(out_path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    dup2(fd, 1);
    dup2(fd, 2);
    execve(cargv[0], cargv.data(), cenv.data());
    _exit(127);
  }
  // Ready when the port answers and the sub-commands' socket is there,
  // and at least two seconds after the start: PAPPL counts printer-up-time
  // in whole seconds from it, and IPP clients take 0 for a printer not
  // yet up.
  long long started = now_ms();
  std::string sock = socket_path();
  for (long long deadline = now_ms() + 30000; now_ms() < deadline;) {
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      error_ = "the server ended at once: " + read_text(out_path);
      return false;
    }
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof(addr));
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port_));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool up = connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) == 0;
    close(fd);
    struct stat st;
    if (up && stat(sock.c_str(), &st) == 0) {
      long long rest = started + 2000 - now_ms();
      if (rest > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(rest));
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  error_ = "the server did not answer on port " + std::to_string(port_);
  return false;
}

bool AppServer::stop(int timeout_ms) {
  if (pid_ <= 0)
    return true;
  // PAPPL 1.3.1 takes up to half a minute to act on the shutdown
  // sub-command; SIGTERM ends the server at once, as a service stop does.
  kill(pid_, SIGTERM);
  int status = 0;
  for (long long deadline = now_ms() + timeout_ms; now_ms() < deadline;) {
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
        return true;
      error_ = "the server ended with status " + std::to_string(status) + ": " +
               read_text(dir_ + "/server.out");
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  kill(pid_, SIGKILL);
  waitpid(pid_, &status, 0);
  pid_ = -1;
  error_ = "the server did not end within " + std::to_string(timeout_ms) + " ms";
  return false;
}

std::string AppServer::printer_uri(const std::string &queue) const {
  return "ipp://localhost:" + std::to_string(port_) + "/ipp/print/" + queue;
}

std::string AppServer::log() const {
  // PAPPL's log, then what the server wrote itself (sanitizer reports).
  return read_text(dir_ + "/server.log") + read_text(dir_ + "/server.out");
}

std::vector<std::string> AppServer::backend_runs() const {
  std::vector<std::string> lines;
  std::istringstream in(read_text(dir_ + "/backend-runs.log"));
  for (std::string line; std::getline(in, line);)
    lines.push_back(line);
  return lines;
}

Command AppServer::cli(const std::vector<std::string> &args, int timeout_s) const {
  std::vector<std::string> argv = {program_};
  argv.insert(argv.end(), args.begin(), args.end());
  return run_command(argv, environment(), {"LD_PRELOAD", "UMOCKDEV_DIR"}, timeout_s);
}

Command AppServer::ipptool(const std::vector<std::string> &args, int timeout_s) const {
  std::vector<std::string> argv = {"ipptool"};
  argv.insert(argv.end(), args.begin(), args.end());
  return run_command(argv, {}, {"LD_PRELOAD"}, timeout_s);
}

bool AppServer::add_printer(const std::string &queue, const std::string &driver,
                            const std::string &device_uri, std::string *why) const {
  Command c = cli({"add", "-d", queue, "-m", driver, "-v", device_uri});
  if (why)
    *why = c.out + c.err;
  return c.status == 0;
}

std::string shown_value(const std::string &output, const std::string &name) {
  std::string key = "    " + name + " (";
  size_t at = output.rfind(key);
  if (at == std::string::npos)
    return "";
  size_t eq = output.find(" = ", at);
  size_t end = output.find('\n', eq);
  return eq == std::string::npos ? "" : output.substr(eq + 3, end - eq - 3);
}

namespace {

// Runs a command of the machine's set-up; false (and why) when it fails.
bool set_up(const std::vector<std::string> &argv, std::string *why) {
  Command c = run_command(argv, {}, {"LD_PRELOAD"}, 60);
  if (c.status != 0 && why->empty())
    *why = argv[0] + ": " + c.err;
  return c.status == 0;
}

} // namespace

ShopMachine::ShopMachine() {
  if (geteuid() != 0) {
    error_ = "needs root";
    return;
  }
  if (unshare(CLONE_NEWNS | CLONE_NEWNET) != 0 ||
      mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    error_ = std::string("no namespaces of its own: ") + strerror(errno);
    return;
  }
  etc_ = make_temp_dir("korvprint-etc");
  if (mount("korvetc", etc_.c_str(), "tmpfs", 0, "mode=0755") != 0 ||
      !set_up({"cp", "-a", "/etc/.", etc_}, &error_) ||
      mount(etc_.c_str(), "/etc", nullptr, MS_BIND, nullptr) != 0) {
    error_ += std::string(" no private /etc: ") + strerror(errno);
    return;
  }
  std::ofstream("/etc/pam.d/korvprint") << read_text(KORV_TEST_PAM_FILE);
  // The phone: a child in a network namespace of its own, which dies with
  // this process and takes the namespace and the veth pair along.
  int ready[2];
  if (pipe(ready) != 0) {
    error_ = "no pipe";
    return;
  }
  pid_t parent = getpid();
  phone_ = fork();
  if (phone_ == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent || unshare(CLONE_NEWNET) != 0)
      _exit(1);
    ssize_t done = write(ready[1], "", 1);
    (void)done;
    for (;;)
      pause();
  }
  close(ready[1]);
  char byte;
  bool started = phone_ > 0 && read(ready[0], &byte, 1) == 1;
  close(ready[0]);
  std::string phone_net = "/proc/" + std::to_string(phone_) + "/ns/net";
  std::string on_phone = "nsenter --net=" + phone_net + " ";
  if (!started ||
      !set_up({"sh", "-ec",
               "ip link set lo up\n"
               "ip link add korvshop type veth peer name korvphone netns " +
                   std::to_string(phone_) + "\n"
                   "ip addr add " + kShopAddress + "/24 dev korvshop\n"
                   "ip link set korvshop up\n" +
                   on_phone + "ip addr add " + kPhoneAddress + "/24 dev korvphone\n" +
                   on_phone + "ip link set korvphone up\n" + on_phone + "ip link set lo up\n"},
              &error_) ||
      (phone_net_ = open(phone_net.c_str(), O_RDONLY | O_CLOEXEC)) < 0) {
    if (error_.empty())
      error_ = "the phone's network could not be made";
  }
}

ShopMachine::~ShopMachine() {
  if (phone_net_ >= 0)
    close(phone_net_);
  if (phone_ > 0) {
    kill(phone_, SIGKILL);
    waitpid(phone_, nullptr, 0);
  }
  if (!etc_.empty()) {
    umount2("/etc", MNT_DETACH);
    umount2(etc_.c_str(), MNT_DETACH);
    remove_tree(etc_);
  }
}

std::vector<std::string> ShopMachine::on_phone() const {
  return {"nsenter", "--net=/proc/" + std::to_string(phone_) + "/ns/net", "--"};
}

ShopMachine::OnPhone::OnPhone(const ShopMachine &machine)
    : home_(open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC)) {
  setns(machine.phone_net_, CLONE_NEWNET);
}

ShopMachine::OnPhone::~OnPhone() {
  setns(home_, CLONE_NEWNET);
  close(home_);
}

TestUser::TestUser(bool admin)
    : name("korvt" + std::to_string(getpid())), password("Till-" + std::to_string(getpid()) + "-x") {
  std::string why;
  ok_ = set_up({"useradd", "-M", "-N", "-s", "/usr/sbin/nologin", name}, &why) &&
        set_up({"sh", "-c", "echo '" + name + ":" + password + "' | chpasswd"}, &why) &&
        (!admin || set_admin(true));
}

TestUser::~TestUser() { run_command({"userdel", name}, {}, {"LD_PRELOAD"}, 60); }

bool TestUser::set_admin(bool admin) {
  std::string why;
  return set_up({"gpasswd", admin ? "-a" : "-d", name, "lpadmin"}, &why);
}

namespace {

std::string ipp_attr_line(const std::string &attr) {
  size_t eq = attr.find('=');
  std::string name = attr.substr(0, eq), value = attr.substr(eq + 1);
  bool integer = !value.empty() && value.find_first_not_of("-0123456789") == std::string::npos;
  return "  ATTR " + std::string(integer ? "integer " : "keyword ") + name + " " + value + "\n";
}

} // namespace

int submit_job(const AppServer &server, const std::string &queue, const std::string &file,
               const std::string &format, const std::vector<std::string> &attrs,
               std::string *output) {
  std::string test = "{\n  NAME \"Print-Job\"\n  OPERATION Print-Job\n"
                     "  GROUP operation-attributes-tag\n"
                     "  ATTR charset attributes-charset utf-8\n"
                     "  ATTR naturalLanguage attributes-natural-language en\n"
                     "  ATTR uri printer-uri $uri\n"
                     "  ATTR name requesting-user-name tester\n"
                     "  ATTR mimeMediaType document-format " + format + "\n"
                     "  GROUP job-attributes-tag\n";
  for (auto &a : attrs)
    test += ipp_attr_line(a);
  test += "  FILE $filename\n  STATUS successful-ok\n  EXPECT job-id OF-TYPE integer\n}\n";
  // A file of its own for each submission: clients may submit at once.
  static std::atomic<int> submissions{0};
  std::string path = server.dir() + "/print-" + std::to_string(++submissions) + ".test";
  write_file(path, test, 0644);
  Command c = server.ipptool({"-tv", "-f", file, server.printer_uri(queue), path});
  if (output)
    *output = c.out + c.err;
  int job_id = atoi(shown_value(c.out, "job-id").c_str());
  return c.status == 0 && job_id > 0 ? job_id : -1;
}

JobResult print_and_wait(const AppServer &server, const std::string &queue,
                         const std::string &file, const std::string &format,
                         const std::vector<std::string> &attrs, int timeout_s) {
  JobResult result;
  result.job_id = submit_job(server, queue, file, format, attrs, &result.output);
  if (result.job_id > 0)
    result.state = wait_job_end(server, queue, result.job_id, timeout_s);
  return result;
}

bool cancel_job(const AppServer &server, const std::string &queue, int job_id) {
  std::string path = server.dir() + "/cancel-job.test";
  write_file(path,
             "{\n  OPERATION Cancel-Job\n"
             "  GROUP operation-attributes-tag\n"
             "  ATTR charset attributes-charset utf-8\n"
             "  ATTR naturalLanguage attributes-natural-language en\n"
             "  ATTR uri printer-uri $uri\n"
             "  ATTR integer job-id $job_id\n"
             "  ATTR name requesting-user-name tester\n"
             "  STATUS successful-ok\n}\n",
             0644);
  Command c = server.ipptool(
      {"-t", "-d", "job_id=" + std::to_string(job_id), server.printer_uri(queue), path}, 30);
  return c.status == 0;
}

std::string printer_attribute(const AppServer &server, const std::string &queue,
                              const std::string &name) {
  std::string path = server.dir() + "/get-printer.test";
  write_file(path,
             "{\n  OPERATION Get-Printer-Attributes\n"
             "  GROUP operation-attributes-tag\n"
             "  ATTR charset attributes-charset utf-8\n"
             "  ATTR naturalLanguage attributes-natural-language en\n"
             "  ATTR uri printer-uri $uri\n"
             "  ATTR name requesting-user-name tester\n"
             "  STATUS successful-ok\n}\n",
             0644);
  Command c = server.ipptool({"-tv", server.printer_uri(queue), path}, 30);
  return shown_value(c.out, name);
}

int job_state(const AppServer &server, const std::string &queue, int job_id,
              std::string *reasons) {
  std::string path = server.dir() + "/get-job.test";
  write_file(path,
             "{\n  OPERATION Get-Job-Attributes\n"
             "  GROUP operation-attributes-tag\n"
             "  ATTR charset attributes-charset utf-8\n"
             "  ATTR naturalLanguage attributes-natural-language en\n"
             "  ATTR uri printer-uri $uri\n"
             "  ATTR integer job-id $job_id\n"
             "  ATTR name requesting-user-name tester\n"
             "  STATUS successful-ok\n}\n",
             0644);
  Command c = server.ipptool(
      {"-tv", "-d", "job_id=" + std::to_string(job_id), server.printer_uri(queue), path}, 30);
  if (reasons)
    *reasons = shown_value(c.out, "job-state-reasons") + " " +
               shown_value(c.out, "job-state-message");
  std::string state = shown_value(c.out, "job-state");
  return state.empty() ? -1 : ippEnumValue("job-state", state.c_str());
}

int wait_job_end(const AppServer &server, const std::string &queue, int job_id,
                 int timeout_s) {
  int state = -1;
  for (long long deadline = now_ms() + timeout_s * 1000LL; now_ms() < deadline;) {
    state = job_state(server, queue, job_id);
    if (state >= kCanceled)
      return state;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  return state;
}

} // namespace korvtest
