// Loading the library starts nothing of MAPI; unloading ends MAPI once when
// the library started it, and never ends a MAPI it did not start.
#include <tolvane/mapitest.h>

#include <gtest/gtest.h>

#include <jni.h>

#include <dlfcn.h>

namespace {

using InitMapiFn = jboolean (*)(JNIEnv*, jclass);

class ModuleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    mapitest::reset();
    mapitest::startJournal();
  }
  void TearDown() override { mapitest::reset(); }
};

TEST_F(ModuleTest, LoadAndUnloadWithoutANativeCallMakeNoMapiCall) {
  void* lib = dlopen(TOLVANE_JNI_LIBRARY, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(lib, nullptr) << dlerror();
  EXPECT_NE(dlsym(lib, "Java_com_plimo_mail_mapi_MAPINative_initMapi"), nullptr);
  ASSERT_EQ(dlclose(lib), 0);
  EXPECT_EQ(mapitest::journal().size(), 0u);
}

TEST_F(ModuleTest, UnloadEndsMapiOnceAfterAnyNumberOfStarts) {
  void* lib = dlopen(TOLVANE_JNI_LIBRARY, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(lib, nullptr) << dlerror();
  auto initMapi = reinterpret_cast<InitMapiFn>(dlsym(lib, "Java_com_plimo_mail_mapi_MAPINative_initMapi"));
  ASSERT_NE(initMapi, nullptr);
  // initMapi touches neither of its JNI arguments.
  EXPECT_EQ(initMapi(nullptr, nullptr), JNI_TRUE);
  EXPECT_EQ(initMapi(nullptr, nullptr), JNI_TRUE);
  EXPECT_EQ(mapitest::journalCount("MAPIUninitialize"), 0u);
  ASSERT_EQ(dlclose(lib), 0);
  EXPECT_EQ(mapitest::journalCount("MAPIInitialize"), 1u);
  EXPECT_EQ(mapitest::journalCount("MAPIUninitialize"), 1u);
}

}  // namespace
