#include "DaemonService/HushwallDaemonMain.hpp"

#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>

#include "DaemonCore/BlockController.hpp"
#include "DaemonCore/DNSCache.hpp"
#include "DaemonCore/ExitPolicy.hpp"
#include "DaemonCore/HostsFile.hpp"
#include "DaemonCore/ScheduleStore.hpp"
#include "DaemonCore/SessionCoordinator.hpp"
#include "DaemonCore/SessionStore.hpp"
#include "DaemonCore/SystemPaths.hpp"
#include "DaemonCore/Timekeeper.hpp"
#include "DaemonService/DaemonListener.hpp"
#include "DaemonService/DaemonRequestHandler.hpp"
#include "DaemonService/FilterDoorbell.hpp"
#include "DaemonService/FilterRulesHandler.hpp"
#include "DaemonService/FilterRulesListener.hpp"
#include "DaemonService/Handover.hpp"
#include "DaemonService/ReplacementCheck.hpp"
#include "DaemonService/SessionTicker.hpp"
#include "HushwallCore/Identity.hpp"
#include "HushwallCore/Log.hpp"
#include "HushwallCore/ScheduleCalendar.hpp"
#include "HushwallCore/Strings.hpp"
#include "Platform/BusConnection.hpp"
#include "Platform/FileWatcher.hpp"
#include "Platform/JournalLogSink.hpp"
#include "Platform/SerialQueue.hpp"
#include "Platform/SystemTimeSource.hpp"

namespace hushwall::HushwallDaemonMain {
namespace {

constexpr std::chrono::milliseconds watcherDebounce{250};

// Set once at the top of `run`, before any other thread exists.
CodeRequirement::Owner codeOwner = CodeRequirement::Owner::root;
std::string executablePath;
std::optional<ReplacementCheck::FileIdentity> launchedIdentity;

// Holds a shared object for the life of the process; the caller keeps the
// returned reference in a static, so the holder stays reachable.
template <class T>
std::shared_ptr<T>& keep(std::shared_ptr<T> object) {
  return *new std::shared_ptr<T>(std::move(object));
}

const Logger& log() {
  static const Logger& logger = *new Logger(LogSubsystem::daemon, "lifecycle");
  return logger;
}

// Start-up turns block management off once, when the launch reconcile is stuck.
std::mutex blockManagementMutex;
bool blockManagementFlag = true;  // guarded by blockManagementMutex

bool blockManagement() {
  std::lock_guard lock(blockManagementMutex);
  return blockManagementFlag;
}

[[noreturn]] void cannotServe(const std::string& what) {
  log().fault(cat("cannot serve: ", what));
  std::exit(EXIT_FAILURE);  // a failure, so the service manager starts us again
}

BusConnection& bus() {
  static BusConnection& connection = []() -> BusConnection& {
    auto opened = BusConnection::openSystem(SerialQueue::main());
    if (!opened) cannotServe(cat(opened.error().name, ": ", opened.error().message));
    return *opened->release();
  }();
  return connection;
}

SessionCoordinator& coordinator() {
  static SessionCoordinator& instance = *new SessionCoordinator(
      std::make_shared<SessionStore>(systemPaths().stateDirectory), ScheduleStore(systemPaths().stateDirectory),
      BlockController(), std::make_shared<SystemTimeSource>(), Timekeeper(),
      [] { return ScheduleCalendar::systemCurrent(); }, true, [] { FilterDoorbell::ring(bus()); },
      [dns = DNSCache()] { dns.flush(); });
  return instance;
}

FilterRulesHandler& filterRules() {
  static FilterRulesHandler& instance = *new FilterRulesHandler(coordinator());
  return instance;
}

DaemonRequestHandler& handler() {
  static DaemonRequestHandler& instance = *new DaemonRequestHandler(
      coordinator(), BlockController(),
      DaemonRequestHandler::Environment{.now = [] { return Date::now(); },
                                        .blockManagement = blockManagement,
                                        .filterStatus = [] { return filterRules().status(); }});
  return instance;
}

DaemonListener& listener() {
  static DaemonListener& instance = *new DaemonListener(handler(), codeOwner);
  return instance;
}

FilterRulesListener& filterRulesListener() {
  static FilterRulesListener& instance = *new FilterRulesListener(filterRules(), codeOwner);
  return instance;
}

SessionTicker& ticker() {
  static std::shared_ptr<SessionTicker>& instance = keep(SessionTicker::make(
      [] { return coordinator().tick(); }, retireIfReplaced, retireIfIdle,
      *new SerialQueue(std::string(DaemonNames::tickerQueueLabel)), SessionCoordinator::tickInterval));
  return *instance;
}

SerialQueue& watcherQueue() {
  static SerialQueue& queue = *new SerialQueue(std::string(DaemonNames::watcherQueueLabel));
  return queue;
}

// The repair call of both watchers; the verification logs what it repaired.
void repair() { (void)coordinator().verify(); }

FileWatcher& hostsWatcher() {
  static std::shared_ptr<FileWatcher>& instance =
      keep(FileWatcher::make(HostsFile(systemPaths().hostsFile).path(), watcherQueue(), watcherDebounce, repair));
  return *instance;
}

FileWatcher& stateWatcher() {
  static std::shared_ptr<FileWatcher>& instance = keep(FileWatcher::make(
      cat(systemPaths().stateDirectory, "/", SessionStore::fileName), watcherQueue(), watcherDebounce, repair));
  return *instance;
}

ReplacementCheck& replacementCheck() {
  static ReplacementCheck& instance = *new ReplacementCheck(
      executablePath, std::string(CodeSigningRequirement::forDaemon), codeOwner, launchedIdentity);
  return instance;
}

// The executable this process was started from, resolved now: once the file
// is replaced, /proc/self/exe names it "(deleted)".
void noteExecutable() {
  std::error_code error;
  std::filesystem::path resolved = std::filesystem::read_symlink("/proc/self/exe", error);
  executablePath = error ? std::string("/proc/self/exe") : resolved.string();
  launchedIdentity = ReplacementCheck::identity(executablePath);
}

[[noreturn]] void retire(bool hasSession, bool servable) {
  if (!servable) log().notice("handing over without waiting for a quiet moment: no client can hear this daemon");
  if (hasSession) {
    log().notice(
        "another daemon is at our path — handing over mid-session; systemd starts it at once, since session.json "
        "exists, and its launch reconcile resumes the session");
  } else {
    log().notice(
        "another daemon is at our path — handing over; D-Bus activation starts it on the next message, or systemd "
        "at once if a schedule exists");
  }
  // Still under the coordinator's lock: nothing can change between the decision and the end.
  std::exit(0);
}

void logLaunch(const SessionCoordinator::Outcome& outcome) {
  using Kind = SessionCoordinator::Outcome::Kind;
  switch (outcome.kind) {
    case Kind::running:
      log().notice(cat("launch: session ", outcome.state->id.string(), " resumed, ",
                       static_cast<long>(outcome.state->remaining()), "s left"));
      break;
    case Kind::ended:
      log().notice(cat("launch: session ", outcome.state->id.string(), " had expired and was cleared"));
      break;
    case Kind::stuck: {
      std::lock_guard lock(blockManagementMutex);
      blockManagementFlag = false;
    }
      log().fault("launch reconcile FAILED: block management is off until the next launch");
      break;
    case Kind::idle:
      log().notice("launch: no session");
      break;
  }
}

}  // namespace

void run(CodeRequirement::Owner owner, LogTarget target) {
  codeOwner = owner;
  noteExecutable();
  if (target == LogTarget::journal) installJournalSink();
  log().notice(cat("HushwallDaemon starting, uid=", static_cast<std::uint32_t>(getuid())));

  // Before anything reads the state: a write that a kill cut short would
  // otherwise leave its temporary file until its target is written again.
  for (const std::string& file :
       {HostsFile(systemPaths().hostsFile).path(), SessionStore(systemPaths().stateDirectory).path(),
        ScheduleStore(systemPaths().stateDirectory).path()}) {
    FileIO::removeLeftoverTemporaries(FileIO::Steps::live(), file);
  }
  // Connected before the reconcile, whose effects may ring the filter.
  (void)bus();
  logLaunch(coordinator().reconcileOnLaunch());
  ticker().start();
  hostsWatcher().start();
  stateWatcher().start();
  if (auto served = listener().start(bus()); !served)
    cannotServe(cat(served.error().name, ": ", served.error().message));
  if (auto served = filterRulesListener().start(bus()); !served) {
    cannotServe(cat(served.error().name, ": ", served.error().message));
  }
  SerialQueue::dispatchMain();
}

void retireIfIdle() {
  SessionCoordinator& engine = coordinator();
  bool hasSession = engine.current().has_value();
  bool stuck = engine.isStuck();
  double since = handler().sinceLastRequest();
  bool hasSchedules = engine.hasSchedules();
  if (IdleExitPolicy::shouldExit(hasSession, stuck, since, hasSchedules)) {
    log().notice(cat("idle for ", static_cast<long>(IdleExitPolicy::idlePeriod),
                     "s with no session — exiting; D-Bus activation starts us again on the next message"));
    std::exit(0);
  }
  log().notice(cat("staying up: session=", hasSession, " stuck=", stuck, " schedules=", hasSchedules,
                   " sinceLastRequest=", static_cast<long>(since), "s"));
}

void retireIfReplaced() {
  ReplacementCheck& check = replacementCheck();
  Handover handover{
      .replacement = [&check] { return check.replacement(); },
      .stillServable = [&check] { return check.stillServable(); },
      .isStuck = [] { return coordinator().isStuck(); },
      .sinceLastRequest = [] { return handler().sinceLastRequest(); },
      .whileSettled = [](const std::function<void(bool)>& body) { return coordinator().whileSettled(body); },
      .retire = retire,
  };
  switch (handover.attempt()) {
    case Handover::Result::deferredUnsettled:
      log().notice("handover deferred: a stuck block or a teardown is in flight");
      break;
    case Handover::Result::deferredRequest:
      log().notice("handover deferred: a request arrived since the decision");
      break;
    case Handover::Result::stays:
    case Handover::Result::retired:
      break;
  }
}

}  // namespace hushwall::HushwallDaemonMain
