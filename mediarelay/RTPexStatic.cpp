// Start-up from the server's properties, teardown, the event worker that
// serves the Java threads lent through workthread0, and the status text.
#ifdef _WIN32
#include <winsock2.h>
#include <windows.h>
#include <mmsystem.h>
#else
#include <sched.h>
#include <signal.h>
#endif
#include <srtp2/srtp.h>

#include <cstdlib>
#include <cstring>

#include "RTPex.h"
#include "SRTPInfo.h"
#include "jlang.h"
#include "jniutils.h"

namespace {

typedef std::map<std::string, std::string> PropertyMap;

const int kEventsPerCall = 40;
#ifdef _WIN32
const int kTimerPeriodTries = 15;
// The period timeBeginPeriod accepted at start-up; given back at teardown.
int savedTimerPeriod = 0;
#else
const char kJsig[] = "/libjsig.so";
#endif

// ---- reading the properties -------------------------------------------------

// The value of key when present and non-empty, else def.
std::string textOf(const PropertyMap& props, const char* key, const char* def) {
  PropertyMap::const_iterator it = props.find(key);
  if (it == props.end() || it->second.empty()) return def;
  return it->second;
}

bool isTrue(const std::string& v) { return v == "true" || v == "TRUE"; }

// Base 10 by the rules of strtol, narrowed to 32 bits.
int numberOf(const std::string& v) {
  return static_cast<int>(std::strtol(v.c_str(), nullptr, 10));
}

void readNumber(const PropertyMap& props, const char* key, int* out) {
  std::string v = textOf(props, key, "");
  if (!v.empty()) *out = numberOf(v);
}

void readNumber(const PropertyMap& props, const char* key, long* out) {
  std::string v = textOf(props, key, "");
  if (!v.empty()) *out = numberOf(v);
}

void readTruth(const PropertyMap& props, const char* key, bool* out) {
  std::string v = textOf(props, key, "");
  if (!v.empty()) *out = isTrue(v);
}

int blockFlag(const PropertyMap& props, const char* key) {
  return isTrue(textOf(props, key, "false")) ? 1 : 0;
}

// A pending Java error ends the copy; true when one was cleared.
bool clearedError(JNIEnv* env) {
  if (!env->ExceptionCheck()) return false;
  env->ExceptionClear();
  return true;
}

void copyProperties(JNIEnv* env, jobject properties, PropertyMap* out) {
  jclass cls = env->GetObjectClass(properties);
  jmethodID names = env->GetMethodID(cls, "propertyNames", "()Ljava/util/Enumeration;");
  env->ExceptionClear();
  if (names == nullptr) return;
  jobject en = env->CallObjectMethod(properties, names);
  if (clearedError(env) || en == nullptr) return;
  jmethodID get = env->GetMethodID(cls, "getProperty", "(Ljava/lang/String;)Ljava/lang/String;");
  jclass enCls = env->GetObjectClass(en);
  jmethodID more = env->GetMethodID(enCls, "hasMoreElements", "()Z");
  jmethodID next = env->GetMethodID(enCls, "nextElement", "()Ljava/lang/Object;");
  if (clearedError(env) || get == nullptr || more == nullptr || next == nullptr) return;
  for (;;) {
    jboolean hasMore = env->CallBooleanMethod(en, more);
    if (clearedError(env) || !hasMore) break;
    jobject key = env->CallObjectMethod(en, next);
    if (clearedError(env)) return;
    jobject value = env->CallObjectMethod(properties, get, key);
    if (clearedError(env)) return;
    out->insert(std::make_pair(JNIUtils::ToStdString(env, static_cast<jstring>(key)),
                               JNIUtils::ToStdString(env, static_cast<jstring>(value))));
    env->DeleteLocalRef(key);
    env->DeleteLocalRef(value);
  }
}

std::string logFileName(const PropertyMap& props) {
  std::string dir = textOf(props, "path.log", "");
  if (dir.empty()) dir = textOf(props, "path.work", ".") + "/log";
  std::string name = dir + "/proxy.log";
#ifdef _WIN32
  replace(name, "/", "\\");
#else
  replace(name, "\\", "/");
#endif
  return name;
}

void readConfiguration(const PropertyMap& props) {
  readNumber(props, "rtp.thread.max.recv", &RTexDispatcher::maxRunnerInThread);
  readNumber(props, "rtp.recv.timeout", &RTex::TIMEOUT_RECV);
#ifdef _WIN32
  readTruth(props, "rtp.bindtodevice", &RTex::BIND_TO_DEVICE);
#else
  readTruth(props, "net.rtp.bindtodevice", &RTex::BIND_TO_DEVICE);
#endif
  readTruth(props, "rtp.behindnat.send", &RTPex::SEND_BEHINDNAT);
  readNumber(props, "net.rtp.udp.recv.bufsize", &RTPex::RECV_BUF_SIZE);
  readNumber(props, "net.rtp.dtls.size", &RTPex::PACKET_SIZE_DTLS);
  readNumber(props, "net.rtp.stun.interval", &RTPex::STUN_INTERVAL);
  RTPex::BLOCK_RTCP = blockFlag(props, "proxy.rtcp.block");
  RTPex::BLOCK_STUN = blockFlag(props, "proxy.stun.block");
  RTPex::BLOCK_DTLS = blockFlag(props, "proxy.dtls.block");
  RTPex::BLOCK_UNKNOWN = blockFlag(props, "proxy.unknown.block");
}

#ifdef _WIN32

void setProcessPriority(const PropertyMap& props) {
  int priority = 1;
  readNumber(props, "process.priority", &priority);
  if (priority == 1) SetPriorityClass(GetCurrentProcess(), REALTIME_PRIORITY_CLASS);
}

void raiseTimerResolution(const PropertyMap& props) {
  int period = 1;
  readNumber(props, "timebeginperiod", &period);
  if (period <= 0) return;
  for (int i = 0; i < kTimerPeriodTries; i++) {
    if (timeBeginPeriod(static_cast<UINT>(period + i)) == TIMERR_NOERROR) {
      savedTimerPeriod = period + i;
      return;
    }
  }
}

void initSrtp() { srtp_init(); }

#else

// Puts the JVM's signal-chaining library first for programs started later.
void adjustPreload(const PropertyMap& props) {
  const char* old = std::getenv("LD_PRELOAD");
  bool hasOld = old != nullptr && old[0] != '\0';
  if (hasOld && std::strstr(old, kJsig) != nullptr) return;
  std::string jsig = textOf(props, "lib.preload.jsig", "");
  if (jsig.find(kJsig) == std::string::npos) return;
  std::string value = hasOld ? jsig + ":" + old : jsig;
  setenv("LD_PRELOAD", value.c_str(), 1);
}

void setReceivePriority() {
  int p = sched_get_priority_max(SCHED_FIFO);
  int rr = sched_get_priority_max(SCHED_RR);
  if (rr > p) p = rr;
  int other = sched_get_priority_max(SCHED_OTHER);
  if (other > p) p = other;
  DispatchThreadBase::THREAD_PRIORITY = p;
}

void mapInterfaces(const PropertyMap& props) {
  if (!RTex::BIND_TO_DEVICE) return;
  for (PropertyMap::const_iterator it = props.begin(); it != props.end(); ++it) {
    if (it->first.compare(0, 3, "ip:") != 0) continue;
    std::string addr = it->first.substr(3);
    RTPex::smIpIf.insert(std::make_pair(addr, it->second));
    logRecord("ifmap:", addr, ":", it->second);
  }
}

// libsrtp2's initialisation ignores SIGPIPE; the host's own handler is kept.
void initSrtp() {
  struct sigaction pipeAction;
  bool saved = sigaction(SIGPIPE, nullptr, &pipeAction) == 0;
  srtp_init();
  if (saved) sigaction(SIGPIPE, &pipeAction, nullptr);
}

#endif  // _WIN32

// ---- the event worker -------------------------------------------------------

// One call of the worker: the queue it serves and the callback, looked up at
// the first event for Java.
class EventWorker {
 public:
  EventWorker(JNIEnv* env, jclass cls, EventQueue* queue)
      : env(env), cls(cls), queue(queue), method(nullptr) {}

  // Takes the next event (waiting for one) and handles it.
  void takeAndHandle() {
    try {
      EventObj ev = queue->waitForEvent();
      handle(ev);
    } catch (...) {
      LOG_EXCEPTION("RTPex::workerThread() Unknown Error 1");
    }
  }

 private:
  void handle(const EventObj& ev) {
    RTPex* ep = static_cast<RTPex*>(ev.data);
    switch (ev.type) {
      case RTPex::EV_DELETE_RETRY:
        RTPex::handleDeleteRetry(queue, ep);
        break;
      case RTPex::EV_SESSION_TIMEOUT: {
        RTPexPin pin(ep);  // the event's pin
        deliver(ev.param, ep, RTPex::NATIVE_EVENT_SESSION_TIMEOUT, 0,
                "Exception Occured in Java method.(nativeEvent)1");
        break;
      }
      case RTPex::EV_BUFFER_SIZE: {
        RTPexPin pin(ep);
        int size = ep->recvBufSize.load();
        if (size < 0) break;
        deliver(ep->sid.load(), ep, RTPex::NATIVE_EVENT_BUFFER_SIZE, size,
                "Exception Occured in Java method.(nativeEvent)2");
        break;
      }
      default:
        logRecord("Unknown event ");
        logRecord("Type:", ev.type);
        break;
    }
  }

  void deliver(jlong sid, RTPex* ep, int type, int value, const char* failText) {
    if (method == nullptr) {
      method = env->GetStaticMethodID(cls, "nativeEvent", "(JJIISLjava/lang/String;)V");
      if (method == nullptr) {
        env->ExceptionClear();  // the NoSuchMethodError of the lookup
        return;
      }
    }
    env->CallStaticVoidMethod(cls, method, sid, static_cast<jlong>(ep->localPort),
                              static_cast<jint>(type), static_cast<jint>(value),
                              static_cast<jshort>(ep->ipv6), static_cast<jstring>(nullptr));
    if (env->ExceptionCheck()) {
      env->ExceptionClear();
      logRecord(failText);
    }
  }

  JNIEnv* env;
  jclass cls;
  EventQueue* queue;
  jmethodID method;
};

}  // namespace

// ---- start-up and teardown ----------------------------------------------------

void RTPex::initStatic(JNIEnv* env, jobject properties, unsigned char hostFlag) {
  (void)hostFlag;
  if (properties == nullptr) return;
  PropertyMap props;
  copyProperties(env, properties, &props);
  InitTrace(logFileName(props));
  logRecord("mediarelay#start#", JLangSystem::currentTimeMillis());
  initSrtp();
  // The dispatcher that initEngine makes copies the runner limit, so the
  // keys are read first.
  readConfiguration(props);
  initEngine();
#ifdef _WIN32
  setProcessPriority(props);
  raiseTimerResolution(props);
#else
  adjustPreload(props);
  setReceivePriority();
  mapInterfaces(props);
#endif
}

void RTPex::uninitStatic() {
  bShutdown = 1;
  if (woStatic == nullptr) return;
  {
    Synchronized hold(woStatic);
    for (RTPexMap::iterator it = mapIDObj->begin(); it != mapIDObj->end(); ++it) {
      if (it->second == nullptr) continue;
      try {
        delete it->second;
      } catch (...) {
        LOG_EXCEPTION("uninitStatic()");
      }
    }
  }
  delete woStatic;
  SRTPInfo::uninitStatic();
  delete woStaticPortSearch;
  if (mapIDObj != nullptr) mapIDObj->clear();
  delete mapIDObj;
  woStatic = nullptr;
  woStaticPortSearch = nullptr;
  mapIDObj = nullptr;
#ifdef _WIN32
  if (savedTimerPeriod > 0) timeEndPeriod(static_cast<UINT>(savedTimerPeriod));
  savedTimerPeriod = 0;
#endif
  srtp_shutdown();
}

// ---- events -------------------------------------------------------------------

bool RTPex::workerThread(JNIEnv* env, jclass cls, int queueIndex) {
  try {
    env->ExceptionClear();
    // An index out of range or a relay not started has nothing to serve.
    if (queueIndex < 0 || queueIndex > 1 || evQ[queueIndex] == nullptr) return false;
    if (bShutdown.load() != 0) return false;
    EventWorker worker(env, cls, evQ[queueIndex]);
    for (int allowed = kEventsPerCall;;) {
      worker.takeAndHandle();
      if (bShutdown.load() != 0) return false;
      if (--allowed == 0) return true;
    }
  } catch (...) {
    LOG_EXCEPTION("RTPex::workerThread() Unknown Error 2");
    return bShutdown.load() == 0;
  }
}

// ---- status text ------------------------------------------------------------

std::string RTPex::getInfo(const std::string& key) {
  (void)key;
  std::string text = "<EventQueue GC> :" + evQ[0]->getQueueInfo() + "\r\n";
  text += "<EventQueue EVENT> :" + evQ[1]->getQueueInfo() + "\r\n";
  text += "<RTPex> count:";
  {
    Synchronized hold(woStatic);
    text += std::to_string(static_cast<int>(mapIDObj->size())) + ";\r\n";
    const char* sep = "";
    for (RTPexMap::const_iterator it = mapIDObj->begin(); it != mapIDObj->end(); ++it) {
      const RTPex* ep = it->second;
      text += sep + std::to_string(ep->localPort);
      if (ep->sender != nullptr) text += "@";
      text += "(" + std::to_string(ep->sid.load()) + ")";
      sep = ",";
    }
  }
  // Read without the SRTP lock: a recent value is enough here.
  int converting = __atomic_load_n(&SRTPInfo::countConcurrent, __ATOMIC_RELAXED);
  text += "\r\n<SRTP Converting> count:" + std::to_string(converting) + "\r\n";
  return text;
}
