// Loading the library starts nothing of MAPI; unloading ends MAPI once.
#include <tolvane/mapitest.h>

#include <gtest/gtest.h>

#include <dlfcn.h>

namespace {

TEST(ModuleTest, LoadAndUnloadCallUninitializeOnceAndInitializeNever) {
  mapitest::reset();
  mapitest::startJournal();
  void* lib = dlopen(TOLVANE_JNI_LIBRARY, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(lib, nullptr) << dlerror();
  EXPECT_NE(dlsym(lib, "Java_com_plimo_mail_mapi_MAPINative_initMapi"), nullptr);
  EXPECT_EQ(mapitest::journal().size(), 0u) << "loading made MAPI calls";
  ASSERT_EQ(dlclose(lib), 0);
  EXPECT_EQ(mapitest::journalCount("MAPIUninitialize"), 1u);
  EXPECT_EQ(mapitest::journalCount("MAPIInitialize"), 0u);
  mapitest::reset();
}

}  // namespace
