// The native methods of com.tavindo.net.sip.sv.rtp.RTPexJNI: the relay's
// whole interface to the Java server.
#include <jni.h>
#ifdef _WIN32
#include <winsock2.h>
#include <windows.h>
#else
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

#include "RTPex.h"
#include "SRTPInfo.h"
#include "jlang.h"
#include "jniutils.h"

#define EXPORT(ret, name) \
  extern "C" JNIEXPORT ret JNICALL Java_com_tavindo_net_sip_sv_rtp_RTPexJNI_##name
#define PLACE(name) "Java_com_tavindo_net_sip_sv_rtp_RTPexJNI_" #name

namespace {

#ifndef _WIN32
// 0 at load; -1 once a datagram socket without "delegate" was seen.
// Any number of Java threads may bind sockets at once.
std::atomic<int> hasDelegate(0);
#endif

#ifdef MEDIARELAY_FAULT_HOOK
// Test build only: MEDIARELAY_TEST_FAULT names methods (comma separated)
// whose body throws once its endpoints are pinned.
void faultPoint(const char* method) {
  static const char* const names = std::getenv("MEDIARELAY_TEST_FAULT");
  if (names == nullptr) return;
  std::string list = std::string(",") + names + ",";
  if (list.find(std::string(",") + method + ",") != std::string::npos) {
    throw std::runtime_error(method);
  }
}
#else
inline void faultPoint(const char*) {}
#endif

// The catch-all of every export: one exception record with the place text.
// The record names the line of the export's own call (the default argument
// is evaluated there), not a line of this shared handler.
template <class R, class V, class Body>
R guard(const char* place, const V& value, R failed, Body body, int line = __builtin_LINE()) {
  try {
    return body();
  } catch (...) {
    jlog::exceptionRecord(__FILE__, line, place, value);
    return failed;
  }
}

template <class V, class Body>
void guardVoid(const char* place, const V& value, Body body, int line = __builtin_LINE()) {
  try {
    body();
  } catch (...) {
    jlog::exceptionRecord(__FILE__, line, place, value);
  }
}

// setTarget0's flag: RTCP travels on the RTP port, so the RTCP leg takes
// the RTP target and the RTCP arguments are not read.
const jint kFlagRtcpOnRtpPort = 2;

// Whether initStatic0 has made the registry and its locks.
bool started() { return RTPex::woStatic != nullptr; }

// Gives back the pins of two endpoints in one hold of the registry lock.
void unpinBoth(RTPexPin* a, RTPexPin* b) {
  Synchronized hold(RTPex::woStatic);
  a->resetLocked();
  b->resetLocked();
}

// The text of a Java string (null: empty).
std::string javaText(JNIEnv* env, jstring s) { return JNIUtils::ToStdString(env, s); }

// The elements of a Java byte array, handed back with mode 0.
class ByteElements {
 public:
  ByteElements(JNIEnv* env, jbyteArray array)
      : env(env), array(array), data(env->GetByteArrayElements(array, nullptr)) {}
  ~ByteElements() {
    if (data != nullptr) env->ReleaseByteArrayElements(array, data, 0);
  }
  ByteElements(const ByteElements&) = delete;
  ByteElements& operator=(const ByteElements&) = delete;

  jbyte* get() const { return data; }

 private:
  JNIEnv* env;
  jbyteArray array;
  jbyte* data;
};

// ---- binding Java sockets to a device ---------------------------------------

#ifndef _WIN32

const char kStars[] = "************************* ";

// The object in field name (of type sig) of obj; null with failText logged
// when the field is missing (its NoSuchFieldError stays pending) or null.
jobject objectField(JNIEnv* env, jobject obj, const char* name, const char* sig,
                    const char* missingText, const char* nullText) {
  jfieldID fid = env->GetFieldID(env->GetObjectClass(obj), name, sig);
  if (fid == nullptr) {
    logRecord(kStars, missingText);
    return nullptr;
  }
  jobject value = env->GetObjectField(obj, fid);
  if (value == nullptr) logRecord(kStars, nullText);
  return value;
}

// The texts of one method's failures, in the order of its steps.
struct DeviceTexts {
  const char* implMissing;
  const char* implNull;
  const char* fdMissing;
  const char* fdIntMissing;
  const char* badDesc;
};

const DeviceTexts kDatagramTexts = {"could not get fid.", "could not get impl 1.",
                                    "could not get fid 2.", "could not get fid 3.", "nfd="};
const DeviceTexts kStreamTexts = {"could not get fid.", "could not get impl 11.",
                                  "could not get fid 12.", "could not get fid 13.", "10 nfd="};

// The local port of a socket descriptor; -1 when it has none (not a socket).
int localPortOf(int desc) {
  sockaddr_storage ss;
  socklen_t len = sizeof(ss);
  if (getsockname(desc, reinterpret_cast<sockaddr*>(&ss), &len) != 0) return -1;
  if (ss.ss_family == AF_INET) return ntohs(reinterpret_cast<sockaddr_in*>(&ss)->sin_port);
  if (ss.ss_family == AF_INET6) return ntohs(reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port);
  return -1;
}

enum class Holder { Socket, Other, Raised };

// Whether desc still is the Java socket's: a closed socket keeps the number
// of its descriptor, which may belong to another socket by now (one of the
// relay's own, say). Asked of the socket itself (isClosed, getLocalPort); a
// class without those methods (an older layout) is taken at its word.
// Raised: a method threw, its exception is pending.
Holder holderOf(JNIEnv* env, jobject socket, int desc) {
  jclass cls = env->GetObjectClass(socket);
  jmethodID isClosed = env->GetMethodID(cls, "isClosed", "()Z");
  jmethodID localPort = isClosed != nullptr ? env->GetMethodID(cls, "getLocalPort", "()I") : nullptr;
  if (localPort == nullptr) {
    env->ExceptionClear();  // the lookup's NoSuchMethodError
    return Holder::Socket;
  }
  const jboolean closed = env->CallBooleanMethod(socket, isClosed);
  if (env->ExceptionCheck()) return Holder::Raised;
  if (closed != JNI_FALSE) return Holder::Other;
  const jint port = env->CallIntMethod(socket, localPort);
  if (env->ExceptionCheck()) return Holder::Raised;
  return localPortOf(desc) == port ? Holder::Socket : Holder::Other;
}

// Steps from the implementation object to SO_BINDTODEVICE. A datagram socket
// (socket not null) is first asked whether the descriptor is still its own;
// when not, the call fails as on a closed descriptor.
jboolean bindImpl(JNIEnv* env, jobject socket, jobject impl, jstring name, const DeviceTexts& t) {
  jobject fdObj = objectField(env, impl, "fd", "Ljava/io/FileDescriptor;", t.fdMissing,
                              "could not get fd.");
  if (fdObj == nullptr) return JNI_FALSE;
  jfieldID fid = env->GetFieldID(env->GetObjectClass(fdObj), "fd", "I");
  if (fid == nullptr) {
    logRecord(kStars, t.fdIntMissing);
    return JNI_FALSE;
  }
  int desc = env->GetIntField(fdObj, fid);
  if (desc <= 0) {
    logRecord(kStars, t.badDesc, desc);
    return JNI_FALSE;
  }
  if (socket != nullptr) {
    const Holder holder = holderOf(env, socket, desc);
    if (holder == Holder::Raised) return JNI_FALSE;
    if (holder == Holder::Other) {
      logRecord("************************ setsockopt SO_BINDTODEVICE errno=", EBADF);
      return JNI_FALSE;
    }
  }
  std::string dev = javaText(env, name);
  if (setsockopt(desc, SOL_SOCKET, SO_BINDTODEVICE, dev.data(),
                 static_cast<socklen_t>(dev.size())) == 0) {
    return JNI_TRUE;
  }
  int err = errno;
  logRecord("************************ setsockopt SO_BINDTODEVICE errno=", err);
  return JNI_FALSE;
}

jboolean bindDatagram(JNIEnv* env, jobject socket, jstring name) {
  jclass cls = env->GetObjectClass(socket);
  jobject impl = nullptr;
  if (hasDelegate != -1) {
    jfieldID fid = env->GetFieldID(cls, "delegate", "Ljava/net/DatagramSocket;");
    if (fid == nullptr) {
      env->ExceptionClear();
      hasDelegate = -1;
    } else {
      hasDelegate = 1;
      jobject delegate = env->GetObjectField(socket, fid);
      if (delegate == nullptr) {
        logRecord(kStars, "could not get dlgt.");
        return JNI_FALSE;
      }
      impl = objectField(env, delegate, "dc", "Lsun/nio/ch/DatagramChannelImpl;",
                         "could not get fid 1.1.", "could not get impl 2.");
      if (impl == nullptr) return JNI_FALSE;
    }
  }
  if (impl == nullptr) {
    impl = objectField(env, socket, "impl", "Ljava/net/DatagramSocketImpl;",
                       kDatagramTexts.implMissing, kDatagramTexts.implNull);
    if (impl == nullptr) return JNI_FALSE;
  }
  return bindImpl(env, socket, impl, name, kDatagramTexts);
}

jboolean bindStream(JNIEnv* env, jobject socket, jstring name) {
  jobject impl = objectField(env, socket, "impl", "Ljava/net/SocketImpl;",
                             kStreamTexts.implMissing, kStreamTexts.implNull);
  if (impl == nullptr) return JNI_FALSE;
  return bindImpl(env, nullptr, impl, name, kStreamTexts);
}

#endif  // _WIN32

}  // namespace

// ---- start-up and events ------------------------------------------------------

EXPORT(void, initStatic0)(JNIEnv* env, jclass, jobject properties, jboolean hostFlag) {
  RTPex::initStatic(env, properties, hostFlag);
}

EXPORT(jboolean, workthread0)(JNIEnv* env, jclass cls, jint queueIndex) {
  return guard(PLACE(workthread0), "", jboolean(JNI_FALSE), [&]() -> jboolean {
    faultPoint("workthread0");
    return RTPex::workerThread(env, cls, queueIndex) ? JNI_TRUE : JNI_FALSE;
  });
}

// ---- endpoints ------------------------------------------------------------------

EXPORT(jlong, openSocket0)(JNIEnv* env, jclass, jlong sid, jbyte hostByte, jint portMin,
                           jint portMax, jint portStart, jint tos, jlong sessionTimeout,
                           jstring hostText, jint rtpBufSize, jint rtcpBufSize,
                           jboolean behindNat, jshort ipv6, jboolean srtpPending,
                           jstring bindIp, jint scopeId) {
  return guard(PLACE(openSocket0) " ", sid, jlong(0), [&]() -> jlong {
    if (!started()) return 0;
    std::string host = javaText(env, hostText);
    std::string ip = javaText(env, bindIp);
    faultPoint("openSocket0");
    return RTPex::newInstance(sid, static_cast<unsigned char>(hostByte), portMin, portMax,
                              portStart, tos, sessionTimeout, host, rtpBufSize, rtcpBufSize,
                              behindNat, ipv6, srtpPending, ip, scopeId);
  });
}

EXPORT(jlong, openSocketFromCache0)(JNIEnv* env, jclass, jlong sid, jbyte hostByte,
                                    jlong cacheId, jint tos, jlong sessionTimeout,
                                    jstring hostText, jint rtpBufSize, jint rtcpBufSize,
                                    jboolean behindNat, jboolean srtpPending, jstring bindIp,
                                    jint scopeId) {
  return guard(PLACE(openSocketFromCache0) " ", sid, jlong(0), [&]() -> jlong {
    RTPexPin ep = RTPexPin::find(cacheId);
    if (!ep) return 0;
    RTPexSession next{sid,
                      static_cast<unsigned char>(hostByte),
                      tos,
                      sessionTimeout,
                      javaText(env, hostText),
                      rtpBufSize,
                      rtcpBufSize,
                      behindNat != JNI_FALSE,
                      srtpPending != JNI_FALSE,
                      javaText(env, bindIp),
                      bindIp != nullptr ? scopeId : 0};
    faultPoint("openSocketFromCache0");
    ep->reinit(next);
    Synchronized hold(RTPex::woStatic);
    int32_t port = ep->localPort;
    ep.resetLocked();
    return static_cast<jlong>(RTPex::nextId(port));
  });
}

EXPORT(jint, getPacketPerSec0)(JNIEnv*, jclass, jlong id) {
  return guard(PLACE(getPacketPerSec0) " ", id, jint(0), [&]() -> jint {
    RTPexPin ep = RTPexPin::find(id);
    if (!ep) return 0;
    faultPoint("getPacketPerSec0");
    int64_t start = ep->startTime.load();
    int64_t count = ep->cntPacket.load();
    if (start <= 0 || count <= 0) return 0;
    int64_t seconds = (JLangSystem::currentTimeMillis() - start) / 1000;
    return seconds > 0 ? static_cast<jint>(count / seconds) : 0;
  });
}

EXPORT(jlong, getCntPacket0)(JNIEnv*, jclass, jlong id) {
  return guard(PLACE(getCntPacket0) " ", id, jlong(0), [&]() -> jlong {
    RTPexPin ep = RTPexPin::find(id);
    if (!ep) return 0;
    faultPoint("getCntPacket0");
    return ep->cntPacket.load();
  });
}

EXPORT(void, setSender0)(JNIEnv*, jclass, jlong id, jlong senderId) {
  guardVoid(PLACE(setSender0) " ", id, [&]() {
    RTPexPin ep = RTPexPin::find(id);
    if (!ep) return;
    RTPexPin partner = RTPexPin::find(senderId);
    if (!partner) return;
    faultPoint("setSender0");
    ep->setSender(partner.get());
    unpinBoth(&ep, &partner);
  });
}

EXPORT(void, setSessionTimeOutTimer0)(JNIEnv*, jclass, jlong id, jlong sessionTimeout) {
  guardVoid(PLACE(setSessionTimeOutTimer0) " ", id, [&]() {
    RTPexPin ep = RTPexPin::find(id);
    if (!ep) return;
    faultPoint("setSessionTimeOutTimer0");
    ep->sessionTimeout = sessionTimeout;
  });
}

EXPORT(jstring, getTarget0)(JNIEnv* env, jclass, jlong id) {
  return guard(PLACE(getTarget0) " ", id, static_cast<jstring>(nullptr), [&]() -> jstring {
    RTPexPin ep = RTPexPin::find(id);
    if (!ep) return nullptr;
    faultPoint("getTarget0");
    std::string text = ep->targetText();
    ep.reset();
    if (text.empty()) return nullptr;
    return JNIUtils::ToJavaString(env, text);
  });
}

EXPORT(jint, getTypePayload0)(JNIEnv*, jclass, jlong id) {
  return guard(PLACE(getTypePayload0) " ", id, jint(-1), [&]() -> jint {
    RTPexPin ep = RTPexPin::find(id);
    if (!ep) return -1;
    faultPoint("getTypePayload0");
    return ep->payloadType.load();
  });
}

EXPORT(void, setResponsePort0)(JNIEnv*, jclass, jlong id, jboolean learn) {
  guardVoid(PLACE(setResponsePort0) " ", id, [&]() {
    RTPexPin ep = RTPexPin::find(id);
    if (!ep) return;
    faultPoint("setResponsePort0");
    ep->setLearning(learn != JNI_FALSE);
    ep->rtcp.setLearning(learn != JNI_FALSE);
  });
}

EXPORT(void, start0)(JNIEnv*, jclass, jlong id) {
  guardVoid(PLACE(start0) " ", id, [&]() {
    RTPexPin ep = RTPexPin::find(id);
    if (!ep) return;
    faultPoint("start0");
    ep->payloadType = -1;
    ep->cntPacket = 0;
    ep->rtcp.cntPacket = 0;
    ep->startTime = JLangSystem::currentTimeMillis();
  });
}

EXPORT(void, toDie0)(JNIEnv*, jclass, jlong id, jboolean senderOnly) {
  guardVoid(PLACE(toDie0) " ", id, [&]() {
    if (senderOnly == JNI_FALSE) {
      if (!started()) return;
      faultPoint("toDie0");
      RTPex::closeAndDelete(id);
      return;
    }
    RTPexPin ep = RTPexPin::find(id);
    if (!ep) return;
    faultPoint("toDie0");
    ep->releaseSender();
  });
}

EXPORT(void, join0)(JNIEnv*, jclass, jlong) {}

EXPORT(jint, setTarget0)(JNIEnv* env, jclass, jlong id, jstring addr, jint port, jint scopeId,
                         jstring rtcpAddr, jint rtcpPort, jint rtcpScopeId, jboolean natLearn,
                         jint flags) {
  return guard(PLACE(setTarget0) " ", id, flags, [&]() -> jint {
    // The texts are looked up here, on the caller's thread, before the
    // endpoint is pinned: a slow resolver keeps only this call waiting, and
    // holds nothing that a receive thread or a delete needs.
    bool rtcpOnRtpPort = (flags & kFlagRtcpOnRtpPort) != 0;
    bool ownRtcpText = !rtcpOnRtpPort && rtcpAddr != nullptr;
    TargetText rtpAddr = TargetText::resolve(javaText(env, addr));
    TargetText rtcpText;
    if (ownRtcpText) {
      std::string text = javaText(env, rtcpAddr);
      rtcpText = text == rtpAddr.text ? rtpAddr : TargetText::resolve(text);
    }
    RTPexPin ep = RTPexPin::find(id);
    if (!ep) return flags;
    faultPoint("setTarget0");
    bool learn = natLearn != JNI_FALSE;
    ep->setTarget(rtpAddr, port, scopeId, learn);
    if (rtcpOnRtpPort) {
      ep->rtcp.setTarget(rtpAddr, port, scopeId, learn);
    } else if (!ownRtcpText) {
      // Only the low 16 bits are kept; the sum must not overflow on the way.
      int next = static_cast<int>(static_cast<int64_t>(port) + 1);
      ep->rtcp.setTarget(rtpAddr, next, scopeId, learn);
    } else {
      ep->rtcp.setTarget(rtcpText, rtcpPort, rtcpScopeId, learn);
    }
    return flags;
  });
}

// ---- status text ----------------------------------------------------------------

EXPORT(jstring, getNativeInfo0)(JNIEnv* env, jclass, jstring key) {
  return guard(PLACE(getNativeInfo0) " ", "", static_cast<jstring>(nullptr), [&]() -> jstring {
    std::string text = javaText(env, key);
    faultPoint("getNativeInfo0");
    if (text != "rev" && RTPex::evQ[0] == nullptr) return nullptr;  // before start-up
    std::string result = text == "rev" ? std::string(RTPex::REVISION) : RTPex::getInfo(text);
    return JNIUtils::ToJavaString(env, result);
  });
}

// ---- SRTP -------------------------------------------------------------------------

EXPORT(jbyteArray, createCryptoToSend0)(JNIEnv* env, jclass, jlong id, jshort suite) {
  return guard(PLACE(createCryptoToSend0) " ", id, static_cast<jbyteArray>(nullptr),
               [&]() -> jbyteArray {
    RTPexPin ep = RTPexPin::find(id);
    if (!ep) return nullptr;
    faultPoint("createCryptoToSend0");
    jbyte key[SRTPInfo::KEY_LEN];
    ep->createCryptoToSend(suite, reinterpret_cast<unsigned char*>(key));
    ep.reset();
    jbyteArray array = env->NewByteArray(SRTPInfo::KEY_LEN);
    if (array != nullptr) env->SetByteArrayRegion(array, 0, SRTPInfo::KEY_LEN, key);
    return array;
  });
}

EXPORT(void, srtpKeyRecv0)(JNIEnv* env, jclass, jlong id, jshort suite, jbyteArray key) {
  guardVoid(PLACE(srtpKeyRecv0) " ", id, [&]() {
    RTPexPin ep = RTPexPin::find(id);
    if (!ep) return;
    faultPoint("srtpKeyRecv0");
    // libsrtp2 reads a whole master key: a shorter array is refused.
    if (key == nullptr || env->GetArrayLength(key) < SRTPInfo::KEY_LEN) return;
    ByteElements elements(env, key);
    if (elements.get() == nullptr) return;
    ep->createCryptoToRecv(suite, reinterpret_cast<signed char*>(elements.get()),
                           env->GetArrayLength(key));
    ep.reset();
  });
}

EXPORT(void, srtpStart0)(JNIEnv*, jclass, jlong idA, jlong idB) {
  guardVoid(PLACE(srtpStart0) " ", idA, [&]() {
    RTPexPin a = RTPexPin::find(idA);
    if (!a) return;
    RTPexPin b = RTPexPin::find(idB);
    if (!b) return;
    faultPoint("srtpStart0");
    RTPex::startSrtp(a.get(), b.get());
    unpinBoth(&a, &b);
  });
}

// ---- binding Java sockets to a device ---------------------------------------------

#ifdef _WIN32

// Windows sockets are not bound to a device: both succeed at once.
EXPORT(jboolean, bindToDeviceDatagram0)(JNIEnv*, jclass, jobject, jstring) { return JNI_TRUE; }

EXPORT(jboolean, bindToDevice0)(JNIEnv*, jclass, jobject, jstring) { return JNI_TRUE; }

// Unloading the DLL runs the relay's teardown. At process exit (reserved set)
// the receive threads are gone already; on FreeLibrary they still poll the
// endpoints about to be deleted, so they are stopped first. They cannot be
// joined here: their exit needs the loader lock, which this call holds.
// A thread that has reported still runs the call into its exit; the short
// sleep lets it get there (it then waits on the loader lock, outside this
// code). A thread that misses the bound is logged and left as it is, and the
// teardown goes on; it may then touch deleted endpoints or unmapped code.
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
  const int kStopWaitMs = 2000;
  const int kExitGraceMs = 10;
  if (reason == DLL_PROCESS_DETACH) {
    try {
      if (reserved == nullptr) {
        int running = RTPex::stopReceiveThreads(kStopWaitMs);
        if (running > 0) logRecord("receive threads still running: ", running);
        Sleep(kExitGraceMs);
      }
      RTPex::uninitStatic();
    } catch (...) {
      // nothing may leave the DLL entry
    }
  }
  return TRUE;
}

#else

EXPORT(jboolean, bindToDeviceDatagram0)(JNIEnv* env, jclass, jobject socket, jstring name) {
  return guard(PLACE(bindToDeviceDatagram0) " ", "", jboolean(JNI_TRUE), [&]() -> jboolean {
    faultPoint("bindToDeviceDatagram0");
    if (socket == nullptr) return JNI_FALSE;  // no socket to bind
    return bindDatagram(env, socket, name);
  });
}

EXPORT(jboolean, bindToDevice0)(JNIEnv* env, jclass, jobject socket, jstring name) {
  return guard(PLACE(bindToDevice0) " ", "", jboolean(JNI_TRUE), [&]() -> jboolean {
    faultPoint("bindToDevice0");
    if (socket == nullptr) return JNI_FALSE;  // no socket to bind
    return bindStream(env, socket, name);
  });
}

#endif  // _WIN32
