// Start-up from a real java.util.Properties in an embedded JVM, and the
// teardown. Each test puts the relay back into its load-time state first, so
// the tests pass alone, together and in any order.
#include <gtest/gtest.h>
#include <jni.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "RTPex.h"
#include "SRTPInfo.h"
#include "jvmoutput.h"
#include "testutil.h"

#if defined(__SANITIZE_ADDRESS__)
// The embedded JVM keeps memory it never frees.
extern "C" const char* __asan_default_options() { return "detect_leaks=0"; }
#endif

namespace {

typedef std::vector<std::pair<std::string, std::string>> Props;

JNIEnv* jvm() {
  static JNIEnv* env = nullptr;
  if (env != nullptr) return env;
  JavaVMOption options[2];
  options[0].optionString = const_cast<char*>("-Xcheck:jni");
  options[0].extraInfo = nullptr;
  options[1].optionString = const_cast<char*>("vfprintf");
  options[1].extraInfo = reinterpret_cast<void*>(&jvmoutput::keep);
  JavaVMInitArgs args;
  args.version = JNI_VERSION_1_8;
  args.nOptions = 2;
  args.options = options;
  args.ignoreUnrecognized = JNI_FALSE;
  JavaVM* vm = nullptr;
  void* penv = nullptr;
  if (JNI_CreateJavaVM(&vm, &penv, &args) == JNI_OK) env = static_cast<JNIEnv*>(penv);
  return env;
}

// Fails the test on a pending Java exception (and clears it).
void expectNoException(JNIEnv* env, const std::string& what) {
  if (!env->ExceptionCheck()) return;
  env->ExceptionDescribe();
  env->ExceptionClear();
  ADD_FAILURE() << "Java exception in " << what;
}

jobject makeProperties(JNIEnv* env, const Props& props) {
  jclass cls = env->FindClass("java/util/Properties");
  expectNoException(env, "FindClass");
  jmethodID init = env->GetMethodID(cls, "<init>", "()V");
  expectNoException(env, "<init>");
  jobject obj = env->NewObject(cls, init);
  expectNoException(env, "NewObject");
  jmethodID set =
      env->GetMethodID(cls, "setProperty", "(Ljava/lang/String;Ljava/lang/String;)Ljava/lang/Object;");
  expectNoException(env, "setProperty");
  for (const auto& kv : props) {
    jstring k = env->NewStringUTF(kv.first.c_str());
    expectNoException(env, "NewStringUTF");
    jstring v = env->NewStringUTF(kv.second.c_str());
    expectNoException(env, "NewStringUTF");
    jobject old = env->CallObjectMethod(obj, set, k, v);
    expectNoException(env, "setProperty " + kv.first);
    env->DeleteLocalRef(old);
    env->DeleteLocalRef(k);
    env->DeleteLocalRef(v);
  }
  return obj;
}

// The relay started with props, its log in dir (unless props name a path).
// The local frame stands in for the frame of a native method call, which
// frees what start-up leaves behind.
void start(const testutil::TempDir& dir, Props props) {
  JNIEnv* env = jvm();
  ASSERT_NE(nullptr, env);
  props.insert(props.begin(), std::make_pair("path.work", dir.path()));
  ASSERT_EQ(0, env->PushLocalFrame(16));
  RTPex::initStatic(env, makeProperties(env, props), 0);
  env->PopLocalFrame(nullptr);
}

std::string logOf(const testutil::TempDir& dir) {
  return testutil::readFile(dir.file("log/proxy.log"));
}

// The statics that start-up sets, with the values they held when taken.
struct Settings {
  std::vector<std::pair<int*, int>> numbers;
  std::vector<std::pair<bool*, bool>> truths;
  long timeoutRecv;
  std::map<std::string, std::string> ipIf;

  static Settings now() {
    Settings s;
    for (int* n : {&RTexDispatcher::maxRunnerInThread, &RTPex::RECV_BUF_SIZE,
                   &RTPex::PACKET_SIZE_DTLS, &RTPex::STUN_INTERVAL, &RTPex::BLOCK_RTCP,
                   &RTPex::BLOCK_STUN, &RTPex::BLOCK_DTLS, &RTPex::BLOCK_UNKNOWN,
                   &DispatchThreadBase::THREAD_PRIORITY}) {
      s.numbers.emplace_back(n, *n);
    }
    for (bool* b : {&RTex::BIND_TO_DEVICE, &RTPex::SEND_BEHINDNAT}) s.truths.emplace_back(b, *b);
    s.timeoutRecv = RTex::TIMEOUT_RECV;
    s.ipIf = RTPex::smIpIf;
    return s;
  }

  void restore() const {
    for (const auto& n : numbers) *n.first = n.second;
    for (const auto& b : truths) *b.first = b.second;
    RTex::TIMEOUT_RECV = timeoutRecv;
    RTPex::smIpIf = ipIf;
  }
};

// The settings as the library was loaded with them: taken by the first
// test's set-up, before any start-up of the process.
const Settings& loadedSettings() {
  static const Settings loaded = Settings::now();
  return loaded;
}

// Back to the state of a freshly loaded library: the teardown frees what it
// frees, the queues and the dispatcher (which the library never frees, and
// which hold no thread here) are dropped, every setting gets its load-time
// value again.
void unload() {
  const Settings& loaded = loadedSettings();
  RTPex::uninitStatic();
  RTPex::bShutdown = 0;
  RTPex::evQ[0] = nullptr;
  RTPex::evQ[1] = nullptr;
  RTex::dispatcher = nullptr;
  loaded.restore();
}

// Every test starts from a loaded library, keeps LD_PRELOAD as it found it
// and fails on any JNI warning of the JVM.
class StartTest : public ::testing::Test {
 protected:
  void SetUp() override {
    unload();
    const char* preload = getenv("LD_PRELOAD");
    hadPreload = preload != nullptr;
    savedPreload = hadPreload ? preload : "";
    outputMark = jvmoutput::mark();
  }
  void TearDown() override {
    std::string output = jvmoutput::since(outputMark);
    EXPECT_EQ(std::string::npos, output.find("WARNING")) << output;
    if (hadPreload) {
      setenv("LD_PRELOAD", savedPreload.c_str(), 1);
    } else {
      unsetenv("LD_PRELOAD");
    }
  }

 private:
  bool hadPreload = false;
  std::string savedPreload;
  size_t outputMark = 0;
};

class RelayStart : public StartTest {
 protected:
  void SetUp() override {
    StartTest::SetUp();
    ASSERT_EQ(0, system(("mkdir -p '" + dir.file("log") + "'").c_str()));
  }
  testutil::TempDir dir;
};

}  // namespace

TEST_F(RelayStart, NullPropertiesCreateNothing) {
  ASSERT_NE(nullptr, jvm());
  WaitObject* logLock = woLog;
  std::string logName = logFileName();
  RTPex::initStatic(jvm(), nullptr, 1);
  EXPECT_EQ(nullptr, RTPex::woStatic);
  EXPECT_EQ(nullptr, RTPex::mapIDObj);
  EXPECT_EQ(nullptr, RTPex::evQ[0]);
  EXPECT_EQ(nullptr, RTex::dispatcher);
  EXPECT_EQ(logLock, woLog);
  EXPECT_EQ(logName, logFileName());
  EXPECT_FALSE(testutil::fileExists(dir.file("log/proxy.log")));
  EXPECT_EQ(64, RTexDispatcher::maxRunnerInThread);
  EXPECT_EQ(1000, DispatchThreadBase::THREAD_PRIORITY);
}

TEST_F(RelayStart, EmptyPropertiesKeepDefaults) {
  start(dir, {});
  EXPECT_EQ(dir.file("log/proxy.log"), logFileName());
  EXPECT_EQ(dir.file("log/proxy.log_bak"), logBackupFileName());
  EXPECT_EQ(64, RTexDispatcher::maxRunnerInThread);
  EXPECT_EQ(1, RTex::TIMEOUT_RECV);
  EXPECT_FALSE(RTex::BIND_TO_DEVICE);
  EXPECT_FALSE(RTPex::SEND_BEHINDNAT);
  EXPECT_EQ(-1, RTPex::RECV_BUF_SIZE);
  EXPECT_EQ(1500, RTPex::PACKET_SIZE_DTLS);
  EXPECT_EQ(2000, RTPex::STUN_INTERVAL);
  EXPECT_EQ(0, RTPex::BLOCK_RTCP + RTPex::BLOCK_STUN + RTPex::BLOCK_DTLS + RTPex::BLOCK_UNKNOWN);
  EXPECT_TRUE(RTPex::smIpIf.empty());
  // Objects exist, no receive thread yet, the registry is empty.
  ASSERT_NE(nullptr, RTPex::woStatic);
  ASSERT_NE(nullptr, RTPex::woStaticPortSearch);
  ASSERT_NE(nullptr, SRTPInfo::wo);
  ASSERT_NE(nullptr, RTPex::mapIDObj);
  EXPECT_TRUE(RTPex::mapIDObj->empty());
  ASSERT_NE(nullptr, RTPex::evQ[0]);
  ASSERT_NE(nullptr, RTPex::evQ[1]);
  EXPECT_NE(RTPex::evQ[0], RTPex::evQ[1]);
  ASSERT_NE(nullptr, RTex::dispatcher);
  EXPECT_EQ(sched_get_priority_max(SCHED_FIFO), DispatchThreadBase::THREAD_PRIORITY);
}

TEST_F(RelayStart, StartMarkerIsTheFirstRecord) {
  int64_t before = JLangSystem::currentTimeMillis();
  start(dir, {});
  int64_t after = JLangSystem::currentTimeMillis();
  std::string log = logOf(dir);
  const std::string mark = "mediarelay#start#";
  ASSERT_EQ(0u, log.find(mark)) << log;
  size_t end = log.find('\n');
  ASSERT_NE(std::string::npos, end);
  std::string digits = log.substr(mark.size(), end - mark.size());
  ASSERT_FALSE(digits.empty());
  EXPECT_EQ(std::string::npos, digits.find_first_not_of("0123456789")) << digits;
  int64_t t = std::stoll(digits);
  EXPECT_LE(before, t);
  EXPECT_GE(after, t);
}

// A second start-up changes nothing: the registry with its endpoints, the
// locks, the queues, the dispatcher, the log and the settings stay as the
// first one made them; it may write one record.
TEST_F(RelayStart, SecondStartChangesNothing) {
  start(dir, {{"rtp.recv.timeout", "250"}});
  RTPex* ep = new RTPex();  // no sockets; the teardown deletes it
  {
    Synchronized hold(RTPex::woStatic);
    (*RTPex::mapIDObj)[7] = ep;
  }
  const std::vector<const void*> made = {RTPex::woStatic,  RTPex::woStaticPortSearch,
                                         RTPex::mapIDObj,  RTPex::evQ[0],
                                         RTPex::evQ[1],    RTex::dispatcher,
                                         SRTPInfo::wo};
  std::string logBefore = logOf(dir);
  testutil::TempDir other;
  start(other, {{"path.log", other.path()},
                {"rtp.recv.timeout", "500"},
                {"net.rtp.bindtodevice", "true"},
                {"ip:10.0.0.5", "eth1"},
                {"proxy.stun.block", "true"}});
  const std::vector<const void*> after = {RTPex::woStatic,  RTPex::woStaticPortSearch,
                                          RTPex::mapIDObj,  RTPex::evQ[0],
                                          RTPex::evQ[1],    RTex::dispatcher,
                                          SRTPInfo::wo};
  EXPECT_EQ(made, after);
  RTPexPin found = RTPexPin::find(7);
  EXPECT_EQ(ep, found.get());
  EXPECT_EQ(250, RTex::TIMEOUT_RECV);
  EXPECT_FALSE(RTex::BIND_TO_DEVICE);
  EXPECT_TRUE(RTPex::smIpIf.empty());
  EXPECT_EQ(0, RTPex::BLOCK_STUN);
  EXPECT_EQ(dir.file("log/proxy.log"), logFileName());
  EXPECT_FALSE(testutil::fileExists(other.file("proxy.log")));
  std::string log = logOf(dir);
  ASSERT_EQ(0u, log.find(logBefore));
  std::string added = log.substr(logBefore.size());
  EXPECT_LE(std::count(added.begin(), added.end(), '\n'), 1) << added;
}

TEST_F(RelayStart, LogPathRules) {
  // path.log wins over path.work, backslashes turn into slashes, and a
  // trailing slash is kept.
  start(dir, {{"path.log", dir.file("a\\b/")}});
  EXPECT_EQ(dir.file("a/b//proxy.log"), logFileName());
}

TEST_F(RelayStart, EmptyPathLogFallsBackToWorkDir) {
  start(dir, {{"path.log", ""}});
  EXPECT_EQ(dir.file("log/proxy.log"), logFileName());
  EXPECT_EQ(0u, logOf(dir).find("mediarelay#start#"));
}

// One key per case; each reading rule with its examples.
struct KeyCase {
  const char* name;
  Props props;
  std::function<bool()> holds;
};

void PrintTo(const KeyCase& c, std::ostream* os) { *os << c.name; }

class KeyRule : public StartTest, public ::testing::WithParamInterface<KeyCase> {};

TEST_P(KeyRule, Applies) {
  testutil::TempDir dir;
  start(dir, GetParam().props);
  EXPECT_TRUE(GetParam().holds());
}

INSTANTIATE_TEST_SUITE_P(
    Config, KeyRule,
    ::testing::Values(
        KeyCase{"NumberTrailingText", {{"rtp.thread.max.recv", "12abc"}},
                [] { return RTexDispatcher::maxRunnerInThread == 12; }},
        KeyCase{"NumberLeadingBlank", {{"rtp.thread.max.recv", " 8"}},
                [] { return RTexDispatcher::maxRunnerInThread == 8; }},
        KeyCase{"NumberNoDigits", {{"rtp.thread.max.recv", "abc"}},
                [] { return RTexDispatcher::maxRunnerInThread == 0; }},
        KeyCase{"NumberNegative", {{"rtp.thread.max.recv", "-5"}},
                [] { return RTexDispatcher::maxRunnerInThread == -5; }},
        KeyCase{"NumberEmptyKeepsDefault", {{"net.rtp.dtls.size", ""}},
                [] { return RTPex::PACKET_SIZE_DTLS == 1500; }},
        KeyCase{"RecvTimeout", {{"rtp.recv.timeout", "250"}},
                [] { return RTex::TIMEOUT_RECV == 250; }},
        KeyCase{"NumbersOfEachKey",
                {{"net.rtp.udp.recv.bufsize", "65536"},
                 {"net.rtp.dtls.size", "+1800"},
                 {"net.rtp.stun.interval", "500ms"}},
                [] {
                  return RTPex::RECV_BUF_SIZE == 65536 && RTPex::PACKET_SIZE_DTLS == 1800 &&
                         RTPex::STUN_INTERVAL == 500;
                }},
        KeyCase{"TruthLower", {{"rtp.behindnat.send", "true"}},
                [] { return RTPex::SEND_BEHINDNAT; }},
        KeyCase{"TruthUpper", {{"rtp.behindnat.send", "TRUE"}, {"net.rtp.bindtodevice", "TRUE"}},
                [] { return RTPex::SEND_BEHINDNAT && RTex::BIND_TO_DEVICE; }},
        KeyCase{"TruthMixedCase", {{"rtp.behindnat.send", "True"}},
                [] { return !RTPex::SEND_BEHINDNAT; }},
        KeyCase{"TruthOne", {{"rtp.behindnat.send", "1"}}, [] { return !RTPex::SEND_BEHINDNAT; }},
        KeyCase{"TruthLeadingBlank", {{"rtp.behindnat.send", " true"}},
                [] { return !RTPex::SEND_BEHINDNAT; }},
        KeyCase{"BlockKeys",
                {{"proxy.rtcp.block", "true"},
                 {"proxy.stun.block", "yes"},
                 {"proxy.dtls.block", "TRUE"},
                 {"proxy.unknown.block", ""}},
                [] {
                  return RTPex::BLOCK_RTCP == 1 && RTPex::BLOCK_STUN == 0 &&
                         RTPex::BLOCK_DTLS == 1 && RTPex::BLOCK_UNKNOWN == 0;
                }},
        KeyCase{"InterfaceMapNeedsBindToDevice", {{"ip:10.0.0.5", "eth1"}},
                [] { return RTPex::smIpIf.empty(); }}),
    [](const ::testing::TestParamInfo<KeyCase>& info) { return std::string(info.param.name); });

TEST_F(RelayStart, InterfaceMapInKeyOrder) {
  start(dir, {{"net.rtp.bindtodevice", "true"},
              {"ip:10.0.0.5", "eth1"},
              {"ip:10.0.0.4", "eth0"},
              {"ip:", "lo"},
              {"ip:10.0.0.6", ""},
              {"IP:10.0.0.7", "eth2"},
              {"ip", "eth3"}});
  std::map<std::string, std::string> expected = {
      {"", "lo"}, {"10.0.0.4", "eth0"}, {"10.0.0.5", "eth1"}, {"10.0.0.6", ""}};
  EXPECT_EQ(expected, RTPex::smIpIf);
  std::string log = logOf(dir);
  size_t first = log.find('\n') + 1;
  EXPECT_EQ("ifmap::lo\nifmap:10.0.0.4:eth0\nifmap:10.0.0.5:eth1\nifmap:10.0.0.6:\n",
            log.substr(first));
}

// LD_PRELOAD before start-up, the "lib.preload.jsig" key, LD_PRELOAD after.
struct PreloadCase {
  const char* name;
  const char* before;  // null: unset
  const char* jsig;    // null: key absent
  const char* after;
};

void PrintTo(const PreloadCase& c, std::ostream* os) { *os << c.name; }

class Preload : public StartTest, public ::testing::WithParamInterface<PreloadCase> {};

TEST_P(Preload, Adjusts) {
  const PreloadCase& c = GetParam();
  if (c.before == nullptr) {
    unsetenv("LD_PRELOAD");
  } else {
    setenv("LD_PRELOAD", c.before, 1);
  }
  testutil::TempDir dir;
  Props props;
  if (c.jsig != nullptr) props.push_back(std::make_pair("lib.preload.jsig", c.jsig));
  start(dir, props);
  const char* now = getenv("LD_PRELOAD");
  EXPECT_STREQ(c.after, now);
}

const char kJsigPath[] = "/usr/lib/jvm/lib/server/libjsig.so";

INSTANTIATE_TEST_SUITE_P(
    Env, Preload,
    ::testing::Values(
        PreloadCase{"UnsetBecomesJsig", nullptr, kJsigPath, kJsigPath},
        PreloadCase{"PrependedToOld", "/x/liba.so", kJsigPath,
                    "/usr/lib/jvm/lib/server/libjsig.so:/x/liba.so"},
        PreloadCase{"EmptyTreatedAsUnset", "", kJsigPath, kJsigPath},
        PreloadCase{"AlreadyHoldsJsig", "/opt/j/libjsig.so", kJsigPath, "/opt/j/libjsig.so"},
        PreloadCase{"KeyWithoutSlash", "/x/liba.so", "libjsig.so", "/x/liba.so"},
        PreloadCase{"KeyAbsent", nullptr, nullptr, nullptr}),
    [](const ::testing::TestParamInfo<PreloadCase>& info) { return std::string(info.param.name); });

// ---- teardown -------------------------------------------------------------------

namespace {

int destroyed = 0;

// An endpoint without sockets whose destruction is counted.
class CountedEndpoint : public RTPex {
 public:
  ~CountedEndpoint() override { destroyed++; }
};

}  // namespace

class RelayTeardown : public StartTest {};

TEST_F(RelayTeardown, WithoutStartOnlyShutsDown) {
  RTPex::uninitStatic();
  EXPECT_EQ(1, RTPex::bShutdown.load());
  EXPECT_EQ(nullptr, RTPex::woStatic);
  EXPECT_EQ(nullptr, RTPex::mapIDObj);
}

TEST_F(RelayStart, TeardownDeletesRegisteredEndpointsOnly) {
  start(dir, {});
  destroyed = 0;
  CountedEndpoint* pinned = new CountedEndpoint();
  pinned->referCounter = 3;  // pins left behind do not keep it
  CountedEndpoint* partner = new CountedEndpoint();
  pinned->sender = partner;
  partner->referCounter = 2;
  CountedEndpoint waiting;  // out of the registry: left alone
  (*RTPex::mapIDObj)[7] = pinned;
  (*RTPex::mapIDObj)[(int64_t(1) << 32) | 6000] = partner;
  (*RTPex::mapIDObj)[9] = nullptr;

  RTPex::uninitStatic();

  EXPECT_EQ(2, destroyed);
  EXPECT_EQ(1, RTPex::bShutdown.load());
  EXPECT_EQ(nullptr, RTPex::woStatic);
  EXPECT_EQ(nullptr, RTPex::woStaticPortSearch);
  EXPECT_EQ(nullptr, RTPex::mapIDObj);
  EXPECT_EQ(nullptr, SRTPInfo::wo);
  // Queues and dispatcher stay; no endpoint can be made any more.
  EXPECT_NE(nullptr, RTPex::evQ[0]);
  EXPECT_NE(nullptr, RTex::dispatcher);
  EXPECT_EQ(0, RTPex::newInstance(1, 0, 43900, 43998, 0, 0, 0, "", 200, 200, 0, 0, 0, "", 0));
  EXPECT_FALSE(RTPex::workerThread(jvm(), nullptr, 0));
  EXPECT_EQ(std::string::npos, logOf(dir).find("Exception."));
}
