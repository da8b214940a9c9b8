// The exports' source driven through a JNI environment of the test's own,
// without a JVM: only the calls that a case reaches are filled in.
#include <gtest/gtest.h>
#include <jni.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

extern "C" JNIEXPORT jboolean JNICALL Java_com_tavindo_net_sip_sv_rtp_RTPexJNI_bindToDeviceDatagram0(
    JNIEnv* env, jclass cls, jobject socket, jstring name);

namespace {

int objectTag;  // stands for every Java object of these cases

jclass JNICALL classOf(JNIEnv*, jobject) { return reinterpret_cast<jclass>(&objectTag); }
jfieldID JNICALL noSuchField(JNIEnv*, jclass, const char*, const char*) { return nullptr; }
void JNICALL clearException(JNIEnv*) {}

// A datagram socket whose class has neither "delegate" nor "impl".
JNIEnv* socketWithoutFields() {
  static JNINativeInterface_ table = [] {
    JNINativeInterface_ t;
    std::memset(&t, 0, sizeof(t));
    t.GetObjectClass = classOf;
    t.GetFieldID = noSuchField;
    t.ExceptionClear = clearException;
    return t;
  }();
  static JNIEnv env = [] {
    JNIEnv e;
    e.functions = &table;
    return e;
  }();
  return &env;
}

}  // namespace

// The server binds its sockets from many threads at once; each call fails
// cleanly (the thread sanitizer build also checks the calls share no state
// unsafely).
TEST(JniExports, DatagramBindFromManyThreads) {
  JNIEnv* env = socketWithoutFields();
  jobject socket = reinterpret_cast<jobject>(&objectTag);
  jstring name = reinterpret_cast<jstring>(&objectTag);
  const int threads = 4;
  const int calls = 50;
  std::atomic<int> refused(0);
  std::vector<std::thread> running;
  for (int t = 0; t < threads; t++) {
    running.emplace_back([&] {
      for (int i = 0; i < calls; i++) {
        if (Java_com_tavindo_net_sip_sv_rtp_RTPexJNI_bindToDeviceDatagram0(env, nullptr, socket,
                                                                           name) == JNI_FALSE) {
          refused++;
        }
      }
    });
  }
  for (std::thread& t : running) t.join();
  EXPECT_EQ(threads * calls, refused.load());
}
