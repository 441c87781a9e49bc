#include "Platform/BusConnection.hpp"

#include <gtest/gtest.h>
#include <systemd/sd-bus.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <mutex>
#include <thread>

#include "CallRecorder.hpp"
#include "HushwallCore/Identity.hpp"
#include "HushwallCore/Strings.hpp"
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
  return cat("identifier \"", identifier, "\" and anchor apple generic and certificate leaf[subject.OU] = \"HW7Q3K9P2L\"");
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
                 .log = Logger(LogSubsystem::daemon, "xpc")};
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
    for (const auto& line : log_.messages("xpc")) count += line.starts_with("refused a caller") ? 1 : 0;
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
  for (const BusCaller& other : {BusCaller{getpid() + 1, geteuid(), unique}, BusCaller{getpid(), geteuid(), ":1.999999"}}) {
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
  for (const auto& line : log_.messages("xpc")) {
    if (line.starts_with("refused")) {
      EXPECT_EQ(line.find(reasonName(Reason::unparsableRequirement)), std::string::npos);
    }
  }
}

TEST(PeerAdmission, EveryStepThatFailsRefusesAndStopsTheRest) {
  const BusCaller caller{4242, 1000, ":1.7"};
  struct Case {
    std::string name;
    std::string requirement;
    int failingStep;  // 1 lookUp, 2 examine, 3 confirm; 0 none
    Reason reason;
    int stepsRun;
  };
  std::vector<Case> cases = {
      {"all succeed", selfRequirement, 0, {}, 3},
      {"unparsable requirement", "identifier", 0, Reason::unparsableRequirement, 0},
      {"lookup errs", selfRequirement, 1, Reason::lookupFailed, 1},
      {"other program", selfRequirement, 2, Reason::otherIdentifier, 2},
      {"caller gone after the check", selfRequirement, 3, Reason::callerGone, 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    int steps = 0;
    auto step = [&](int index) -> std::expected<void, Refusal> {
      ++steps;
      if (index == c.failingStep) return std::unexpected(Refusal{c.reason, ""});
      return {};
    };
    PeerAdmission admission;
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
    auto verdict = admission.admit(CodeRequirement::parse(c.requirement, CodeRequirement::Owner::processUser), nullptr);
    EXPECT_EQ(steps, c.stepsRun);
    if (c.stepsRun == 3 && c.failingStep == 0) {
      EXPECT_EQ(verdict.value(), caller);
    } else {
      ASSERT_FALSE(verdict);
      EXPECT_EQ(verdict.error().reason, c.reason);
    }
  }
}

}  // namespace
}  // namespace hushwall
