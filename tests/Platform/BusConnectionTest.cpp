#include "Platform/BusConnection.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <mutex>

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

const std::string path = "/org/hushwall/test", interface = "org.hushwall.Test";
const std::string denied(accessDeniedError);

std::string requirementFor(std::string_view identifier) {
  return cat("identifier \"", identifier,
             "\" and anchor apple generic and certificate leaf[subject.OU] = \"HW7Q3K9P2L\"");
}
// This binary is stamped "org.hushwall.test.platform" and its files belong to whoever runs it: the sandbox rule.
const std::string selfRequirement = requirementFor("org.hushwall.test.platform");

class BusTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    (void)testing::PrivateBus::shared(HUSHWALL_SOURCE_DIR "/packaging/test-bus.conf");
    // Copies with a fixed mode, whatever the build's umask was.
    for (const char* name : {"hushwall_test_caller", "hushwall_test_impostor"}) {
      fs::copy_file(fs::path(HUSHWALL_TEST_HELPERS_DIR) / name, dir_.file(name), fs::copy_options::overwrite_existing);
      chmod(dir_.file(name).c_str(), 0755);
    }
  }

  void SetUp() override {
    busName_ = cat("org.hushwall.test.", ::testing::UnitTest::GetInstance()->current_test_info()->name());
    server_ = BusConnection::openSystem(serverQueue_).value();
    client_ = BusConnection::openSystem(clientQueue_).value();
  }

  // Serves Echo (ay → ay) and Nothing (→), each recording its caller.
  void serve(std::string requirement) {
    auto recorded = [this](std::optional<std::string> reply) {
      return [this, reply](const BusCaller& caller, std::string_view payload) {
        std::lock_guard lock(mutex_);
        callers_.push_back(caller);
        return std::expected<std::string, DaemonError>(reply.value_or(std::string(payload)));
      };
    };
    ASSERT_TRUE(server_->serve(
        {.busName = busName_,
         .objectPath = path,
         .interface = interface,
         .methods = {{"Echo", true, true, recorded(std::nullopt)}, {"Nothing", false, false, recorded("not sent")}},
         .signalNames = {},
         .requirement = std::move(requirement),
         .owner = CodeRequirement::Owner::processUser,
         .log = Logger(LogSubsystem::daemon, "bus")}));
  }
  std::expected<std::string, BusError> call(BusConnection& connection, const std::string& member,
                                            std::optional<std::string_view> payload = std::nullopt) {
    return connection.call(busName_, path, interface, member, payload);
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
  // Runs a copied helper against this test's service.
  std::unique_ptr<testing::Subprocess> helper(const std::string& program, const std::string& mode,
                                              const std::string& successor = {}) {
    std::vector<std::string> argv{dir_.file(program), busName_, path, interface, "Nothing", mode};
    if (!successor.empty()) argv.push_back(dir_.file(successor));
    return std::make_unique<testing::Subprocess>(argv);
  }

  static inline testing::TemporaryDirectory dir_;
  testing::CapturingLogSink log_;
  std::string busName_;
  SerialQueue serverQueue_{"org.hushwall.test.server"}, clientQueue_{"org.hushwall.test.client"};
  std::unique_ptr<BusConnection> server_, client_;
  std::mutex mutex_;
  std::vector<BusCaller> callers_;  // guarded by mutex_
};

TEST_F(BusTest, AnAdmittedCallerGetsItsReplyAndIsLoggedOncePerConnection) {
  serve(selfRequirement);
  const std::string bytes("{\"a\":1}\0\xff", 9);
  EXPECT_EQ(call(*client_, "Echo", bytes).value(), bytes);
  EXPECT_EQ(call(*client_, "Echo", "").value(), "");
  EXPECT_EQ(call(*client_, "Nothing").value(), "");
  ASSERT_EQ(callers().size(), 3u);
  EXPECT_EQ(callers()[0], (BusCaller{getpid(), geteuid(), client_->uniqueName()}));
  const std::string accepted = cat("accepted connection pid=", static_cast<int>(getpid()), " euid=", geteuid());
  EXPECT_EQ(log_.count(accepted), 1u);

  // A second connection of the same process is a new peer; once it leaves, its admission is forgotten.
  SerialQueue otherQueue("org.hushwall.test.other");
  auto other = BusConnection::openSystem(otherQueue).value();
  EXPECT_EQ(call(*other, "Echo", "x").value(), "x");
  EXPECT_EQ(log_.count(accepted), 2u);
  EXPECT_EQ(server_->admittedNames(), 2u);
  other.reset();
  EXPECT_TRUE(testing::eventually([&] { return server_->admittedNames() == 1; }));

  // A call made on the connection's own queue works too (the tools' pattern).
  std::expected<std::string, BusError> inlineReply;
  clientQueue_.sync([&] { inlineReply = call(*client_, "Echo", "q"); });
  EXPECT_EQ(inlineReply.value(), "q");
}

// The confirmation asks the bus which process owns the caller's name now.
TEST_F(BusTest, TheConfirmationComparesTheProcessBehindTheName) {
  sd_bus* bus = nullptr;
  const char* unique = nullptr;
  sd_bus_message* call = nullptr;
  ASSERT_GE(sd_bus_open_system(&bus), 0);
  ASSERT_GE(sd_bus_get_unique_name(bus, &unique), 0);
  ASSERT_GE(sd_bus_message_new_method_call(bus, &call, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                           "org.freedesktop.DBus", "GetId"),
            0);
  EXPECT_TRUE(PeerAdmission::confirmSender(call, BusCaller{getpid(), geteuid(), unique}));
  for (const BusCaller& other : {BusCaller{getpid() + 1, geteuid(), unique}, BusCaller{getpid(), 0, ":1.999999"}}) {
    EXPECT_EQ(PeerAdmission::confirmSender(call, other).error().reason, Reason::callerGone);
  }
  sd_bus_message_unref(call);
  sd_bus_flush_close_unref(bus);
}

TEST_F(BusTest, CallersThatExitAtOnceAreNeverAdmittedOnAStaleLookup) {
  serve(requirementFor("org.hushwall.test.caller"));
  constexpr std::size_t rounds = 25;
  std::vector<pid_t> genuine;
  for (std::size_t i = 0; i < rounds; ++i) {
    auto caller = helper("hushwall_test_caller", "send-and-exit");
    genuine.push_back(caller->pid());
    EXPECT_EQ(caller->finish(), 0);
    EXPECT_EQ(helper("hushwall_test_impostor", "send-and-exit")->finish(), 0);
  }
  // Every call is decided one way or the other.
  ASSERT_TRUE(testing::eventually([&] { return callers().size() + refusals() == 2 * rounds; }, 20s));
  for (const auto& caller : callers()) EXPECT_NE(std::ranges::find(genuine, caller.pid), genuine.end()) << caller.pid;
  EXPECT_GE(refusals(), rounds);  // at least every impostor
  for (const auto& line : log_.messages("bus")) EXPECT_FALSE(line.contains(reasonName(Reason::unparsableRequirement)));
}

// The helper calls, prints a line, then its successor (after an exec, or a child once the helper has exited) calls
// again on the same connection.
TEST_F(BusTest, AnAdmissionLastsOnlyWhileTheSameProcessRunsTheSameFile) {
  serve(requirementFor("org.hushwall.test.caller"));
  fs::copy_file(dir_.file("hushwall_test_caller"), dir_.file("swapped"), fs::copy_options::overwrite_existing);
  const std::string caller = "hushwall_test_caller", impostor = "hushwall_test_impostor";
  struct Case {
    std::string name, program, mode, successor;
    bool replaceBeforeExec;
    std::string first, second;
  };
  const std::vector<Case> cases = {
      {"the same program again", caller, "exec", caller, false, "", ""},
      {"an unstamped program", caller, "exec", impostor, false, "", denied},
      {"the stamped file replaced on disk", "swapped", "exec", "swapped", true, "", denied},
      {"a refused caller trying again", impostor, "exec", impostor, false, denied, denied},
      {"its process gone, a child on its connection", caller, "fork", caller, false, "", denied},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto running = helper(c.program, c.mode, c.successor);
    EXPECT_EQ(running->nextLine(10s), c.first);
    if (c.replaceBeforeExec) {  // renamed over it, as an update would: the running file cannot be written
      fs::copy_file(dir_.file(impostor), dir_.file("swapped.new"), fs::copy_options::overwrite_existing);
      fs::rename(dir_.file("swapped.new"), dir_.file(c.successor));
    }
    running->write("\n");
    (void)running->finish();
    EXPECT_EQ(running->nextLine(0s).value_or(""), c.second);
  }
  EXPECT_EQ(callers().size(), 5u);  // the four admitted first calls and the one admitted second call
}

const BusCaller someCaller{4242, 1000, ":1.7"};
const ProcessStamp someStamp{77, 1, 2, 3, 4, 5, 6, 7};

// Every step succeeds with `someCaller` and `someStamp` unless a test says otherwise.
PeerAdmission scriptedAdmission() {
  PeerAdmission admission;
  admission.sender = [](sd_bus_message*) { return someCaller.uniqueName; };
  admission.lookUp = [](sd_bus_message*) -> std::expected<BusCaller, Refusal> { return someCaller; };
  admission.examine = [](const CodeRequirement&, pid_t) -> std::expected<void, Refusal> { return {}; };
  admission.confirm = [](sd_bus_message*, const BusCaller&) -> std::expected<void, Refusal> { return {}; };
  admission.stamp = [](pid_t) { return std::optional(someStamp); };
  return admission;
}

TEST(PeerAdmission, EveryStepThatFailsRefusesAndStopsTheRest) {
  struct Case {
    std::string name, requirement;
    int failingStep;  // 1 lookUp, 2 examine, 3 confirm, 4 the stamp differs after the examination; 0 none
    Reason reason;
    int stepsRun;
  };
  const std::vector<Case> cases = {
      {"all succeed", selfRequirement, 0, {}, 3},
      {"unparsable requirement", "identifier", 0, Reason::unparsableRequirement, 0},
      {"lookup errs", selfRequirement, 1, Reason::lookupFailed, 1},
      {"other program", selfRequirement, 2, Reason::otherIdentifier, 2},
      {"caller gone after the check", selfRequirement, 3, Reason::callerGone, 3},
      {"caller changed during the check", selfRequirement, 4, Reason::callerGone, 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    int steps = 0, stamps = 0;
    auto step = [&](int index) -> std::expected<void, Refusal> {
      ++steps;
      if (index == c.failingStep) return std::unexpected(Refusal{c.reason, ""});
      return {};
    };
    PeerAdmission admission = scriptedAdmission();
    admission.lookUp = [&](sd_bus_message*) -> std::expected<BusCaller, Refusal> {
      if (auto ok = step(1); !ok) return std::unexpected(ok.error());
      return someCaller;
    };
    admission.examine = [&](const CodeRequirement&, pid_t pid) {
      EXPECT_EQ(pid, someCaller.pid);
      return step(2);
    };
    admission.confirm = [&](sd_bus_message*, const BusCaller& checked) {
      EXPECT_EQ(checked, someCaller);
      return step(3);
    };
    admission.stamp = [&](pid_t pid) {
      EXPECT_EQ(pid, someCaller.pid);
      ProcessStamp read = someStamp;
      read.inode += (c.failingStep == 4 && ++stamps == 2) ? 1 : 0;
      return std::optional(read);
    };
    AdmissionCache cache;
    auto verdict =
        admission.admit(CodeRequirement::parse(c.requirement, CodeRequirement::Owner::processUser), nullptr, cache);
    EXPECT_EQ(steps, c.stepsRun);
    EXPECT_EQ(cache.size(), verdict ? 1u : 0u);
    if (c.name == "all succeed") {
      EXPECT_EQ(verdict.value(), someCaller);
    } else {
      EXPECT_EQ(verdict.error().reason, c.reason);
    }
  }
}

// A remembered admission is used only while the stamp reads the same; any
// other reading sends the caller through the whole admission again.
TEST(PeerAdmission, ARememberedCallerIsReexaminedWhenItsProcessReadsDifferently) {
  struct Case {
    std::string name;
    std::function<void(std::optional<ProcessStamp>&)> change;
    bool stillStamped;  // the full admission's verdict
    bool examined, admitted;
  };
  const std::vector<Case> cases = {
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
    std::optional<ProcessStamp> now = someStamp;
    bool stamped = true;
    PeerAdmission admission = scriptedAdmission();
    admission.examine = [&](const CodeRequirement&, pid_t) -> std::expected<void, Refusal> {
      if (stamped) return {};
      return std::unexpected(Refusal{Reason::noIdentity, ""});
    };
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
      EXPECT_EQ(cache.find(someCaller.uniqueName)->stamp, *now);
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
  const std::string tail = " S 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 987654 19 20\n";
  for (const std::string& line : {"42 (bash)" + tail, "42 (a) b ) (c)" + tail, "42 ())" + tail}) {
    EXPECT_EQ(startTimeField(line), 987654u) << line;
  }
  for (std::string_view line : {"", "42 (a) S 1 2 3", "42 (x) S 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 98x 19"}) {
    EXPECT_EQ(startTimeField(line), std::nullopt) << line;
  }
  auto self = readProcessStamp(getpid());
  struct stat exe {};
  ASSERT_EQ(stat("/proc/self/exe", &exe), 0);
  EXPECT_EQ(self.value().inode, exe.st_ino);
  EXPECT_EQ(self, readProcessStamp(getpid()));
  EXPECT_FALSE(readProcessStamp(0));
}

}  // namespace
}  // namespace hushwall
