#include "jniutils.h"
#include "jvmoutput.h"

#include <gtest/gtest.h>
#include <jni.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
// The JVM handles its own SIGSEGV (implicit null checks, safepoints).
extern "C" const char* __asan_default_options() {
  return "handle_segv=0:allow_user_segv_handler=1:detect_leaks=0";
}
#endif

namespace {

const char kFields[] = "com/tavindo/test/JniFields";

// ---- One JVM for the whole process -----------------------------------------

class JvmEnvironment : public ::testing::Environment {
 public:
  static JavaVM* vm;
  static JNIEnv* env;

  void SetUp() override {
    std::string classPath = std::string("-Djava.class.path=") + JNI_TEST_CLASSES;
    JavaVMOption options[3];
    options[0].optionString = const_cast<char*>(classPath.c_str());
    options[0].extraInfo = nullptr;
    options[1].optionString = const_cast<char*>("-Xcheck:jni");
    options[1].extraInfo = nullptr;
    options[2].optionString = const_cast<char*>("vfprintf");
    options[2].extraInfo = reinterpret_cast<void*>(&jvmoutput::keep);
    JavaVMInitArgs args;
    args.version = JNI_VERSION_1_8;
    args.nOptions = 3;
    args.options = options;
    args.ignoreUnrecognized = JNI_FALSE;
    void* penv = nullptr;
    ASSERT_EQ(JNI_OK, JNI_CreateJavaVM(&vm, &penv, &args));
    env = static_cast<JNIEnv*>(penv);
  }

  void TearDown() override {
    if (vm != nullptr) vm->DestroyJavaVM();
    vm = nullptr;
    env = nullptr;
  }
};

JavaVM* JvmEnvironment::vm = nullptr;
JNIEnv* JvmEnvironment::env = nullptr;

::testing::Environment* const jvmEnvironment =
    ::testing::AddGlobalTestEnvironment(new JvmEnvironment);

// Each test runs in its own local frame and must leave no Java error pending
// and no JNI warning behind.
class Jni : public ::testing::Test {
 protected:
  void SetUp() override {
    env = JvmEnvironment::env;
    ASSERT_NE(nullptr, env) << "no JVM";
    ASSERT_EQ(0, env->PushLocalFrame(256));
    messagesBefore = jvmoutput::mark();
  }

  void TearDown() override {
    if (env == nullptr) return;
    EXPECT_FALSE(env->ExceptionCheck()) << "Java error left pending";
    env->ExceptionClear();
    env->PopLocalFrame(nullptr);
    std::string messages = jvmoutput::since(messagesBefore);
    EXPECT_EQ(std::string::npos, messages.find("WARNING")) << messages;
  }

  jstring javaString(const std::vector<jchar>& chars) {
    return env->NewString(chars.data(), static_cast<jsize>(chars.size()));
  }

  std::vector<jchar> javaChars(jstring s) {
    std::vector<jchar> chars(env->GetStringLength(s));
    env->GetStringRegion(s, 0, static_cast<jsize>(chars.size()), chars.data());
    return chars;
  }

  // Reads and writes the fields directly, not through the code under test.
  jint readInt(const char* cls, const char* field) {
    jclass c = env->FindClass(cls);
    return env->GetStaticIntField(c, env->GetStaticFieldID(c, field, "I"));
  }
  jbyte readByte(const char* field) {
    jclass c = env->FindClass(kFields);
    return env->GetStaticByteField(c, env->GetStaticFieldID(c, field, "B"));
  }
  void writeInt(const char* field, jint value) {
    jclass c = env->FindClass(kFields);
    env->SetStaticIntField(c, env->GetStaticFieldID(c, field, "I"), value);
  }
  void writeByte(const char* field, jbyte value) {
    jclass c = env->FindClass(kFields);
    env->SetStaticByteField(c, env->GetStaticFieldID(c, field, "B"), value);
  }

  // True when a Java error of the given class was pending; clears it.
  bool takePending(const char* errorClass) {
    jthrowable error = env->ExceptionOccurred();
    if (error == nullptr) return false;
    env->ExceptionClear();
    return env->IsInstanceOf(error, env->FindClass(errorClass)) == JNI_TRUE;
  }

  JNIEnv* env = nullptr;
  size_t messagesBefore = 0;
};

// ---- Java strings ----------------------------------------------------------

TEST_F(Jni, ToStdStringGivesModifiedUtf8) {
  struct Case {
    std::vector<jchar> chars;
    std::string bytes;
  } cases[] = {
      {{}, ""},
      {{'a', 'b', 'c'}, "abc"},
      {{'a', 0x0000, 'b'}, "a\xC0\x80" "b"},
      {{0x00E9}, "\xC3\xA9"},
      {{0x20AC}, "\xE2\x82\xAC"},
      {{0xD83D, 0xDE00}, "\xED\xA0\xBD\xED\xB8\x80"},  // U+1F600 as two surrogates
      {{'x', 0x0000, 0x0000, 0xD83D, 0xDE00, 'y'}, "x\xC0\x80\xC0\x80\xED\xA0\xBD\xED\xB8\x80y"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.bytes);
    jstring s = javaString(c.chars);
    ASSERT_NE(nullptr, s);
    EXPECT_EQ(c.bytes, JNIUtils::ToStdString(env, s));
  }
  EXPECT_EQ("", JNIUtils::ToStdString(env, nullptr));
}

TEST_F(Jni, ToJavaStringIsTheInverse) {
  struct Case {
    std::string bytes;
    std::vector<jchar> chars;
  } cases[] = {
      {"", {}},
      {"level=5", {'l', 'e', 'v', 'e', 'l', '=', '5'}},
      {"a\xC0\x80" "b", {'a', 0x0000, 'b'}},
      {"\xE2\x82\xAC", {0x20AC}},
      {"\xED\xA0\xBD\xED\xB8\x80", {0xD83D, 0xDE00}},
  };
  for (Case& c : cases) {
    SCOPED_TRACE(c.bytes);
    jstring s = JNIUtils::ToJavaString(env, c.bytes);
    ASSERT_NE(nullptr, s);
    EXPECT_EQ(c.chars, javaChars(s));
    EXPECT_EQ(c.bytes, JNIUtils::ToStdString(env, s));
  }
}

// A JNIEnv whose table holds only what a test fills in: any other JNI call
// crashes the test.
struct FakeEnv {
  FakeEnv() : table() { env.functions = &table; }
  JNINativeInterface_ table;
  JNIEnv env;
};

struct UtfCalls {
  static const char* chars;
  static int gets;
  static int releases;
  static jstring released;
  static const char* releasedChars;

  // Each run of a test starts from no calls.
  static void reset() {
    chars = nullptr;
    gets = 0;
    releases = 0;
    released = nullptr;
    releasedChars = nullptr;
  }
  static const char* JNICALL get(JNIEnv*, jstring, jboolean* isCopy) {
    ++gets;
    if (isCopy != nullptr) *isCopy = JNI_FALSE;
    return chars;
  }
  static void JNICALL release(JNIEnv*, jstring s, const char* utf) {
    ++releases;
    released = s;
    releasedChars = utf;
  }
};
const char* UtfCalls::chars = nullptr;
int UtfCalls::gets = 0;
int UtfCalls::releases = 0;
jstring UtfCalls::released = nullptr;
const char* UtfCalls::releasedChars = nullptr;

TEST(JNIUtilsFake, ToStdStringCopiesAndReleasesTheCharacters) {
  UtfCalls::reset();
  FakeEnv fake;
  fake.table.GetStringUTFChars = UtfCalls::get;
  fake.table.ReleaseStringUTFChars = UtfCalls::release;
  int object = 0;
  jstring s = reinterpret_cast<jstring>(&object);

  char chars[] = "sip\xC0\x80x";
  UtfCalls::chars = chars;
  std::string text = JNIUtils::ToStdString(&fake.env, s);
  chars[0] = 'S';  // the JVM may reuse its buffer after the release
  EXPECT_EQ("sip\xC0\x80x", text);
  EXPECT_EQ(1, UtfCalls::gets);
  EXPECT_EQ(1, UtfCalls::releases);
  EXPECT_EQ(s, UtfCalls::released);
  EXPECT_EQ(chars, UtfCalls::releasedChars);

  UtfCalls::chars = nullptr;  // the JVM gives no characters
  EXPECT_EQ("", JNIUtils::ToStdString(&fake.env, s));
  EXPECT_EQ(2, UtfCalls::gets);
  EXPECT_EQ(1, UtfCalls::releases) << "released characters it never got";

  EXPECT_EQ("", JNIUtils::ToStdString(&fake.env, nullptr));
  EXPECT_EQ(2, UtfCalls::gets) << "asked the JVM about a null string";
}

// ---- Decimal text ----------------------------------------------------------

TEST(JNIUtilsText, ToStringGivesPlainDecimal) {
  const jlong kMax = std::numeric_limits<jlong>::max();
  const jlong kMin = std::numeric_limits<jlong>::min();
  struct { jlong value; const char* text; } cases[] = {
      {0, "0"}, {-5, "-5"}, {7, "7"}, {999, "999"}, {1000, "1000"}, {1001, "1001"},
      {-1000, "-1000"}, {1000000, "1000000"}, {1000001, "1000001"},
      {1002003, "1002003"}, {123456789, "123456789"}, {1000000000000000000LL, "1000000000000000000"},
      {999999999999999999LL, "999999999999999999"},
      {kMax, "9223372036854775807"}, {kMin, "-9223372036854775808"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.text, JNIUtils::ToString(c.value));

  // Every power of ten and its neighbours, both signs, and a spread of others.
  std::vector<jlong> values;
  for (jlong p = 1; p <= kMax / 10; p *= 10) {
    for (jlong v : {p - 1, p, p + 1, 10 * p - 1}) {
      values.push_back(v);
      values.push_back(-v);
    }
  }
  uint64_t x = 0x9E3779B97F4A7C15ULL;
  for (int i = 0; i < 20000; ++i) {
    x = x * 6364136223846793005ULL + 1442695040888963407ULL;
    values.push_back(static_cast<jlong>(x >> (i % 64)));
    values.push_back(static_cast<jlong>(x));
  }
  for (jlong v : values) ASSERT_EQ(std::to_string(v), JNIUtils::ToString(v));
}

TEST(JNIUtilsText, ToLongReadsDecimalOrGivesDefault) {
  const jlong kDef = -77;
  struct { const char* text; jlong value; } cases[] = {
      {"", 0}, {"-", 0}, {"0", 0}, {"-12", -12}, {"007", 7}, {"12345", 12345},
      {"-0", 0}, {"9223372036854775807", std::numeric_limits<jlong>::max()},
      {"-9223372036854775808", std::numeric_limits<jlong>::min()},
      // no range check: the accumulation wraps
      {"9223372036854775808", std::numeric_limits<jlong>::min()},
      {"18446744073709551616", 0}, {"18446744073709551617", 1},
      {"+5", kDef}, {"1-2", kDef}, {"12a", kDef}, {"--1", kDef}, {" 1", kDef},
      {"1 ", kDef}, {"1-", kDef}, {"0x10", kDef}, {"1.5", kDef}, {"-a", kDef},
  };
  for (const auto& c : cases) {
    std::string text = c.text;
    EXPECT_EQ(c.value, JNIUtils::ToLong(text, kDef)) << '"' << c.text << '"';
    EXPECT_EQ(c.text, text) << "input changed";
  }
  std::string empty;
  EXPECT_EQ(0, JNIUtils::ToLong(empty, 12345)) << "empty text gives 0, not the default";

  for (jlong v : {std::numeric_limits<jlong>::min(), jlong(-1000001), jlong(-1), jlong(0),
                  jlong(42), jlong(1000000000000LL), std::numeric_limits<jlong>::max()}) {
    std::string text = JNIUtils::ToString(v);
    EXPECT_EQ(v, JNIUtils::ToLong(text, kDef)) << text;
  }
}

TEST(JNIUtilsText, ReplaceEveryOccurrenceOnce) {
  struct { const char* text; const char* from; const char* to; const char* result; } cases[] = {
      {"a.b.c", ".", "/", "a/b/c"},
      {"abc", ".", "/", "abc"},
      {"", ".", "/", ""},
      {"...", ".", "/", "///"},
      {"..", ".", "..", "...."},  // the inserted text is not searched again
      {"a.b", ".", "", "ab"},
      {"aabab", "ab", "x", "axx"},
      {"aaa", "aa", "b", "ba"},
      {"C:\\log\\x", "\\", "/", "C:/log/x"},
      {"x.y", "x.y", "z", "z"},
  };
  for (const auto& c : cases) {
    std::string text = c.text;
    replace(text, c.from, c.to);
    EXPECT_EQ(c.result, text) << c.text << " " << c.from << " -> " << c.to;
  }
}

// ---- Heap strings and hooks ------------------------------------------------

TEST(JNIUtilsHeap, AllocStdStringCopies) {
  char raw[] = "abc";
  std::string* a = JNIUtils::allocStdString(raw);
  raw[0] = 'X';
  std::string source("with\0zero", 9);
  std::string* b = JNIUtils::allocStdString(source);
  source[0] = 'W';
  EXPECT_EQ("abc", *a);
  EXPECT_EQ(std::string("with\0zero", 9), *b);
  JNIUtils::freeStdString(a);
  JNIUtils::freeStdString(b);
  JNIUtils::freeStdString(nullptr);
}

struct HookCalls {
  static std::vector<std::string> errors;
  static std::vector<std::string> debugs;
  static void reset() {
    errors.clear();
    debugs.clear();
  }
  static void error(std::string& text) {
    errors.push_back(text);
    text = "changed by hook";
  }
  static void debug(std::string& text) { debugs.push_back(text); }
};
std::vector<std::string> HookCalls::errors;
std::vector<std::string> HookCalls::debugs;

TEST(JNIUtilsHooks, DumpCallsTheInstalledHookOnly) {
  HookCalls::reset();
  JNIUtils::dumpErrorString("before any hook");
  JNIUtils::dumpDebugString("before any hook");

  JNIUtils::setDumpErrorMethod(HookCalls::error);
  std::string text = "setsockopt failed";
  JNIUtils::dumpErrorString(text);
  EXPECT_EQ("setsockopt failed", text) << "the hook works on a copy";
  JNIUtils::dumpDebugString("debug without its hook");
  JNIUtils::setDumpDebugMethod(HookCalls::debug);
  JNIUtils::dumpDebugString("debug text");

  JNIUtils::setDumpErrorMethod(nullptr);
  JNIUtils::setDumpDebugMethod(nullptr);
  JNIUtils::dumpErrorString("after removal");
  JNIUtils::dumpDebugString("after removal");

  EXPECT_EQ(std::vector<std::string>{"setsockopt failed"}, HookCalls::errors);
  EXPECT_EQ(std::vector<std::string>{"debug text"}, HookCalls::debugs);
}

// ---- Static fields ---------------------------------------------------------

TEST_F(Jni, StaticIntFieldByDottedName) {
  EXPECT_TRUE(JNIUtils::setStaticIntField(env, "com.tavindo.test.JniFields.level", -123456));
  EXPECT_EQ(-123456, readInt(kFields, "level"));
  writeInt("level", 70000);
  int out = 0;
  EXPECT_TRUE(JNIUtils::getStaticIntField(env, "com.tavindo.test.JniFields.level", &out));
  EXPECT_EQ(70000, out);

  const std::string inner = "com.tavindo.test.JniFields$Inner.depth";
  EXPECT_TRUE(JNIUtils::setStaticIntField(env, inner, 41));
  EXPECT_EQ(41, readInt("com/tavindo/test/JniFields$Inner", "depth"));
  EXPECT_TRUE(JNIUtils::getStaticIntField(env, inner, &out));
  EXPECT_EQ(41, out);
  EXPECT_EQ("com.tavindo.test.JniFields$Inner.depth", inner) << "caller's name changed";
}

TEST_F(Jni, StaticByteFieldByDottedName) {
  EXPECT_TRUE(JNIUtils::setStaticByteField(env, "com.tavindo.test.JniFields.mode", -5));
  EXPECT_EQ(-5, readByte("mode"));
  writeByte("mode", 127);
  signed char out = 0;
  EXPECT_TRUE(JNIUtils::getStaticByteField(env, "com.tavindo.test.JniFields.mode", &out));
  EXPECT_EQ(127, out);
  writeByte("mode", -128);
  EXPECT_TRUE(JNIUtils::getStaticByteField(env, "com.tavindo.test.JniFields.mode", &out));
  EXPECT_EQ(-128, out);
}

// A missing class or field gives false and leaves the JVM's error pending.
TEST_F(Jni, StaticFieldNotReachedLeavesTheErrorPending) {
  writeInt("level", 3);
  writeByte("mode", 1);
  struct { const char* name; const char* error; } cases[] = {
      {"com.tavindo.test.NoSuchClass.level", "java/lang/NoClassDefFoundError"},
      {"com.tavindo.test.JniFields.nothing", "java/lang/NoSuchFieldError"},
      {"com.tavindo.test.JniFields.wide", "java/lang/NoSuchFieldError"},  // a long field
      {"com.tavindo.test.JniFields.Inner.depth", "java/lang/NoClassDefFoundError"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    int intOut = -1;
    signed char byteOut = -1;
    EXPECT_FALSE(JNIUtils::setStaticIntField(env, c.name, 99));
    EXPECT_TRUE(takePending(c.error));
    EXPECT_FALSE(JNIUtils::getStaticIntField(env, c.name, &intOut));
    EXPECT_TRUE(takePending(c.error));
    EXPECT_FALSE(JNIUtils::setStaticByteField(env, c.name, 99));
    EXPECT_TRUE(takePending(c.error));
    EXPECT_FALSE(JNIUtils::getStaticByteField(env, c.name, &byteOut));
    EXPECT_TRUE(takePending(c.error));
    EXPECT_EQ(-1, intOut);
    EXPECT_EQ(-1, byteOut);
  }
  // The wrong type of field is not reached either.
  signed char byteOut = -1;
  EXPECT_FALSE(JNIUtils::getStaticByteField(env, "com.tavindo.test.JniFields.level", &byteOut));
  EXPECT_TRUE(takePending("java/lang/NoSuchFieldError"));
  int intOut = -1;
  EXPECT_FALSE(JNIUtils::getStaticIntField(env, "com.tavindo.test.JniFields.mode", &intOut));
  EXPECT_TRUE(takePending("java/lang/NoSuchFieldError"));
  EXPECT_EQ(-1, byteOut);
  EXPECT_EQ(-1, intOut);
  EXPECT_EQ(3, readInt(kFields, "level"));
  EXPECT_EQ(1, readByte("mode"));
}

const char* const kMalformedNames[] = {
    "level", "", ".", "com.tavindo.test.JniFields.", ".level", "JniFields.",
};

// A malformed name gives false before any JNI call: the fake table is empty.
TEST(JNIUtilsFake, MalformedFieldNameCallsNoJni) {
  FakeEnv fake;
  for (const char* name : kMalformedNames) {
    SCOPED_TRACE(name);
    int intOut = -1;
    signed char byteOut = -1;
    EXPECT_FALSE(JNIUtils::setStaticIntField(&fake.env, name, 1));
    EXPECT_FALSE(JNIUtils::getStaticIntField(&fake.env, name, &intOut));
    EXPECT_FALSE(JNIUtils::setStaticByteField(&fake.env, name, 1));
    EXPECT_FALSE(JNIUtils::getStaticByteField(&fake.env, name, &byteOut));
    EXPECT_EQ(-1, intOut);
    EXPECT_EQ(-1, byteOut);
  }
}

TEST_F(Jni, MalformedFieldNameRaisesNothing) {
  for (const char* name : kMalformedNames) {
    int out = -1;
    EXPECT_FALSE(JNIUtils::getStaticIntField(env, name, &out)) << name;
    EXPECT_FALSE(env->ExceptionCheck()) << name;
    env->ExceptionClear();
  }
}

}  // namespace
