#include "Platform/BusConnection.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <mutex>
#include <thread>

#include "CallRecorder.hpp"
#include "HushwallCore/Identity.hpp"
#include "HushwallCore/Strings.hpp"
#include "Platform/AdmissionCache.hpp"
#include "PrivateBus.hpp"
#include "support/CapturingLogSink.hpp"
#include "support/Subprocess.hpp"
#include "support/TemporaryDirectory.hpp"

namespace hushwall {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Reason = Refusal::Reason;

const std::string busConfig = std::string(HUSHWALL_SOURCE_DIR) + "/packaging/test-bus.conf";
const std::string path = "/org/hushwall/test";
const std::string interface = "org.hushwall.Test";

std::string requirementFor(std::string_view identifier) {
  return cat("identifier \"", identifier,
             "\" and anchor apple generic and certificate leaf[subject.OU] = \"HW7Q3K9P2L\"");
}
// This test binary is stamped "org.hushwall.test.platform"; its files belong to
// whoever runs it, so services here use the sandbox rule (the process's own user).
const std::string selfRequirement = requirementFor("org.hushwall.test.platform");

class BusTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { (void)testing::PrivateBus::shared(busConfig); }

  void SetUp() override {
    busName_ = cat("org.hushwall.test.", ::testing::UnitTest::GetInstance()->current_test_info()->name());
    server_ = BusConnection::openSystem(serverQueue_).value();
    client_ = BusConnection::openSystem(clientQueue_).value();
  }

  // Echo (ay → ay) and Nothing (→), each recording its caller.
  BusService service(std::string requirement) {
    BusService s{.busName = busName_,
                 .objectPath = path,
                 .interface = interface,
                 .methods = {},
                 .signalNames = {"RulesChanged"},
                 .requirement = std::move(requirement),
                 .owner = CodeRequirement::Owner::processUser,
                 .log = Logger(LogSubsystem::daemon, "bus")};
    s.methods.push_back({"Echo", true, true, [this](const BusCaller& caller, std::string_view payload) {
                           record(caller);
                           return std::expected<std::string, DaemonError>(std::string(payload));
                         }});
    s.methods.push_back({"Nothing", false, false, [this](const BusCaller& caller, std::string_view) {
                           record(caller);
                           return std::expected<std::string, DaemonError>("ignored");
                         }});
    return s;
  }

  std::expected<std::string, BusError> call(BusConnection& connection, const std::string& member,
                                            std::optional<std::string_view> payload = std::nullopt) {
    return connection.call(busName_, path, interface, member, payload);
  }

  void record(const BusCaller& caller) {
    std::lock_guard lock(mutex_);
    callers_.push_back(caller);
  }
  std::vector<BusCaller> callers() {
    std::lock_guard lock(mutex_);
    return callers_;
  }
  std::size_t refusals() const {
    std::size_t count = 0;
    for (const auto& line : log_.messages("bus")) count += line.starts_with("refused a caller") ? 1 : 0;
    return count;
  }

  testing::CapturingLogSink log_;
  std::string busName_;
  SerialQueue serverQueue_{"org.hushwall.test.server"};
  SerialQueue clientQueue_{"org.hushwall.test.client"};
  std::unique_ptr<BusConnection> server_, client_;
  std::mutex mutex_;
  std::vector<BusCaller> callers_;  // guarded by mutex_
};

TEST_F(BusTest, AnAdmittedCallerGetsItsReplyAndIsLoggedOncePerConnection) {
  ASSERT_TRUE(server_->serve(service(selfRequirement)));
  const std::string bytes("{\"a\":1}\0\xff", 9);
  EXPECT_EQ(call(*client_, "Echo", bytes).value(), bytes);
  EXPECT_EQ(call(*client_, "Echo", "").value(), "");
  EXPECT_EQ(call(*client_, "Nothing").value(), "");

  auto seen = callers();
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0], (BusCaller{getpid(), geteuid(), client_->uniqueName()}));
  const std::string accepted = cat("accepted connection pid=", static_cast<int>(getpid()), " euid=", geteuid());
  EXPECT_EQ(log_.count(accepted), 1u);

  // A second connection of the same process is a new peer.
  SerialQueue otherQueue("org.hushwall.test.other");
  auto other = BusConnection::openSystem(otherQueue).value();
  EXPECT_EQ(call(*other, "Echo", "x").value(), "x");
  EXPECT_EQ(log_.count(accepted), 2u);
  EXPECT_EQ(server_->admittedNames(), 2u);
  other.reset();
  // The bus announces the departure; the name's admission is forgotten.
  auto deadline = std::chrono::steady_clock::now() + 10s;
  while (server_->admittedNames() > 1 && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(1ms);
  EXPECT_EQ(server_->admittedNames(), 1u);

  // A call made on the connection's own queue works too (the tools' pattern).
  std::expected<std::string, BusError> inline_reply;
  clientQueue_.sync([&] { inline_reply = call(*client_, "Echo", "q"); });
  EXPECT_EQ(inline_reply.value(), "q");
}

TEST_F(BusTest, ACallerThatFailsTheRequirementIsDeniedBeforeAnyHandler) {
  struct Case {
    std::string name;
    std::string requirement;
    Reason reason;
  };
  std::vector<Case> cases = {
      {"another program", std::string(CodeSigningRequirement::forApp), Reason::otherIdentifier},
      {"an unparsable requirement", "identifier org.hushwall.test.platform", Reason::unparsableRequirement},
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].name);
    busName_ = cat("org.hushwall.test.Denied", i);
    server_ = BusConnection::openSystem(serverQueue_).value();
    ASSERT_TRUE(server_->serve(service(cases[i].requirement)));
    for (const std::string member : {"Echo", "Echo"}) {
      auto reply = call(*client_, member, "1");
      ASSERT_FALSE(reply);
      EXPECT_EQ(reply.error().name, accessDeniedError);
      EXPECT_FALSE(reply.error().daemonError());
    }
    EXPECT_TRUE(callers().empty());
    EXPECT_EQ(refusals(), 2 * (i + 1));
    EXPECT_NE(log_.messages("bus").back().find(reasonName(cases[i].reason)), std::string::npos)
        << log_.messages("bus").back();
  }
  for (const auto& line : log_.messages()) EXPECT_FALSE(line.starts_with("accepted")) << line;
}

// Runs a copied helper and returns its pid once it has exited.
pid_t runHelper(const std::string& program, const std::vector<std::string>& arguments, std::string* output = nullptr) {
  std::vector<std::string> argv{program};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  testing::Subprocess helper(argv);
  pid_t pid = helper.pid();
  (void)helper.finish();
  if (output) *output = helper.out;
  return pid;
}

// The confirmation asks the bus which process owns the caller's name now; a
// name owned by another process than the one examined is refused.
TEST_F(BusTest, TheConfirmationComparesTheProcessBehindTheName) {
  sd_bus* bus = nullptr;
  ASSERT_GE(sd_bus_open_system(&bus), 0);
  const char* unique = nullptr;
  ASSERT_GE(sd_bus_get_unique_name(bus, &unique), 0);
  sd_bus_message* call = nullptr;
  ASSERT_GE(sd_bus_message_new_method_call(bus, &call, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                           "org.freedesktop.DBus", "GetId"),
            0);
  EXPECT_TRUE(PeerAdmission::confirmSender(call, BusCaller{getpid(), geteuid(), unique}));
  for (const BusCaller& other :
       {BusCaller{getpid() + 1, geteuid(), unique}, BusCaller{getpid(), geteuid(), ":1.999999"}}) {
    auto refused = PeerAdmission::confirmSender(call, other);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().reason, Reason::callerGone);
  }
  sd_bus_message_unref(call);
  sd_bus_flush_close_unref(bus);
}

class BusCallerProcessTest : public BusTest {
 protected:
  static void SetUpTestSuite() {
    BusTest::SetUpTestSuite();
    // Copies with a fixed mode, whatever the build's umask was.
    dir_ = std::make_unique<testing::TemporaryDirectory>();
    for (const char* name : {"hushwall_test_caller", "hushwall_test_impostor"}) {
      fs::copy_file(fs::path(HUSHWALL_TEST_HELPERS_DIR) / name, dir_->file(name));
      chmod(dir_->file(name).c_str(), 0755);
    }
  }
  static void TearDownTestSuite() { dir_.reset(); }

  std::vector<std::string> arguments(const std::string& member, const std::string& mode) {
    return {busName_, path, interface, member, mode};
  }

  static inline std::unique_ptr<testing::TemporaryDirectory> dir_;
};

TEST_F(BusCallerProcessTest, OnlyTheStampedProgramIsAdmitted) {
  ASSERT_TRUE(server_->serve(service(requirementFor("org.hushwall.test.caller"))));
  std::string genuine, impostor;
  pid_t admittedPid = runHelper(dir_->file("hushwall_test_caller"), arguments("Nothing", "call"), &genuine);
  runHelper(dir_->file("hushwall_test_impostor"), arguments("Nothing", "call"), &impostor);
  EXPECT_EQ(genuine, "");
  EXPECT_EQ(impostor, cat(accessDeniedError, "\n"));
  auto seen = callers();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].pid, admittedPid);
  EXPECT_EQ(log_.count(cat("accepted connection pid=", static_cast<int>(admittedPid), " euid=", geteuid())), 1u);
}

TEST_F(BusCallerProcessTest, CallersThatExitAtOnceAreNeverAdmittedOnAStaleLookup) {
  ASSERT_TRUE(server_->serve(service(requirementFor("org.hushwall.test.caller"))));
  constexpr int rounds = 25;
  std::vector<pid_t> genuine;
  for (int i = 0; i < rounds; ++i) {
    genuine.push_back(runHelper(dir_->file("hushwall_test_caller"), arguments("Nothing", "send-and-exit")));
    runHelper(dir_->file("hushwall_test_impostor"), arguments("Nothing", "send-and-exit"));
  }
  // Every call is decided one way or the other; wait for all of them.
  auto deadline = std::chrono::steady_clock::now() + 20s;
  while (callers().size() + refusals() < 2 * rounds && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(10ms);
  }
  ASSERT_EQ(callers().size() + refusals(), 2u * rounds);
  // Whatever was admitted was admitted as the genuine process that sent it.
  for (const auto& caller : callers()) {
    EXPECT_NE(std::find(genuine.begin(), genuine.end(), caller.pid), genuine.end()) << caller.pid;
  }
  EXPECT_GE(refusals(), static_cast<std::size_t>(rounds));  // at least every impostor
  RecordProperty("admittedGenuineCallers", static_cast<int>(callers().size()));
  for (const auto& line : log_.messages("bus")) {
    if (line.starts_with("refused")) {
      EXPECT_EQ(line.find(reasonName(Reason::unparsableRequirement)), std::string::npos);
    }
  }
}

// Runs `program` in exec or fork mode: its first call's line, then (after
// `between`, once the first line is read) the line its successor printed for
// the second call on the same connection.
std::pair<std::string, std::string> callTwice(const std::string& program, const std::vector<std::string>& arguments,
                                              const std::function<void()>& between) {
  std::vector<std::string> argv{program};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  testing::Subprocess helper(argv);
  std::string first = helper.nextLine(10s).value_or("");
  between();
  helper.write("\n");
  (void)helper.finish();
  return {first, helper.out.size() > first.size() ? helper.out.substr(first.size() + 1) : std::string()};
}

TEST_F(BusCallerProcessTest, AnAdmissionLastsOnlyWhileTheSameProcessRunsTheSameFile) {
  ASSERT_TRUE(server_->serve(service(requirementFor("org.hushwall.test.caller"))));
  const std::string denied = cat(accessDeniedError, "\n");
  fs::copy_file(dir_->file("hushwall_test_caller"), dir_->file("swapped"), fs::copy_options::overwrite_existing);
  const std::string caller = "hushwall_test_caller", impostor = "hushwall_test_impostor";
  struct Case {
    std::string name;
    std::string program, mode, successor;
    bool replaceBeforeExec;
    std::string first, second;
  };
  std::vector<Case> cases = {
      {"the same program again", caller, "exec", caller, false, "", ""},
      {"an unstamped program", caller, "exec", impostor, false, "", denied},
      {"the stamped file replaced on disk", "swapped", "exec", "swapped", true, "", denied},
      {"a refused caller trying again", impostor, "exec", impostor, false, std::string(accessDeniedError), denied},
      {"its process gone, a child on its connection", caller, "fork", caller, false, "", denied},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> arguments{busName_, path, interface, "Nothing", c.mode, dir_->file(c.successor)};
    auto [first, second] = callTwice(dir_->file(c.program), arguments, [&] {
      if (!c.replaceBeforeExec) return;
      // Renamed over it, as an update would: the running file cannot be written.
      fs::copy_file(dir_->file(impostor), dir_->file("swapped.new"), fs::copy_options::overwrite_existing);
      fs::rename(dir_->file("swapped.new"), dir_->file(c.successor));
    });
    EXPECT_EQ(first, c.first);
    EXPECT_EQ(second, c.second);
  }
  EXPECT_EQ(callers().size(), 5u);  // the four admitted first calls and the one admitted second call
}

TEST(PeerAdmission, EveryStepThatFailsRefusesAndStopsTheRest) {
  const BusCaller caller{4242, 1000, ":1.7"};
  const ProcessStamp stamp{77, 1, 2, 3, 4, 5, 6, 7};
  struct Case {
    std::string name;
    std::string requirement;
    int failingStep;  // 1 lookUp, 2 examine, 3 confirm, 4 the stamp differs after the examination; 0 none
    Reason reason;
    int stepsRun;
  };
  std::vector<Case> cases = {
      {"all succeed", selfRequirement, 0, {}, 3},
      {"unparsable requirement", "identifier", 0, Reason::unparsableRequirement, 0},
      {"lookup errs", selfRequirement, 1, Reason::lookupFailed, 1},
      {"other program", selfRequirement, 2, Reason::otherIdentifier, 2},
      {"caller gone after the check", selfRequirement, 3, Reason::callerGone, 3},
      {"caller changed during the check", selfRequirement, 4, Reason::callerGone, 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    int steps = 0;
    int stamps = 0;
    auto step = [&](int index) -> std::expected<void, Refusal> {
      ++steps;
      if (index == c.failingStep) return std::unexpected(Refusal{c.reason, ""});
      return {};
    };
    PeerAdmission admission;
    admission.sender = [&](sd_bus_message*) { return caller.uniqueName; };
    admission.lookUp = [&](sd_bus_message*) -> std::expected<BusCaller, Refusal> {
      if (auto ok = step(1); !ok) return std::unexpected(ok.error());
      return caller;
    };
    admission.examine = [&](const CodeRequirement&, pid_t pid) {
      EXPECT_EQ(pid, caller.pid);
      return step(2);
    };
    admission.confirm = [&](sd_bus_message*, const BusCaller& checked) {
      EXPECT_EQ(checked, caller);
      return step(3);
    };
    admission.stamp = [&](pid_t pid) {
      EXPECT_EQ(pid, caller.pid);
      ProcessStamp read = stamp;
      read.inode += (c.failingStep == 4 && ++stamps == 2) ? 1 : 0;
      return std::optional(read);
    };
    AdmissionCache cache;
    auto verdict =
        admission.admit(CodeRequirement::parse(c.requirement, CodeRequirement::Owner::processUser), nullptr, cache);
    EXPECT_EQ(steps, c.stepsRun);
    if (c.failingStep == 0 && c.stepsRun == 3) {
      EXPECT_EQ(verdict.value(), caller);
      EXPECT_EQ(cache.size(), 1u);
    } else {
      ASSERT_FALSE(verdict);
      EXPECT_EQ(verdict.error().reason, c.reason);
      EXPECT_EQ(cache.size(), 0u);
    }
  }
}

// A remembered admission is used only while the stamp reads the same; any
// other reading sends the caller through the whole admission again.
TEST(PeerAdmission, ARememberedCallerIsReexaminedWhenItsProcessReadsDifferently) {
  const BusCaller caller{4242, 1000, ":1.7"};
  const ProcessStamp stamp{77, 1, 2, 3, 4, 5, 6, 7};
  struct Case {
    std::string name;
    std::function<void(std::optional<ProcessStamp>&)> change;
    bool stillStamped;  // the full admission's verdict
    bool examined, admitted;
  };
  std::vector<Case> cases = {
      {"unchanged", [](auto&) {}, true, false, true},
      {"pid reused by a process started later", [](auto& s) { s->startTime += 1; }, false, true, false},
      {"another executable", [](auto& s) { s->inode += 1; }, false, true, false},
      {"executable rewritten in place", [](auto& s) { s->mtimeNanoseconds += 1; }, false, true, false},
      {"executable grown", [](auto& s) { s->size += 1; }, false, true, false},
      {"executable changed, its modification time set back", [](auto& s) { s->ctimeSeconds += 1; }, false, true, false},
      {"unreadable /proc", [](auto& s) { s.reset(); }, true, true, false},
      {"changed but still stamped", [](auto& s) { s->device += 1; }, true, true, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::optional<ProcessStamp> now = stamp;
    bool stamped = true;
    PeerAdmission admission;
    admission.sender = [&](sd_bus_message*) { return caller.uniqueName; };
    admission.lookUp = [&](sd_bus_message*) -> std::expected<BusCaller, Refusal> { return caller; };
    admission.examine = [&](const CodeRequirement&, pid_t) -> std::expected<void, Refusal> {
      if (stamped) return {};
      return std::unexpected(Refusal{Reason::noIdentity, ""});
    };
    admission.confirm = [](sd_bus_message*, const BusCaller&) -> std::expected<void, Refusal> { return {}; };
    admission.stamp = [&](pid_t) { return now; };
    AdmissionCache cache;
    auto requirement = CodeRequirement::parse(selfRequirement, CodeRequirement::Owner::processUser);
    ASSERT_TRUE(admission.admit(requirement, nullptr, cache));

    c.change(now);
    stamped = c.stillStamped;
    bool examined = false;
    auto verdict = admission.admit(requirement, nullptr, cache, &examined);
    EXPECT_EQ(examined, c.examined);
    EXPECT_EQ(verdict.has_value(), c.admitted);
    EXPECT_EQ(cache.size(), c.admitted ? 1u : 0u);
    if (c.admitted) {
      EXPECT_EQ(cache.find(caller.uniqueName)->stamp, *now);
    }
  }
}

TEST(AdmissionCache, KeepsTheMostRecentlyUsedNamesUpToItsCapacity) {
  AdmissionCache cache(3);
  auto add = [&](const std::string& name) { cache.insert({BusCaller{1, 0, name}, ProcessStamp{}}); };
  for (const char* name : {":1.1", ":1.2", ":1.3"}) add(name);
  ASSERT_NE(cache.find(":1.1"), nullptr);  // now the most recent
  add(":1.4");
  EXPECT_EQ(cache.find(":1.2"), nullptr);
  for (const char* name : {":1.1", ":1.3", ":1.4"}) EXPECT_NE(cache.find(name), nullptr) << name;
  cache.erase(":1.3");
  add(":1.4");  // replaces, evicts nothing
  EXPECT_EQ(cache.size(), 2u);
}

TEST(ProcessStamp, ReadsTheStartTimeWhateverTheCommandName) {
  struct Case {
    std::string_view text;
    std::optional<std::uint64_t> startTime;
  };
  const std::string tail = " S 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 987654 19 20\n";
  std::vector<Case> cases = {
      {"", std::nullopt},
      {"42 (a) S 1 2 3", std::nullopt},
  };
  std::vector<std::string> lines = {"42 (bash)" + tail, "42 (a) b ) (c)" + tail, "42 ())" + tail};
  for (const auto& line : lines) cases.push_back({line, 987654});
  cases.push_back({"42 (x) S 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 98x 19", std::nullopt});
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(startTimeField(c.text), c.startTime);
  }
  auto self = readProcessStamp(getpid());
  ASSERT_TRUE(self);
  struct stat exe {};
  ASSERT_EQ(stat("/proc/self/exe", &exe), 0);
  EXPECT_EQ(self->inode, exe.st_ino);
  EXPECT_EQ(self, readProcessStamp(getpid()));
  EXPECT_FALSE(readProcessStamp(0));
}

}  // namespace
}  // namespace hushwall
